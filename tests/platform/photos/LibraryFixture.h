#pragma once

#include "platform/photos/ImageManager.h"
#include "platform/photos/PhotoLibrary.h"
#include "support/Darktable.h"
#include "support/Digikam.h"
#include "support/Shotwell.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QTemporaryDir>
#include <future>
#include <gtest/gtest.h>

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

// The kinds of library the service keeps. The contract tests (fetches, changes, deletion,
// trash, image requests, check) run against every kind in libraryKinds(); tests of one
// kind's own storage use that kind alone.
enum class LibraryKind { Catalogue, Folder, Darktable, Digikam, Shotwell };

inline std::vector<LibraryKind> libraryKinds() {
    return {LibraryKind::Catalogue, LibraryKind::Folder, LibraryKind::Darktable,
            LibraryKind::Digikam, LibraryKind::Shotwell};
}

inline void PrintTo(LibraryKind kind, std::ostream* os) {
    switch (kind) {
    case LibraryKind::Catalogue:
        *os << "Catalogue";
        break;
    case LibraryKind::Folder:
        *os << "Folder";
        break;
    case LibraryKind::Darktable:
        *os << "Darktable";
        break;
    case LibraryKind::Digikam:
        *os << "Digikam";
        break;
    case LibraryKind::Shotwell:
        *os << "Shotwell";
    }
}

// A folder holding library.db and config/data.db as darktable wrote them for an empty
// library, made once per test program; empty when darktable could not make it.
inline QString emptyDarktableLibrary() {
    static QTemporaryDir dir;
    static const bool made = [] {
        try {
            testsupport::runDarktable(dir.path() + "/library.db", QString());
            return true;
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
            return false;
        }
    }();
    return made ? dir.path() : QString();
}

// Makes an empty library of `kind` inside `folder` and opens it.
inline std::shared_ptr<photos::PhotoLibrary> openNewLibrary(LibraryKind kind,
                                                            const QString& folder) {
    switch (kind) {
    case LibraryKind::Catalogue:
        return photos::PhotoLibrary::create(folder + "/Test.photolibrary");
    case LibraryKind::Folder:
        // Any folder of pictures; its trash is this test's own.
        qputenv("XDG_DATA_HOME", QFile::encodeName(folder + "/data"));
        QDir().mkpath(folder + "/Pictures");
        return photos::PhotoLibrary::open(folder + "/Pictures");
    case LibraryKind::Darktable: {
        // A copy of an empty library darktable itself wrote; new items without an original go
        // to the Pictures folder of this test's own home, trashed ones to its own trash.
        const QString made = emptyDarktableLibrary();
        if (made.isEmpty())
            return nullptr;
        qputenv("XDG_DATA_HOME", QFile::encodeName(folder + "/data"));
        qputenv("HOME", QFile::encodeName(folder + "/home"));
        QDir().mkpath(folder + "/darktable/config");
        QFile::copy(made + "/library.db", folder + "/darktable/library.db");
        QFile::copy(made + "/config/data.db", folder + "/darktable/config/data.db");
        return photos::PhotoLibrary::open(folder + "/darktable/library.db");
    }
    case LibraryKind::Digikam: {
        // The empty library digiKam itself wrote, its collection this test's own folder.
        const QString photos = folder + "/photos";
        try {
            testsupport::makeEmptyDigikamLibrary(photos);
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
            return nullptr;
        }
        return photos::PhotoLibrary::open(photos + "/digikam4.db");
    }
    case LibraryKind::Shotwell: {
        // The empty library Shotwell itself wrote; new items without an original go to the
        // Pictures folder of this test's own home, emptied ones to its own trash.
        qputenv("XDG_DATA_HOME", QFile::encodeName(folder + "/data"));
        qputenv("HOME", QFile::encodeName(folder + "/home"));
        try {
            return photos::PhotoLibrary::open(
                testsupport::makeEmptyShotwellLibrary(folder + "/shotwell"));
        } catch (const std::exception& e) {
            ADD_FAILURE() << e.what();
            return nullptr;
        }
    }
    }
    return nullptr;
}

// The files a library of `kind` at `path` keeps for its items.
inline int storedFileCount(LibraryKind kind, const QString& path) {
    int n = 0;
    // A folder library keeps its pictures in its tree and its trashed ones in the desktop's
    // trash (this test's own, beside the tree).
    const QStringList tops =
        kind == LibraryKind::Catalogue ? QStringList{path + "/resources"}
        : kind == LibraryKind::Folder  ? QStringList{path, path + "/../data/Trash/files"}
        : kind == LibraryKind::Digikam
            ? QStringList{QFileInfo(path).path(), QFileInfo(path).path() + "/.dtrash/files"}
        // Shotwell's trash keeps its files in place; emptied, they leave for the desktop's.
        : kind == LibraryKind::Shotwell
            ? QStringList{QFileInfo(path).path() + "/../../home/Pictures"}
            : QStringList{QFileInfo(path).path() + "/../home/Pictures",
                          QFileInfo(path).path() + "/../data/Trash/files"};
    for (const QString& top : tops)
        for (QDirIterator it(top, QDir::Files, QDirIterator::Subdirectories); it.hasNext();)
            n += it.next().endsWith(".xmp") || it.filePath().endsWith(".db") ? 0 : 1;
    return n;
}

// A fresh library of one kind in a temporary folder for each test, and what tests do with it.
// Contract tests instantiate with LIBRARY_CONTRACT(Suite); tests of one kind's own storage
// with LIBRARY_TESTS(Suite, that kind).
class LibraryContract : public ::testing::TestWithParam<LibraryKind> {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        if (GetParam() == LibraryKind::Darktable)
            TWINSLIM_REQUIRE_DARKTABLE();
        lib = openNewLibrary(GetParam(), tmp.path());
        ASSERT_TRUE(lib) << "the program did not make an empty library";
        path = lib->path();
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

    int storedFileCount() { return ::storedFileCount(GetParam(), path); }

    QTemporaryDir tmp;
    QString path;
    std::shared_ptr<photos::PhotoLibrary> lib;
};

// CTest names each test after its kind, from the printed parameter.
#define LIBRARY_TESTS(suite, kinds)                                                                \
    INSTANTIATE_TEST_SUITE_P(Kinds, suite, ::testing::ValuesIn(kinds))
#define LIBRARY_CONTRACT(suite) LIBRARY_TESTS(suite, libraryKinds())
