#include "CliTestSupport.h"

#include "core/AccessGateText.h"
#include "core/ByteCountFormat.h"

#include <QLocale>
#include <QSettings>
#include <algorithm>

using namespace clitest;

namespace {

QString gateMessage(photos::AuthorizationStatus status) {
    const auto text = twinslim::accessGateText(status);
    return text->title + ". " + text->caption;
}

QStringList lines(const QString& text) {
    return text.split('\n', Qt::SkipEmptyParts);
}

} // namespace

TEST_F(CliTest, UsageErrorsExitTwoWithOneLineAndTouchNothing) {
    const QList<QStringList> cases = {
        {},
        {"frobnicate"},
        {"scan", "--range", "decade"},
        {"scan", "--show"},
        {"scan", "extra"},
        {"scan", "--json", "--verbose"},
        {"albums"},
        {"albums", "--all", "--first", "3"},
        {"albums", "--first", "0"},
        {"albums", "--first", "many"},
        {"albums", "--ids"},
        {"ingest"},
        {"ingest", "a", "b"},
        {"cleanup", "now"},
        {"backup-folder", "a", "b"},
        {"--library"},
        {"--library", "a", "--library", "b", "scan"},
    };
    for (const QStringList& args : cases) {
        SCOPED_TRACE(args.join(' ').toStdString());
        const Result r = cli(args);
        EXPECT_EQ(r.status, 2);
        EXPECT_TRUE(r.out.isEmpty());
        EXPECT_EQ(lines(r.err).size(), 1) << r.err.toStdString();
        EXPECT_TRUE(r.err.startsWith("twinslim-cli: ")) << r.err.toStdString();
    }
    // No library was opened or created and no grant asked for.
    EXPECT_FALSE(QFileInfo::exists(library));
    EXPECT_FALSE(QFileInfo::exists(config));
    EXPECT_EQ(ok(cli({"--help"})).out.count("usage: twinslim-cli"), 1);
}

// The access gate: what is stored, what is said, for each grant a command starts with.
TEST_F(CliTest, LibraryAccessIsGrantedOnlyWithFullAccess) {
    using photos::AuthorizationStatus;
    struct Case {
        const char* grant; // photolib access STATUS before the run; null: none
        QStringList args;
        int status;
        QString message; // expected in standard error
        QString storedAfter;
    };
    const QString none = "No program has asked for access yet.";
    const QList<Case> cases = {
        {nullptr, {"scan"}, 1, "Photos access is not granted yet", none},
        {nullptr, {"--yes", "scan"}, 0, "1  Allow full access", "twinslim: authorized"},
        {"denied", {"scan"}, 1, gateMessage(AuthorizationStatus::Denied), "twinslim: denied"},
        {"denied",
         {"--yes", "cleanup"},
         1,
         gateMessage(AuthorizationStatus::Denied),
         "twinslim: denied"},
        {"limited",
         {"albums", "--all"},
         1,
         gateMessage(AuthorizationStatus::Limited),
         "twinslim: limited"},
        {"authorized",
         {"--library", tmp.path() + "/Missing.photolibrary", "scan"},
         1,
         "There is no photo library at “" + tmp.path() + "/Missing.photolibrary”.",
         "twinslim: authorized"},
    };
    ok(photolib({"create", library}));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QDir(config).removeRecursively();
        if (c.grant)
            ok(photolib({"access", "twinslim", c.grant}));
        const Result r = cli(c.args);
        EXPECT_EQ(r.status, c.status) << r.err.toStdString();
        EXPECT_TRUE(r.err.contains(c.message)) << r.err.toStdString();
        EXPECT_EQ(ok(photolib({"access"})).out.trimmed(), c.storedAfter);
    }
    EXPECT_FALSE(QFileInfo::exists(tmp.path() + "/Missing.photolibrary"));
}

TEST_F(CliTest, ScanShowsThePairsTheLibraryHolds) {
    useDemoLibrary();
    grantAccess();
    QLocale::setDefault(QLocale::c()); // the programs run in the C locale
    std::vector<Item> pairs;
    for (const Item& item : items())
        if (item.isPair() && !item.hidden)
            pairs.push_back(item);
    const QMap<QString, Item> expected = byId(pairs);

    const QJsonArray json =
        QJsonDocument::fromJson(ok(cli({"scan", "--range", "all", "--json"})).out.toUtf8()).array();
    ASSERT_EQ(json.size(), expected.size());
    qint64 previousRaw = std::numeric_limits<qint64>::max(), totalRaw = 0;
    bool sawUndated = false;
    for (const QJsonValue& v : json) {
        const QJsonObject o = v.toObject();
        const QString id = o["id"].toString();
        SCOPED_TRACE(id.toStdString());
        ASSERT_TRUE(expected.contains(id));
        const Item& item = expected[id];
        auto sizeOf = [&](const char* uti) {
            for (const Item::Resource& r : item.resources)
                if (r.uti == QLatin1String(uti))
                    return r.size;
            return qint64(-1);
        };
        const qint64 raw = qint64(o["rawBytes"].toDouble());
        EXPECT_EQ(raw, sizeOf("com.adobe.raw-image"));
        EXPECT_LE(raw, previousRaw) << "largest RAW first";
        previousRaw = raw;
        totalRaw += raw;
        EXPECT_EQ(qint64(o["jpegBytes"].toDouble()), sizeOf("public.jpeg"));
        EXPECT_EQ(o["isFavorite"].toBool(), item.favorite);
        EXPECT_EQ(o["albumNames"].toVariant().toStringList(), item.albums);
        EXPECT_EQ(o["rawUTI"].toString(), "com.adobe.raw-image");
        EXPECT_TRUE(o["rawFilename"].toString().endsWith(".DNG"));
        if (item.date.isNull()) {
            sawUndated = true;
            EXPECT_TRUE(o["creationDate"].isNull());
        } else {
            EXPECT_EQ(o["creationDate"].toString(),
                      item.instant().toUTC().toString("yyyy-MM-ddTHH:mm:ssZ"));
        }
    }
    EXPECT_TRUE(sawUndated);

    // The table: a header, a row per visible pair, and the status of all pairs.
    struct Case {
        QString show;
        int rows;
    };
    const int favourites =
        int(std::count_if(pairs.begin(), pairs.end(), [](const Item& i) { return i.favorite; }));
    for (const Case& c : {Case{"all", int(pairs.size())}, Case{"favorites", favourites},
                          Case{"non-favorites", int(pairs.size()) - favourites}}) {
        SCOPED_TRACE(c.show.toStdString());
        const QStringList table = lines(ok(cli({"scan", "--range", "all", "--show", c.show})).out);
        ASSERT_EQ(table.size(), c.rows + 2);
        EXPECT_TRUE(table.front().startsWith("ID "));
        EXPECT_EQ(table.back(), QString("%1 pairs · %2 reclaimable")
                                    .arg(pairs.size())
                                    .arg(twinslim::formatByteCount(totalRaw)));
        EXPECT_EQ(table.mid(1, c.rows).filter(" ★ ").size(),
                  c.show == "non-favorites" ? 0 : favourites);
    }
    EXPECT_EQ(lines(ok(cli({"scan", "--range", "all"})).out).filter(" — ").size(), 1)
        << "the undated pair";
}

TEST_F(CliTest, BackupFolderIsTheWindowsSettingAndIsChecked) {
    const QString folder = tmp.path() + "/Backups";
    QDir().mkpath(folder);
    testsupport::writeFile(tmp.path() + "/file", "x");
    const QString settings = config + "/Twinslim/Twinslim.conf";
    struct Case {
        QStringList args;
        int status;
        QString out;
        QString err; // expected in standard error
        QString stored;
    };
    QDir().mkpath(library);
    const QList<Case> cases = {
        {{"backup-folder"}, 1, "", "No backup folder is selected.", ""},
        {{"backup-folder", tmp.path() + "/missing"}, 1, "", "is not a folder", ""},
        {{"backup-folder", tmp.path() + "/file"}, 1, "", "is not a folder", ""},
        {{"backup-folder", tmp.path() + "/./Backups/"},
         0,
         "Backup folder: " + folder + "\n",
         "",
         folder},
        {{"backup-folder"}, 0, folder + "\n", "", folder},
        // Backups inside the photo library would be files the library does not know.
        {{"backup-folder", library},
         1,
         "",
         "The backup folder is inside the photo library",
         folder},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        const Result r = cli(c.args);
        EXPECT_EQ(r.status, c.status);
        EXPECT_EQ(r.out, c.out);
        EXPECT_TRUE(c.err.isEmpty() ? r.err.isEmpty() : r.err.contains(c.err))
            << r.err.toStdString();
        EXPECT_EQ(
            QSettings(settings, QSettings::IniFormat).value("backupFolderBookmark").toString(),
            c.stored);
    }
    // A remembered folder that went away is named, with the folder check's advice.
    QDir(folder).removeRecursively();
    const Result gone = cli({"backup-folder"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.out, folder + "\n");
    EXPECT_TRUE(gone.err.startsWith("twinslim-cli: The backup folder isn’t reachable:\n" + folder))
        << gone.err.toStdString();
}

TEST_F(CliTest, AlbumsHoldExactlyTheSelection) {
    useDemoLibrary();
    grantAccess();
    const QJsonArray scanned =
        QJsonDocument::fromJson(ok(cli({"scan", "--range", "all", "--json"})).out.toUtf8()).array();
    ASSERT_GE(scanned.size(), 4);
    auto idAt = [&](int i) { return scanned[i].toObject()["id"].toString(); };
    const QString pristine = tmp.path() + "/pristine";
    copyTree(library, pristine);

    struct Case {
        QStringList args;
        int status;
        QSet<QString> selected;
    };
    const QList<Case> cases = {
        {{"--first", "3"}, 0, {idAt(0), idAt(1), idAt(2)}},
        {{"--ids", idAt(3), idAt(1)}, 0, {idAt(3), idAt(1)}},
        {{"--ids", idAt(0), "NOT-A-PAIR/L0/001"}, 1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.join(' ').toStdString());
        QDir(library).removeRecursively();
        copyTree(pristine, library);
        const Result r = cli(QStringList{"albums", "--range", "all"} + c.args);
        EXPECT_EQ(r.status, c.status) << r.err.toStdString();
        QSet<QString> inAlbums;
        int favourites = 0;
        for (const char* album : {"Twinslim Favs", "Twinslim NonFavs"}) {
            const Result members = photolib({"list", "--album", album, "--json"});
            for (const Item& item : parseItems(members.out)) {
                inAlbums.insert(item.id);
                favourites += item.favorite;
                EXPECT_EQ(item.favorite, QString(album) == "Twinslim Favs");
            }
        }
        EXPECT_EQ(inAlbums, c.selected);
        if (c.status == 0)
            EXPECT_TRUE(r.out.startsWith(QString("Added %1 to “Twinslim Favs”").arg(favourites)))
                << r.out.toStdString();
        else
            EXPECT_EQ(lines(r.err).size(), 1) << r.err.toStdString();
    }
}

TEST_F(CliTest, CleanupWithNothingPendingSaysSo) {
    grantAccess();
    ok(photolib({"create", library}));
    const Result r = ok(cli({"cleanup"}));
    EXPECT_EQ(r.out, "Nothing to clean up: no replaced originals are waiting to be deleted.\n");
    // Albums of nothing are no success either.
    const Result none = cli({"albums", "--range", "all", "--all"});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(lines(none.err).size(), 1) << none.err.toStdString();
    EXPECT_TRUE(ok(photolib({"check"})).out.contains("clean"));
}

// Without a terminal the one deletion question is answered no: the originals wait in the
// marker album until a clean-up deletes them.
TEST_F(CliTest, UnansweredDeletionLeavesOriginalsForTheCleanup) {
    copyTree(prepared().library, library);
    grantAccess();
    QDir().mkpath(tmp.path() + "/backup");
    ok(cli({"backup-folder", tmp.path() + "/backup"}));
    const QSet<QString> members =
        ids(items({"--album", "Twinslim Favs"})) + ids(items({"--album", "Twinslim NonFavs"}));

    // A run whose originals stay undeleted is no success to a script.
    const Result ingest = cli({"ingest", prepared().exported});
    EXPECT_EQ(ingest.status, 1);
    EXPECT_TRUE(ingest.out.contains("replaced originals were not deleted"));
    EXPECT_TRUE(ingest.err.contains(QString("Delete %1 items? [y/N] no").arg(members.size())))
        << ingest.err.toStdString();
    EXPECT_EQ(waiting(), members);

    const Result refused = cli({"cleanup"});
    EXPECT_EQ(refused.status, 1);
    EXPECT_TRUE(refused.err.startsWith(
        QString("%1 originals from a previous run were replaced but not deleted. Delete them now "
                "to reclaim the space? [y/N] no")
            .arg(members.size())))
        << refused.err.toStdString();
    EXPECT_EQ(waiting(), members);

    const Result done = ok(cli({"cleanup", "--yes"}));
    EXPECT_TRUE(done.out.startsWith(QString("Deleted %1 originals.").arg(members.size())));
    EXPECT_TRUE(waiting().isEmpty());
    EXPECT_TRUE((ids(items()) & members).isEmpty());
}

// Two ingests at once on one library, as two terminals or the window and a terminal start
// them: one runs, the other stops at once with one line; every original is replaced once.
TEST_F(CliTest, TwoIngestsAtOnceReplaceEachOriginalOnce) {
    copyTree(prepared().library, library);
    grantAccess();
    QDir().mkpath(tmp.path() + "/backup");
    ok(cli({"backup-folder", tmp.path() + "/backup"}));
    const size_t before = items().size();
    const QSet<QString> members =
        ids(items({"--album", "Twinslim Favs"})) + ids(items({"--album", "Twinslim NonFavs"}));

    QProcess runs[2];
    for (QProcess& p : runs) {
        p.setProcessEnvironment(env);
        p.start(testsupport::twinslimCliPath(), {"--yes", "ingest", prepared().exported});
        p.closeWriteChannel();
    }
    QStringList statuses;
    for (QProcess& p : runs) {
        ASSERT_TRUE(p.waitForFinished(180000));
        const QString err = QString::fromUtf8(p.readAllStandardError());
        if (p.exitCode() == 1) {
            EXPECT_TRUE(err.contains("Another ingest is running on this photo library"))
                << err.toStdString();
            EXPECT_EQ(lines(err).size(), 1) << err.toStdString();
        }
        statuses << QString::number(p.exitCode());
    }
    statuses.sort();
    EXPECT_EQ(statuses, (QStringList{"0", "1"}));
    EXPECT_EQ(items().size(), before); // each original gave way to exactly one replacement
    EXPECT_TRUE((ids(items()) & members).isEmpty());
    const Result albums = ok(photolib({"albums"}));
    EXPECT_LE(albums.out.count("TwinslimOriginalsToDelete"), 1) << albums.out.toStdString();
}
