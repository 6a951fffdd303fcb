// The photo library service under the scan's access pattern, against one plain SQL
// query returning the same pairs, over a 100,000-item catalogue.
#include "support/BenchCatalogue.h"
#include "support/BenchScan.h"

#include "platform/photos/PhotoLibrary.h"

#include <QCoreApplication>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>

namespace {

QTemporaryDir* workDir;
QString libraryPath;
QDateTime windowStart;

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

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QTemporaryDir dir;
    workDir = &dir;
    libraryPath = dir.path() + "/Bench.photolibrary";
    bench::CatalogueShape shape;
    const int pairs = bench::buildCatalogue(libraryPath, shape);
    // The widest window, "All" (every dated item), as the most expensive scan.
    windowStart = shape.newest.addYears(-shape.yearsSpanned - 1);
    fprintf(stderr, "catalogue: %d items, %d visible pairs\n", shape.assets, pairs);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
