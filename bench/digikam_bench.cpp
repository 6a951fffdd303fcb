// The scan's access pattern over a digiKam collection of 50,000 images (40 % of them in
// RAW+JPEG pairs, every file present), against one plain SQL query returning the same image
// rows, and against that query followed by a stat of each paired file (the sizes digiKam keeps
// are those of its last scan: a scan that shows what a pair reclaims asks the file system). The
// empty library is the one digiKam 7.9 wrote (the tests' dump of it); the images are then added
// with SQL, as digiKam's scan of that many would leave them.
#include "support/BenchSmoke.h"
#include "support/SideBySide.h"

#include "core/PairScan.h"
#include "platform/photos/PhotoLibrary.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

QString database;
QString photosFolder;
std::vector<std::string> pairedFiles; // the files of the RAW+JPEG pairs, as the scan finds them
int imageCount = bench::sized(50000, 300);

bool exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        fprintf(stderr, "%s\n", error);
        sqlite3_free(error);
        return false;
    }
    return true;
}

void touch(const QString& path) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT, 0644);
    if (fd >= 0)
        ::close(fd);
}

// The empty library (its collection's top folder is digiKam's album 1), then its images: pairs of
// one name in one folder, a third of the items tagged into one of 50 albums, a tenth of them 5
// stars.
bool buildLibrary(const QString& dir) {
    photosFolder = dir + "/photos";
    database = photosFolder + "/digikam4.db";
    QDir().mkpath(photosFolder);
    QFile dumpFile(
        QStringLiteral(TWINSLIM_SOURCE_DIR "/tests/fixtures/digikam/empty-digikam4.sql"));
    if (!dumpFile.open(QIODevice::ReadOnly))
        return false;
    QString dump = QString::fromUtf8(dumpFile.readAll());
    dump.replace("@COLLECTION@", photosFolder);
    sqlite3* db = nullptr;
    sqlite3_open(QFile::encodeName(database).constData(), &db);
    if (!exec(db, dump.toUtf8().constData()) ||
        !exec(db, "BEGIN; INSERT INTO Tags (id, pid, name) VALUES (1000, 0, 'Albums')"))
        return false;
    for (int t = 1; t <= 50; ++t)
        exec(db, QString("INSERT INTO Tags (id, pid, name) VALUES (%1, 1000, 'Trip %2')")
                     .arg(1000 + t)
                     .arg(t)
                     .toUtf8()
                     .constData());
    sqlite3_stmt *image = nullptr, *info = nullptr, *position = nullptr, *tag = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO Images (id, album, name, status, category, modificationDate, "
                       "fileSize, uniqueHash) VALUES (?1, 1, ?2, 1, 1, '2022-01-01T00:00:00.000', "
                       "0, 'd41d8cd98f00b204e9800998ecf8427e')",
                       -1, &image, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO ImageInformation (imageid, rating, creationDate, "
                       "digitizationDate, orientation, width, height, format, colorDepth, "
                       "colorModel) VALUES (?1, ?2, ?3, ?3, 1, 6000, 4000, 'JPG', 8, 5)",
                       -1, &info, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO ImagePositions (imageid, latitudeNumber, longitudeNumber) "
                       "VALUES (?1, ?2, ?3)",
                       -1, &position, nullptr);
    sqlite3_prepare_v2(db, "INSERT INTO ImageTags (imageid, tagid) VALUES (?1, ?2)", -1, &tag,
                       nullptr);
    const QDateTime start(QDate(2022, 1, 1), QTime(8, 0));
    int id = 0;
    for (int n = 0; id < imageCount; ++n) {
        const bool pair = n % 3 == 0; // 2 of every 5 images are in pairs
        const QStringList names =
            pair ? QStringList{QString("IMG_%1.JPG").arg(n), QString("IMG_%1.CR3").arg(n)}
                 : QStringList{QString("IMG_%1.JPG").arg(n)};
        const QByteArray taken =
            start.addSecs(qint64(n) * 3600).toString("yyyy-MM-ddTHH:mm:ss.zzz").toUtf8();
        for (const QString& name : names) {
            ++id;
            const QByteArray utf8 = name.toUtf8();
            sqlite3_bind_int64(image, 1, id);
            sqlite3_bind_text(image, 2, utf8.constData(), -1, SQLITE_TRANSIENT);
            sqlite3_step(image);
            sqlite3_reset(image);
            sqlite3_bind_int64(info, 1, id);
            sqlite3_bind_int64(info, 2, n % 10 == 0 ? 5 : -1);
            sqlite3_bind_text(info, 3, taken.constData(), -1, SQLITE_TRANSIENT);
            sqlite3_step(info);
            sqlite3_reset(info);
            sqlite3_bind_int64(position, 1, id);
            sqlite3_bind_double(position, 2, 48.0 + n % 100 * 0.01);
            sqlite3_bind_double(position, 3, 2.0 + n % 100 * 0.01);
            sqlite3_step(position);
            sqlite3_reset(position);
            if (n % 3 == 1) {
                sqlite3_bind_int64(tag, 1, id);
                sqlite3_bind_int64(tag, 2, 1001 + n % 50);
                sqlite3_step(tag);
                sqlite3_reset(tag);
            }
            touch(photosFolder + "/" + name);
            if (pair)
                pairedFiles.push_back(utf8.toStdString());
        }
    }
    for (sqlite3_stmt* st : {image, info, position, tag})
        sqlite3_finalize(st);
    const bool done = exec(db, "COMMIT");
    sqlite3_close(db);
    return done;
}

// The scan itself, as the window and `twinslim-cli scan` run it over "All": every image item
// by date, each pair's RAW and JPEG and the albums holding it. A fresh opening each time: nothing
// is cached across scans.
int scanPattern() {
    auto lib = photos::PhotoLibrary::open(database,
                                          {.createWhenMissing = false, .purgeExpiredTrash = false});
    return int(twinslim::readPairs(
                   lib, std::nullopt, std::nullopt, [] { return false; }, [](int, int) {})
                   .size());
}

// The same image rows, with their folder, date, rating and place, in one query; counted as
// pairs the same way.
int plainQuery() {
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(database).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT i.id, i.album, i.name, a.relativePath, ii.rating, ii.creationDate, "
                       "p.latitudeNumber, p.longitudeNumber FROM Images i JOIN Albums a ON a.id = "
                       "i.album LEFT JOIN ImageInformation ii ON ii.imageid = i.id LEFT JOIN "
                       "ImagePositions p ON p.imageid = i.id WHERE i.status = 1 AND i.category = "
                       "1 ORDER BY ii.creationDate DESC",
                       -1, &st, nullptr);
    int raws = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
        const QString name =
            QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 2)));
        const QString folder =
            QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 3)));
        benchmark::DoNotOptimize(folder);
        raws += name.endsWith(QLatin1String(".CR3")) ? 1 : 0;
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return raws;
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

void BM_DigikamScanPattern(benchmark::State& state) {
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

// Wall time; the CPU time is the whole process's.
BENCHMARK(BM_DigikamScanPattern)
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
    if (!buildLibrary(dir.path())) {
        fprintf(stderr, "the digiKam library could not be made: nothing to measure\n");
        return 1;
    }
    fprintf(stderr, "digiKam library: %d images, %zu of them in pairs\n", imageCount,
            pairedFiles.size());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bench::compareSideBySide(
        {{"scan", scanPattern}, {"query", plainQuery}, {"query with stats", plainQueryWithStats}},
        bench::sized(15, 1));
    return 0;
}
