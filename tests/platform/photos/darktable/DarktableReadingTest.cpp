// A darktable library's edge cases: which images make a pair, the names a new picture may take,
// the copies kept of the library, a favourite taken back, and a restore over a file that took
// an original's place.
#include "../shared/SqlRows.h"
#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "platform/photos/PhotoLibrary.h"
#include "support/Darktable.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <algorithm>
#include <gtest/gtest.h>

using namespace photos;

namespace {

class DarktableReading : public ::testing::Test {
protected:
    void SetUp() override {
        TWINSLIM_REQUIRE_DARKTABLE();
        ASSERT_TRUE(tmp.isValid());
        libraryDb = tmp.path() + "/darktable/library.db";
        for (const char* folder : {"a", "b", "c"})
            QDir().mkpath(tmp.path() + "/" + folder);
        const auto picture = [&](const QString& relative) {
            fixtures::makeJpegFile(tmp.path() + "/" + relative, {48, 32});
        };
        const auto raw = [&](const QString& relative) {
            testsupport::writeFile(tmp.path() + "/" + relative, fixtures::makeDng({48, 32}));
        };
        picture("a/IMG_0001.JPG");
        raw("a/IMG_0001.DNG");
        picture("a/img_0002.jpg"); // a camera or a copy that spelled it in lower case
        raw("a/IMG_0002.DNG");
        picture("a/GONE.JPG");
        picture("b/IMG_0003.JPG"); // one name in two folders
        raw("c/IMG_0003.DNG");
        testsupport::makeDarktableLibrary(libraryDb,
                                          {tmp.path() + "/a", tmp.path() + "/b", tmp.path() + "/c"},
                                          R"(for i = 1, #dt.database do
                 if dt.database[i].filename == "IMG_0001.JPG" then dt.database[i].rating = 3 end
               end)");
        // Grouped as darktable groups a pair, whatever its import did.
        for (const char* stem : {"IMG_0002", "IMG_0003"})
            sqlRows(libraryDb, QString("UPDATE images SET group_id = (SELECT min(id) FROM images "
                                       "WHERE filename LIKE '%1.%') WHERE filename LIKE '%1.%'")
                                   .arg(stem));
        // A picture darktable still lists whose file (and sidecar) went elsewhere.
        QFile::remove(tmp.path() + "/a/GONE.JPG");
        QFile::remove(tmp.path() + "/a/GONE.JPG.xmp");
        qputenv("XDG_DATA_HOME", QFile::encodeName(tmp.path() + "/data"));
    }
    void TearDown() override { qunsetenv("XDG_DATA_HOME"); }

    AssetPtr named(PhotoLibrary& lib, const QString& name) {
        for (const AssetPtr& a : lib.fetchAssets(MediaType::Image))
            if (a->resources.front()->originalFilename == name)
                return a;
        return nullptr;
    }

    QTemporaryDir tmp;
    QString libraryDb;
};

} // namespace

TEST_F(DarktableReading, PairsNamesCopiesFavouritesAndRestores) {
    // Three copies of the library from earlier sessions: the newest three are kept.
    const QString folder = QFileInfo(libraryDb).path();
    for (int i = 0; i < 3; ++i)
        testsupport::writeFile(folder + QString("/library.db-twinslim-2020010%1-000000").arg(i),
                               "old copy");
    auto lib = PhotoLibrary::open(libraryDb);
    lib->setDeletionConfirmationHandler([](int, std::function<void(bool)> reply) { reply(true); });

    // A RAW and a JPEG of one name are a pair whatever its case, and only in one folder.
    const AssetPtr lower = named(*lib, "img_0002.jpg");
    ASSERT_TRUE(lower);
    EXPECT_TRUE(
        std::any_of(lower->resources.begin(), lower->resources.end(),
                    [](const ResourcePtr& r) { return r->originalFilename == "IMG_0002.DNG"; }));
    EXPECT_TRUE(named(*lib, "IMG_0003.JPG"));
    EXPECT_TRUE(named(*lib, "IMG_0003.DNG"));

    // New pictures never take the name of a sidecar left behind, nor of a picture darktable
    // lists whose file is gone.
    testsupport::writeFile(tmp.path() + "/a/NEW.JPG.xmp", "<left behind/>");
    const AssetPtr first = named(*lib, "IMG_0001.JPG");
    ASSERT_TRUE(first);
    lib->performChangesAndWait([&](ChangeRequests& c) {
        for (const char* name : {"NEW.JPG", "GONE.JPG"}) {
            auto& made = c.creationRequestForAsset();
            made.addResource(ResourceType::Photo, fixtures::makeJpeg({32, 24}),
                             {name, "public.jpeg"});
            made.derivedFrom = first->localIdentifier;
        }
        // Taking back a favourite that never was one keeps its 3 stars.
        c.changeRequestForAsset(first).favorite = false;
    });
    EXPECT_TRUE(QFile::exists(tmp.path() + "/a/NEW (1).JPG"));
    EXPECT_TRUE(QFile::exists(tmp.path() + "/a/GONE (1).JPG"));
    EXPECT_EQ(testsupport::readFile(tmp.path() + "/a/NEW.JPG.xmp"), "<left behind/>");
    EXPECT_EQ(sqlRows(libraryDb, "SELECT flags & 7 FROM images WHERE filename = 'IMG_0001.JPG'"),
              "3\n");
    EXPECT_EQ(QDir(folder).entryList({"library.db-twinslim-*"}, QDir::Files).size(), 3);

    // An original whose place another file took stays in the trash; its sidecar comes back.
    const AssetPtr lone = named(*lib, "IMG_0003.JPG");
    ASSERT_TRUE(lone);
    const QString id = lone->localIdentifier;
    lib->performChangesAndWait([&](ChangeRequests& c) { c.deleteAssets({lone}); });
    ASSERT_FALSE(QFile::exists(tmp.path() + "/b/IMG_0003.JPG.xmp"));
    testsupport::writeFile(tmp.path() + "/b/IMG_0003.JPG", "another picture");
    EXPECT_NO_THROW(lib->restoreFromTrash({id}));
    EXPECT_EQ(testsupport::readFile(tmp.path() + "/b/IMG_0003.JPG"), "another picture");
    EXPECT_TRUE(QFile::exists(tmp.path() + "/b/IMG_0003.JPG.xmp"));
}
