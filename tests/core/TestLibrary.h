#pragma once

#include "platform/photos/PhotoLibrary.h"

#include <QByteArray>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <vector>

// A fresh photo library in a temporary folder, installed as the shared library that
// the scan reads for the life of the object.
class TestLibrary {
public:
    struct Resource {
        photos::ResourceType type;
        QString uti;
        QString filename;
        int size; // bytes stored, so the library reports this size
    };
    struct NewAsset {
        std::vector<Resource> resources;
        std::optional<QDateTime> date;
        bool favorite = false;
        bool hidden = false;
    };

    static Resource raw(int size, QString name = QStringLiteral("IMG.CR3"),
                        QString uti = QStringLiteral("com.canon.cr3-raw-image")) {
        return {photos::ResourceType::AlternatePhoto, std::move(uti), std::move(name), size};
    }
    static Resource jpeg(int size, QString name = QStringLiteral("IMG.JPG")) {
        return {photos::ResourceType::Photo, QStringLiteral("public.jpeg"), std::move(name), size};
    }

    TestLibrary() {
        EXPECT_TRUE(m_dir.isValid());
        m_library = photos::PhotoLibrary::create(m_dir.path() + "/T.photolibrary");
        photos::PhotoLibrary::setShared(m_library);
    }
    ~TestLibrary() { photos::PhotoLibrary::setShared(nullptr); }
    TestLibrary(const TestLibrary&) = delete;
    TestLibrary& operator=(const TestLibrary&) = delete;

    photos::PhotoLibrary& library() { return *m_library; }
    QString path() const { return m_library->path(); }

    // Creates the assets in one change and returns their identifiers in order.
    QStringList add(const std::vector<NewAsset>& assets) {
        QStringList ids;
        m_library->performChangesAndWait([&](photos::ChangeRequests& changes) {
            for (const NewAsset& asset : assets) {
                auto& request = changes.creationRequestForAsset();
                for (const Resource& r : asset.resources)
                    request.addResource(r.type, QByteArray(r.size, 'x'), {r.filename, r.uti});
                request.creationDate = asset.date;
                request.favorite = asset.favorite;
                request.hidden = asset.hidden;
                ids << request.placeholderForCreatedAsset().localIdentifier;
            }
        });
        return ids;
    }
    QString add(const NewAsset& asset) { return add(std::vector<NewAsset>{asset}).value(0); }

    // Creates a user album holding the assets, in that order.
    void addAlbum(const QString& title, const QStringList& assetIds) {
        const auto assets = m_library->fetchAssetsWithLocalIdentifiers(assetIds);
        m_library->performChangesAndWait([&](photos::ChangeRequests& changes) {
            changes.creationRequestForAssetCollection(title).addAssets(assets);
        });
    }

private:
    QTemporaryDir m_dir;
    std::shared_ptr<photos::PhotoLibrary> m_library;
};
