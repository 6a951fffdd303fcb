// Restoring replaced pairs through the real programs on a catalogue library: from Recently
// Deleted, from the backups alone, with damaged backups, declined deletions and kills.
#include "CliTestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>

using namespace clitest;

namespace {

// The albums a user made, without the programs' own.
QStringList userAlbums(const Item& item) {
    QStringList albums = item.albums;
    albums.removeIf([](const QString& a) { return a.startsWith("Twinslim"); });
    albums.sort();
    return albums;
}

// The resources' names and sizes, in stored order.
QStringList resourceList(const Item& item) {
    QStringList list;
    for (const Item::Resource& r : item.resources)
        list << QString("%1 %2").arg(r.name).arg(r.size);
    return list;
}

class RestoreCli : public CliTest {
protected:
    // The prepared demo library slimmed: its export albums ingested, the originals deleted.
    void slim() {
        usePreparedLibrary();
        before = byId(items());
        ok(cli({"ingest", "--yes", prepared().exported}));
        for (const QJsonValue v : listing()["pairs"].toArray())
            replacementOf.insert(v["originalID"].toString(), v["replacementID"].toString());
        ASSERT_GE(replacementOf.size(), 4);
    }
    QJsonObject listing() {
        return QJsonDocument::fromJson(ok(cli({"restore", "--list", "--json"})).out.toUtf8())
            .object();
    }
    // The backup file of `original` ending in `suffix`, with its path.
    QString backupFile(const Item& original, const QString& suffix) {
        return tmp.path() + "/backup/" + backupDir(original) + "/" + safeID(original) + suffix;
    }
    // The stored files of an item in the catalogue, by content.
    QList<QByteArray> storedFiles(const QString& id) {
        QList<QByteArray> files;
        QDirIterator it(library + "/resources", {id.left(36) + "*"}, QDir::Files,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            files << testsupport::readFile(it.next());
        std::sort(files.begin(), files.end());
        return files;
    }

    QMap<QString, Item> before;
    QMap<QString, QString> replacementOf; // original → replacement
};

// From Recently Deleted every pair comes back as the very item it was, with the favourite
// flag and albums its replacement has now; a second restore does nothing and says so.
TEST_F(RestoreCli, PairsComeBackFromRecentlyDeletedAsTheyWereWithTheReplacementsMarks) {
    slim();
    for (const QJsonValue v : listing()["pairs"].toArray())
        EXPECT_EQ(v["source"].toString(), "trash");
    // The user changed two replacements since: one favourite no longer, one into an album.
    const QString fav = *std::find_if(replacementOf.keyBegin(), replacementOf.keyEnd(),
                                      [&](const QString& id) { return before[id].favorite; });
    const QString other = *std::find_if(replacementOf.keyBegin(), replacementOf.keyEnd(),
                                        [&](const QString& id) { return !before[id].favorite; });
    ok(photolib({"favorite", "--off", replacementOf[fav]}));
    ok(photolib({"album", "create", "Restored later"}));
    ok(photolib({"album", "add", "Restored later", replacementOf[other]}));

    const Result dry = ok(cli({"restore", "--dry-run", "--all"}));
    EXPECT_TRUE(dry.out.contains("Nothing was changed")) << dry.out.toStdString();
    EXPECT_EQ(listing()["pairs"].toArray().size(), replacementOf.size());

    const Result r = ok(cli({"--yes", "restore", "--all"}));
    EXPECT_TRUE(r.out.contains(QString("Restored %1 pairs.").arg(replacementOf.size())))
        << r.out.toStdString();
    const QMap<QString, Item> after = byId(items());
    EXPECT_EQ(after.size(), before.size());
    for (const Item& was : before) {
        SCOPED_TRACE(was.id.toStdString());
        ASSERT_TRUE(after.contains(was.id));
        const Item& now = after[was.id];
        EXPECT_EQ(resourceList(now), resourceList(was));
        EXPECT_EQ(now.date, was.date);
        EXPECT_EQ(now.location, was.location);
        EXPECT_EQ(now.favorite, was.id == fav ? false : was.favorite);
        QStringList albums = userAlbums(was);
        if (was.id == other)
            albums << "Restored later";
        EXPECT_EQ(userAlbums(now), albums);
    }
    // Nothing waits for the clean-up: the originals left the marker album.
    EXPECT_TRUE(waiting().isEmpty());
    // The replacements are in Recently Deleted, the records say when they were restored.
    const QString trash = ok(photolib({"trash", "list"})).out;
    for (const QString& replacement : replacementOf)
        EXPECT_TRUE(trash.contains(replacement));
    EXPECT_TRUE(testsupport::readFile(backupFile(before[fav], ".json")).contains("restoredAt"));
    EXPECT_EQ(ok(photolib({"check"})).out, "The library is clean.\n");

    const Result again = ok(cli({"--yes", "restore", "--all"}));
    EXPECT_EQ(again.out,
              QString("Nothing to restore: %1 pairs restored before.\n").arg(replacementOf.size()));
    const Result named = ok(cli({"--yes", "restore", replacementOf[other]}));
    EXPECT_TRUE(named.out.contains("was restored on")) << named.out.toStdString();
    EXPECT_EQ(items().size(), std::size_t(before.size()));
}

// With Recently Deleted emptied the pairs come from the backups: a favourite whole and
// byte for byte, any other as its JPEG. A damaged backup fails its pair alone, with the
// reason. A declined deletion leaves originals and replacements both, and a second run
// finishes without making anything twice.
TEST_F(RestoreCli, FromTheBackupsAloneADamagedBackupFailsOnlyItsPair) {
    slim();
    ok(photolib({"trash", "empty"}));
    QString damaged;
    for (const QString& id : replacementOf.keys())
        if (!before[id].favorite && damaged.isEmpty() &&
            QFile::exists(backupFile(before[id], ".JPG")))
            damaged = id;
    const QString damagedFile = backupFile(before[damaged], ".JPG");
    QByteArray bytes = testsupport::readFile(damagedFile);
    ASSERT_FALSE(bytes.isEmpty()) << damagedFile.toStdString();
    testsupport::writeFile(damagedFile, bytes.left(bytes.size() / 2));

    const QJsonArray pairs = listing()["pairs"].toArray();
    for (const QJsonValue v : pairs) {
        const bool isDamaged = v["originalID"].toString() == damaged;
        EXPECT_EQ(v["source"].toString(), "backup");
        EXPECT_EQ(v["canRestore"].toBool(), !isDamaged);
        EXPECT_EQ(v["jpegOnly"].toBool(), !before[v["originalID"].toString()].favorite);
    }

    // No terminal to confirm the deletion on: the originals are back, the replacements stay.
    const Result declined = cli({"restore", "--all"});
    EXPECT_EQ(declined.status, 1);
    EXPECT_TRUE(declined.out.contains("were not deleted; restore them again to finish"))
        << declined.out.toStdString();
    EXPECT_TRUE(declined.out.contains("holds " + QString::number(bytes.size() / 2) + " bytes"))
        << declined.out.toStdString();
    EXPECT_EQ(items().size(), std::size_t(before.size() + replacementOf.size() - 1));

    const Result finished = cli({"--yes", "restore", "--all"});
    EXPECT_EQ(finished.status, 1); // the damaged pair is still not restored
    const std::vector<Item> now = items();
    EXPECT_EQ(now.size(), std::size_t(before.size()));
    const QSet<QString> present = ids(now);
    EXPECT_TRUE(present.contains(replacementOf[damaged]));
    for (const Item& item : now) {
        if (before.contains(item.id) || item.id == replacementOf[damaged])
            continue;
        // A restored item: which original it stands for, by its JPEG's name.
        const auto was = std::find_if(before.begin(), before.end(), [&](const Item& b) {
            return !present.contains(b.id) &&
                   std::any_of(b.resources.begin(), b.resources.end(), [&](const auto& r) {
                       return r.name == item.resources.front().name &&
                              r.size == item.resources.front().size;
                   });
        });
        ASSERT_NE(was, before.end()) << item.stem().toStdString();
        SCOPED_TRACE(was->id.toStdString());
        EXPECT_EQ(item.date, was->date);
        EXPECT_EQ(item.location, was->location);
        EXPECT_EQ(item.favorite, was->favorite);
        EXPECT_EQ(userAlbums(item), userAlbums(*was));
        if (was->favorite) {
            EXPECT_EQ(resourceList(item), resourceList(*was));
            QList<QByteArray> backups;
            for (const Item::Resource& r : was->resources)
                backups << testsupport::readFile(
                    backupFile(*was, "." + QFileInfo(r.name).suffix()));
            std::sort(backups.begin(), backups.end());
            EXPECT_EQ(storedFiles(item.id), backups);
        } else {
            ASSERT_EQ(item.resources.size(), 1u);
            EXPECT_EQ(item.resources[0].size, was->sizeOf("public.jpeg"));
        }
    }
    EXPECT_EQ(ok(photolib({"check"})).out, "The library is clean.\n");
    // The damaged backup is left as it was found, and so is its record.
    EXPECT_EQ(QFileInfo(damagedFile).size(), bytes.size() / 2);
    EXPECT_FALSE(testsupport::readFile(backupFile(before[damaged], ".json")).contains("restored"));
}

// Killed at any moment, a restore leaves every original in the library or in Recently
// Deleted, every replacement too; a second run finishes it with nothing twice.
TEST_F(RestoreCli, KilledRestoresLoseNothingAndASecondRunFinishes) {
    slim();
    const QString start = tmp.path() + "/start";
    copyTree(library, start);
    int rounds = qEnvironmentVariableIsSet("TWINSLIM_KILL_ROUNDS")
                     ? qEnvironmentVariableIntValue("TWINSLIM_KILL_ROUNDS")
                     : 10;
    QRandomGenerator random(qEnvironmentVariableIsSet("TWINSLIM_KILL_SEED")
                                ? quint32(qEnvironmentVariableIntValue("TWINSLIM_KILL_SEED"))
                                : 20261208u);
    int fullRunLines = 0;
    for (int round = 0; round < rounds && !HasFailure(); ++round) {
        QDir(library).removeRecursively();
        copyTree(start, library);
        for (const QString& json : filesUnder(tmp.path() + "/backup").keys())
            if (json.endsWith(".json")) {
                // The records as the ingest left them.
                const QString path = tmp.path() + "/backup/" + json;
                QJsonObject o = QJsonDocument::fromJson(testsupport::readFile(path)).object();
                o.remove("restoredAt");
                testsupport::writeFile(path, QJsonDocument(o).toJson());
            }
        const int lines =
            round == 0 ? std::numeric_limits<int>::max() : int(random.bounded(fullRunLines + 1));
        const auto delay = (unsigned long)random.bounded(20000u);
        SCOPED_TRACE(QString("round %1: killed after %2 lines + %3 µs")
                         .arg(round)
                         .arg(lines)
                         .arg(delay)
                         .toStdString());
        QProcess p;
        p.setProcessEnvironment(env);
        p.setProcessChannelMode(QProcess::MergedChannels);
        p.start(testsupport::twinslimCliPath(), {"--yes", "restore", "--all"});
        p.closeWriteChannel();
        ASSERT_TRUE(p.waitForStarted(30000));
        QByteArray seen;
        while (seen.count('\n') < lines && p.state() == QProcess::Running)
            if (p.waitForReadyRead(60000))
                seen += p.readAll();
        QThread::usleep(delay);
        p.kill();
        p.waitForFinished(60000);
        if (round == 0)
            fullRunLines = int((seen + p.readAll()).count('\n'));

        const QSet<QString> inLibrary = ids(items());
        const QString trash = ok(photolib({"trash", "list"})).out;
        for (auto it = replacementOf.cbegin(); it != replacementOf.cend(); ++it) {
            EXPECT_TRUE(inLibrary.contains(it.key()) || trash.contains(it.key()))
                << it.key().toStdString();
            EXPECT_TRUE(inLibrary.contains(it.value()) || trash.contains(it.value()));
            EXPECT_TRUE(inLibrary.contains(it.key()) || inLibrary.contains(it.value()))
                << "neither " << it.key().toStdString() << " nor its replacement";
        }
        const Result again = cli({"--yes", "restore", "--all"});
        EXPECT_EQ(again.status, 0) << again.out.toStdString() << again.err.toStdString();
        EXPECT_EQ(ids(items()), QSet<QString>(before.keyBegin(), before.keyEnd()));
        EXPECT_TRUE(waiting().isEmpty());
        EXPECT_EQ(ok(photolib({"check"})).out, "The library is clean.\n");
    }
}

// Choosing pairs: by either identifier, by an ingest log, by the time they were replaced;
// mistakes are said before anything changes.
TEST_F(RestoreCli, PairsAreChosenByIdentifierLogOrTime) {
    slim();
    const QString first = replacementOf.firstKey();
    EXPECT_EQ(cli({"restore", "--all", "--since", "2020-01-01"}).status, 2);
    EXPECT_EQ(cli({"restore", "--since", "yesterday"}).status, 2);
    const Result stranger = cli({"--yes", "restore", "NO-SUCH-ID", first});
    EXPECT_EQ(stranger.status, 1);
    EXPECT_TRUE(stranger.err.contains("“NO-SUCH-ID”")) << stranger.err.toStdString();
    EXPECT_EQ(listing()["pairs"].toArray().size(), replacementOf.size());

    // By the original's identifier, then by the replacement's.
    ok(cli({"--yes", "restore", first}));
    EXPECT_EQ(listing()["pairs"].toArray().size(), replacementOf.size() - 1);
    const QString second = std::next(replacementOf.cbegin()).value();
    ok(cli({"--yes", "restore", second}));
    EXPECT_EQ(listing()["pairs"].toArray().size(), replacementOf.size() - 2);
    // Nothing was replaced after tomorrow; the ingest's log names the rest.
    const QString tomorrow = QDate::currentDate().addDays(1).toString(Qt::ISODate);
    EXPECT_TRUE(ok(cli({"--yes", "restore", "--since", tomorrow})).out.startsWith("Nothing"));
    const QStringList logs = QDir(tmp.path() + "/backup/Twinslim-logs").entryList({"ingest-*.log"});
    ASSERT_EQ(logs.size(), 1);
    ok(cli({"--yes", "restore", "--log", tmp.path() + "/backup/Twinslim-logs/" + logs[0]}));
    EXPECT_TRUE(listing()["pairs"].toArray().isEmpty());
    EXPECT_EQ(listing()["alreadyRestored"].toInt(), replacementOf.size());
    EXPECT_EQ(QDir(tmp.path() + "/backup/Twinslim-logs").entryList({"restore-*.log"}).size(), 3);
}

} // namespace
