// The scan's access pattern over a darktable library of 50,000 images (40 % of them in
// RAW+JPEG pairs, every file present with its sidecar), against one plain SQL query
// returning the same image rows, and against that query followed by a stat of each paired
// file (darktable keeps no file sizes: a scan that shows what a pair reclaims must ask the
// file system). The empty library is written by darktable itself; the images are then added
// with SQL, as an import of that many would leave them.
#include "support/BenchSmoke.h"
#include "support/SideBySide.h"

#include "core/PairScan.h"
#include "platform/photos/PhotoLibrary.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

QString libraryDb;
QString photosFolder;
std::vector<std::string> pairedFiles; // the files of the RAW+JPEG pairs, as the scan finds them
int imageCount = bench::sized(50000, 300);

void exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        fprintf(stderr, "%s\n", error);
        std::exit(1);
    }
}

void touch(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT, 0644);
    if (fd >= 0)
        ::close(fd);
}

// Lets darktable write an empty library, then fills it: pairs grouped as darktable's import
// groups them, a third of the items tagged into one of 50 albums.
bool buildLibrary(const QString& dir) {
    QDir().mkpath(dir + "/home");
    QDir().mkpath(dir + "/photos");
    QFile lua(dir + "/quit.lua");
    if (!lua.open(QIODevice::WriteOnly))
        return false;
    lua.write("local dt = require \"darktable\"\ndt.gui.action(\"global/quit\", 0, \"\", \"\", "
              "1.0)\n");
    lua.close();
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("HOME", dir + "/home");
    p.setProcessEnvironment(env);
    p.start("timeout",
            {"180", "xvfb-run", "-a", "-s", "-screen 0 1280x800x24", "darktable", "--configdir",
             dir + "/config", "--cachedir", dir + "/cache", "--library", dir + "/library.db",
             "--disable-opencl", "--luacmd", "dofile('" + dir + "/quit.lua')"});
    if (!p.waitForFinished(200000) || !QFile::exists(dir + "/config/data.db"))
        return false;

    sqlite3* db = nullptr;
    sqlite3_open((dir + "/library.db").toUtf8().constData(), &db);
    exec(db, ("ATTACH '" + dir + "/config/data.db' AS data").toUtf8().constData());
    exec(db, "BEGIN");
    exec(db, ("INSERT INTO film_rolls (id, access_timestamp, folder) VALUES (1, 0, '" + dir +
              "/photos')")
                 .toUtf8()
                 .constData());
    for (int t = 1; t <= 50; ++t)
        exec(db, QString("INSERT INTO data.tags (name) VALUES ('Albums|Trip %1')")
                     .arg(t)
                     .toUtf8()
                     .constData());
    sqlite3_stmt* image = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO images (id, group_id, film_id, filename, datetime_taken, "
                       "flags, version, position, latitude, longitude) VALUES (?1, ?2, 1, ?3, "
                       "?4, ?5, 0, ?1 << 32, ?6, ?7)",
                       -1, &image, nullptr);
    sqlite3_stmt* tag = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO tagged_images (imgid, tagid, position) SELECT ?1, id, ?1 "
                       "FROM data.tags WHERE name = ?2",
                       -1, &tag, nullptr);
    const qint64 start = 63800000000LL * 1000000; // 2022, in darktable's microseconds
    int id = 0;
    for (int n = 0; id < imageCount; ++n) {
        const bool pair = n % 3 == 0; // 2 of every 5 images are in pairs
        const int group = id + 1;
        const QStringList names =
            pair ? QStringList{QString("IMG_%1.JPG").arg(n), QString("IMG_%1.CR3").arg(n)}
                 : QStringList{QString("IMG_%1.JPG").arg(n)};
        for (const QString& name : names) {
            ++id;
            const QByteArray utf8 = name.toUtf8();
            sqlite3_bind_int64(image, 1, id);
            sqlite3_bind_int64(image, 2, group);
            sqlite3_bind_text(image, 3, utf8.constData(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_int64(image, 4, start + qint64(n) * 3600 * 1000000);
            sqlite3_bind_int64(image, 5, 1024 | (n % 10 == 0 ? 5 : 1));
            sqlite3_bind_double(image, 6, 48.0 + n % 100 * 0.01);
            sqlite3_bind_double(image, 7, 2.0 + n % 100 * 0.01);
            sqlite3_step(image);
            sqlite3_reset(image);
            if (n % 3 == 1) {
                const QByteArray title = QString("Albums|Trip %1").arg(n % 50 + 1).toUtf8();
                sqlite3_bind_int64(tag, 1, id);
                sqlite3_bind_text(tag, 2, title.constData(), -1, SQLITE_TRANSIENT);
                sqlite3_step(tag);
                sqlite3_reset(tag);
            }
            touch(dir + "/photos/" + name);
            touch(dir + "/photos/" + name + ".xmp");
        }
    }
    sqlite3_finalize(image);
    sqlite3_finalize(tag);
    exec(db, "COMMIT");
    sqlite3_close(db);
    return true;
}

// The scan itself, as the window and `twinslim-cli scan` run it over "All": every image item
// by date, each pair's RAW and JPEG and the albums holding it. A fresh opening each time:
// nothing is cached across scans.
int scanPattern() {
    auto lib = photos::PhotoLibrary::open(libraryDb,
                                          {.createWhenMissing = false, .purgeExpiredTrash = false});
    return int(twinslim::readPairs(
                   lib, std::nullopt, std::nullopt, [] { return false; }, [](int, int) {})
                   .size());
}

// The same image rows, with their folder, in one query; counted as pairs the same way.
int plainQuery() {
    sqlite3* db = nullptr;
    sqlite3_open_v2(libraryDb.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT i.id, i.group_id, i.film_id, i.filename, i.version, "
                       "i.datetime_taken, i.flags, f.folder, i.latitude, i.longitude FROM images "
                       "i JOIN film_rolls f ON f.id = i.film_id ORDER BY i.datetime_taken DESC",
                       -1, &st, nullptr);
    int raws = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
        const QString name =
            QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 3)));
        const QString folder =
            QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 7)));
        benchmark::DoNotOptimize(folder);
        raws += name.endsWith(QLatin1String(".CR3")) ? 1 : 0;
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return raws;
}

// The names of the pairs' files: the images of the groups of two. Read once, before any
// timing, so that the peer below pays for nothing but the query and the stats.
std::vector<std::string> readPairedFiles() {
    std::vector<std::string> names;
    sqlite3* db = nullptr;
    sqlite3_open_v2(libraryDb.toUtf8().constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT filename FROM images WHERE group_id IN (SELECT group_id FROM "
                       "images GROUP BY group_id HAVING count(*) = 2)",
                       -1, &st, nullptr);
    while (sqlite3_step(st) == SQLITE_ROW)
        names.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
    sqlite3_finalize(st);
    sqlite3_close(db);
    return names;
}

// The same query, then one stat of each paired file relative to its open folder: the least
// any scan showing what a pair reclaims must do.
int plainQueryWithStats() {
    const int raws = plainQuery();
    const int folder =
        ::open(QFile::encodeName(photosFolder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    qint64 bytes = 0;
    for (const std::string& name : pairedFiles) {
        struct stat st {};
        if (::fstatat(folder, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            bytes += st.st_size;
    }
    benchmark::DoNotOptimize(bytes);
    ::close(folder);
    return raws;
}

void BM_DarktableScanPattern(benchmark::State& state) {
    int pairs = 0;
    for (auto _ : state)
        pairs = scanPattern();
    state.counters["pairs"] = pairs;
}

void BM_PlainSqlQuery(benchmark::State& state) {
    int pairs = 0;
    for (auto _ : state)
        pairs = plainQuery();
    state.counters["pairs"] = pairs;
}

void BM_PlainSqlQueryWithStats(benchmark::State& state) {
    int pairs = 0;
    for (auto _ : state)
        pairs = plainQueryWithStats();
    state.counters["pairs"] = pairs;
    state.counters["stats"] = double(pairedFiles.size());
}

// Wall time; the CPU time is the whole process's, the scan's second thread included.
BENCHMARK(BM_DarktableScanPattern)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(bench::sized(3.0, 1e-3))
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_PlainSqlQuery)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(bench::sized(3.0, 1e-3))
    ->UseRealTime()
    ->MeasureProcessCPUTime();
BENCHMARK(BM_PlainSqlQueryWithStats)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(bench::sized(3.0, 1e-3))
    ->UseRealTime()
    ->MeasureProcessCPUTime();

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    if (QStandardPaths::findExecutable("darktable").isEmpty() ||
        QStandardPaths::findExecutable("xvfb-run").isEmpty() || !buildLibrary(dir.path())) {
        fprintf(stderr, "darktable (with xvfb-run) could not write the empty library: "
                        "nothing to measure\n");
        return 1;
    }
    libraryDb = dir.path() + "/library.db";
    photosFolder = dir.path() + "/photos";
    pairedFiles = readPairedFiles();
    fprintf(stderr, "darktable library: %d images, %zu of them in pairs\n", imageCount,
            pairedFiles.size());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bench::compareSideBySide(
        {{"scan", scanPattern}, {"query", plainQuery}, {"query with stats", plainQueryWithStats}},
        bench::sized(15, 1));
    return 0;
}
