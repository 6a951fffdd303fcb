// The window's pair scan (LibraryModel::scan over the "All" range) on a folder library of a
// camera tree of 100,000 files (40,000 RAW+JPEG pairs, bench::writeCameraTree), against the same
// scan on a catalogue library holding the same items and albums (target: at most 2×). The
// folder library's index is warm, as it is after the first opening; each of its scans still
// walks the tree, as every scan of the window does.
//
//   folder_scan_bench [TREE]   scan the camera tree TREE (made by make_camera_tree) instead of
//                              writing one into a temporary folder
#include "support/BenchCameraTree.h"
#include "support/BenchCatalogue.h"

#include "core/LibraryModel.h"
#include "platform/photos/PhotoLibrary.h"

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QEventLoop>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <map>
#include <unistd.h>

namespace {

QString folderPath, cataloguePath;

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

void scanLibrary(benchmark::State& state, const QString& path) {
    photos::PhotoLibrary::setShared(photos::PhotoLibrary::open(path));
    size_t pairs = 0;
    for (auto _ : state)
        pairs = scanOnce();
    state.counters["pairs"] = double(pairs);
    photos::PhotoLibrary::setShared(nullptr);
}

void BM_ScanFolderLibrary(benchmark::State& state) {
    scanLibrary(state, folderPath);
}

void BM_ScanCatalogueLibrary(benchmark::State& state) {
    scanLibrary(state, cataloguePath);
}

BENCHMARK(BM_ScanFolderLibrary)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(bench::sized(5.0, 1e-3))
    ->UseRealTime();
BENCHMARK(BM_ScanCatalogueLibrary)
    ->Unit(benchmark::kMillisecond)
    ->MinTime(bench::sized(5.0, 1e-3))
    ->UseRealTime();

// Prints as usual and keeps each benchmark's time per scan, for the ratio.
class KeepingReporter : public benchmark::ConsoleReporter {
public:
    // Coloured on a terminal only, as Google Benchmark's own reporter.
    KeepingReporter() : ConsoleReporter(isatty(fileno(stdout)) ? OO_Color : OO_None) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs)
            times[run.run_name.function_name] = run.GetAdjustedRealTime();
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    // The model reads its backup folder from the preferences, the library its trash: keep
    // both out of $HOME.
    QTemporaryDir work;
    qputenv("XDG_CONFIG_HOME", (work.path() + "/config").toUtf8());
    qputenv("XDG_DATA_HOME", (work.path() + "/data").toUtf8());
    benchmark::Initialize(&argc, argv);

    folderPath = argc > 1 ? QString::fromLocal8Bit(argv[1]) : work.path() + "/Pictures";
    if (argc <= 1) {
        const int pairs = bench::sized(40000, 40);
        fprintf(stderr, "writing a camera tree of %d pairs…\n", pairs);
        if (!bench::writeCameraTree(folderPath, pairs)) {
            fprintf(stderr, "folder_scan_bench: cannot write into %s\n", qPrintable(folderPath));
            return 1;
        }
    }
    cataloguePath = work.path() + "/Same.photolibrary";
    {
        // The first opening reads every file; the scans find the index warm.
        const auto folder = photos::PhotoLibrary::open(folderPath);
        bench::buildCatalogueLike(cataloguePath, *folder);
        fprintf(stderr, "both libraries: %zu items\n",
                folder->fetchAssets(photos::MediaType::Image).size());
    }

    KeepingReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    const double folder = reporter.times["BM_ScanFolderLibrary"];
    const double catalogue = reporter.times["BM_ScanCatalogueLibrary"];
    if (folder > 0 && catalogue > 0)
        printf("ratio folder scan / catalogue scan: %.2f\n", folder / catalogue);
    return 0;
}
