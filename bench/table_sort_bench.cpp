// Sorting the scan window's pair table: 20,000 pairs, one header click on each sortable
// column, from a table that has never been sorted by it (so the text columns also build
// their collation keys). The "scattered selection" runs keep every other row selected in
// a selection model, which the sort must carry along to the pairs' new rows.
// Target: at most 100 ms for any column.
#include "support/BenchSmoke.h"

#include "core/LibraryModel.h"
#include "ui/PairTableModel.h"

#include <QCoreApplication>
#include <QItemSelectionModel>
#include <QSettings>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <random>

using twinslim::PairTableModel;

namespace {

const int pairCount = bench::sized(20'000, 500);

std::vector<twinslim::PhotoPair> makePairs() {
    std::mt19937 random(20'000);
    const QStringList rawTypes = {"com.canon.cr2-raw-image", "com.canon.cr3-raw-image",
                                  "com.nikon.raw-image",     "com.sony.arw-raw-image",
                                  "com.adobe.raw-image",     "com.fuji.raw-image",
                                  "com.olympus.raw-image",   "com.panasonic.rw2-raw-image"};
    QStringList albums;
    for (int i = 0; i < 60; ++i)
        albums << QStringLiteral("Album %1").arg(i);
    const QDateTime start(QDate(2015, 1, 1), QTime(0, 0), Qt::UTC);
    std::vector<twinslim::PhotoPair> pairs(pairCount);
    for (int i = 0; i < pairCount; ++i) {
        twinslim::PhotoPair& pair = pairs[size_t(i)];
        pair.id = QStringLiteral("%1-0000-0000/L0/001").arg(i, 8, 16, QLatin1Char('0'));
        if (random() % 50 != 0) // a few undated ones
            pair.creationDate = start.addSecs(qint64(random() % (10 * 365 * 86400)));
        pair.isFavorite = random() % 5 == 0;
        pair.isEdited = random() % 7 == 0;
        for (unsigned n = random() % 4; n > 0; --n)
            pair.albumNames << albums[int(random() % unsigned(albums.size()))];
        pair.rawUTI = rawTypes[int(random() % unsigned(rawTypes.size()))];
        pair.jpegUTI = QStringLiteral("public.jpeg");
        pair.rawFilename = QStringLiteral("IMG_%1.RAW").arg(i);
        pair.jpegFilename = QStringLiteral("IMG_%1.JPG").arg(i);
        if (random() % 40 != 0)
            pair.rawBytes = 15'000'000 + qint64(random() % 30'000'000);
        if (random() % 40 != 0)
            pair.jpegBytes = 3'000'000 + qint64(random() % 9'000'000);
    }
    return pairs;
}

twinslim::LibraryModel& libraryModel() {
    static twinslim::LibraryModel* model = [] {
        auto* m = new twinslim::LibraryModel;
        m->setPairs(makePairs());
        return m;
    }();
    return *model;
}

void BM_SortByHeaderClick(benchmark::State& state) {
    const int column = int(state.range(0));
    const bool scatteredSelection = state.range(1) != 0;
    for (auto _ : state) {
        state.PauseTiming();
        PairTableModel table(&libraryModel());
        QItemSelectionModel selection(&table);
        if (scatteredSelection) {
            QItemSelection rows;
            for (int row = 0; row < table.rowCount(); row += 2)
                rows.select(table.index(row, 0), table.index(row, PairTableModel::ColumnCount - 1));
            selection.select(rows, QItemSelectionModel::Select);
        }
        state.ResumeTiming();
        table.sortByHeaderClick(column);
        benchmark::DoNotOptimize(table.pairAt(0));
    }
    state.SetLabel(PairTableModel(&libraryModel())
                       .headerData(column, Qt::Horizontal)
                       .toString()
                       .toStdString() +
                   (scatteredSelection ? ", every other row selected" : ""));
}

// A new scan result or a filter change: the visible pairs copied, keyed and sorted.
void BM_ReloadVisiblePairs(benchmark::State& state) {
    PairTableModel table(&libraryModel());
    for (auto _ : state) {
        libraryModel().setFavFilter(twinslim::FavFilter::nonFavorites);
        libraryModel().setFavFilter(twinslim::FavFilter::all);
    }
    state.SetLabel("two reloads (non-favourites, then all)");
}

void sortableColumns(benchmark::internal::Benchmark* b) {
    for (int selected : {0, 1})
        for (int column = PairTableModel::DateColumn; column < PairTableModel::ColumnCount;
             ++column)
            b->Args({column, selected});
}

BENCHMARK(BM_SortByHeaderClick)
    ->Apply(sortableColumns)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();
BENCHMARK(BM_ReloadVisiblePairs)->Unit(benchmark::kMillisecond)->UseRealTime();

} // namespace

int main(int argc, char** argv) {
    // The library model restores its backup folder from the preferences: keep them away
    // from the user's own.
    QTemporaryDir preferences;
    qputenv("XDG_CONFIG_HOME", preferences.path().toUtf8());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, preferences.path());
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
