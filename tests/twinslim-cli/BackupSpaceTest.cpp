#include "CliTestSupport.h"

#include <QRegularExpression>
#include <QStandardPaths>

using namespace clitest;

// A backup folder that runs out of room in the middle of a copy (here: a file-size limit
// below the size of a favourite's RAW) fails that item with the system's message and leaves them
// in the library as they were; the run goes on with the others.
TEST_F(CliTest, BackupOutOfSpaceFailsOnlyThoseItems) {
    const QString prlimit = QStandardPaths::findExecutable("prlimit");
    if (prlimit.isEmpty())
        GTEST_SKIP() << "prlimit (util-linux) is not installed";
    useDemoLibrary();
    grantAccess();
    QDir().mkpath(tmp.path() + "/backup");
    ok(cli({"backup-folder", tmp.path() + "/backup"}));
    // A few pairs only: the catalogue's write-ahead log grows with every change of the run
    // and must stay below the limit too.
    QStringList chosen;
    int favouritesChosen = 0, othersChosen = 0;
    for (const QJsonValue& v :
         QJsonDocument::fromJson(ok(cli({"scan", "--range", "all", "--json"})).out.toUtf8())
             .array()) {
        const bool favourite = v["isFavorite"].toBool();
        int& n = favourite ? favouritesChosen : othersChosen;
        if (n < (favourite ? 1 : 3)) {
            chosen << v["id"].toString();
            ++n;
        }
    }
    ok(cli(QStringList{"albums", "--range", "all", "--ids"} + chosen));
    const QString exported = tmp.path() + "/exported";
    ok(photolib({"export", "--album", "Twinslim Favs", "--format", "jpeg", exported}));
    ok(photolib({"export", "--album", "Twinslim NonFavs", "--format", "jpeg", exported}));
    const std::vector<Item> favourites = items({"--album", "Twinslim Favs"});
    const std::vector<Item> others = items({"--album", "Twinslim NonFavs"});
    ASSERT_EQ(favourites.size(), 1u);
    ASSERT_EQ(others.size(), 3u);

    // Just below the favourite's RAW: room for every other file the run writes (JPEG
    // backups, the exported pictures stored in the library, the catalogue, the log).
    qint64 largestOther = QFileInfo(library + "/catalog.sqlite").size();
    for (qint64 size : filesUnder(exported))
        largestOther = std::max(largestOther, size);
    qint64 limit = std::numeric_limits<qint64>::max();
    for (const std::vector<Item>* album : {&favourites, &others})
        for (const Item& item : *album)
            for (const Item::Resource& r : item.resources) {
                if (r.uti == "com.adobe.raw-image" && item.favorite)
                    limit = std::min(limit, r.size - 1);
                else if (r.uti == "public.jpeg")
                    largestOther = std::max(largestOther, r.size);
            }
    ASSERT_LT(4 * largestOther, limit);

    const Result r =
        cli({"ingest", "--yes", exported}, {prlimit, QString("--fsize=%1").arg(limit)});
    EXPECT_EQ(r.status, 1) << r.err.toStdString(); // a run with failures is no success
    EXPECT_EQ(r.out.count(": File too large"), qsizetype(favourites.size())) << r.out.toStdString();
    EXPECT_TRUE(r.out.contains(QString("Replaced %1 of %2 matched files. %3 failed.")
                                   .arg(others.size())
                                   .arg(favourites.size() + others.size())
                                   .arg(favourites.size())))
        << r.out.toStdString();
    const QStringList logs = QDir(tmp.path() + "/backup/Twinslim-logs").entryList(QDir::Files);
    ASSERT_EQ(logs.size(), 1);
    EXPECT_EQ(QString::fromUtf8(
                  testsupport::readFile(tmp.path() + "/backup/Twinslim-logs/" + logs.front()))
                  .count(": File too large"),
              qsizetype(favourites.size()));

    const QMap<QString, Item> listed = byId(items());
    const QMap<QString, qint64> backups = filesUnder(tmp.path() + "/backup");
    const QSet<QString> waiting = this->waiting();
    for (const Item& favourite : favourites) {
        SCOPED_TRACE(favourite.stem().toStdString());
        EXPECT_TRUE(r.out.contains(QRegularExpression("\\n\\[[^\\]]*\\]   FAILED " +
                                                      favourite.stem().toUpper() +
                                                      "\\.\\w+: .*File too large")))
            << "the FAILED line names the system's reason";
        ASSERT_TRUE(listed.contains(favourite.id));
        EXPECT_EQ(listed[favourite.id].albums, favourite.albums);
        EXPECT_FALSE(waiting.contains(favourite.id));
        int sameShot = 0;
        for (const Item& item : listed)
            sameShot += item.stem() == favourite.stem();
        EXPECT_EQ(sameShot, 1) << "no new item";
        // Nothing half-written sits at the RAW backup's final name.
        for (const Item::Resource& res : favourite.resources) {
            if (res.uti == "com.adobe.raw-image") {
                EXPECT_FALSE(backups.contains(backupDir(favourite) + "/" + safeID(favourite) + "." +
                                              QFileInfo(res.name).suffix()));
            }
        }
    }
    for (const Item& other : others) {
        EXPECT_FALSE(listed.contains(other.id)) << other.id.toStdString();
        EXPECT_TRUE(hasCompleteBackups(other, backups)) << other.id.toStdString();
    }
    EXPECT_EQ(ok(photolib({"check"})).out, "The library is clean.\n");
}
