#pragma once

#include <QCoro/QCoroTask>
#include <QPersistentModelIndex>
#include <QPointer>
#include <QWidget>
#include <optional>

class QButtonGroup;
class QComboBox;
class QItemSelection;
class QLabel;
class QMessageBox;
class QProgressBar;
class QPushButton;
class QStackedWidget;
class QTableView;

namespace twinslim {

class LibraryModel;
class PairTableModel;
class QuickPreviewDialog;
class Spinner;
class ThumbnailProvider;

// The working window's content: filters, pair table, backup folder and the two workflow
// steps. Owns the one LibraryModel. When first shown it counts the originals waiting for
// clean-up, then scans the date range chosen last (the last 30 days at first); the table's
// order too is the one chosen last. A click on a row's selection circle adds or removes that
// row; Space opens and closes the quick preview of the current row.
class ScanView : public QWidget {
    Q_OBJECT
public:
    explicit ScanView(QWidget* parent = nullptr);
    ~ScanView() override;

    LibraryModel* model() const;
    PairTableModel* pairTable() const { return m_pairTable; }
    // The quick preview while it is open.
    QuickPreviewDialog* preview() const;

    // The request the Step 2 folder chooser is given.
    static QString ingestPrompt() { return QStringLiteral("Ingest"); }
    static QString ingestMessage() {
        return QStringLiteral(
            "Choose a folder of HEICs or JPEGs exported from the Twinslim export albums.");
    }
    static constexpr int selectFirstCount = 200;

    // Whether the window may close now. Not while an ingest runs: the user is asked whether to
    // stop it after the item in hand, and the window is closed once the run has ended.
    bool mayClose();

    // Scans the chosen date range again, as the Rescan button does; once the library changed
    // behind the window's back (originals restored), its pairs are out of date.
    void startScan();

protected:
    void showEvent(QShowEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* buildHeader();
    QWidget* buildFilterRow();
    QWidget* buildContent();
    QWidget* buildTable();
    QWidget* buildBottomBar();
    void arrangeBottomBar();
    void connectModel();

    void updateHeader();
    void updateFilterRow();
    void updateContent();
    void updateBottomStatus();
    void updateBackupFolder();
    void updateStepButtons();
    void updateSortIndicator();

    void showModelSelection();
    void tableSelectionChanged(const QItemSelection& selected, const QItemSelection& deselected);
    void openPreview(int row);

    void updateInfoAlert();
    void updateIngestReportAlert();
    void updateRecoveryAlert();

    void cancelScan();
    void chooseBackupFolder();
    void createExportAlbums();
    QCoro::Task<> createExportAlbumsOnce();
    void chooseIngestFolder();
    void deletePendingOriginals();
    void closeIfRunStopped();

    LibraryModel* m_model = nullptr;
    PairTableModel* m_pairTable = nullptr;
    bool m_appeared = false;
    bool m_syncingSelection = false;
    bool m_creatingAlbums = false;
    bool m_closeWhenStopped = false;
    bool m_bottomBarTwoRows = false;
    bool m_step1HadFocus = false;
    QPersistentModelIndex m_pressedThumbnail;
    std::optional<QString> m_runBackupFolder; // the folder the running ingest backs up into

    QLabel* m_dateRangeLabel = nullptr;
    QComboBox* m_dateRangePicker = nullptr;
    QPushButton* m_scanButton = nullptr;
    QProgressBar* m_scanProgress = nullptr;
    QLabel* m_scanCount = nullptr;
    QPushButton* m_cancelScan = nullptr;
    QLabel* m_pairsSummary = nullptr;

    QWidget* m_filterRow = nullptr;
    QButtonGroup* m_favFilterButtons = nullptr;

    QStackedWidget* m_content = nullptr;
    QWidget* m_scanEmptyState = nullptr;
    QWidget* m_noPairsEmptyState = nullptr;
    QLabel* m_searchedLabel = nullptr;
    QPushButton* m_scanAllButton = nullptr;
    QTableView* m_table = nullptr;
    ThumbnailProvider* m_thumbnails = nullptr;

    QWidget* m_bottomBar = nullptr;
    QWidget* m_bottomStatus = nullptr;
    QWidget* m_bottomActions = nullptr;
    QLabel* m_selectionSummary = nullptr;
    QLabel* m_favoriteSummary = nullptr;
    Spinner* m_runSpinner = nullptr;
    QLabel* m_runProgress = nullptr;
    QLabel* m_backupFolder = nullptr;
    QPushButton* m_step1 = nullptr;
    QPushButton* m_step2 = nullptr;

    QPointer<QMessageBox> m_infoAlert;
    QPointer<QMessageBox> m_ingestReportAlert;
    QPointer<QMessageBox> m_recoveryAlert;
    QPointer<QMessageBox> m_closeQuestion;
    QPointer<QuickPreviewDialog> m_preview;
};

} // namespace twinslim
