#pragma once

#include "../photolib/PhotolibTestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QLockFile>
#include <QMap>
#include <QRandomGenerator>
#include <QThread>
#include <QUrl>
#include <limits>
#include <unistd.h>

namespace clitest {

using tooltest::environment;
using tooltest::Item;
using tooltest::parseItems;
using tooltest::Result;
using tooltest::run;

inline QSet<QString> ids(const std::vector<Item>& items) {
    QSet<QString> set;
    for (const Item& item : items)
        set.insert(item.id);
    return set;
}

inline QMap<QString, Item> byId(const std::vector<Item>& items) {
    QMap<QString, Item> map;
    for (const Item& item : items)
        map.insert(item.id, item);
    return map;
}

// Where an original's backups go, relative to the backup folder: the month of its capture
// date (local time, UTC in these tests) and FAVS or NONFAVS.
inline QString backupDir(const Item& original) {
    return (original.date.isNull() ? QStringLiteral("unknown-date")
                                   : original.instant().toUTC().toString("yyyy-MM")) +
           (original.favorite ? QStringLiteral("/FAVS") : QStringLiteral("/NONFAVS"));
}
// The file name an original's backups start with: its identifier with "/" made "_".
inline QString safeID(const Item& original) {
    return QString(original.id).replace('/', '_');
}
// The backup of one of the original's resources of type `uti`, at its final name with the
// library's recorded size, among `files` (filesUnder the backup folder); empty when none.
inline QString backupOf(const Item& original, const QString& uti,
                        const QMap<QString, qint64>& files) {
    for (const Item::Resource& r : original.resources) {
        const QString path =
            backupDir(original) + "/" + safeID(original) + "." + QFileInfo(r.name).suffix();
        if (r.uti == uti && files.value(path, -1) == r.size)
            return path;
    }
    return {};
}
// A favourite keeps its RAW and its JPEG, any other original its JPEG.
inline bool hasCompleteBackups(const Item& original, const QMap<QString, qint64>& files) {
    return !backupOf(original, "public.jpeg", files).isEmpty() &&
           (!original.favorite || !backupOf(original, "com.adobe.raw-image", files).isEmpty());
}

// Copies a folder tree (a library, an export folder) file by file.
inline void copyTree(const QString& from, const QString& to) {
    QDir().mkpath(to);
    QDirIterator it(from, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString target = to + path.mid(from.size());
        if (it.fileInfo().isDir())
            QDir().mkpath(target);
        else if (!QFile::copy(path, target))
            throw std::runtime_error("cannot copy " + path.toStdString());
    }
}

// Every regular file under `root`, by path relative to it, with its size.
inline QMap<QString, qint64> filesUnder(const QString& root) {
    QMap<QString, qint64> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        files.insert(QDir(root).relativeFilePath(path), it.fileInfo().size());
    }
    return files;
}

// The original paths of the files the desktop's trash below `data` holds, from the .trashinfo
// of each file there; `halfMade` gets those whose file is missing.
inline QStringList trashedPaths(const QString& data, QStringList* halfMade = nullptr) {
    QStringList paths, ignored;
    if (!halfMade)
        halfMade = &ignored;
    QDirIterator it(data + "/Trash/info", {"*.trashinfo"}, QDir::Files);
    while (it.hasNext()) {
        const QString info = it.next();
        const bool whole = QFileInfo::exists(data + "/Trash/files/" + it.fileName().chopped(10));
        for (const QString& line : QString::fromUtf8(testsupport::readFile(info)).split('\n'))
            if (line.startsWith("Path="))
                (whole ? paths : *halfMade) << QUrl::fromPercentEncoding(line.mid(5).toUtf8());
    }
    paths.sort();
    return paths;
}

// Runs `twinslim-cli ingest --yes` and kills it once it has written `lines` lines (its log
// lines and its questions) and a further `delayMicros`: moments taken from the run's own
// progress, so every stage is hit whatever the machine's speed. Returns the lines seen.
inline int killIngestAfter(const QProcessEnvironment& env, const QString& exported, int lines,
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

// The real twinslim-cli and photolib executables on a library in a temporary folder, with
// their own settings folder (the photo library's grants and Twinslim's preferences both
// live there) and local time UTC, so nothing touches the user's home.
class CliTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        library = tmp.path() + "/Lib.photolibrary";
        config = tmp.path() + "/config";
        env = environment(library, config, tmp.path());
    }

    Result cli(const QStringList& args) { return run(env, testsupport::twinslimCliPath(), args); }
    Result photolib(const QStringList& args) { return run(env, testsupport::photolibPath(), args); }
    // Runs and expects success, for the steps a test builds on.
    Result ok(const Result& r) {
        EXPECT_EQ(r.status, 0) << r.err.toStdString();
        return r;
    }
    std::vector<Item> items(QStringList extra = {}) {
        return parseItems(ok(photolib(QStringList{"list", "--json"} + extra)).out);
    }
    void grantAccess() { ok(photolib({"access", "twinslim", "authorized"})); }
    // Grants access, chooses the backup folder, fills the export albums and exports them.
    void exportAlbums(const QString& exported) {
        grantAccess();
        QDir().mkpath(tmp.path() + "/backup");
        ok(cli({"backup-folder", tmp.path() + "/backup"}));
        ok(cli({"albums", "--range", "all", "--all"}));
        ok(photolib({"export", "--album", "Twinslim Favs", "--format", "heic", exported}));
        ok(photolib({"export", "--album", "Twinslim NonFavs", "--format", "jpeg", exported}));
    }
    // The originals waiting in the marker album; none when there is no such album yet.
    QSet<QString> waiting() {
        return ids(
            parseItems(photolib({"list", "--album", "TwinslimOriginalsToDelete", "--json"}).out));
    }

    // The prepared library below, with access granted and a backup folder chosen.
    void usePreparedLibrary() {
        copyTree(prepared().library, library);
        grantAccess();
        QDir().mkpath(tmp.path() + "/backup");
        ok(cli({"backup-folder", tmp.path() + "/backup"}));
    }

    // Ingests of `exported` killed at random moments, TWINSLIM_KILL_ROUNDS times (else
    // `rounds`) from TWINSLIM_KILL_SEED (else `seed`), `restore` putting the library back as it
    // was made before each. The first round runs to its end and counts its lines; the others
    // are killed after a random number of them and up to `maxDelayMicros` more. After each
    // kill `expectNothingLost(false)`; then a second run and the clean-up, and
    // `expectNothingLost(true)`. Stops at the first round that fails.
    void killRounds(const QString& exported, int rounds, quint32 seed,
                    const std::function<void(int round)>& restore,
                    const std::function<unsigned long(int round)>& maxDelayMicros,
                    const std::function<void(bool finished)>& expectNothingLost) {
        if (qEnvironmentVariableIsSet("TWINSLIM_KILL_ROUNDS"))
            rounds = qEnvironmentVariableIntValue("TWINSLIM_KILL_ROUNDS");
        if (qEnvironmentVariableIsSet("TWINSLIM_KILL_SEED"))
            seed = quint32(qEnvironmentVariableIntValue("TWINSLIM_KILL_SEED"));
        QRandomGenerator random(seed);
        int fullRunLines = 0;
        for (int round = 0; round < rounds; ++round) {
            restore(round);
            const int lines = round == 0 ? std::numeric_limits<int>::max()
                                         : int(random.bounded(fullRunLines + 1));
            const auto delay = (unsigned long)random.bounded(quint32(maxDelayMicros(round)));
            SCOPED_TRACE(QString("round %1 (seed %2): killed after %3 lines + %4 µs")
                             .arg(round)
                             .arg(seed)
                             .arg(lines)
                             .arg(delay)
                             .toStdString());
            const int seen = killIngestAfter(env, exported, lines, delay);
            if (round == 0)
                fullRunLines = seen;
            expectNothingLost(false);
            // After a run that got to its end the export albums are empty: nothing to start.
            const Result again = cli({"ingest", "--yes", exported});
            EXPECT_TRUE(again.status == 0 ||
                        (again.status == 1 && again.err.contains("Both export albums are empty")))
                << again.err.toStdString();
            ok(cli({"cleanup", "--yes"}));
            expectNothingLost(true);
            if (HasFailure())
                break; // one round's trace and folder are enough to go on
        }
    }

    // The demonstration library after `albums --range all --all`, with both export albums
    // exported into one folder (as JPEG, the quicker to make); made once per test program.
    struct Prepared {
        QString library;
        QString exported;
    };
    static const Prepared& prepared() {
        static const QTemporaryDir dir;
        static const Prepared made = [] {
            Prepared p{dir.path() + "/Prepared.photolibrary", dir.path() + "/exported"};
            copyTree(demoLibrary(), p.library);
            const QProcessEnvironment e =
                environment(p.library, dir.path() + "/config", dir.path());
            run(e, testsupport::photolibPath(), {"access", "twinslim", "authorized"});
            const Result albums =
                run(e, testsupport::twinslimCliPath(), {"albums", "--range", "all", "--all"});
            EXPECT_EQ(albums.status, 0) << albums.err.toStdString();
            for (const char* album : {"Twinslim Favs", "Twinslim NonFavs"}) {
                const Result r = run(e, testsupport::photolibPath(),
                                     {"export", "--album", album, "--format", "jpeg", p.exported});
                EXPECT_EQ(r.status, 0) << r.err.toStdString();
            }
            return p;
        }();
        return made;
    }

    // Drawing and encoding the demonstration pictures is the slowest step of these tests,
    // so the library is made once per photolib build and kept in the temporary folder for
    // every test process; tests only ever copy it.
    static QString demoLibrary() {
        static const QString path = [] {
            const QFileInfo photolib(testsupport::photolibPath());
            const QString root =
                QDir::tempPath() + QString("/twinslim-cli-tests-%1").arg(QString::number(getuid()));
            const QString name = QString("demo-13-%1-%2.photolibrary")
                                     .arg(photolib.size())
                                     .arg(photolib.lastModified().toMSecsSinceEpoch());
            QDir().mkpath(root);
            QLockFile lock(root + "/demo.lock");
            lock.setStaleLockTime(0); // only a lock whose process has gone is stale
            lock.lock();
            if (!QFileInfo::exists(root + "/" + name + "/catalog.sqlite")) {
                for (const QString& old : QDir(root).entryList({"demo-*", "making-*"}, QDir::Dirs))
                    QDir(root + "/" + old).removeRecursively();
                const QString making = root + "/making-" + name;
                const QProcessEnvironment e =
                    environment(making + "/Demo.photolibrary", making + "/config", making);
                const Result r = run(e, testsupport::photolibPath(),
                                     {"demo", "--pairs", "13", making + "/Demo.photolibrary"});
                EXPECT_EQ(r.status, 0) << r.err.toStdString();
                // Appears under its name only when complete.
                QDir().rename(making + "/Demo.photolibrary", root + "/" + name);
                QDir(making).removeRecursively();
            }
            return root + "/" + name;
        }();
        return path;
    }

    QTemporaryDir tmp;
    QString library;
    QString config;
    QProcessEnvironment env;
};

} // namespace clitest
