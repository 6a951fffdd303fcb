#pragma once

#include "platform/photos/PhotoLibrary.h"

#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>
#include <gtest/gtest.h>

// A fresh library in a temporary folder for each test.
class LibraryFixture : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        path = tmp.path() + "/Test.photolibrary";
        lib = photos::PhotoLibrary::create(path);
    }

    struct NewAsset {
        std::optional<QDateTime> date;
        std::vector<std::tuple<photos::ResourceType, QString, QByteArray>> resources = {
            {photos::ResourceType::Photo, "public.jpeg", "jpegbytes"}};
        bool favorite = false;
        bool hidden = false;
        QString stem = "IMG";
    };

    // Creates one asset and returns its identifier.
    QString add(const NewAsset& a) {
        QString id;
        lib->performChangesAndWait([&](photos::ChangeRequests& c) {
            auto& req = c.creationRequestForAsset();
            for (const auto& [type, uti, data] : a.resources) {
                const QString ext = uti == "public.jpeg"   ? "JPG"
                                    : uti == "public.heic" ? "HEIC"
                                                           : "DNG";
                req.addResource(type, data, {a.stem + "." + ext, uti});
            }
            req.creationDate = a.date;
            req.favorite = a.favorite;
            req.hidden = a.hidden;
            id = req.placeholderForCreatedAsset().localIdentifier;
        });
        return id;
    }

    photos::AssetPtr asset(const QString& id) {
        auto found = lib->fetchAssetsWithLocalIdentifiers({id});
        return found.empty() ? nullptr : found.front();
    }

    photos::CollectionPtr album(const QString& title) {
        QString id;
        lib->performChangesAndWait([&](photos::ChangeRequests& c) {
            id = c.creationRequestForAssetCollection(title)
                     .placeholderForCreatedAssetCollection()
                     .localIdentifier;
        });
        return lib->fetchAssetCollectionsWithLocalIdentifiers({id}).at(0);
    }

    QStringList ids(const std::vector<photos::AssetPtr>& assets) {
        QStringList out;
        for (const auto& a : assets)
            out << a->localIdentifier;
        return out;
    }

    int storedFileCount() {
        int n = 0;
        QDirIterator it(path + "/resources", QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            it.next();
            ++n;
        }
        return n;
    }

    QTemporaryDir tmp;
    QString path;
    std::shared_ptr<photos::PhotoLibrary> lib;
};
