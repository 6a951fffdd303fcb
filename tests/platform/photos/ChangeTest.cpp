#include "LibraryFixture.h"

#include <thread>

using namespace photos;

using ChangeTest = LibraryContract;
LIBRARY_CONTRACT(ChangeTest);

namespace {
using Outcome = std::pair<bool, std::optional<PhotoLibraryError>>;

// Runs a change and returns what its completion said.
Outcome run(PhotoLibrary& lib, PhotoLibrary::ChangeBody body) {
    auto p = std::make_shared<std::promise<Outcome>>();
    auto f = p->get_future();
    lib.performChanges(std::move(body), [p](bool ok, std::optional<PhotoLibraryError> e) {
        p->set_value({ok, std::move(e)});
    });
    return f.get();
}

std::optional<PhotoLibraryError::Code> codeOf(const Outcome& outcome) {
    return outcome.second ? std::optional(outcome.second->code()) : std::nullopt;
}
} // namespace

TEST_P(ChangeTest, CreationWritesFilesAndPlaceholdersResolve) {
    QString assetId, albumId;
    std::thread::id bodyThread;
    lib->performChangesAndWait([&](ChangeRequests& c) {
        bodyThread = std::this_thread::get_id();
        auto& req = c.creationRequestForAsset();
        // Shotwell shows no HEIC.
        if (GetParam() == LibraryKind::Shotwell)
            req.addResource(ResourceType::Photo, QByteArray("abc"), {"A.JPG", "public.jpeg"});
        else
            req.addResource(ResourceType::Photo, QByteArray("abc"), {"A.HEIC", "public.heic"});
        req.creationDate = QDateTime(QDate(2023, 1, 2), QTime(3, 4, 5), Qt::UTC);
        req.favorite = true;
        assetId = req.placeholderForCreatedAsset().localIdentifier;
        auto& al = c.creationRequestForAssetCollection("New");
        al.addAssets(std::vector<ObjectPlaceholder>{req.placeholderForCreatedAsset()});
        albumId = al.placeholderForCreatedAssetCollection().localIdentifier;
    });
    EXPECT_TRUE(bodyThread != std::this_thread::get_id()); // bodies run on the library's thread
    auto a = asset(assetId);
    ASSERT_TRUE(a);
    EXPECT_EQ(a->creationDate, QDateTime(QDate(2023, 1, 2), QTime(3, 4, 5), Qt::UTC));
    EXPECT_TRUE(a->isFavorite);
    EXPECT_EQ(testsupport::readFile(lib->storedFilePath(a->resources.at(0))), QByteArray("abc"));
    // The resource manager writes a stored file out, and never over an existing file.
    const QString out = tmp.path() + "/out.heic";
    EXPECT_FALSE(writeOut(a->resources[0], out).has_value());
    EXPECT_TRUE(writeOut(a->resources[0], out).has_value());
    EXPECT_EQ(testsupport::readFile(out), QByteArray("abc"));
    auto al = lib->fetchAssetCollectionsWithLocalIdentifiers({albumId});
    ASSERT_EQ(al.size(), 1u);
    EXPECT_EQ(ids(lib->fetchAssetsInAssetCollection(al[0])), QStringList({assetId}));
    EXPECT_TRUE(lib->check().isEmpty()) << lib->check().join("\n").toStdString();
}

TEST_P(ChangeTest, FailingChangesLeaveNoRowsAndNoFiles) {
    const QString keep = add({});
    const int filesBefore = storedFileCount();
    album("X");
    auto body = [&](ChangeRequests& c) {
        auto& req = c.creationRequestForAsset();
        req.addResource(ResourceType::Photo, QByteArray(100000, 'x'), {"B.JPG", "public.jpeg"});
        req.addResource(ResourceType::AlternatePhoto, QByteArray(5000, 'y'),
                        {"B.DNG", "com.adobe.raw-image"});
        c.creationRequestForAssetCollection("Should not exist");
        c.deleteAssets({asset(keep)});
    };
    using Code = PhotoLibraryError::Code;
    const struct {
        const char* what;
        bool* fault;
        PhotoLibrary::ChangeBody change;
        std::optional<Code> code; // none: failed without an error
    } cases[] = {
        {"injected error", &lib->faults().failNextChangeWithError, body, Code::Injected},
        {"injected without error", &lib->faults().failNextChangeWithoutError, body, {}},
        {"body throws", nullptr,
         [&](ChangeRequests& c) {
             body(c);
             throw std::runtime_error("body broke");
         },
         Code::InvalidRequest},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.fault)
            *c.fault = true;
        const Outcome outcome = run(*lib, c.change);
        EXPECT_FALSE(outcome.first);
        EXPECT_EQ(codeOf(outcome), c.code);
    }
    lib->faults().failNextChangeWithoutError = true;
    EXPECT_THROW(lib->performChangesAndWait(body), PhotoLibraryError);

    EXPECT_EQ(storedFileCount(), filesBefore);
    EXPECT_EQ(lib->fetchAssets(MediaType::Image).size(), 1u);
    EXPECT_EQ(lib->fetchAssetCollections(CollectionType::Album, CollectionSubtype::Any).size(), 1u);
    EXPECT_TRUE(lib->trashedAssets().empty());
    EXPECT_TRUE(lib->check().isEmpty()) << lib->check().join("\n").toStdString();

    // After the injected failures the next change goes through.
    EXPECT_TRUE(run(*lib, body).first);
    EXPECT_EQ(lib->fetchAssets(MediaType::Image).size(), 1u); // one new, one trashed
    EXPECT_EQ(lib->trashedAssets().size(), 1u);
}

TEST_P(ChangeTest, DeletionAsksOnceAndRefusalChangesNothing) {
    const QString a = add({});
    const QString b = add({});
    std::vector<int> asked;
    bool answer = false;
    lib->setDeletionConfirmationHandler([&](int count, std::function<void(bool)> reply) {
        asked.push_back(count);
        // The reply may come later from another thread.
        std::thread([reply, answer] { reply(answer); }).detach();
    });
    auto body = [&](ChangeRequests& c) {
        c.deleteAssets({asset(a)});
        c.deleteAssets({asset(b), asset(a)});
        c.creationRequestForAssetCollection("Made alongside");
    };
    const Outcome refused = run(*lib, body);
    EXPECT_FALSE(refused.first);
    EXPECT_EQ(codeOf(refused), PhotoLibraryError::Code::UserCancelled);
    EXPECT_EQ(asked, std::vector<int>({2}));
    EXPECT_EQ(lib->fetchAssets(MediaType::Image).size(), 2u);
    EXPECT_TRUE(lib->fetchAssetCollections(CollectionType::Album, CollectionSubtype::Any).empty());

    answer = true;
    EXPECT_TRUE(run(*lib, body).first);
    EXPECT_EQ(asked, std::vector<int>({2, 2}));
    EXPECT_TRUE(lib->fetchAssets(MediaType::Image).empty());
    EXPECT_EQ(lib->trashedAssets().size(), 2u);

    // Changes without deletions never ask.
    add({});
    EXPECT_EQ(asked.size(), 2u);
}

TEST_P(ChangeTest, TrashKeepsItemsThirtyDaysThenPurgesThemWithTheirFiles) {
    QDateTime clock(QDate(2024, 1, 1), QTime(0, 0), Qt::UTC);
    lib->setClock([&] { return clock; });
    const AssetPtr old = asset(add({}));
    const QString recent = add({});
    const QString restored = add({});
    auto al = album("Keep");
    lib->performChangesAndWait([&](ChangeRequests& c) {
        c.changeRequestForAssetCollection(al)->addAssets(std::vector<AssetPtr>{asset(restored)});
        c.deleteAssets({old, asset(restored)});
    });
    clock = clock.addDays(10);
    lib->performChangesAndWait([&](ChangeRequests& c) { c.deleteAssets({asset(recent)}); });
    // An item in the trash is not deleted again: its thirty days do not start over.
    EXPECT_EQ(codeOf(run(*lib, [&](ChangeRequests& c) { c.deleteAssets({old}); })),
              PhotoLibraryError::Code::NotFound);
    EXPECT_EQ(storedFileCount(), 3);

    EXPECT_EQ(lib->restoreFromTrash({restored, "nonexistent"}), 1);
    EXPECT_EQ(ids(lib->fetchAssetsInAssetCollection(al)), QStringList({restored}));

    clock = QDateTime(QDate(2024, 1, 31), QTime(0, 0), Qt::UTC); // `old`: 30 days to the ms
    EXPECT_EQ(lib->purgeExpiredTrash(), 1);
    clock = clock.addMSecs(1);
    EXPECT_EQ(lib->purgeExpiredTrash(), 0);
    EXPECT_EQ(lib->trashedAssets().size(), 1u);
    EXPECT_EQ(lib->trashedAssets()[0].asset->localIdentifier, recent);
    EXPECT_EQ(storedFileCount(), 2);
    EXPECT_EQ(lib->emptyTrash(), 1);
    EXPECT_EQ(storedFileCount(), 1);
    EXPECT_TRUE(lib->check().isEmpty()) << lib->check().join("\n").toStdString();
}
