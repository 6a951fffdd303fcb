#pragma once

#include "platform/photos/ImageManager.h"
#include "platform/photos/PhotoLibrary.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>
#include <functional>
#include <future>
#include <gtest/gtest.h>
#include <string>

struct ImageAnswer {
    QImage image;
    photos::ImageResultInfo info;
};

// Collects every answer of one request until its final one. The handler runs on the
// manager's threads and may still be unwinding after the waiter has returned, so all it
// touches is shared state it co-owns.
inline std::vector<ImageAnswer> request(photos::ImageManager& manager,
                                        const photos::AssetPtr& asset, QSize target,
                                        photos::ImageContentMode mode,
                                        photos::ImageRequestOptions options) {
    struct State {
        std::mutex m;
        std::vector<ImageAnswer> answers;
        std::promise<void> finished;
    };
    auto state = std::make_shared<State>();
    auto finished = state->finished.get_future();
    manager.requestImage(asset, target, mode, options,
                         [state](QImage image, photos::ImageResultInfo info) {
                             std::lock_guard lock(state->m);
                             state->answers.push_back({image, info});
                             if (!info.isDegraded)
                                 state->finished.set_value();
                         });
    finished.wait();
    std::lock_guard lock(state->m);
    return state->answers;
}

inline photos::ImageRequestOptions
highQuality(photos::ImageResizeMode resize = photos::ImageResizeMode::Exact) {
    return {photos::ImageDeliveryMode::HighQualityFormat, resize, true};
}

// One kind of library the service keeps: how a test makes an empty one and counts the
// files it keeps. The contract tests (fetches, changes, the image and resource managers) run
// against every kind; tests of one kind's storage use that kind alone.
struct LibraryKind {
    std::string name;
    // Makes an empty library inside `folder` and returns the path programs open it by.
    std::function<QString(const QString& folder)> create;
    // The files the library keeps for its items.
    std::function<int(const QString& path)> storedFileCount;
};

inline void PrintTo(const LibraryKind& kind, std::ostream* os) {
    *os << kind.name;
}

inline LibraryKind catalogueLibrary() {
    return {"Catalogue",
            [](const QString& folder) {
                const QString path = folder + "/Test.photolibrary";
                photos::PhotoLibrary::create(path);
                return path;
            },
            [](const QString& path) {
                int n = 0;
                QDirIterator it(path + "/resources", QDir::Files, QDirIterator::Subdirectories);
                while (it.hasNext()) {
                    it.next();
                    ++n;
                }
                return n;
            }};
}

inline std::vector<LibraryKind> libraryKinds() {
    return {catalogueLibrary()};
}

// A fresh library of one kind in a temporary folder for each test, and what tests do with it.
class LibraryFixtureBase {
protected:
    void openNew(const LibraryKind& kind) {
        ASSERT_TRUE(tmp.isValid());
        m_kind = kind;
        path = kind.create(tmp.path());
        lib = photos::PhotoLibrary::open(path);
    }

    struct NewAsset {
        std::optional<QDateTime> date;
        std::vector<std::tuple<photos::ResourceType, QString, QByteArray>> resources = {
            {photos::ResourceType::Photo, "public.jpeg", "jpegbytes"}};
        bool hidden = false;
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
                req.addResource(type, data, {"IMG." + ext, uti});
            }
            req.creationDate = a.date;
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

    // Writes a resource out through the resource manager; its error, if any.
    std::optional<photos::PhotoLibraryError> writeOut(const photos::ResourcePtr& resource,
                                                      const QString& dest) {
        auto p = std::make_shared<std::promise<std::optional<photos::PhotoLibraryError>>>();
        auto f = p->get_future();
        lib->writeDataForAssetResource(resource, dest,
                                       [p](auto error) { p->set_value(std::move(error)); });
        return f.get();
    }

    // Closes the library and opens it again, as the next start does.
    void reopen() {
        lib.reset();
        lib = photos::PhotoLibrary::open(path);
    }

    int storedFileCount() { return m_kind.storedFileCount(path); }

    QTemporaryDir tmp;
    QString path;
    std::shared_ptr<photos::PhotoLibrary> lib;

private:
    LibraryKind m_kind;
};

// Tests of the catalogue library's own storage.
class LibraryFixture : public ::testing::Test, public LibraryFixtureBase {
protected:
    void SetUp() override { openNew(catalogueLibrary()); }
};

// Tests every kind of library must pass: instantiate with LIBRARY_CONTRACT(Suite).
class LibraryContract : public ::testing::TestWithParam<LibraryKind>, public LibraryFixtureBase {
protected:
    void SetUp() override { openNew(GetParam()); }
};

#define LIBRARY_CONTRACT(suite)                                                                    \
    INSTANTIATE_TEST_SUITE_P(Kinds, suite, ::testing::ValuesIn(libraryKinds()),                    \
                             [](const auto& info) { return info.param.name; })
