// The whole pair scan (LibraryModel::scan over the "All" range) on a 100,000-item
// catalogue, against one plain SQL query returning the same pairs; and the scan's peak
// memory, measured in a process that does nothing else.
//
//   scan_bench                 build a catalogue, run both timings, then the memory run
//   scan_bench --scan-once DIR scan the library DIR once and print the peak resident size
#include "support/BenchCatalogue.h"

#include "core/LibraryModel.h"
#include "platform/photos/PhotoLibrary.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QEventLoop>
#include <QProcess>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <sys/resource.h>

namespace {

QString libraryPath;

// Runs one scan to its end on this thread's event loop; returns the pairs found.
size_t scanOnce() {
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
    return model.pairs().size();
}

void BM_Scan(benchmark::State& state) {
    photos::PhotoLibrary::setShared(photos::PhotoLibrary::open(libraryPath));
    size_t pairs = 0;
    for (auto _ : state)
        pairs = scanOnce();
    state.counters["pairs"] = double(pairs);
    photos::PhotoLibrary::setShared(nullptr);
}

void BM_PlainSqlQuery(benchmark::State& state) {
    int pairs = 0;
    for (auto _ : state)
        pairs =
            bench::plainPairQuery(libraryPath, QDateTime(QDate(1900, 1, 1), QTime(0, 0), Qt::UTC));
    state.counters["pairs"] = pairs;
}

BENCHMARK(BM_Scan)->Unit(benchmark::kMillisecond)->MinTime(bench::sized(3.0, 1e-3))->UseRealTime();
BENCHMARK(BM_PlainSqlQuery)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(bench::sized(3.0, 1e-3))
    ->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // The model reads its backup folder from the preferences: keep them out of $HOME.
    QTemporaryDir config;
    qputenv("XDG_CONFIG_HOME", config.path().toUtf8());

    if (argc == 3 && QByteArray(argv[1]) == "--scan-once") {
        libraryPath = QString::fromLocal8Bit(argv[2]);
        photos::PhotoLibrary::setShared(photos::PhotoLibrary::open(libraryPath));
        const size_t pairs = scanOnce();
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);
        printf("scan found %zu pairs; peak resident size %.1f MB\n", pairs,
               usage.ru_maxrss / 1024.0);
        return 0;
    }

    QTemporaryDir dir;
    libraryPath = dir.path() + "/Bench.photolibrary";
    const bench::CatalogueShape shape;
    const int pairs = bench::buildCatalogue(libraryPath, shape);
    fprintf(stderr, "catalogue: %d items, %d visible pairs\n", shape.assets, pairs);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    QProcess memory;
    memory.setProcessChannelMode(QProcess::ForwardedChannels);
    memory.start(QCoreApplication::applicationFilePath(), {"--scan-once", libraryPath});
    memory.waitForFinished(-1);
    return memory.exitCode();
}
