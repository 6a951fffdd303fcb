#include "ui/ScanView.h"

#include "backup/BackupFolder.h"
#include "backup/BackupRecords.h"
#include "backup/FolderChooser.h"
#include "core/ByteCountFormat.h"
#include "core/LibraryModel.h"
#include "library/ReplacementError.h"
#include "platform/system/SecurityScopedAccess.h"
#include "ui/Alerts.h"
#include "ui/PairFlagsDelegate.h"
#include "ui/PairTableModel.h"
#include "ui/PairThumbnailDelegate.h"
#include "ui/Preferences.h"
#include "ui/Prominent.h"
#include "ui/QuickPreviewDialog.h"
#include "ui/SelectionMarkDelegate.h"
#include "ui/Spinner.h"
#include "ui/Symbols.h"
#include "ui/ThumbnailProvider.h"

#include <QButtonGroup>
#include <QComboBox>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QMouseEvent>
#include <QProgressBar>
#include <QPushButton>
#include <QScopedValueRollback>
#include <QSettings>
#include <QStackedWidget>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <functional>
#include <utility>

namespace twinslim {
namespace {

constexpr int inset = 12;
constexpr int emptyStateSymbolSize = 40;
constexpr int progressBarWidth = 160;
constexpr int backupFolderWidth = 180;
constexpr int rowHeight = 52; // the 44-point thumbnail and its margin

const QString middleDot = QStringLiteral(" \u00B7 ");

struct ColumnWidth {
    PairTableModel::Column column;
    int minimum; // 0: the column takes the remaining width
    int ideal;
    bool fixed;
};
constexpr ColumnWidth columnWidths[] = {
    {PairTableModel::SelectionColumn, 28, 28, true},
    {PairTableModel::QuickLookColumn, 52, 52, true},
    {PairTableModel::DateColumn, 130, 150, false},
    {PairTableModel::FlagsColumn, 40, 40, true},
    {PairTableModel::AlbumsColumn, 0, 0, false},
    {PairTableModel::RawColumn, 90, 120, false},
    {PairTableModel::RawSizeColumn, 80, 80, true},
    {PairTableModel::JpegSizeColumn, 80, 80, true},
};

// Secondary and tertiary text styles: the window text, faded.
void fade(QWidget* widget, float alpha) {
    QPalette palette = widget->palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        QColor color = palette.color(group, QPalette::WindowText);
        color.setAlphaF(alpha);
        palette.setColor(group, QPalette::WindowText, color);
    }
    widget->setPalette(palette);
}
void makeSecondary(QWidget* widget) {
    fade(widget, 0.55f);
}

QLabel* secondaryLabel(const QString& objectName, QWidget* parent = nullptr) {
    auto* label = new QLabel(parent);
    label->setObjectName(objectName);
    makeSecondary(label);
    return label;
}

QPushButton* button(const QString& objectName, const QString& text,
                    const QString& symbolName = {}) {
    auto* b = new QPushButton(text);
    b->setObjectName(objectName);
    if (!symbolName.isEmpty())
        b->setIcon(symbol(symbolName));
    return b;
}

QFrame* divider(Qt::Orientation orientation, const QString& objectName) {
    auto* line = new QFrame;
    line->setObjectName(objectName);
    line->setFrameShape(orientation == Qt::Horizontal ? QFrame::HLine : QFrame::VLine);
    line->setFrameShadow(QFrame::Sunken);
    return line;
}

// A symbol drawn as a large faint glyph above a line of text, centred in the space.
QWidget* emptyState(const QString& objectName, const QString& symbolName, const QString& text) {
    auto* panel = new QWidget;
    panel->setObjectName(objectName);
    auto* layout = new QVBoxLayout(panel);
    layout->setSpacing(12);
    layout->addStretch();
    auto* glyph = new QLabel;
    glyph->setObjectName(objectName + QStringLiteral("Symbol"));
    glyph->setAccessibleName(symbolName);
    // The tertiary style: fainter than the secondary text below it.
    QColor tertiary = panel->palette().color(QPalette::WindowText);
    tertiary.setAlphaF(0.3f);
    glyph->setPixmap(
        symbolPixmap(symbolName, emptyStateSymbolSize, tertiary, panel->devicePixelRatioF()));
    glyph->setAlignment(Qt::AlignCenter);
    layout->addWidget(glyph);
    auto* label = secondaryLabel(objectName + QStringLiteral("Text"));
    label->setText(text);
    label->setAlignment(Qt::AlignCenter);
    layout->addWidget(label);
    layout->addStretch();
    return panel;
}

// Runs one model operation started from a control, left running on the GUI thread. Nothing a user
// does may end in an unhandled error: one that escapes the operation is shown like the model's own
// messages.
using Operation = std::function<QCoro::Task<>(LibraryModel&)>;
QCoro::Task<> runOperation(QPointer<LibraryModel> model, Operation operation) {
    if (!model)
        co_return;
    try {
        QCoro::Task<> running = operation(*model);
        co_await running;
    } catch (...) {
        if (!model)
            co_return;
        model->setInfoMessage(localizedDescription(std::current_exception()));
        model->setShowInfoAlert(true);
    }
}
void start(LibraryModel* model, Operation operation) {
    runOperation(QPointer<LibraryModel>(model), std::move(operation));
}

// Asks the folder chooser for the exported folder and ingests it, with access to the folder held
// for the whole run.
QCoro::Task<> ingestChosenFolder(QPointer<LibraryModel> model) {
    FolderChoiceRequest request;
    request.prompt = ScanView::ingestPrompt();
    request.message = ScanView::ingestMessage();
    request.canChooseDirectories = true;
    request.canChooseFiles = false;
    request.allowsMultipleSelection = false;
    auto asking = askForFolder(FolderChooser::shared(), request);
    const std::optional<QString> folder = co_await asking;
    if (!model || !folder)
        co_return;
    const sys::SecurityScopedAccess access(*folder);
    QCoro::Task<> ingesting = model->ingest(*folder);
    co_await ingesting;
}

void setAlertMessage(QMessageBox* box, const QString& message) {
    box->setInformativeText(message);
    fitAlert(box);
}

// An alert that was closed may wait a moment for its deletion; it no longer counts as up.
bool isUp(const QPointer<QMessageBox>& box) {
    return box && box->isVisible();
}

// `withoutBackup` names the marker album's members the clean-up leaves alone.
QString recoveryMessage(int count, const QStringList& withoutBackup) {
    const QString notice = withoutBackupNotice(withoutBackup);
    return recoveryOffer(count) + (notice.isEmpty() ? QString() : QStringLiteral("\n\n") + notice);
}

QString filterToolTip(FavFilter filter) {
    switch (filter) {
    case FavFilter::favorites:
        return QStringLiteral("Shows only the pairs marked as favorites (\u2605)");
    case FavFilter::nonFavorites:
        return QStringLiteral("Shows only the pairs not marked as favorites");
    case FavFilter::all:
        break;
    }
    return QStringLiteral("Shows every pair found");
}

QString pairCount(qsizetype count) {
    return QString::number(count) +
           (count == 1 ? QStringLiteral(" pair") : QStringLiteral(" pairs"));
}

QString deleteNowTitle(int count) {
    return QStringLiteral("Delete ") + QString::number(count) + QStringLiteral(" Now");
}

// The date range and the table's order, kept in the application's settings between starts.
const QString dateRangeKey = QStringLiteral("window/dateRange");
const QString sortOrderKey = QStringLiteral("window/sortOrder");

QSettings preferences() {
    return QSettings(QStringLiteral("Twinslim"), QStringLiteral("Twinslim"));
}

// The table's comparators, first first, as "column ascending|descending" entries.
QStringList sortOrderEntries(const std::vector<PairTableModel::SortKey>& order) {
    QStringList entries;
    for (const PairTableModel::SortKey& key : order)
        entries << QStringLiteral("%1 %2")
                       .arg(int(key.column))
                       .arg(key.order == Qt::AscendingOrder ? QStringLiteral("ascending")
                                                            : QStringLiteral("descending"));
    return entries;
}

void restoreSortOrder(PairTableModel& table, const QStringList& entries) {
    // Each sort() puts its column first, so the last comparator goes in first.
    for (auto entry = entries.crbegin(); entry != entries.crend(); ++entry) {
        const QStringList parts = entry->split(QLatin1Char(' '));
        bool isNumber = false;
        const int column = parts.value(0).toInt(&isNumber);
        if (parts.size() != 2 || !isNumber || column < 0 || column >= PairTableModel::ColumnCount)
            continue;
        table.sort(column, parts[1] == QStringLiteral("ascending") ? Qt::AscendingOrder
                                                                   : Qt::DescendingOrder);
    }
}

} // namespace

ScanView::ScanView(QWidget* parent) : QWidget(parent), m_model(new LibraryModel(this)) {
    setObjectName(QStringLiteral("scanView"));
    m_pairTable = new PairTableModel(m_model, this);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(buildHeader());
    layout->addWidget(divider(Qt::Horizontal, QStringLiteral("headerDivider")));
    layout->addWidget(buildContent(), 1);
    layout->addWidget(divider(Qt::Horizontal, QStringLiteral("bottomBarDivider")));
    layout->addWidget(buildBottomBar());

    {
        const QSettings settings = preferences();
        if (const std::optional<DateRange> range =
                dateRangeFromIdentity(settings.value(dateRangeKey).toString()))
            m_model->setDateRange(*range);
        restoreSortOrder(*m_pairTable, settings.value(sortOrderKey).toStringList());
    }

    connectModel();
    updateHeader();
    updateFilterRow();
    updateContent();
    updateBottomStatus();
    updateBackupFolder();
    updateStepButtons();
    updateSortIndicator();
}

ScanView::~ScanView() {
    // The next window reads what this one stored.
    waitForStoredPreferences();
}

LibraryModel* ScanView::model() const {
    return m_model;
}

QuickPreviewDialog* ScanView::preview() const {
    return m_preview;
}

// ---- Building ----

QWidget* ScanView::buildHeader() {
    auto* header = new QWidget;
    header->setObjectName(QStringLiteral("header"));
    auto* column = new QVBoxLayout(header);
    column->setContentsMargins(inset, inset, inset, inset);
    column->setSpacing(10);

    auto* top = new QHBoxLayout;
    m_dateRangeLabel = new QLabel(QStringLiteral("Date range"));
    m_dateRangeLabel->setObjectName(QStringLiteral("dateRangeLabel"));
    m_dateRangePicker = new QComboBox;
    m_dateRangePicker->setObjectName(QStringLiteral("dateRangePicker"));
    m_dateRangePicker->setAccessibleName(QStringLiteral("Date range"));
    m_dateRangePicker->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    for (DateRange range : allDateRanges) {
        m_dateRangePicker->addItem(label(range), identity(range));
        m_dateRangePicker->setItemData(m_dateRangePicker->count() - 1,
                                       QStringLiteral("Pairs ") + description(range),
                                       Qt::ToolTipRole);
    }
    m_dateRangeLabel->setBuddy(m_dateRangePicker);
    connect(m_dateRangePicker, &QComboBox::activated, this, [this](int index) {
        if (index >= 0 && size_t(index) < allDateRanges.size())
            m_model->setDateRange(allDateRanges[size_t(index)]);
    });
    top->addWidget(m_dateRangeLabel);
    top->addWidget(m_dateRangePicker);

    m_scanButton =
        button(QStringLiteral("scanButton"), QString(), QStringLiteral("magnifyingglass"));
    m_scanButton->setToolTip(
        QStringLiteral("Looks for RAW+JPEG pairs in the photo library, in the date range chosen"));
    connect(m_scanButton, &QPushButton::clicked, this, &ScanView::startScan);
    top->addWidget(m_scanButton);

    m_scanProgress = new QProgressBar;
    m_scanProgress->setObjectName(QStringLiteral("scanProgress"));
    m_scanProgress->setFixedWidth(progressBarWidth);
    m_scanProgress->setTextVisible(false);
    top->addWidget(m_scanProgress);
    m_scanCount = secondaryLabel(QStringLiteral("scanCountLabel"));
    top->addWidget(m_scanCount);
    m_cancelScan = button(QStringLiteral("cancelScanButton"), QStringLiteral("Cancel"));
    m_cancelScan->setToolTip(QStringLiteral("Stops the scan; the pairs shown before it stay"));
    connect(m_cancelScan, &QPushButton::clicked, this, &ScanView::cancelScan);
    top->addWidget(m_cancelScan);
    m_pairsSummary = secondaryLabel(QStringLiteral("pairsSummaryLabel"));
    top->addWidget(m_pairsSummary);
    top->addStretch(1);
    column->addLayout(top);

    column->addWidget(buildFilterRow());
    return header;
}

QWidget* ScanView::buildFilterRow() {
    m_filterRow = new QWidget;
    m_filterRow->setObjectName(QStringLiteral("filterRow"));
    QFont callout = m_filterRow->font();
    callout.setPointSizeF(callout.pointSizeF() * 12.0 / 13.0);
    m_filterRow->setFont(callout);
    auto* row = new QHBoxLayout(m_filterRow);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(12);

    auto* show = secondaryLabel(QStringLiteral("showLabel"));
    show->setText(QStringLiteral("Show"));
    row->addWidget(show);

    // A segmented control: adjoining toggle buttons, one of them on.
    auto* segments = new QWidget;
    segments->setObjectName(QStringLiteral("favFilterPicker"));
    segments->setAccessibleName(QStringLiteral("Show"));
    auto* segmentRow = new QHBoxLayout(segments);
    segmentRow->setContentsMargins(0, 0, 0, 0);
    segmentRow->setSpacing(0);
    m_favFilterButtons = new QButtonGroup(this);
    m_favFilterButtons->setExclusive(true);
    for (size_t i = 0; i < allFavFilters.size(); ++i) {
        const FavFilter filter = allFavFilters[i];
        auto* segment = button(QStringLiteral("favFilter_") + identity(filter), label(filter));
        segment->setCheckable(true);
        segment->setAutoDefault(false);
        segment->setToolTip(filterToolTip(filter));
        m_favFilterButtons->addButton(segment, int(i));
        segmentRow->addWidget(segment);
    }
    connect(m_favFilterButtons, &QButtonGroup::idClicked, this, [this](int id) {
        if (id >= 0 && size_t(id) < allFavFilters.size())
            m_model->setFavFilter(allFavFilters[size_t(id)]);
    });
    row->addWidget(segments);
    row->addStretch(1);

    auto* selectFirst = button(QStringLiteral("selectFirstButton"),
                               QStringLiteral("Select First ") + QString::number(selectFirstCount));
    connect(selectFirst, &QPushButton::clicked, this,
            [this] { m_model->selectFirst(selectFirstCount); });
    auto* selectAll = button(QStringLiteral("selectAllButton"), QStringLiteral("Select All"));
    connect(selectAll, &QPushButton::clicked, this, [this] { m_model->selectAllVisible(); });
    auto* selectNone = button(QStringLiteral("selectNoneButton"), QStringLiteral("Select None"));
    selectFirst->setToolTip(QStringLiteral("Selects the %1 pairs shown with the largest RAW files")
                                .arg(selectFirstCount));
    selectAll->setToolTip(QStringLiteral("Selects every pair shown in the table"));
    selectNone->setToolTip(QStringLiteral("Clears the selection, hidden pairs included"));
    connect(selectNone, &QPushButton::clicked, this, [this] { m_model->selectNone(); });
    for (QPushButton* b : {selectFirst, selectAll, selectNone}) {
        b->setAutoDefault(false);
        row->addWidget(b);
    }
    return m_filterRow;
}

QWidget* ScanView::buildContent() {
    m_content = new QStackedWidget;
    m_content->setObjectName(QStringLiteral("content"));
    m_scanEmptyState = emptyState(QStringLiteral("scanEmptyState"), QStringLiteral("photo.stack"),
                                  QStringLiteral("Scan your library to find RAW+JPEG pairs."));
    m_noPairsEmptyState =
        emptyState(QStringLiteral("noPairsEmptyState"), QStringLiteral("checkmark.circle"),
                   QStringLiteral("No RAW+JPEG pairs found."));
    // Which dates were searched, and the way to search them all: an empty result of the last
    // 30 days says nothing about the rest of the library.
    auto* panel = static_cast<QVBoxLayout*>(m_noPairsEmptyState->layout());
    m_searchedLabel = secondaryLabel(QStringLiteral("searchedRangeLabel"));
    m_searchedLabel->setAlignment(Qt::AlignCenter);
    panel->insertWidget(panel->count() - 1, m_searchedLabel);
    m_scanAllButton = button(QStringLiteral("scanAllButton"), QStringLiteral("Search All Dates"));
    m_scanAllButton->setAutoDefault(false);
    m_scanAllButton->setToolTip(
        QStringLiteral("Scans the whole library: sets the date range to \u201CAll\u201D"));
    connect(m_scanAllButton, &QPushButton::clicked, this,
            [this] { m_model->setDateRange(DateRange::all); });
    panel->insertWidget(panel->count() - 1, m_scanAllButton, 0, Qt::AlignHCenter);
    m_content->addWidget(m_scanEmptyState);
    m_content->addWidget(m_noPairsEmptyState);
    m_content->addWidget(buildTable());
    return m_content;
}

QWidget* ScanView::buildTable() {
    m_table = new QTableView;
    m_table->setObjectName(QStringLiteral("pairTable"));
    m_table->setModel(m_pairTable);
    m_table->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_table->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    // Tab goes on to the next control: walking the cells would replace the selection.
    m_table->setTabKeyNavigation(false);
    m_table->setShowGrid(false);
    m_table->setAlternatingRowColors(true);
    m_table->setWordWrap(false);
    m_table->setVerticalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_table->setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
    m_table->verticalHeader()->hide();
    m_table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    m_table->verticalHeader()->setDefaultSectionSize(rowHeight);
    m_table->setItemDelegateForColumn(PairTableModel::SelectionColumn,
                                      new SelectionMarkDelegate(m_table));
    m_thumbnails = new ThumbnailProvider(m_table);
    m_table->setItemDelegateForColumn(PairTableModel::QuickLookColumn,
                                      new PairThumbnailDelegate(m_thumbnails, m_table));
    m_table->setItemDelegateForColumn(PairTableModel::FlagsColumn, new PairFlagsDelegate(m_table));
    m_table->viewport()->installEventFilter(this);
    m_table->installEventFilter(this); // Space for the quick preview

    QHeaderView* header = m_table->horizontalHeader();
    header->setObjectName(QStringLiteral("pairTableHeader"));
    header->setSectionsClickable(true);
    header->setSortIndicatorShown(true);
    header->setHighlightSections(false);
    header->setStretchLastSection(false);
    header->setMinimumSectionSize(columnWidths[0].minimum);
    for (const ColumnWidth& width : columnWidths) {
        if (width.minimum == 0) {
            header->setSectionResizeMode(width.column, QHeaderView::Stretch);
            continue;
        }
        header->setSectionResizeMode(width.column,
                                     width.fixed ? QHeaderView::Fixed : QHeaderView::Interactive);
        header->resizeSection(width.column, width.ideal);
    }
    // The header knows one minimum for all columns; each resizable one keeps its own.
    connect(header, &QHeaderView::sectionResized, this, [header](int section, int, int size) {
        for (const ColumnWidth& width : columnWidths)
            if (width.column == section && !width.fixed && size < width.minimum)
                header->resizeSection(section, width.minimum);
    });
    connect(header, &QHeaderView::sectionClicked, this, [this](int section) {
        m_pairTable->sortByHeaderClick(section);
        updateSortIndicator();
        storePreference(sortOrderKey, sortOrderEntries(m_pairTable->sortOrder()));
    });

    connect(m_table->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &ScanView::tableSelectionChanged);
    // A reset drops the table's selection without a word; the model's selection comes back.
    connect(m_pairTable, &QAbstractItemModel::modelReset, this, &ScanView::showModelSelection);
    return m_table;
}

QWidget* ScanView::buildBottomBar() {
    m_bottomBar = new QWidget;
    m_bottomBar->setObjectName(QStringLiteral("bottomBar"));
    auto* grid = new QGridLayout(m_bottomBar);
    grid->setContentsMargins(inset, inset, inset, inset);
    grid->setColumnStretch(1, 1);

    m_bottomStatus = new QWidget;
    m_bottomStatus->setObjectName(QStringLiteral("bottomStatus"));
    auto* status = new QHBoxLayout(m_bottomStatus);
    status->setContentsMargins(0, 0, 0, 0);
    m_runSpinner = new Spinner;
    m_runSpinner->setObjectName(QStringLiteral("runSpinner"));
    m_runSpinner->setDiameter(16); // the small size
    status->addWidget(m_runSpinner, 0, Qt::AlignVCenter);
    m_runProgress = secondaryLabel(QStringLiteral("runProgressLabel"));
    status->addWidget(m_runProgress, 0, Qt::AlignVCenter);
    m_selectionSummary = secondaryLabel(QStringLiteral("selectionSummaryLabel"));
    status->addWidget(m_selectionSummary, 0, Qt::AlignVCenter);
    m_favoriteSummary = secondaryLabel(QStringLiteral("favoriteSummaryLabel"));
    status->addWidget(m_favoriteSummary, 0, Qt::AlignVCenter);
    grid->addWidget(m_bottomStatus, 0, 0, Qt::AlignLeft | Qt::AlignVCenter);

    m_bottomActions = new QWidget;
    m_bottomActions->setObjectName(QStringLiteral("bottomActions"));
    auto* row = new QHBoxLayout(m_bottomActions);
    row->setContentsMargins(0, 0, 0, 0);
    auto* backup = button(QStringLiteral("backupFolderButton"),
                          QStringLiteral("Backup Folder\u2026"), QStringLiteral("folder"));
    backup->setAutoDefault(false);
    backup->setToolTip(QStringLiteral(
        "Chooses the folder where the originals are backed up before they are replaced"));
    connect(backup, &QPushButton::clicked, this, &ScanView::chooseBackupFolder);
    row->addWidget(backup, 0, Qt::AlignVCenter);
    m_backupFolder = secondaryLabel(QStringLiteral("backupFolderLabel"));
    m_backupFolder->setMaximumWidth(backupFolderWidth);
    m_backupFolder->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    row->addWidget(m_backupFolder, 0, Qt::AlignVCenter);

    auto* separator = divider(Qt::Vertical, QStringLiteral("stepDivider"));
    separator->setFixedHeight(16);
    row->addWidget(separator, 0, Qt::AlignVCenter);

    m_step1 = button(QStringLiteral("step1Button"), QStringLiteral("Step 1: Create Export Albums"),
                     QStringLiteral("rectangle.stack.badge.plus"));
    m_step1->setAutoDefault(false);
    m_step1->setToolTip(
        QStringLiteral("Puts the selected pairs into the albums “%1” (favorites) and “%2” (the "
                       "rest), to be exported from the photo library")
            .arg(LibraryModel::favAlbumTitle(), LibraryModel::nonfavAlbumTitle()));
    connect(m_step1, &QPushButton::clicked, this, &ScanView::createExportAlbums);
    row->addWidget(m_step1, 0, Qt::AlignVCenter);
    m_step2 = button(QStringLiteral("step2Button"),
                     QStringLiteral("Step 2: Ingest Exported Folder\u2026"),
                     QStringLiteral("square.and.arrow.down"));
    // The prominent button: the default one, filled with the accent colour.
    m_step2->setDefault(true);
    makeProminent(m_step2, QStringLiteral("4px 12px"), 6);
    m_step2->setToolTip(
        QStringLiteral("Chooses the folder of exported HEIC or JPEG files; each original is "
                       "backed up, replaced by its exported file, then deleted"));
    m_step2->setMinimumHeight(m_step1->sizeHint().height()); // level with Step 1
    connect(m_step2, &QPushButton::clicked, this, &ScanView::chooseIngestFolder);
    row->addWidget(m_step2, 0, Qt::AlignVCenter);
    grid->addWidget(m_bottomActions, 0, 2, Qt::AlignRight | Qt::AlignVCenter);

    m_bottomBar->installEventFilter(this);
    return m_bottomBar;
}

// One row while the status and the actions fit side by side; otherwise the actions go on a
// row of their own under the status, so nothing is cut off in a narrow window.
void ScanView::arrangeBottomBar() {
    // The bar's layout keeps the status's earlier size until told that its text changed.
    m_bottomStatus->updateGeometry();
    auto* grid = static_cast<QGridLayout*>(m_bottomBar->layout());
    const QMargins margins = grid->contentsMargins();
    const int available = m_bottomBar->width() - margins.left() - margins.right();
    const int oneRow = m_bottomStatus->sizeHint().width() + grid->horizontalSpacing() +
                       m_bottomActions->sizeHint().width();
    const bool twoRows = oneRow > available;
    if (twoRows == m_bottomBarTwoRows)
        return;
    m_bottomBarTwoRows = twoRows;
    grid->removeWidget(m_bottomActions);
    if (twoRows)
        grid->addWidget(m_bottomActions, 1, 0, 1, 3, Qt::AlignRight | Qt::AlignVCenter);
    else
        grid->addWidget(m_bottomActions, 0, 2, Qt::AlignRight | Qt::AlignVCenter);
}

void ScanView::connectModel() {
    LibraryModel* m = m_model;
    for (auto signal : {&LibraryModel::isScanningChanged, &LibraryModel::hasScannedChanged,
                        &LibraryModel::scannedCountChanged, &LibraryModel::totalCountChanged,
                        &LibraryModel::pairsChanged, &LibraryModel::isRunningChanged})
        connect(m, signal, this, &ScanView::updateHeader);
    for (auto signal : {&LibraryModel::hasScannedChanged, &LibraryModel::pairsChanged,
                        &LibraryModel::favFilterChanged})
        connect(m, signal, this, &ScanView::updateFilterRow);
    for (auto signal : {&LibraryModel::hasScannedChanged, &LibraryModel::pairsChanged,
                        &LibraryModel::scannedRangeChanged})
        connect(m, signal, this, &ScanView::updateContent);
    for (auto signal : {&LibraryModel::isRunningChanged, &LibraryModel::runIndexChanged,
                        &LibraryModel::runTotalChanged, &LibraryModel::currentLabelChanged,
                        &LibraryModel::selectedIDsChanged, &LibraryModel::pairsChanged,
                        &LibraryModel::favFilterChanged})
        connect(m, signal, this, &ScanView::updateBottomStatus);
    // A new scan result asks again for the thumbnails that did not come last time.
    connect(m, &LibraryModel::isScanningChanged, this, [this] {
        if (m_model->isScanning())
            return;
        m_thumbnails->forgetFailures();
        m_table->viewport()->update();
    });
    connect(m, &LibraryModel::isRunningChanged, this, &ScanView::closeIfRunStopped);
    for (auto signal : {&LibraryModel::isRunningChanged, &LibraryModel::selectedIDsChanged})
        connect(m, signal, this, &ScanView::updateStepButtons);
    connect(m->backup(), &BackupFolder::urlChanged, this, &ScanView::updateBackupFolder);
    connect(m, &LibraryModel::isRunningChanged, this, [this] {
        m_runBackupFolder = m_model->isRunning() ? m_model->backup()->url() : std::nullopt;
        updateBackupFolder();
    });
    connect(m, &LibraryModel::selectedIDsChanged, this, [this] {
        if (!m_syncingSelection)
            showModelSelection();
    });
    connect(m, &LibraryModel::dateRangeChanged, this, [this] {
        storePreference(dateRangeKey, identity(m_model->dateRange()));
        updateHeader();
        // The initial range is scanned by the start-up; each later choice scans again.
        if (m_appeared)
            startScan();
    });
    for (auto signal : {&LibraryModel::showInfoAlertChanged, &LibraryModel::infoMessageChanged})
        connect(m, signal, this, &ScanView::updateInfoAlert);
    for (auto signal : {&LibraryModel::showIngestReportChanged, &LibraryModel::ingestReportChanged})
        connect(m, signal, this, &ScanView::updateIngestReportAlert);
    for (auto signal :
         {&LibraryModel::showRecoveryAlertChanged, &LibraryModel::pendingRecoveryCountChanged})
        connect(m, signal, this, &ScanView::updateRecoveryAlert);
}

// ---- Drawing the model ----

void ScanView::updateHeader() {
    const bool scanning = m_model->isScanning();
    // A scan during an ingest would offer pairs the run is replacing.
    const bool busy = scanning || m_model->isRunning();
    const auto index = std::find(allDateRanges.begin(), allDateRanges.end(), m_model->dateRange());
    m_dateRangePicker->setCurrentIndex(int(index - allDateRanges.begin()));
    m_dateRangePicker->setEnabled(!busy);
    m_dateRangeLabel->setEnabled(!busy);
    m_scanAllButton->setEnabled(!busy); // another date range, like the picker

    m_scanButton->setText(m_model->hasScanned() ? QStringLiteral("Rescan")
                                                : QStringLiteral("Scan Library"));
    m_scanButton->setEnabled(!busy);

    m_scanProgress->setVisible(scanning);
    m_scanCount->setVisible(scanning);
    m_cancelScan->setVisible(scanning);
    m_pairsSummary->setVisible(!scanning && m_model->hasScanned());
    if (scanning) {
        // A total of 0 shows an empty bar rather than a division by nothing.
        m_scanProgress->setRange(0, std::max(m_model->totalCount(), 1));
        m_scanProgress->setValue(std::min(m_model->scannedCount(), m_scanProgress->maximum()));
        m_scanCount->setText(QString::number(m_model->scannedCount()) + QStringLiteral(" / ") +
                             QString::number(m_model->totalCount()));
    } else if (m_model->hasScanned()) {
        const int waiting = m_model->awaitingDeletionCount();
        m_pairsSummary->setText(
            pairCount(qsizetype(m_model->pairs().size())) + middleDot +
            formatByteCount(m_model->totalRawBytes()) + QStringLiteral(" reclaimable") +
            (waiting >= 1 ? middleDot + QString::number(waiting) +
                                QStringLiteral(" already replaced, waiting to be deleted")
                          : QString()));
    }
    m_dateRangePicker->setToolTip(QStringLiteral("Pairs ") + description(m_model->dateRange()));
}

void ScanView::updateFilterRow() {
    m_filterRow->setVisible(m_model->hasScanned() && !m_model->pairs().empty());
    const auto index = std::find(allFavFilters.begin(), allFavFilters.end(), m_model->favFilter());
    if (QAbstractButton* segment = m_favFilterButtons->button(int(index - allFavFilters.begin())))
        segment->setChecked(true);
}

void ScanView::updateContent() {
    if (!m_model->hasScanned())
        m_content->setCurrentWidget(m_scanEmptyState);
    else if (m_model->pairs().empty())
        m_content->setCurrentWidget(m_noPairsEmptyState);
    else
        m_content->setCurrentWidget(m_table);
    const DateRange searched = m_model->scannedRange().value_or(m_model->dateRange());
    m_searchedLabel->setText(
        searched == DateRange::all
            ? QStringLiteral("Searched the whole library.")
            : QStringLiteral("Searched the photos %1.").arg(description(searched)));
    m_scanAllButton->setVisible(searched != DateRange::all);
}

void ScanView::updateBottomStatus() {
    const bool running = m_model->isRunning();
    m_runSpinner->setVisible(running);
    m_runProgress->setVisible(running);
    m_selectionSummary->setVisible(!running);
    const int favorites = running ? 0 : m_model->selectedFavoriteCount();
    m_favoriteSummary->setVisible(!running && favorites >= 1);
    if (running) {
        m_runProgress->setText(QString::number(m_model->runIndex()) + QStringLiteral("/") +
                               QString::number(m_model->runTotal()) + middleDot +
                               m_model->currentLabel());
        return;
    }
    // Selected pairs the favourites filter hides stay selected: the summary says so, since
    // the table shows fewer highlighted rows than it counts.
    int hidden = 0;
    for (const QString& id : m_model->selectedIDs())
        hidden += m_pairTable->rowOf(id) < 0;
    m_selectionSummary->setText(
        QString::number(m_model->selectedIDs().size()) + QStringLiteral(" selected") +
        (hidden >= 1 ? QStringLiteral(" (%1 hidden by the filter)").arg(hidden) : QString()) +
        middleDot + formatByteCount(m_model->selectedRawBytes()) + QStringLiteral(" reclaimable"));
    if (favorites >= 1)
        m_favoriteSummary->setText(QStringLiteral("\u00B7 ") + QString::number(favorites) +
                                   (favorites == 1 ? QStringLiteral(" \u2605 favorite")
                                                   : QStringLiteral(" \u2605 favorites")));
    arrangeBottomBar();
}

void ScanView::updateBackupFolder() {
    const std::optional<QString>& url = m_model->backup()->url();
    if (!url) {
        m_backupFolder->setText(QStringLiteral("No backup folder"));
        m_backupFolder->setToolTip(QString());
        arrangeBottomBar();
        return;
    }
    // A folder chosen while an ingest runs is the next run's: this one keeps its own.
    const bool forNextRun = m_model->isRunning() && m_runBackupFolder != url;
    const QString note = forNextRun ? QStringLiteral(" (for the next run)") : QString();
    const int noteWidth = m_backupFolder->fontMetrics().horizontalAdvance(note);
    m_backupFolder->setMaximumWidth(backupFolderWidth + noteWidth);
    m_backupFolder->setText(
        m_backupFolder->fontMetrics().elidedText(*url, Qt::ElideMiddle, backupFolderWidth) + note);
    m_backupFolder->setToolTip(
        forNextRun
            ? QStringLiteral("%1\nFor the next run: the running ingest keeps its backups in %2")
                  .arg(*url, m_runBackupFolder.value_or(QString()))
            : *url);
    arrangeBottomBar();
}

void ScanView::updateStepButtons() {
    const bool step1 =
        !m_model->selectedIDs().isEmpty() && !m_model->isRunning() && !m_creatingAlbums;
    // Disabled with the focus, Step 1 would hand it on to Step 2, where the Return that closes
    // Step 1's message, pressed once too often, would start an ingest. The table keeps it
    // meanwhile and gives it back.
    if (!step1 && window()->focusWidget() == m_step1) {
        m_table->setFocus(Qt::OtherFocusReason);
        m_step1HadFocus = true;
    } else if (step1 && std::exchange(m_step1HadFocus, false) &&
               window()->focusWidget() == m_table) {
        m_step1->setEnabled(true);
        m_step1->setFocus(Qt::OtherFocusReason);
    }
    m_step1->setEnabled(step1);
    m_step2->setEnabled(!m_model->isRunning());
}

void ScanView::updateSortIndicator() {
    const PairTableModel::SortKey& first = m_pairTable->sortOrder().front();
    m_table->horizontalHeader()->setSortIndicator(first.column, first.order);
}

// ---- The table's selection and the model's, kept in step ----

void ScanView::showModelSelection() {
    const QScopedValueRollback guard(m_syncingSelection, true);
    std::vector<int> rows;
    rows.reserve(size_t(m_model->selectedIDs().size()));
    for (const QString& id : m_model->selectedIDs())
        if (const int row = m_pairTable->rowOf(id); row >= 0)
            rows.push_back(row);
    std::sort(rows.begin(), rows.end());
    QItemSelection selection;
    const int lastColumn = PairTableModel::ColumnCount - 1;
    for (size_t i = 0; i < rows.size();) {
        size_t end = i + 1;
        while (end < rows.size() && rows[end] == rows[end - 1] + 1)
            ++end;
        selection.select(m_pairTable->index(rows[i], 0),
                         m_pairTable->index(rows[end - 1], lastColumn));
        i = end;
    }
    m_table->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect);
}

void ScanView::tableSelectionChanged(const QItemSelection& selected,
                                     const QItemSelection& deselected) {
    if (m_syncingSelection)
        return;
    // Only the rows that changed: ids the filter hides are not in the table and stay.
    QSet<QString> ids = m_model->selectedIDs();
    QItemSelectionModel* selection = m_table->selectionModel();
    for (const QItemSelectionRange& range : deselected)
        for (int row = range.top(); row <= range.bottom(); ++row)
            if (!selection->rowIntersectsSelection(row))
                ids.remove(m_pairTable->pairAt(row).id);
    for (const QItemSelectionRange& range : selected)
        for (int row = range.top(); row <= range.bottom(); ++row)
            ids.insert(m_pairTable->pairAt(row).id);
    const QScopedValueRollback guard(m_syncingSelection, true);
    m_model->setSelectedIDs(std::move(ids));
}

// ---- Quick look ----

bool ScanView::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_bottomBar) {
        if (event->type() == QEvent::Resize)
            arrangeBottomBar();
        return false;
    }
    if (watched == m_table) {
        // Space opens and closes the quick preview of the current row, as in file managers
        // and viewers; held down, it does not open and close it again and again.
        if (event->type() != QEvent::KeyPress)
            return false;
        const auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() != Qt::Key_Space || key->modifiers() != Qt::NoModifier)
            return false;
        if (!key->isAutoRepeat()) {
            if (m_preview)
                m_preview->accept();
            else
                openPreview(m_table->currentIndex().row());
        }
        return true;
    }
    if (watched != m_table->viewport())
        return QWidget::eventFilter(watched, event);
    const QEvent::Type type = event->type();
    if (type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease &&
        type != QEvent::MouseButtonDblClick)
        return false;
    auto* mouse = static_cast<QMouseEvent*>(event);
    const QModelIndex index = m_table->indexAt(mouse->position().toPoint());
    const bool onThumbnail = index.isValid() && index.column() == PairTableModel::QuickLookColumn;
    // The selection circle is a check box: a click adds its row to the selection or takes it
    // out, whatever else is selected.
    if (index.isValid() && index.column() == PairTableModel::SelectionColumn) {
        if (mouse->button() != Qt::LeftButton || type == QEvent::MouseButtonRelease)
            return true;
        QSet<QString> ids = m_model->selectedIDs();
        const QString id = m_pairTable->pairAt(index.row()).id;
        if (!ids.remove(id))
            ids.insert(id);
        m_table->selectionModel()->setCurrentIndex(index, QItemSelectionModel::NoUpdate);
        m_model->setSelectedIDs(std::move(ids));
        return true;
    }
    if (mouse->button() != Qt::LeftButton)
        return onThumbnail; // other buttons neither preview nor select from a thumbnail
    if (type == QEvent::MouseButtonRelease) {
        // The thumbnail is a button: pressed and released on the same one, it opens the
        // preview. A drag that ends over a thumbnail is the table's.
        const QPersistentModelIndex pressed = std::exchange(m_pressedThumbnail, {});
        if (!onThumbnail || !pressed.isValid() || pressed != index)
            return onThumbnail && pressed.isValid();
        openPreview(index.row());
        return true;
    }
    if (!onThumbnail)
        return false;
    // A press on a thumbnail leaves the selection alone.
    m_pressedThumbnail = index;
    return true;
}

void ScanView::openPreview(int row) {
    if (m_preview || row < 0 || row >= m_pairTable->rowCount())
        return;
    const PhotoPair& pair = m_pairTable->pairAt(row);
    auto* preview = new QuickPreviewDialog(pair.asset, pair.jpegFilename, this);
    // Closing the sheet, by "Done" or Escape, ends it: the next click opens a fresh one.
    connect(preview, &QDialog::finished, preview, &QObject::deleteLater);
    m_preview = preview;
    preview->open();
}

// ---- Alerts ----

void ScanView::updateInfoAlert() {
    const QString message = m_model->infoMessage().value_or(QString());
    if (!m_model->showInfoAlert()) {
        if (isUp(m_infoAlert))
            m_infoAlert->done(QMessageBox::Ok);
        return;
    }
    if (isUp(m_infoAlert)) {
        setAlertMessage(m_infoAlert, message);
        return;
    }
    m_infoAlert = alert(this, QStringLiteral("infoAlert"), QStringLiteral("Twinslim"), message);
    m_infoAlert->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole)
        ->setObjectName(QStringLiteral("okButton"));
    connect(m_infoAlert, &QDialog::finished, m_model,
            [model = m_model] { model->setShowInfoAlert(false); });
    m_infoAlert->open();
}

void ScanView::updateIngestReportAlert() {
    const bool wanted = m_model->showIngestReport() && m_model->ingestReport().has_value();
    if (!wanted) {
        if (isUp(m_ingestReportAlert))
            m_ingestReportAlert->done(QMessageBox::Ok);
        return;
    }
    const QString message = m_model->ingestReport()->summaryMessage();
    if (isUp(m_ingestReportAlert)) {
        setAlertMessage(m_ingestReportAlert, message);
        return;
    }
    m_ingestReportAlert = alert(this, QStringLiteral("ingestReportAlert"),
                                QStringLiteral("Ingest complete"), message);
    m_ingestReportAlert->addButton(QStringLiteral("OK"), QMessageBox::AcceptRole)
        ->setObjectName(QStringLiteral("okButton"));
    connect(m_ingestReportAlert, &QDialog::finished, m_model,
            [model = m_model] { model->setShowIngestReport(false); });
    m_ingestReportAlert->open();
}

void ScanView::updateRecoveryAlert() {
    const int count = m_model->pendingRecoveryCount();
    if (!m_model->showRecoveryAlert()) {
        if (isUp(m_recoveryAlert))
            m_recoveryAlert->done(QMessageBox::Cancel);
        return;
    }
    if (isUp(m_recoveryAlert)) {
        setAlertMessage(m_recoveryAlert, recoveryMessage(count, m_model->pendingWithoutBackup()));
        if (QAbstractButton* deleteNow =
                m_recoveryAlert->findChild<QAbstractButton*>(QStringLiteral("deleteNowButton")))
            deleteNow->setText(deleteNowTitle(count));
        return;
    }
    m_recoveryAlert =
        alert(this, QStringLiteral("recoveryAlert"), QStringLiteral("Unfinished cleanup"),
              recoveryMessage(count, m_model->pendingWithoutBackup()));
    QPushButton* deleteNow =
        m_recoveryAlert->addButton(deleteNowTitle(count), QMessageBox::AcceptRole);
    deleteNow->setObjectName(QStringLiteral("deleteNowButton"));
    QPushButton* later =
        m_recoveryAlert->addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
    later->setObjectName(QStringLiteral("laterButton"));
    m_recoveryAlert->setEscapeButton(later);
    m_recoveryAlert->setDefaultButton(deleteNow);
    connect(deleteNow, &QPushButton::clicked, this, &ScanView::deletePendingOriginals);
    connect(m_recoveryAlert, &QDialog::finished, m_model,
            [model = m_model] { model->setShowRecoveryAlert(false); });
    m_recoveryAlert->open();
}

// ---- Actions ----

void ScanView::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (m_appeared)
        return;
    m_appeared = true;
    start(m_model, [](LibraryModel& model) {
        model.refreshPendingRecovery();
        return model.scan();
    });
}

void ScanView::startScan() {
    start(m_model, [](LibraryModel& model) { return model.scan(); });
}

void ScanView::cancelScan() {
    if (const std::shared_ptr<ScanCancellation>& token = m_model->scanToken())
        token->cancel();
}

void ScanView::chooseBackupFolder() {
    start(m_model, [](LibraryModel& model) { return model.backup()->choose(); });
}

void ScanView::createExportAlbums() {
    // A second press while the albums are being made (a double click) would make them twice.
    if (m_creatingAlbums)
        return;
    m_creatingAlbums = true;
    updateStepButtons();
    createExportAlbumsOnce();
}

QCoro::Task<> ScanView::createExportAlbumsOnce() {
    QPointer<ScanView> self(this);
    co_await runOperation(QPointer<LibraryModel>(m_model),
                          [](LibraryModel& model) { return model.createExportAlbums(); });
    if (!self)
        co_return;
    m_creatingAlbums = false;
    updateStepButtons();
}

void ScanView::chooseIngestFolder() {
    start(m_model,
          [](LibraryModel& model) { return ingestChosenFolder(QPointer<LibraryModel>(&model)); });
}

void ScanView::deletePendingOriginals() {
    start(m_model, [](LibraryModel& model) { return model.deletePendingOriginals(); });
}

// ---- Closing ----

bool ScanView::mayClose() {
    if (!m_model->isRunning())
        return true;
    if (isUp(m_closeQuestion)) {
        m_closeQuestion->raise();
        return false;
    }
    m_closeQuestion = alert(
        this, QStringLiteral("closeQuestion"), QStringLiteral("An ingest is running"),
        QStringLiteral("Stop it after the item in hand and then close? Its log is written, and "
                       "the originals it has replaced are offered for deletion at the next "
                       "start."));
    QPushButton* keepGoing =
        m_closeQuestion->addButton(QStringLiteral("Continue"), QMessageBox::RejectRole);
    keepGoing->setObjectName(QStringLiteral("continueButton"));
    QPushButton* stop =
        m_closeQuestion->addButton(QStringLiteral("Stop after this item"), QMessageBox::AcceptRole);
    stop->setObjectName(QStringLiteral("stopButton"));
    m_closeQuestion->setDefaultButton(keepGoing);
    m_closeQuestion->setEscapeButton(keepGoing);
    // The run waits for the answer: going on, it could finish and ask to delete over this
    // question.
    m_model->setRunHeld(true);
    connect(m_closeQuestion, &QDialog::finished, this, [this, box = m_closeQuestion.data(), stop] {
        if (box->clickedButton() == stop) {
            m_closeWhenStopped = true;
            m_model->requestIngestStop();
        }
        m_model->setRunHeld(false);
        closeIfRunStopped();
    });
    m_closeQuestion->open();
    return false;
}

void ScanView::closeIfRunStopped() {
    if (m_model->isRunning())
        return;
    // A run that ends while the question is up leaves nothing to ask; its report comes up
    // and the window stays, so that the report is read.
    if (isUp(m_closeQuestion))
        m_closeQuestion->done(QMessageBox::Rejected);
    if (!std::exchange(m_closeWhenStopped, false))
        return;
    // After the run's own handling of its end, not in the middle of it.
    QTimer::singleShot(0, window(), [window = QPointer<QWidget>(window())] {
        if (window)
            window->close();
    });
}

} // namespace twinslim
