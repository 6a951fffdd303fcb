#include "CliTestSupport.h"

#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "ingest/FileSignature.h"

#include <QRandomGenerator>
#include <QThread>
#include <functional>

using namespace clitest;

namespace {

// Runs `twinslim-cli ingest --yes` and kills it once it has written `lines` lines (its log
// lines and its questions) and a further `delayMicros`: moments taken from the run's own
// progress, so every stage is hit whatever the machine's speed. Returns the lines seen.
int killIngestAfter(const QProcessEnvironment& env, const QString& exported, int lines,
                    unsigned long delayMicros) {
    QProcess p;
    p.setProcessEnvironment(env);
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(testsupport::twinslimCliPath(), {"ingest", "--yes", exported});
    p.closeWriteChannel();
    EXPECT_TRUE(p.waitForStarted(30000));
    QByteArray seen;
    while (seen.count('\n') < lines && p.state() == QProcess::Running)
        if (p.waitForReadyRead(60000))
            seen += p.readAll();
    QThread::usleep(delayMicros);
    p.kill();
    p.waitForFinished(60000);
    return int((seen + p.readAll()).count('\n'));
}

// One shot of the camera: capture instant and name stem.
QString shot(const Item& item) {
    return item.instant().toUTC().toString(Qt::ISODate) + " " + item.stem();
}

QSet<QString> trashed(const QString& trashList) {
    QSet<QString> ids;
    for (const QString& line : trashList.split('\n', Qt::SkipEmptyParts))
        ids.insert(line.section(' ', 0, 0));
    return ids;
}

} // namespace

// An ingest killed at any moment loses no original: whatever left the library (or waits to
// leave it in the marker album) has its backups in place, the library is intact, and
// running the ingest and the clean-up again finishes the job, replacing each original once.
// TWINSLIM_KILL_ROUNDS sets the number of rounds (scripts/kill-ingest-rounds).
class KillRounds : public CliTest {
protected:
    // Kills ingests of `prepared.exported` into copies of `prepared.library`; `checkPictures`
    // looks at the items of a round's library once the kill and again once all is done.
    void killRounds(const Prepared& prepared, int defaultRounds,
                    const std::function<void(const std::vector<Item>&)>& checkPictures = {}) {
        const int rounds = qEnvironmentVariableIsSet("TWINSLIM_KILL_ROUNDS")
                               ? qEnvironmentVariableIntValue("TWINSLIM_KILL_ROUNDS")
                               : defaultRounds;
        const quint32 seed = qEnvironmentVariableIsSet("TWINSLIM_KILL_SEED")
                                 ? quint32(qEnvironmentVariableIntValue("TWINSLIM_KILL_SEED"))
                                 : 20261206;
        QRandomGenerator random(seed);
        grantAccess();
        env.insert("PHOTOLIB_LIBRARY", prepared.library);
        std::vector<Item> members = items({"--album", "Twinslim Favs"});
        for (const Item& item : items({"--album", "Twinslim NonFavs"}))
            members.push_back(item);
        ASSERT_GE(members.size(), 10u);

        int fullRunLines = 0; // learnt from the first round, which is not killed
        for (int round = 0; round < rounds; ++round) {
            const QString dir = tmp.path() + QString("/round-%1").arg(round);
            env.insert("PHOTOLIB_LIBRARY", dir + "/Lib.photolibrary");
            copyTree(prepared.library, dir + "/Lib.photolibrary");
            QDir().mkpath(dir + "/backup");
            ok(cli({"backup-folder", dir + "/backup"}));

            const int lines = round == 0 ? std::numeric_limits<int>::max()
                                         : int(random.bounded(fullRunLines + 1));
            const auto delay = (unsigned long)random.bounded(3000);
            SCOPED_TRACE(QString("round %1 (seed %2): killed after %3 lines + %4 µs")
                             .arg(round)
                             .arg(seed)
                             .arg(lines)
                             .arg(delay)
                             .toStdString());
            const int seen = killIngestAfter(env, prepared.exported, lines, delay);
            if (round == 0)
                fullRunLines = seen;

            auto expectNothingLost = [&](bool finished) {
                EXPECT_EQ(photolib({"check"}).status, 0);
                const std::vector<Item> all = items();
                const QMap<QString, Item> listed = byId(all);
                const QSet<QString> inTrash = trashed(ok(photolib({"trash", "list"})).out);
                const QSet<QString> waiting = this->waiting();
                const QMap<QString, qint64> backups = filesUnder(dir + "/backup");
                for (const Item& original : members) {
                    SCOPED_TRACE(original.id.toStdString());
                    const bool left = !listed.contains(original.id);
                    EXPECT_EQ(left, inTrash.contains(original.id));
                    if (left || waiting.contains(original.id)) {
                        EXPECT_TRUE(hasCompleteBackups(original, backups));
                    }
                    if (finished) {
                        EXPECT_TRUE(left);
                    }
                }
                if (checkPictures)
                    checkPictures(all);
                if (!finished)
                    return;
                // Each original replaced exactly once: one item per capture date and name stem.
                QMap<QString, int> perShot;
                for (const Item& item : listed)
                    ++perShot[shot(item)];
                for (auto it = perShot.cbegin(); it != perShot.cend(); ++it)
                    EXPECT_EQ(it.value(), 1) << it.key().toStdString();
                for (const Item& original : members)
                    EXPECT_EQ(perShot.value(shot(original)), 1);
            };
            expectNothingLost(false);
            // After a run that got to its end the export albums are empty: nothing to start.
            const Result again = cli({"ingest", "--yes", prepared.exported});
            EXPECT_TRUE(again.status == 0 ||
                        (again.status == 1 && again.err.contains("Both export albums are empty")))
                << again.err.toStdString();
            ok(cli({"cleanup", "--yes"}));
            expectNothingLost(true);
            if (HasFailure())
                break; // one round's trace and folder are enough to go on
            QDir(dir).removeRecursively();
        }
    }

    // Two camera folders whose files share their names (A/IMG_0001 and B/IMG_0001, …), each
    // shot at its own moment and of its own pixel width, imported into one library, filled
    // into the export albums and exported into one folder (the second of a name as
    // "IMG_0001 (1).jpg"). `widthToDate` tells, for each picture width, the EXIF capture date
    // of the one shot drawn at that width.
    struct SharedStems : Prepared {
        QMap<qint64, QString> widthToDate;
    };
    static const SharedStems& sharedStems() {
        static const QTemporaryDir dir;
        static const SharedStems made = [] {
            SharedStems p;
            p.library = dir.path() + "/Shared.photolibrary";
            p.exported = dir.path() + "/exported";
            const QProcessEnvironment e =
                environment(p.library, dir.path() + "/config", dir.path());
            for (int camera = 0; camera < 2; ++camera) {
                const QString folder = dir.path() + (camera == 0 ? "/A" : "/B");
                QDir().mkpath(folder);
                for (int i = 1; i <= 6; ++i) {
                    const QString stem = folder + QString("/IMG_%1").arg(i, 4, 10, QChar('0'));
                    const QSize size(64 + 16 * (6 * camera + i), 48);
                    imaging::ExifFields exif;
                    exif.dateTimeOriginal = QString("2024:%1:%2 1%3:00:00")
                                                .arg(5 + camera, 2, 10, QChar('0'))
                                                .arg(i, 2, 10, QChar('0'))
                                                .arg(camera);
                    exif.offsetTimeOriginal = "+00:00";
                    p.widthToDate.insert(size.width(), *exif.dateTimeOriginal);
                    fixtures::makeJpegFile(stem + ".JPG", size, exif);
                    testsupport::writeFile(
                        stem + ".DNG",
                        fixtures::makeDng(size, *exif.dateTimeOriginal, *exif.offsetTimeOriginal));
                }
            }
            auto step = [&](const QString& program, const QStringList& args) {
                const Result r = run(e, program, args);
                EXPECT_EQ(r.status, 0) << r.err.toStdString();
                return r;
            };
            const QString photolib = testsupport::photolibPath();
            step(photolib, {"create", p.library});
            step(photolib, {"import", dir.path() + "/A", dir.path() + "/B"});
            step(photolib, {"access", "twinslim", "authorized"});
            // A favourite from each camera, so both export albums have a shared name.
            for (const Item& item : parseItems(step(photolib, {"list", "--json"}).out))
                if (item.stem() == "img_0002")
                    step(photolib, {"favorite", item.id});
            step(testsupport::twinslimCliPath(), {"albums", "--range", "all", "--all"});
            for (const char* album : {"Twinslim Favs", "Twinslim NonFavs"})
                step(photolib, {"export", "--album", album, "--format", "jpeg", p.exported});
            return p;
        }();
        return made;
    }
};

TEST_F(KillRounds, KilledIngestNeverLosesAnOriginal) {
    killRounds(prepared(), 10);
}

// The same where names repeat across camera folders: no original may be replaced by the
// picture of its namesake. Every item's picture, found by its width, must be the shot of the
// item's own capture date, with that date in its EXIF block too. (A killed run that replaced
// A/IMG_0002 once made the next run give B/IMG_0002 A's picture.)
TEST_F(KillRounds, KilledIngestOfSharedNamesNeverSwapsPictures) {
    const SharedStems& prepared = sharedStems();
    ASSERT_EQ(QDir(prepared.exported).entryList(QDir::Files).size(), 12);
    killRounds(prepared, 4, [&](const std::vector<Item>& all) {
        EXPECT_GE(all.size(), 12u);
        for (const Item& item : all) {
            SCOPED_TRACE(item.id.toStdString());
            // "stored: PATH" lines follow, one per resource in the listed order.
            QStringList stored;
            for (const QString& line : ok(photolib({"show", item.id})).out.split('\n'))
                if (line.startsWith("stored: "))
                    stored << line.mid(8);
            const auto jpeg = std::find_if(item.resources.begin(), item.resources.end(),
                                           [](const auto& r) { return r.uti == "public.jpeg"; });
            ASSERT_NE(jpeg, item.resources.end());
            const QString file = stored.value(int(jpeg - item.resources.begin()));
            const twinslim::FileSignature picture = twinslim::readSignature(file);
            ASSERT_TRUE(prepared.widthToDate.contains(picture.width)) << file.toStdString();
            const QString date = prepared.widthToDate.value(picture.width);
            ASSERT_TRUE(picture.date);
            EXPECT_EQ(picture.date->toString("yyyy:MM:dd HH:mm:ss").toStdString(),
                      date.toStdString());
            QDateTime shot = QDateTime::fromString(date, "yyyy:MM:dd HH:mm:ss");
            shot.setTimeSpec(Qt::UTC); // written with offset +00:00
            EXPECT_EQ(item.instant().toString(Qt::ISODate).toStdString(),
                      shot.toString(Qt::ISODate).toStdString())
                << "picture " << file.toStdString() << " of width " << picture.width;
        }
    });
}
