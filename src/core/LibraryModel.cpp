#include "core/LibraryModel.h"

#include "backup/BackupFolder.h"
#include "core/CallbackAwaitable.h"
#include "core/PairScan.h"

#include <QCoreApplication>
#include <QPointer>
#include <QThreadPool>
#include <algorithm>

namespace twinslim {
namespace {

// Stable, so equal sizes keep the fetch order (newest first); an unknown size counts
// as 0. Sorts small keys and moves each pair once.
std::vector<PhotoPair> largestRawFirst(std::vector<PhotoPair> pairs) {
    std::vector<std::pair<qint64, size_t>> keys;
    keys.reserve(pairs.size());
    for (size_t i = 0; i < pairs.size(); ++i)
        keys.emplace_back(pairs[i].rawSize(), i);
    std::stable_sort(keys.begin(), keys.end(),
                     [](const auto& a, const auto& b) { return a.first > b.first; });
    std::vector<PhotoPair> sorted;
    sorted.reserve(pairs.size());
    for (const auto& key : keys)
        sorted.push_back(std::move(pairs[key.second]));
    return sorted;
}

// The same off the GUI thread, which a large result would otherwise hold up.
QCoro::Task<std::vector<PhotoPair>> sortedOffThread(std::vector<PhotoPair> pairs) {
    auto shared = std::make_shared<std::vector<PhotoPair>>(std::move(pairs));
    using Sorting = CallbackAwaitable<std::vector<PhotoPair>>;
    Sorting sorting([shared](Sorting::Resolver resolver) {
        QThreadPool::globalInstance()->start(
            [shared, resolver] { resolver.resolve(largestRawFirst(std::move(*shared))); });
    });
    co_return co_await sorting;
}

} // namespace

LibraryModel::LibraryModel(QObject* parent)
    : QObject(parent), m_backup(new BackupFolder(BackupFolder::bookmarkKey(), this)) {}

LibraryModel::~LibraryModel() = default;

void LibraryModel::release(SharedPairs pairs) {
    // Only the last holder frees the pairs; whoever holds them too lets go the same way.
    if (pairs && pairs.use_count() == 1 && pairs->size() >= 1000)
        QThreadPool::globalInstance()->start(
            [retired = std::move(pairs)]() mutable { retired.reset(); });
}

void LibraryModel::setPairs(std::vector<PhotoPair> pairs) {
    if (*m_pairs == pairs)
        return;
    SharedPairs previous =
        std::exchange(m_pairs, std::make_shared<const std::vector<PhotoPair>>(std::move(pairs)));
    emit pairsChanged();
    release(std::move(previous));
}
void LibraryModel::setSelectedIDs(QSet<QString> ids) {
    assign(m_selectedIDs, std::move(ids), &LibraryModel::selectedIDsChanged);
}
void LibraryModel::setIsScanning(bool value) {
    assign(m_isScanning, value, &LibraryModel::isScanningChanged);
}
void LibraryModel::setHasScanned(bool value) {
    assign(m_hasScanned, value, &LibraryModel::hasScannedChanged);
}
void LibraryModel::setScannedCount(int value) {
    assign(m_scannedCount, value, &LibraryModel::scannedCountChanged);
}
void LibraryModel::setTotalCount(int value) {
    assign(m_totalCount, value, &LibraryModel::totalCountChanged);
}
void LibraryModel::setScanToken(std::shared_ptr<ScanCancellation> token) {
    assign(m_scanToken, std::move(token), &LibraryModel::scanTokenChanged);
}
void LibraryModel::setDateRange(DateRange value) {
    assign(m_dateRange, value, &LibraryModel::dateRangeChanged);
}
void LibraryModel::setScannedRange(std::optional<DateRange> value) {
    assign(m_scannedRange, value, &LibraryModel::scannedRangeChanged);
}
void LibraryModel::setFavFilter(FavFilter value) {
    assign(m_favFilter, value, &LibraryModel::favFilterChanged);
}
void LibraryModel::setInfoMessage(std::optional<QString> value) {
    assign(m_infoMessage, std::move(value), &LibraryModel::infoMessageChanged);
}
void LibraryModel::setShowInfoAlert(bool value) {
    assign(m_showInfoAlert, value, &LibraryModel::showInfoAlertChanged);
}
void LibraryModel::setIngestReport(std::optional<IngestReport> value) {
    assign(m_ingestReport, std::move(value), &LibraryModel::ingestReportChanged);
}
void LibraryModel::setShowIngestReport(bool value) {
    assign(m_showIngestReport, value, &LibraryModel::showIngestReportChanged);
}
void LibraryModel::forgetPairs(const QSet<QString>& ids) {
    if (ids.isEmpty())
        return;
    std::vector<PhotoPair> remaining;
    for (const PhotoPair& pair : *m_pairs)
        if (!ids.contains(pair.id))
            remaining.push_back(pair);
    setPairs(std::move(remaining));
    setSelectedIDs(QSet<QString>(m_selectedIDs).subtract(ids));
}

void LibraryModel::setIsRunning(bool value) {
    assign(m_isRunning, value, &LibraryModel::isRunningChanged);
}
void LibraryModel::setRunIndex(int value) {
    assign(m_runIndex, value, &LibraryModel::runIndexChanged);
}
void LibraryModel::setRunTotal(int value) {
    assign(m_runTotal, value, &LibraryModel::runTotalChanged);
}
void LibraryModel::setCurrentLabel(QString value) {
    assign(m_currentLabel, std::move(value), &LibraryModel::currentLabelChanged);
}
void LibraryModel::setPendingRecoveryCount(int value) {
    assign(m_pendingRecoveryCount, value, &LibraryModel::pendingRecoveryCountChanged);
}
void LibraryModel::setShowRecoveryAlert(bool value) {
    assign(m_showRecoveryAlert, value, &LibraryModel::showRecoveryAlertChanged);
}

std::vector<PhotoPair> LibraryModel::visiblePairs() const {
    std::vector<PhotoPair> visible;
    std::copy_if(m_pairs->begin(), m_pairs->end(), std::back_inserter(visible),
                 [this](const PhotoPair& pair) { return passes(m_favFilter, pair); });
    return visible;
}

std::vector<PhotoPair> LibraryModel::selectedPairs() const {
    std::vector<PhotoPair> selected;
    std::copy_if(m_pairs->begin(), m_pairs->end(), std::back_inserter(selected),
                 [this](const PhotoPair& pair) { return m_selectedIDs.contains(pair.id); });
    return selected;
}

qint64 LibraryModel::selectedRawBytes() const {
    qint64 sum = 0;
    for (const PhotoPair& pair : *m_pairs)
        if (m_selectedIDs.contains(pair.id) && !pair.awaitsDeletion())
            sum += pair.rawSize();
    return sum;
}

qint64 LibraryModel::totalRawBytes() const {
    qint64 sum = 0;
    for (const PhotoPair& pair : *m_pairs)
        if (!pair.awaitsDeletion())
            sum += pair.rawSize();
    return sum;
}

int LibraryModel::awaitingDeletionCount() const {
    return int(std::count_if(m_pairs->begin(), m_pairs->end(),
                             [](const PhotoPair& pair) { return pair.awaitsDeletion(); }));
}

int LibraryModel::selectedFavoriteCount() const {
    return static_cast<int>(std::count_if(m_pairs->begin(), m_pairs->end(), [this](const auto& p) {
        return p.isFavorite && m_selectedIDs.contains(p.id);
    }));
}

void LibraryModel::selectAllVisible() {
    QSet<QString> ids = m_selectedIDs;
    for (const PhotoPair& pair : *m_pairs)
        if (passes(m_favFilter, pair))
            ids.insert(pair.id);
    setSelectedIDs(std::move(ids));
}

void LibraryModel::selectFirst(int n) {
    QSet<QString> ids;
    for (const PhotoPair& pair : *m_pairs) {
        if (ids.size() >= n)
            break;
        if (passes(m_favFilter, pair))
            ids.insert(pair.id);
    }
    setSelectedIDs(std::move(ids));
}

void LibraryModel::selectNone() {
    setSelectedIDs({});
}

void LibraryModel::setClock(std::function<QDateTime()> clock) {
    m_clock = std::move(clock);
}

QDateTime LibraryModel::now() const {
    return m_clock ? m_clock() : QDateTime::currentDateTime();
}

QCoro::Task<> LibraryModel::scan() {
    // Checked and set with no suspension in between, so two scans never overlap.
    if (m_isScanning)
        co_return;
    setIsScanning(true);
    setScannedCount(0);
    setTotalCount(0);
    setSelectedIDs({});
    const auto token = std::make_shared<ScanCancellation>();
    setScanToken(token);
    const DateRange range = m_dateRange;
    const DateBounds bounds = dateBounds(range, now());

    QPointer<LibraryModel> self(this);
    IsCancelled isCancelled = [token] { return token->isCancelled(); };
    // Called on the reading's thread: each report becomes its own call on the GUI
    // thread that finds the model only if it still exists.
    ScanProgress progress = [self](int handled, int total) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [self, handled, total] {
                if (!self)
                    return;
                self->setScannedCount(handled);
                self->setTotalCount(total);
            },
            Qt::QueuedConnection);
    };

    // Arguments are prepared before the await: temporaries inside a co_await
    // expression are not reliably destroyed by the compiler in use.
    QCoro::Task<std::vector<PhotoPair>> reading = twinslim::scan(
        bounds.newerThan, bounds.olderThan, std::move(isCancelled), std::move(progress));
    std::optional<std::vector<PhotoPair>> found;
    try {
        found = co_await reading;
    } catch (const std::exception&) {
        found.reset(); // the reading could not deliver: keep the previous result
    }
    if (!self)
        co_return; // the window went away while the library was read

    if (found && !token->isCancelled()) {
        QCoro::Task<std::vector<PhotoPair>> sorting = sortedOffThread(std::move(*found));
        std::vector<PhotoPair> sorted = co_await sorting;
        if (!self)
            co_return;
        // A cancellation that came while the result was being sorted still drops it.
        if (!token->isCancelled()) {
            setScannedRange(range);
            setPairs(std::move(sorted));
            setHasScanned(true);
        }
    }
    setScanToken(nullptr);
    setIsScanning(false);
}

} // namespace twinslim
