// The photo library service under the scan's access pattern, against one plain SQL query
// returning the same pairs; then the whole scan as a program runs it (open the library, run
// LibraryModel::scan over "All"), each round in a process of its own, in turns with a process
// running the plain query, for wall time and peak resident size.
//
//   catalogue_bench [--items N] [--library DIR] [--rounds R] [--whole-only] [benchmark flags]
//     --items N      catalogue size (default 100,000; 10 % RAW+JPEG pairs)
//     --library DIR  keep the catalogue in DIR (built there when missing, reused when present)
//     --rounds R     rounds of the whole-scan comparison (default 3)
//     --whole-only   skip the in-process benchmarks (at a million items they take minutes)
//   catalogue_bench --scan-once DIR    one whole scan of DIR: prints the pairs found
//   catalogue_bench --query-once DIR   the plain query over DIR: prints the rows
#include "support/BenchCatalogue.h"
#include "support/BenchScan.h"

#include "core/LibraryModel.h"
#include "platform/photos/PhotoLibrary.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QDir>
#include <QEventLoop>
#include <QFileInfo>
#include <QTemporaryDir>
#include <algorithm>
#include <benchmark/benchmark.h>
#include <chrono>
#include <cstring>
#include <spawn.h>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

namespace {

QString libraryPath;
QDateTime windowStart;

// What a whole scan may take at a million items.
constexpr double scanLimitMs = 3000;
constexpr double scanLimitMb = 600;

int scanPattern(photos::PhotoLibrary& lib) {
    using namespace photos;
    FetchOptions o;
    o.sortDescriptors = {{QStringLiteral("creationDate"), false}};
    o.predicate = Predicate::andPredicate({Predicate::creationDateAtLeast(windowStart)});
    return bench::scanPattern(lib, o);
}

void BM_ServiceScanPattern(benchmark::State& state) {
    auto lib = photos::PhotoLibrary::open(libraryPath);
    int pairs = 0;
    for (auto _ : state)
        pairs = scanPattern(*lib);
    state.counters["pairs"] = pairs;
}

void BM_PlainSqlQuery(benchmark::State& state) {
    int pairs = 0;
    for (auto _ : state)
        pairs = bench::plainPairQuery(libraryPath, windowStart);
    state.counters["pairs"] = pairs;
}

void BM_FetchOnly(benchmark::State& state) {
    auto lib = photos::PhotoLibrary::open(libraryPath);
    photos::FetchOptions o;
    o.sortDescriptors = {{QStringLiteral("creationDate"), false}};
    o.predicate =
        photos::Predicate::andPredicate({photos::Predicate::creationDateAtLeast(windowStart)});
    for (auto _ : state)
        benchmark::DoNotOptimize(lib->fetchAssets(photos::MediaType::Image, o).size());
}
BENCHMARK(BM_FetchOnly)->Unit(benchmark::kMillisecond)->MinTime(bench::sized(1.0, 1e-3));

BENCHMARK(BM_ServiceScanPattern)->Unit(benchmark::kMillisecond)->MinTime(bench::sized(2.0, 1e-3));
BENCHMARK(BM_PlainSqlQuery)->Unit(benchmark::kMillisecond)->MinTime(bench::sized(2.0, 1e-3));

// The scan the window and `twinslim-cli scan --range all` run, on a library opened as they open
// it. Returns the pairs found.
size_t wholeScan(const QString& path) {
    photos::PhotoLibrary::setShared(photos::PhotoLibrary::open(path));
    size_t pairs = 0;
    {
        twinslim::LibraryModel model;
        model.setDateRange(twinslim::DateRange::all);
        QEventLoop loop;
        bool done = false;
        auto run = [&]() -> QCoro::Task<> {
            co_await model.scan();
            done = true;
            loop.quit();
        };
        auto task = run();
        if (!done)
            loop.exec();
        pairs = model.pairs().size();
    }
    photos::PhotoLibrary::setShared(nullptr);
    return pairs;
}

struct ChildRun {
    double wallMs = 0;
    double cpuMs = 0;
    double peakMb = 0;
    long count = -1; // what the child printed
};

// Runs this program again with `mode` on the library and waits for it: its wall time, CPU
// time and peak resident size as the kernel counted them.
ChildRun runChild(const char* mode) {
    const std::string self = QCoreApplication::applicationFilePath().toStdString();
    const std::string library = libraryPath.toStdString();
    int out[2];
    if (pipe(out) != 0)
        return {};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    char* argv[] = {const_cast<char*>(self.c_str()), const_cast<char*>(mode),
                    const_cast<char*>(library.c_str()), nullptr};
    pid_t pid = 0;
    const auto start = std::chrono::steady_clock::now();
    const int spawned = posix_spawn(&pid, self.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    ChildRun run;
    if (spawned != 0) {
        close(out[0]);
        return run;
    }
    std::string printed;
    char buffer[256];
    for (ssize_t n; (n = read(out[0], buffer, sizeof buffer)) > 0;)
        printed.append(buffer, size_t(n));
    close(out[0]);
    int status = 0;
    rusage usage{};
    wait4(pid, &status, 0, &usage);
    run.wallMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    run.cpuMs = (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1e3 +
                (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e3;
    run.peakMb = usage.ru_maxrss / 1024.0;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0)
        run.count = std::strtol(printed.c_str(), nullptr, 10);
    return run;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n == 0 ? 0 : n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

// The whole scan against the plain query, in turns, each in a fresh process.
int compareWholeScan(int rounds, int expectedPairs) {
    std::vector<double> scanWall, scanCpu, scanPeak, queryWall, queryCpu, queryPeak, ratios;
    for (int round = 0; round < rounds; ++round) {
        ChildRun scan, query;
        if (round % 2 == 0) {
            scan = runChild("--scan-once");
            query = runChild("--query-once");
        } else {
            query = runChild("--query-once");
            scan = runChild("--scan-once");
        }
        if (scan.count != expectedPairs || query.count != expectedPairs) {
            fprintf(stderr, "whole scan found %ld pairs, the query %ld; expected %d\n", scan.count,
                    query.count, expectedPairs);
            return 1;
        }
        scanWall.push_back(scan.wallMs);
        scanCpu.push_back(scan.cpuMs);
        scanPeak.push_back(scan.peakMb);
        queryWall.push_back(query.wallMs);
        queryCpu.push_back(query.cpuMs);
        queryPeak.push_back(query.peakMb);
        ratios.push_back(scan.wallMs / query.wallMs);
    }
    const double wall = median(scanWall),
                 peak = *std::max_element(scanPeak.begin(), scanPeak.end());
    printf("whole scan, each a process of its own, medians of %d rounds in turns:\n", rounds);
    printf("  whole scan        %8.1f ms wall %8.1f ms CPU, peak resident size %.1f MB\n", wall,
           median(scanCpu), peak);
    printf("  plain SQL query   %8.1f ms wall %8.1f ms CPU, peak resident size %.1f MB\n",
           median(queryWall), median(queryCpu),
           *std::max_element(queryPeak.begin(), queryPeak.end()));
    printf("ratio whole scan / plain SQL query (median of rounds): %.2f\n", median(ratios));
    printf("whole scan against its limits: %.0f ms of %.0f ms (%s), %.0f MB of %.0f MB (%s)\n",
           wall, scanLimitMs, wall <= scanLimitMs ? "within" : "over", peak, scanLimitMb,
           peak <= scanLimitMb ? "within" : "over");
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // The model reads its backup folder from the preferences: keep them out of $HOME (the
    // children inherit the setting).
    QTemporaryDir config;
    if (qEnvironmentVariableIsEmpty("TWINSLIM_BENCH_CHILD")) {
        qputenv("XDG_CONFIG_HOME", config.path().toUtf8());
        qputenv("TWINSLIM_BENCH_CHILD", "1");
    }

    if (argc == 3 && std::strcmp(argv[1], "--scan-once") == 0) {
        printf("%zu\n", wholeScan(QString::fromLocal8Bit(argv[2])));
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--query-once") == 0) {
        printf("%d\n", bench::plainPairQuery(QString::fromLocal8Bit(argv[2]),
                                             QDateTime(QDate(1900, 1, 1), QTime(0, 0), Qt::UTC)));
        return 0;
    }

    bench::CatalogueShape shape;
    int rounds = bench::sized(3, 1);
    bool wholeOnly = false;
    QString keptLibrary;
    std::vector<char*> rest{argv[0]};
    for (int i = 1; i < argc; ++i) {
        const bool hasValue = i + 1 < argc;
        if (std::strcmp(argv[i], "--items") == 0 && hasValue)
            shape.assets = std::atoi(argv[++i]);
        else if (std::strcmp(argv[i], "--rounds") == 0 && hasValue)
            rounds = std::max(1, std::atoi(argv[++i]));
        else if (std::strcmp(argv[i], "--library") == 0 && hasValue)
            keptLibrary = QString::fromLocal8Bit(argv[++i]);
        else if (std::strcmp(argv[i], "--whole-only") == 0)
            wholeOnly = true;
        else
            rest.push_back(argv[i]);
    }
    if (shape.assets < 1) {
        fprintf(stderr, "catalogue_bench: --items needs a positive number\n");
        return 2;
    }

    QTemporaryDir dir;
    libraryPath = keptLibrary.isEmpty() ? dir.path() + "/Bench.photolibrary"
                                        : QDir(keptLibrary).absolutePath();
    // The widest window, "All" (every dated item), as the most expensive scan.
    windowStart = shape.newest.addYears(-shape.yearsSpanned - 1);
    int pairs = 0;
    if (!keptLibrary.isEmpty() && QFileInfo::exists(libraryPath + "/catalog.sqlite")) {
        pairs = bench::plainPairQuery(libraryPath, windowStart);
        fprintf(stderr, "catalogue: %s as it is, %d visible pairs\n", qPrintable(libraryPath),
                pairs);
    } else {
        pairs = bench::buildCatalogue(libraryPath, shape);
        fprintf(stderr, "catalogue: %d items, %d visible pairs\n", shape.assets, pairs);
    }

    if (!wholeOnly) {
        int restCount = int(rest.size());
        benchmark::Initialize(&restCount, rest.data());
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
    }
    return compareWholeScan(rounds, pairs);
}
