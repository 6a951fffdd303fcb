// The scan's access pattern over a Shotwell library of 50,000 photos (40 % of them RAW photos
// developed by the camera: a RAW row with its JPEG in BackingPhotoTable, every file present), in
// a few hundred folders, against one plain SQL query returning the same photo rows with their
// JPEG's path, and against that query followed by a stat of both files of each pair (Shotwell's
// recorded sizes are those of its import: a scan that shows what a pair reclaims asks the file
// system). The empty library is the one Shotwell 0.30 wrote (the tests' dump of it); the photos
// are then added with SQL, as Shotwell's import of that many would leave them.
#include "support/BenchSmoke.h"
#include "support/SideBySide.h"

#include "core/PairScan.h"
#include "platform/photos/PhotoLibrary.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
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

QString database;
std::vector<std::string> folders; // where the photos are
struct PairedFile {
    size_t folder;
    std::string name;
};
std::vector<PairedFile> pairedFiles; // both files of each RAW+JPEG pair
int photoCount = bench::sized(50000, 300);
int folderCount = bench::sized(250, 3);

bool exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        fprintf(stderr, "%s\n", error);
        sqlite3_free(error);
        return false;
    }
    return true;
}

void touch(const std::string& path) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0)
        ::close(fd);
}

// The empty library, then its photos: 2 of every 5 a RAW with its camera JPEG beside it, the
// rest lone JPEGs, spread over the folders a camera's days make; a third of them in one of 50
// tags (five headings of ten tags each, a heading listing its tags' photos as Shotwell keeps
// them); a tenth of them 5 stars.
bool buildLibrary(const QString& dir) {
    const QString data = dir + "/shotwell/data";
    QDir().mkpath(data);
    database = data + "/photo.db";
    for (int f = 0; f < folderCount; ++f) {
        const QString folder = QString("%1/photos/2022/day-%2").arg(dir).arg(f, 3, 10, QChar('0'));
        QDir().mkpath(folder);
        folders.push_back(QFile::encodeName(folder).toStdString());
    }
    QFile dumpFile(QStringLiteral(TWINSLIM_SOURCE_DIR "/tests/fixtures/shotwell/empty-photo.sql"));
    if (!dumpFile.open(QIODevice::ReadOnly))
        return false;
    sqlite3* db = nullptr;
    sqlite3_open(QFile::encodeName(database).constData(), &db);
    if (!exec(db, dumpFile.readAll().constData()) || !exec(db, "BEGIN"))
        return false;
    sqlite3_stmt *photo = nullptr, *backing = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO PhotoTable (id, filename, width, height, filesize, timestamp, "
                       "exposure_time, orientation, original_orientation, import_id, event_id, "
                       "flags, rating, file_format, develop_camera_id) VALUES (?1, ?2, 6000, "
                       "4000, 0, 1640995200, ?3, 1, 1, 1640995200, ?4, 0, ?5, ?6, ?7)",
                       -1, &photo, nullptr);
    sqlite3_prepare_v2(db,
                       "INSERT INTO BackingPhotoTable (id, filepath, timestamp, filesize, width, "
                       "height, original_orientation, file_format, time_created) VALUES (?1, ?2, "
                       "1640995200, 0, 6000, 4000, 1, 0, 1640995200)",
                       -1, &backing, nullptr);
    std::vector<std::vector<int>> tagged(50);
    const int perFolder = (photoCount + folderCount - 1) / folderCount;
    int backings = 0;
    for (int n = 0; n < photoCount; ++n) {
        const size_t folder = size_t(n / perFolder);
        const bool pair = n % 5 < 2;
        const std::string stem = folders[folder] + "/IMG_" + std::to_string(n);
        const std::string path = stem + (pair ? ".CR2" : ".JPG");
        sqlite3_bind_int64(photo, 1, n + 1);
        sqlite3_bind_text(photo, 2, path.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_int64(photo, 3, 1641027600 + qint64(n) * 600);
        sqlite3_bind_int64(photo, 4, int(folder) + 1);
        sqlite3_bind_int64(photo, 5, n % 10 == 0 ? 5 : n % 4);
        sqlite3_bind_int64(photo, 6, pair ? 1 : 0); // RAW, JFIF
        if (pair) {
            ++backings;
            const std::string jpeg = stem + ".JPG";
            sqlite3_bind_int64(backing, 1, backings);
            sqlite3_bind_text(backing, 2, jpeg.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(backing);
            sqlite3_reset(backing);
            sqlite3_bind_int64(photo, 7, backings);
            touch(jpeg);
            pairedFiles.push_back({folder, "IMG_" + std::to_string(n) + ".JPG"});
            pairedFiles.push_back({folder, "IMG_" + std::to_string(n) + ".CR2"});
        } else {
            sqlite3_bind_int64(photo, 7, -1);
        }
        sqlite3_step(photo);
        sqlite3_reset(photo);
        touch(path);
        if (n % 3 == 1)
            tagged[size_t(n / 3 % 50)].push_back(n + 1);
    }
    sqlite3_finalize(photo);
    sqlite3_finalize(backing);
    sqlite3_stmt* tag = nullptr;
    sqlite3_prepare_v2(
        db, "INSERT INTO TagTable (name, photo_id_list, time_created) VALUES (?1, ?2, 0)", -1, &tag,
        nullptr);
    const auto listOf = [](const std::vector<int>& photos) {
        std::string list;
        char key[32];
        for (int p : photos) {
            snprintf(key, sizeof key, "thumb%016x,", p);
            list += key;
        }
        return list;
    };
    for (int heading = 0; heading < 5; ++heading) {
        std::vector<int> all;
        for (int t = heading * 10; t < heading * 10 + 10; ++t)
            all.insert(all.end(), tagged[size_t(t)].begin(), tagged[size_t(t)].end());
        std::sort(all.begin(), all.end());
        const std::string name = "/Trips " + std::to_string(2018 + heading);
        std::vector<std::pair<std::string, std::string>> rows{{name, listOf(all)}};
        for (int t = heading * 10; t < heading * 10 + 10; ++t)
            rows.emplace_back(name + "/Stop " + std::to_string(t % 10 + 1),
                              listOf(tagged[size_t(t)]));
        for (const auto& [tagName, list] : rows) {
            sqlite3_bind_text(tag, 1, tagName.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(tag, 2, list.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_step(tag);
            sqlite3_reset(tag);
        }
    }
    sqlite3_finalize(tag);
    const bool done = exec(db, "COMMIT");
    sqlite3_close(db);
    return done;
}

// The scan itself, as the window and `twinslim-cli scan` run it over "All": every photo item
// by date, each pair's RAW and JPEG and the albums holding it. A fresh opening each time; what the
// store keeps of the pairs' files beside the library (read on the first scan) stays.
int scanPattern() {
    auto lib = photos::PhotoLibrary::open(database,
                                          {.createWhenMissing = false, .purgeExpiredTrash = false});
    return int(twinslim::readPairs(
                   lib, std::nullopt, std::nullopt, [] { return false; }, [](int, int) {})
                   .size());
}

// The same photo rows, with their JPEG's path, time and rating, in one query; counted as pairs
// the same way.
int plainQuery() {
    sqlite3* db = nullptr;
    sqlite3_open_v2(QFile::encodeName(database).constData(), &db, SQLITE_OPEN_READONLY, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "SELECT p.id, p.filename, b.filepath, p.exposure_time, p.rating FROM "
                       "PhotoTable p LEFT JOIN BackingPhotoTable b ON b.id = p.develop_camera_id "
                       "WHERE p.flags & 12 = 0 ORDER BY p.exposure_time DESC",
                       -1, &st, nullptr);
    int pairs = 0;
    while (sqlite3_step(st) == SQLITE_ROW) {
        const QString path =
            QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 1)));
        benchmark::DoNotOptimize(path);
        if (sqlite3_column_type(st, 2) != SQLITE_NULL) {
            const QString jpeg =
                QString::fromUtf8(reinterpret_cast<const char*>(sqlite3_column_text(st, 2)));
            benchmark::DoNotOptimize(jpeg);
            ++pairs;
        }
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
    return pairs;
}

// The same query, then one stat of each paired file relative to its folder, each folder opened
// once: the least any scan showing what a pair reclaims must do.
int plainQueryWithStats() {
    const int pairs = plainQuery();
    std::vector<int> fds;
    for (const std::string& folder : folders)
        fds.push_back(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    qint64 bytes = 0;
    for (const PairedFile& file : pairedFiles) {
        struct stat st {};
        if (::fstatat(fds[file.folder], file.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            bytes += st.st_size;
    }
    benchmark::DoNotOptimize(bytes);
    for (int fd : fds)
        ::close(fd);
    return pairs;
}

void BM_ShotwellScanPattern(benchmark::State& state) {
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
BENCHMARK(BM_ShotwellScanPattern)
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
        fprintf(stderr, "the Shotwell library could not be made: nothing to measure\n");
        return 1;
    }
    fprintf(stderr, "Shotwell library: %d photos in %d folders, %zu files in pairs\n", photoCount,
            folderCount, pairedFiles.size());
    // The first scan reads each pair's JPEG for what Shotwell does not keep (its capture's
    // offset and place) and keeps it beside the library; the scans timed below find it there.
    QElapsedTimer first;
    first.start();
    const int pairs = scanPattern();
    fprintf(stderr, "first scan: %d pairs in %lld ms (each pair's JPEG read once)\n", pairs,
            first.elapsed());
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    bench::compareSideBySide(
        {{"scan", scanPattern}, {"query", plainQuery}, {"query with stats", plainQueryWithStats}},
        bench::sized(15, 1));
    return 0;
}
