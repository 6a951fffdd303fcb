#pragma once

#include "core/CallbackAwaitable.h"
#include "core/DateRange.h"
#include "core/FavFilter.h"
#include "core/PhotoPair.h"
#include "core/ScanCancellation.h"
#include "ingest/IngestPlan.h"
#include "ingest/IngestReport.h"
#include "platform/photos/PhotoTypes.h"
#include "platform/types/UTType.h"

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace twinslim {

class BackupFolder;
class IngestLogger;
struct BackupCopies;

// The one observable model of the main window. It lives on the GUI thread; every field
// is read and written there. Each tracked field has a getter, a change signal and a
// setter that emits only when the value changes; derived values are computed on read.
class LibraryModel : public QObject {
    Q_OBJECT
public:
    explicit LibraryModel(QObject* parent = nullptr);
    ~LibraryModel() override;

    // ---- Tracked fields ----
    // The last completed scan's pairs, largest RAW first, less those replaced since.
    const std::vector<PhotoPair>& pairs() const { return *m_pairs; }
    void setPairs(std::vector<PhotoPair> pairs);
    // The same list, shared: it never changes, and outlives the next setPairs for those
    // who hold it, so that views need no copy of tens of thousands of pairs.
    using SharedPairs = std::shared_ptr<const std::vector<PhotoPair>>;
    const SharedPairs& sharedPairs() const { return m_pairs; }
    // Lets go of a list: a large one on the thread pool, since freeing tens of thousands of
    // pairs and their asset snapshots takes long enough to be felt on the GUI thread.
    static void release(SharedPairs pairs);
    // May hold ids of pairs the favourites filter hides.
    const QSet<QString>& selectedIDs() const { return m_selectedIDs; }
    void setSelectedIDs(QSet<QString> ids);
    bool isScanning() const { return m_isScanning; }
    void setIsScanning(bool value);
    bool hasScanned() const { return m_hasScanned; }
    void setHasScanned(bool value);
    int scannedCount() const { return m_scannedCount; }
    void setScannedCount(int value);
    int totalCount() const { return m_totalCount; }
    void setTotalCount(int value);
    // The running scan's token; none when idle.
    const std::shared_ptr<ScanCancellation>& scanToken() const { return m_scanToken; }
    void setScanToken(std::shared_ptr<ScanCancellation> token);
    DateRange dateRange() const { return m_dateRange; }
    void setDateRange(DateRange value);
    FavFilter favFilter() const { return m_favFilter; }
    void setFavFilter(FavFilter value);
    // The date range the pairs were found in: set with them by each completed scan.
    std::optional<DateRange> scannedRange() const { return m_scannedRange; }
    void setScannedRange(std::optional<DateRange> value);

    // ---- Constants ----
    BackupFolder* backup() const { return m_backup; }
    static QString favAlbumTitle() { return QStringLiteral("Twinslim Favs"); }
    static QString nonfavAlbumTitle() { return QStringLiteral("Twinslim NonFavs"); }

    // ---- Tracked fields (messages, ingest progress, recovery) ----
    // An operation with something to say sets infoMessage first, then showInfoAlert.
    const std::optional<QString>& infoMessage() const { return m_infoMessage; }
    void setInfoMessage(std::optional<QString> value);
    bool showInfoAlert() const { return m_showInfoAlert; }
    void setShowInfoAlert(bool value);
    const std::optional<IngestReport>& ingestReport() const { return m_ingestReport; }
    void setIngestReport(std::optional<IngestReport> value);
    bool showIngestReport() const { return m_showIngestReport; }
    void setShowIngestReport(bool value);
    bool isRunning() const { return m_isRunning; }
    void setIsRunning(bool value);
    int runIndex() const { return m_runIndex; }
    void setRunIndex(int value);
    int runTotal() const { return m_runTotal; }
    void setRunTotal(int value);
    const QString& currentLabel() const { return m_currentLabel; }
    void setCurrentLabel(QString value);
    int pendingRecoveryCount() const { return m_pendingRecoveryCount; }
    void setPendingRecoveryCount(int value);
    bool showRecoveryAlert() const { return m_showRecoveryAlert; }
    void setShowRecoveryAlert(bool value);
    // The file names of marker album members that have no backup made by a replacement, as
    // of the last refresh or clean-up: they are never deleted by the clean-up.
    const QStringList& pendingWithoutBackup() const { return m_pendingWithoutBackup; }
    // How many of the waiting originals' RAW files have no backup (those of non-favourites).
    int pendingRawWithoutBackup() const { return m_pendingRawWithoutBackup; }

    // ---- Derived values ----
    std::vector<PhotoPair> visiblePairs() const;
    // In pairs order, whatever the favourites filter hides.
    std::vector<PhotoPair> selectedPairs() const;
    // Originals that wait for their deletion (PhotoPair::awaitsDeletion) reclaim nothing more
    // and count in neither.
    qint64 selectedRawBytes() const;
    qint64 totalRawBytes() const;
    int awaitingDeletionCount() const;
    int selectedFavoriteCount() const;

    // ---- Operations ----
    // Scans the library within dateRange. Does nothing while a scan runs. The reading
    // runs off the GUI thread; a cancelled scan's result is dropped.
    QCoro::Task<> scan();
    // Adds every visible pair; selected ids stay, visible or hidden.
    void selectAllVisible();
    // The first n visible pairs in pairs order, replacing the selection.
    void selectFirst(int n);
    void selectNone();
    // Drops the pairs of these items (replaced or deleted) and their selection.
    void forgetPairs(const QSet<QString>& ids);

    // Puts the selected pairs' items into the favourites and non-favourites export
    // albums and tells the user how to export them; every outcome ends in a message.
    QCoro::Task<> createExportAlbums();
    // Counts the replaced originals waiting in the marker album, those with a backup, and
    // raises the clean-up offer when there are any.
    void refreshPendingRecovery();
    // Deletes every item of the marker album that has its backup in one confirmed change;
    // never fails.
    QCoro::Task<> deletePendingOriginals();

    // Backs up one matched original, verifies the backup on disk, then in one library
    // change creates its replacement from `exportedData` (capture date, location,
    // favourite flag, albums) and parks the original in `markerAlbum`; writes the sidecar
    // last. Throws on failure; nothing in the library changes before the backups stand.
    QCoro::Task<> replaceOriginal(photos::AssetPtr asset, QByteArray exportedData,
                                  uti::UTType exportedType, photos::CollectionPtr markerAlbum,
                                  IngestLogger& logger);
    // The same in two steps, so that one original's copies can be made while another's
    // library change is under way: the backup files copied and flushed under temporary names
    // (nothing named, nothing in the library changed; dropped, they are removed), then the
    // rest. Each throws on failure.
    QCoro::Task<std::shared_ptr<BackupCopies>> copyForBackup(photos::AssetPtr asset);
    QCoro::Task<> replaceOriginal(std::shared_ptr<BackupCopies> copies, QByteArray exportedData,
                                  uti::UTType exportedType, photos::CollectionPtr markerAlbum,
                                  IngestLogger& logger);
    // Matches every exported file in `folder` to an export-album member, replaces the
    // matches, deletes the replaced originals in one confirmed change and stores the
    // report. Never throws: a reason not to start goes to infoMessage.
    QCoro::Task<> ingest(QString folder);
    // Asks the running ingest to stop once the file in hand is done: it then writes the log
    // of what it did and leaves the replaced originals in the marker album for the next
    // start. Does nothing when no run is going on.
    void requestIngestStop();
    bool isStopRequested() const { return m_stopRequested; }
    // While held, a running ingest waits before its next file and before it deletes anything,
    // so that a question put to the user meanwhile is answered before the run goes on or asks
    // its own.
    void setRunHeld(bool held);
    // Whether a running ingest is waiting for the hold to end.
    bool isRunWaiting() const { return m_runWaiting.has_value(); }
    // What ingest(folder) would match, without changing anything: no backup, no library
    // change, no log file. Empty, with infoMessage set, when a run could not start.
    std::optional<IngestPlan> planIngest(const QString& folder);

    // The time the next scan counts its date window from; the current time when empty.
    void setClock(std::function<QDateTime()> clock);

signals:
    void pairsChanged();
    void selectedIDsChanged();
    void isScanningChanged();
    void hasScannedChanged();
    void scannedCountChanged();
    void totalCountChanged();
    void scanTokenChanged();
    void dateRangeChanged();
    void favFilterChanged();
    void scannedRangeChanged();
    void infoMessageChanged();
    void showInfoAlertChanged();
    void ingestReportChanged();
    void showIngestReportChanged();
    void isRunningChanged();
    void runIndexChanged();
    void runTotalChanged();
    void currentLabelChanged();
    void pendingRecoveryCountChanged();
    void showRecoveryAlertChanged();
    void runWaitingChanged();
    // Every line an ingest run logs, as stamped in its log file, as it is logged.
    void ingestLineLogged(const QString& line);

private:
    template <typename T> void assign(T& field, T value, void (LibraryModel::*changed)()) {
        if (field == value)
            return;
        field = std::move(value);
        emit(this->*changed)();
    }
    QDateTime now() const;
    QCoro::Task<> waitWhileHeld();

    SharedPairs m_pairs = std::make_shared<const std::vector<PhotoPair>>();
    QSet<QString> m_selectedIDs;
    bool m_isScanning = false;
    bool m_hasScanned = false;
    int m_scannedCount = 0;
    int m_totalCount = 0;
    std::shared_ptr<ScanCancellation> m_scanToken;
    DateRange m_dateRange = DateRange::last30Days;
    FavFilter m_favFilter = FavFilter::all;
    std::optional<DateRange> m_scannedRange;
    BackupFolder* m_backup = nullptr; // owned as a child
    std::optional<QString> m_infoMessage;
    bool m_showInfoAlert = false;
    std::optional<IngestReport> m_ingestReport;
    bool m_showIngestReport = false;
    bool m_isRunning = false;
    bool m_stopRequested = false;
    bool m_runHeld = false;
    // Resumes the run waiting at a hold.
    std::optional<CallbackAwaitable<void>::Resolver> m_runWaiting;
    int m_runIndex = 0;
    int m_runTotal = 0;
    QString m_currentLabel;
    int m_pendingRecoveryCount = 0;
    bool m_showRecoveryAlert = false;
    QStringList m_pendingWithoutBackup;
    int m_pendingRawWithoutBackup = 0;

    std::function<QDateTime()> m_clock;
};

} // namespace twinslim
