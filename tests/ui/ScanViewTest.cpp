#include "ui/ScanView.h"
#include "backup/BackupFolder.h"
#include "backup/FolderChooser.h"
#include "backup/MarkerAlbum.h"
#include "core/EventLoop.h"
#include "core/LibraryModel.h"
#include "core/TestLibrary.h"
#include "fixtures/ImageFixtures.h"
#include "library/PhotoLibraryOperations.h"
#include "ui/AccessGate.h"
#include "ui/PairTableModel.h"
#include "ui/QtFolderChooser.h"
#include "ui/QuickPreviewDialog.h"
#include "ui/ThumbnailProvider.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTableView>
#include <QTest>
#include <cmath>
#include <gtest/gtest.h>

using namespace twinslim;
using photos::ResourceType;
using Column = PairTableModel::Column;

namespace {

// The window's clock: the date range counts back from here.
const QDateTime now(QDate(2024, 6, 15), QTime(12, 0), Qt::UTC);

struct AssetSpec {
    QString stem;
    int daysAgo;
    int rawSize;
    int jpegSize = 100;
    bool favorite = false;
    bool edited = false;
    QString rawUTI = QStringLiteral("com.canon.cr3-raw-image");
};

TestLibrary::NewAsset asset(const AssetSpec& s) {
    TestLibrary::NewAsset a{{{ResourceType::Photo, "public.jpeg", s.stem + ".JPG", s.jpegSize},
                             {ResourceType::AlternatePhoto, s.rawUTI, s.stem + ".RAW", s.rawSize}},
                            now.addDays(-s.daysAgo),
                            s.favorite};
    if (s.edited)
        a.resources.push_back({ResourceType::AdjustmentData, "com.adobe.xmp", s.stem + ".XMP", 10});
    return a;
}

// Answers the folder panel at once, as a user would, and remembers what it was asked.
class AnsweringChooser : public FolderChooser {
public:
    std::optional<QString> answer;
    std::vector<FolderChoiceRequest> requests;
    void chooseFolder(const FolderChoiceRequest& request, Answer reply) override {
        requests.push_back(request);
        reply(answer);
    }
};

class ScanViewTest : public ::testing::Test {
protected:
    void SetUp() override {
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        FolderChooser::setShared(chooser);
    }
    void TearDown() override {
        if (view) {
            // Nothing of the window may outlive the test library it reads.
            EXPECT_TRUE(testloop::spinUntil([&] { return !model().isScanning(); }));
            view.reset();
            testloop::drain();
        }
        FolderChooser::setShared(nullptr);
        QSettings(QStringLiteral("Twinslim"), QStringLiteral("Twinslim")).clear();
        QLocale::setDefault(QLocale::system());
    }

    // Makes and shows the window; its first scan starts at once.
    void open() {
        view = std::make_unique<ScanView>();
        model().setClock([] { return now; });
        view->resize(1100, 640);
        view->show();
    }
    void openAndScan() {
        open();
        waitForScan();
    }
    void waitForScan() {
        ASSERT_TRUE(testloop::spinUntil([&] { return !model().isScanning(); }));
    }

    LibraryModel& model() { return *view->model(); }
    template <typename T = QWidget> T* find(const QString& name) {
        T* widget = view->findChild<T*>(name);
        if (!widget)
            ADD_FAILURE() << "no widget " << name.toStdString();
        return widget;
    }
    QString textOf(const QString& label) { return find<QLabel>(label)->text(); }
    void click(const QString& buttonName) { find<QAbstractButton>(buttonName)->click(); }
    QTableView* table() { return find<QTableView>("pairTable"); }

    // Clicks the middle of a row's Date cell.
    void clickRow(int row, Qt::KeyboardModifiers modifiers = {}) {
        const QRect cell = table()->visualRect(table()->model()->index(row, Column::DateColumn));
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, modifiers, cell.center());
    }
    void clickHeader(int column) {
        QHeaderView* header = table()->horizontalHeader();
        const QPoint middle(header->sectionViewportPosition(column) +
                                header->sectionSize(column) / 2,
                            header->height() / 2);
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, middle);
    }
    QStringList rowIds() {
        QStringList ids;
        for (int row = 0; row < view->pairTable()->rowCount(); ++row)
            ids << view->pairTable()->pairAt(row).id;
        return ids;
    }
    QSet<QString> tableSelection() {
        QSet<QString> ids;
        for (const QModelIndex& index : table()->selectionModel()->selectedRows())
            ids.insert(index.data(PairTableModel::IdRole).toString());
        return ids;
    }
    QMessageBox* alert(const QString& name) {
        QMessageBox* box = view->findChild<QMessageBox*>(name);
        return box && box->isVisible() ? box : nullptr;
    }
    QStringList buttonTexts(QMessageBox* box) {
        QStringList texts;
        for (QAbstractButton* button : box->buttons())
            texts << button->text();
        texts.sort();
        return texts;
    }

    TestLibrary lib;
    std::shared_ptr<AnsweringChooser> chooser = std::make_shared<AnsweringChooser>();
    std::unique_ptr<ScanView> view;
};

// What the window shows in one state of the model.
struct Expected {
    const char* state;
    QString top; // "" nothing, "progress N / M", else the pairs summary
    bool filterRow;
    QString content; // the object name of the content shown
    QString bottom;  // "run …" for the run progress, else the selection summary
    QString enabled; // the controls shown and enabled
};

const QStringList controls = {"dateRangePicker", "scanButton",       "selectFirstButton",
                              "selectAllButton", "selectNoneButton", "backupFolderButton",
                              "step1Button",     "step2Button"};
// The contrast ratio of two opaque colours, as the accessibility guidelines (WCAG 2) define it.
double contrast(const QColor& a, const QColor& b) {
    const auto luminance = [](const QColor& c) {
        const auto linear = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const double x = luminance(a) + 0.05, y = luminance(b) + 0.05;
    return std::max(x, y) / std::min(x, y);
}

// The middle of a button as drawn, without its icon and away from its frame: its commonest
// colour is the fill, and the pixel that stands out most from the fill is the text.
std::pair<QColor, QColor> fillAndText(QAbstractButton* button) {
    button->setIcon(QIcon());
    const QImage whole = button->grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QImage image =
        whole.copy(whole.width() / 4, whole.height() / 4, whole.width() / 2, whole.height() / 2);
    QHash<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ++counts[image.pixel(x, y)];
    QRgb fill = 0;
    for (auto it = counts.begin(); it != counts.end(); ++it)
        if (it.value() > counts.value(fill))
            fill = it.key();
    QColor text(fill);
    for (auto it = counts.begin(); it != counts.end(); ++it)
        if (contrast(QColor(it.key()), QColor(fill)) > contrast(text, QColor(fill)))
            text = QColor(it.key());
    return {QColor(fill), text};
}

const QString noneSelected = "0 selected \u00B7 0 bytes reclaimable";
const QString threePairs = "3 pairs \u00B7 7 kB reclaimable";

} // namespace

TEST_F(ScanViewTest, StateTable) {
    lib.add({asset({"A", 1, 3000, 100, true}), asset({"B", 2, 2500}), asset({"C", 3, 1500})});
    const auto expect = [&](const Expected& e) {
        SCOPED_TRACE(e.state);
        const bool scanning = e.top.startsWith("progress ");
        for (const char* name : {"scanProgress", "cancelScanButton", "scanCountLabel"})
            EXPECT_EQ(find(name)->isVisible(), scanning) << name;
        EXPECT_EQ(find("pairsSummaryLabel")->isVisible(), !scanning && !e.top.isEmpty());
        if (scanning) {
            EXPECT_EQ(textOf("scanCountLabel"), e.top.mid(9));
        } else if (!e.top.isEmpty()) {
            EXPECT_EQ(textOf("pairsSummaryLabel"), e.top);
        }
        EXPECT_EQ(find("filterRow")->isVisible(), e.filterRow);
        EXPECT_EQ(find<QStackedWidget>("content")->currentWidget()->objectName(), e.content);
        const bool running = e.bottom.startsWith("run ");
        EXPECT_EQ(find("runSpinner")->isVisible(), running);
        EXPECT_EQ(find("runProgressLabel")->isVisible(), running);
        EXPECT_EQ(find("selectionSummaryLabel")->isVisible(), !running);
        EXPECT_EQ(textOf(running ? "runProgressLabel" : "selectionSummaryLabel"),
                  running ? e.bottom.mid(4) : e.bottom);
        QStringList enabled;
        for (const QString& name : controls)
            if (find(name)->isVisible() && find(name)->isEnabled())
                enabled << name;
        EXPECT_EQ(enabled.join(' '), e.enabled);
    };

    open(); // the first scan of the launch runs
    expect({"first scan", "progress 0 / 0", false, "scanEmptyState", noneSelected,
            "backupFolderButton step2Button"});
    // A total of 0 shows an empty bar, not a division by zero.
    auto* bar = find<QProgressBar>("scanProgress");
    EXPECT_TRUE(bar->maximum() == 1 && bar->value() == 0 && bar->width() == 160);
    click("cancelScanButton");
    waitForScan();
    expect({"no scan completed", "", false, "scanEmptyState", noneSelected,
            "dateRangePicker scanButton backupFolderButton step2Button"});
    EXPECT_EQ(find<QPushButton>("scanButton")->text(), "Scan Library");

    click("scanButton");
    waitForScan();
    expect({"scanned, pairs", threePairs, true, "pairTable", noneSelected,
            "dateRangePicker scanButton selectFirstButton selectAllButton selectNoneButton "
            "backupFolderButton step2Button"});
    EXPECT_EQ(find<QPushButton>("scanButton")->text(), "Rescan");
    EXPECT_FALSE(find("favoriteSummaryLabel")->isVisible());

    click("selectAllButton");
    expect({"scanned, all selected", threePairs, true, "pairTable",
            "3 selected \u00B7 7 kB reclaimable",
            "dateRangePicker scanButton selectFirstButton selectAllButton selectNoneButton "
            "backupFolderButton step1Button step2Button"});
    EXPECT_TRUE(find("favoriteSummaryLabel")->isVisible());
    EXPECT_EQ(textOf("favoriteSummaryLabel"), "\u00B7 1 \u2605 favorites");

    // An ingest run: the step buttons wait and the bottom shows its progress.
    model().setIsRunning(true);
    model().setRunIndex(2);
    model().setRunTotal(5);
    model().setCurrentLabel("IMG_0002.heic");
    expect({"ingest running", threePairs, true, "pairTable", "run 2/5 \u00B7 IMG_0002.heic",
            "dateRangePicker scanButton selectFirstButton selectAllButton selectNoneButton "
            "backupFolderButton"});
    EXPECT_FALSE(find("favoriteSummaryLabel")->isVisible());
    model().setIsRunning(false);

    // A rescan keeps the table and empties the selection.
    click("scanButton");
    expect({"rescan", "progress 0 / 0", true, "pairTable", noneSelected,
            "selectFirstButton selectAllButton selectNoneButton backupFolderButton step2Button"});
    waitForScan();

    // A month later the last 30 days hold no pair: the filter row goes again.
    model().setClock([] { return now.addDays(40); });
    click("scanButton");
    waitForScan();
    expect({"scanned, no pairs", "0 pairs \u00B7 0 bytes reclaimable", false, "noPairsEmptyState",
            noneSelected, "dateRangePicker scanButton backupFolderButton step2Button"});
}

TEST_F(ScanViewTest, FixedTextsAndSymbols) {
    openAndScan();
    const std::vector<std::pair<QString, QString>> buttons = {
        {"backupFolderButton", "Backup Folder\u2026"},
        {"step1Button", "Step 1: Create Export Albums"},
        {"step2Button", "Step 2: Ingest Exported Folder\u2026"},
        {"selectFirstButton", "Select First 200"},
        {"selectAllButton", "Select All"},
        {"selectNoneButton", "Select None"},
        {"favFilter_all", "All"},
        {"favFilter_favorites", "Favorites"},
        {"favFilter_nonFavorites", "Non-favorites"},
        {"cancelScanButton", "Cancel"},
    };
    for (const auto& [name, text] : buttons)
        EXPECT_EQ(find<QAbstractButton>(name)->text(), text) << name.toStdString();
    for (const char* name : {"scanButton", "backupFolderButton", "step1Button", "step2Button"})
        EXPECT_FALSE(find<QAbstractButton>(name)->icon().isNull()) << name;
    EXPECT_TRUE(find<QPushButton>("step2Button")->isDefault());

    EXPECT_EQ(textOf("dateRangeLabel"), "Date range");
    QStringList ranges;
    auto* picker = find<QComboBox>("dateRangePicker");
    for (int i = 0; i < picker->count(); ++i)
        ranges << picker->itemText(i);
    EXPECT_EQ(ranges,
              (QStringList{"Last 30 days", "Last 90 days", "1 year \u2013 30 days", "All"}));
    EXPECT_EQ(picker->currentText(), "Last 30 days");
    EXPECT_EQ(textOf("showLabel"), "Show");
    EXPECT_EQ(textOf("scanEmptyStateText"), "Scan your library to find RAW+JPEG pairs.");
    EXPECT_EQ(textOf("noPairsEmptyStateText"), "No RAW+JPEG pairs found.");
    EXPECT_FALSE(find<QLabel>("scanEmptyStateSymbol")->pixmap().isNull());
    EXPECT_EQ(find<QLabel>("noPairsEmptyStateSymbol")->accessibleName(), "checkmark.circle");
}

TEST_F(ScanViewTest, DateRangeChoicesScanAgainAndThePickerWaitsForTheScan) {
    const QStringList ids = lib.add({asset({"NEW", 10, 100}), asset({"OLD", 60, 200})});
    open();
    auto* picker = find<QComboBox>("dateRangePicker");
    EXPECT_FALSE(picker->isEnabled());
    waitForScan();
    EXPECT_EQ(idsOf(model().pairs()), QStringList{ids[0]});

    picker->setFocus();
    QTest::keyClick(picker, Qt::Key_Down); // "Last 90 days"
    EXPECT_EQ(model().dateRange(), DateRange::last90Days);
    EXPECT_TRUE(model().isScanning());
    EXPECT_FALSE(picker->isEnabled());
    waitForScan();
    EXPECT_TRUE(picker->isEnabled());
    EXPECT_EQ(idsOf(model().pairs()), (QStringList{ids[1], ids[0]}));

    // A range set by the model shows in the picker and scans too.
    model().setDateRange(DateRange::oneYearToMonth);
    EXPECT_EQ(picker->currentText(), "1 year \u2013 30 days");
    EXPECT_TRUE(model().isScanning());
    waitForScan();
    EXPECT_EQ(idsOf(model().pairs()), QStringList{ids[1]});
}

TEST_F(ScanViewTest, HeaderClicksSortEachColumnAndAgainReverse) {
    // No two pairs tie in any column; each column orders them differently.
    const QStringList ids = lib.add({
        asset({"A", 1, 2500, 100, true, true, "com.adobe.raw-image"}),
        asset({"B", 2, 1500, 200, false, false, "com.sony.arw-raw-image"}),
        asset({"C", 3, 3000, 300, true, false, "com.nikon.raw-image"}),
    });
    lib.addAlbum("Birds", {ids[0]});
    lib.addAlbum("Trip", {ids[1]});
    openAndScan();
    const QString a = ids[0], b = ids[1], c = ids[2];
    QHeaderView* header = table()->horizontalHeader();
    EXPECT_EQ(rowIds(), (QStringList{a, b, c})); // newest first
    EXPECT_EQ(header->sortIndicatorSection(), Column::DateColumn);
    EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);

    const std::vector<std::pair<Column, QStringList>> ascending = {
        {Column::DateColumn, {c, b, a}},    {Column::FlagsColumn, {b, c, a}},
        {Column::AlbumsColumn, {c, a, b}},  {Column::RawColumn, {a, c, b}},
        {Column::RawSizeColumn, {b, a, c}}, {Column::JpegSizeColumn, {a, b, c}},
    };
    for (const auto& [column, order] : ascending) {
        SCOPED_TRACE(column);
        clickHeader(column);
        EXPECT_EQ(rowIds(), order);
        EXPECT_EQ(header->sortIndicatorSection(), column);
        EXPECT_EQ(header->sortIndicatorOrder(), Qt::AscendingOrder);
        clickHeader(column);
        EXPECT_EQ(rowIds(), (QStringList{order[2], order[1], order[0]}));
        EXPECT_EQ(header->sortIndicatorOrder(), Qt::DescendingOrder);
    }
    // The selection mark and the thumbnail have no order.
    for (Column column : {Column::SelectionColumn, Column::QuickLookColumn}) {
        clickHeader(column);
        EXPECT_EQ(rowIds(), (QStringList{c, b, a}));
        EXPECT_EQ(header->sortIndicatorSection(), Column::JpegSizeColumn);
    }
}

TEST_F(ScanViewTest, TableSelectionAndModelSelectionStayInStep) {
    // In the table, newest first: F1, N1, F2, N2.
    const QStringList ids = lib.add({asset({"F1", 1, 400, 100, true}), asset({"N1", 2, 300}),
                                     asset({"F2", 3, 200, 100, true}), asset({"N2", 4, 100})});
    const QString f1 = ids[0], n1 = ids[1], f2 = ids[2], n2 = ids[3];
    openAndScan();
    ASSERT_EQ(rowIds(), ids);
    const auto selectedIDs = [&] { return model().selectedIDs(); };

    // The table's clicks change the model's selection.
    clickRow(1);
    EXPECT_EQ(selectedIDs(), (QSet<QString>{n1}));
    clickRow(2, Qt::ControlModifier);
    EXPECT_EQ(selectedIDs(), (QSet<QString>{n1, f2}));
    clickRow(3, Qt::ShiftModifier);
    EXPECT_EQ(selectedIDs(), (QSet<QString>{n1, f2, n2}));
    clickRow(0);
    EXPECT_EQ(selectedIDs(), (QSet<QString>{f1}));
    EXPECT_TRUE(view->pairTable()->index(0, 0).data(PairTableModel::SelectedRole).toBool());
    EXPECT_EQ(textOf("selectionSummaryLabel"), "1 selected \u00B7 400 bytes reclaimable");

    // The model's changes show in the table.
    click("selectNoneButton");
    EXPECT_TRUE(tableSelection().isEmpty());
    click("selectAllButton");
    EXPECT_EQ(tableSelection(), (QSet<QString>{f1, n1, f2, n2}));
    model().selectFirst(2); // largest RAW first, whatever the table's order
    EXPECT_EQ(tableSelection(), (QSet<QString>{f1, n1}));
    click("selectAllButton");

    // Hidden pairs stay selected and count.
    click("favFilter_favorites");
    EXPECT_EQ(model().favFilter(), FavFilter::favorites);
    EXPECT_EQ(rowIds(), (QStringList{f1, f2}));
    EXPECT_EQ(tableSelection(), (QSet<QString>{f1, f2}));
    EXPECT_EQ(textOf("pairsSummaryLabel"), "4 pairs \u00B7 1 kB reclaimable");
    EXPECT_EQ(textOf("selectionSummaryLabel"),
              "4 selected (2 hidden by the filter) \u00B7 1 kB reclaimable");
    clickRow(0, Qt::ControlModifier); // deselects F1 only
    EXPECT_EQ(selectedIDs(), (QSet<QString>{n1, f2, n2}));
    click("favFilter_nonFavorites");
    EXPECT_EQ(tableSelection(), (QSet<QString>{n1, n2}));
    clickRow(0); // N1 alone among the visible; the hidden F2 stays
    EXPECT_EQ(selectedIDs(), (QSet<QString>{n1, f2}));
    EXPECT_EQ(textOf("selectionSummaryLabel"),
              "2 selected (1 hidden by the filter) \u00B7 500 bytes reclaimable");
    click("favFilter_all");
    EXPECT_EQ(tableSelection(), (QSet<QString>{n1, f2}));
    EXPECT_EQ(textOf("selectionSummaryLabel"), "2 selected \u00B7 500 bytes reclaimable");

    // Sorting keeps the selection on its pairs.
    clickHeader(Column::RawSizeColumn);
    EXPECT_EQ(tableSelection(), (QSet<QString>{n1, f2}));
    EXPECT_EQ(selectedIDs(), (QSet<QString>{n1, f2}));

    // A scan empties both at once.
    click("scanButton");
    EXPECT_TRUE(selectedIDs().isEmpty());
    EXPECT_TRUE(tableSelection().isEmpty());
    waitForScan();
}

TEST_F(ScanViewTest, TheThumbnailOpensTheQuickPreviewWithoutSelecting) {
    lib.add({asset({"IMG_7", 1, 100}), asset({"IMG_8", 2, 100})});
    openAndScan();
    const auto middle = [&](int row, Column column) {
        return table()->visualRect(view->pairTable()->index(row, column)).center();
    };
    QWidget* viewport = table()->viewport();
    // Only a left click on one thumbnail opens it: not other buttons, not a drag that ends
    // over a thumbnail, not a press that leaves its thumbnail.
    QTest::mouseClick(viewport, Qt::RightButton, {}, middle(0, Column::QuickLookColumn));
    QTest::mouseClick(viewport, Qt::MiddleButton, {}, middle(0, Column::QuickLookColumn));
    QTest::mousePress(viewport, Qt::LeftButton, {}, middle(1, Column::DateColumn));
    QTest::mouseMove(viewport, middle(0, Column::DateColumn));
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, middle(0, Column::QuickLookColumn));
    QTest::mousePress(viewport, Qt::LeftButton, {}, middle(1, Column::QuickLookColumn));
    QTest::mouseRelease(viewport, Qt::LeftButton, {}, middle(0, Column::QuickLookColumn));
    testloop::drain();
    EXPECT_EQ(view->preview(), nullptr);
    model().selectNone();

    QTest::mouseClick(viewport, Qt::LeftButton, {}, middle(0, Column::QuickLookColumn));
    ASSERT_NE(view->preview(), nullptr);
    EXPECT_TRUE(view->preview()->isVisible());
    EXPECT_TRUE(model().selectedIDs().isEmpty());
    view->preview()->reject();
    EXPECT_TRUE(testloop::spinUntil([&] { return view->preview() == nullptr; }));
}

TEST_F(ScanViewTest, InfoAlertShowsTheMessageAndClosingClearsOnlyTheFlag) {
    const QStringList ids =
        lib.add({asset({"IMG_1", 1, 100}), asset({"IMG_2", 2, 100, 100, true})});
    openAndScan();

    // Step 1 through the model: its outcome is the alert's message.
    click("selectAllButton");
    click("step1Button");
    ASSERT_TRUE(testloop::spinUntil([&] { return alert("infoAlert") != nullptr; }));
    QMessageBox* box = alert("infoAlert");
    EXPECT_EQ(box->windowTitle(), "Twinslim");
    EXPECT_EQ(box->text(), "Twinslim");
    ASSERT_TRUE(model().infoMessage());
    EXPECT_EQ(box->informativeText(), *model().infoMessage());
    EXPECT_EQ(buttonTexts(box), QStringList{"OK"});
    EXPECT_EQ(idsOf(assetsInAlbumTitled(LibraryModel::favAlbumTitle())), QStringList{ids[1]});
    EXPECT_EQ(idsOf(assetsInAlbumTitled(LibraryModel::nonfavAlbumTitle())), QStringList{ids[0]});
    const std::optional<QString> message = model().infoMessage();
    box->buttons().first()->click();
    EXPECT_FALSE(model().showInfoAlert());
    EXPECT_EQ(model().infoMessage(), message);
    EXPECT_TRUE(testloop::spinUntil([&] { return alert("infoAlert") == nullptr; }));

    // Without a message the alert says nothing more than its title.
    model().setInfoMessage(std::nullopt);
    model().setShowInfoAlert(true);
    ASSERT_NE(alert("infoAlert"), nullptr);
    EXPECT_EQ(alert("infoAlert")->informativeText(), "");
    QTest::keyClick(alert("infoAlert"), Qt::Key_Escape);
    EXPECT_FALSE(model().showInfoAlert());
}

TEST_F(ScanViewTest, RecoveryAlertAtStartUpCountsTheWaitingOriginals) {
    for (const int count : {1, 2}) {
        SCOPED_TRACE(count);
        TestLibrary library; // the one the window reads for this round
        QStringList ids;
        for (int i = 0; i < count; ++i)
            ids << library.add(asset({QStringLiteral("OLD_%1").arg(i), 1, 100}));
        library.addAlbum(markerAlbumTitle(), ids);
        open();
        ASSERT_NE(alert("recoveryAlert"), nullptr);
        QMessageBox* box = alert("recoveryAlert");
        EXPECT_EQ(box->text(), "Unfinished cleanup");
        EXPECT_EQ(box->informativeText(),
                  QString("%1 %2 from a previous run were replaced but not deleted. Delete them "
                          "now to reclaim the space?")
                      .arg(count)
                      .arg(count == 1 ? "original" : "originals"));
        EXPECT_EQ(buttonTexts(box),
                  (QStringList{QStringLiteral("Delete %1 Now").arg(count), "Later"}));
        waitForScan(); // the first scan follows the count

        if (count == 1) {
            box->findChild<QAbstractButton*>("laterButton")->click();
            EXPECT_FALSE(model().showRecoveryAlert());
            testloop::drain();
            EXPECT_EQ(assetsInAlbumTitled(markerAlbumTitle()).size(), 1u);
            EXPECT_EQ(model().pendingRecoveryCount(), 1);
        } else {
            model().selectAllVisible();
            box->findChild<QAbstractButton*>("deleteNowButton")->click();
            EXPECT_FALSE(model().showRecoveryAlert());
            ASSERT_TRUE(testloop::spinUntil([&] { return model().pendingRecoveryCount() == 0; }));
            EXPECT_TRUE(assetsInAlbumTitled(markerAlbumTitle()).empty());
            EXPECT_EQ(library.library().trashedAssets().size(), 2u);
            // The deleted originals leave the table and the selection.
            EXPECT_TRUE(model().pairs().empty());
            EXPECT_TRUE(model().selectedIDs().isEmpty());
            EXPECT_EQ(textOf("pairsSummaryLabel"), "0 pairs \u00B7 0 bytes reclaimable");
        }
        EXPECT_TRUE(testloop::spinUntil([&] { return alert("recoveryAlert") == nullptr; }));
        view.reset();
        testloop::drain();
    }
}

TEST_F(ScanViewTest, Step2AsksForTheExportedFolderAndIngestsIt) {
    QTemporaryDir backup, exports;
    const QStringList ids = lib.add({asset({"IMG_1", 1, 900, 300}), asset({"IMG_2", 2, 800, 300})});
    lib.addAlbum(LibraryModel::nonfavAlbumTitle(), {ids[0]});
    imaging::ExifFields exif;
    exif.dateTimeOriginal = now.addDays(-1).toLocalTime().toString("yyyy:MM:dd HH:mm:ss");
    fixtures::makeJpegFile(exports.filePath("IMG_1.jpg"), QSize(32, 32), exif);
    openAndScan();

    // A cancelled panel changes nothing.
    click("step2Button");
    testloop::drain();
    ASSERT_EQ(chooser->requests.size(), 1u);
    const FolderChoiceRequest& request = chooser->requests[0];
    EXPECT_EQ(request.prompt, "Ingest");
    EXPECT_EQ(request.message,
              "Choose a folder of HEICs exported from the Twinslim export albums.");
    EXPECT_TRUE(request.canChooseDirectories && !request.canChooseFiles &&
                !request.allowsMultipleSelection);
    EXPECT_FALSE(model().showInfoAlert() || model().isRunning() || model().ingestReport());

    // Without a backup folder the model's reason not to start is shown.
    chooser->answer = exports.path();
    click("step2Button");
    ASSERT_TRUE(testloop::spinUntil([&] { return alert("infoAlert") != nullptr; }));
    EXPECT_EQ(alert("infoAlert")->informativeText(),
              "No backup folder is selected. Choose one first.");
    alert("infoAlert")->buttons().first()->click();

    // With one, the folder is ingested; the bottom bar follows the run.
    model().backup()->setUrl(backup.path());
    QStringList progress;
    // The label is the last of the run's progress fields to change for each file.
    QObject::connect(&model(), &LibraryModel::currentLabelChanged, view.get(), [&] {
        progress << textOf("runProgressLabel") +
                        (find("step1Button")->isEnabled() || find("step2Button")->isEnabled()
                             ? " (steps enabled)"
                             : "");
    });
    click("step2Button");
    ASSERT_TRUE(testloop::spinUntil([&] { return alert("ingestReportAlert") != nullptr; }));
    EXPECT_EQ(progress, QStringList{"1/1 \u00B7 IMG_1.jpg"});
    QMessageBox* box = alert("ingestReportAlert");
    EXPECT_EQ(box->text(), "Ingest complete");
    ASSERT_TRUE(model().ingestReport());
    EXPECT_EQ(box->informativeText(), model().ingestReport()->summaryMessage());
    EXPECT_TRUE(box->informativeText().startsWith("Replaced 1 of 1 matched file."));
    EXPECT_EQ(buttonTexts(box), QStringList{"OK"});
    // Wide enough for the log's path on one line, the title bold, the text selectable.
    auto* title = box->findChild<QLabel*>("qt_msgbox_label");
    auto* text = box->findChild<QLabel*>("qt_msgbox_informativelabel");
    ASSERT_TRUE(title && text && model().ingestReport()->logPath);
    EXPECT_TRUE(title->font().bold());
    EXPECT_TRUE(text->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_GE(box->width(), 420);
    EXPECT_GE(text->width(),
              text->fontMetrics().horizontalAdvance(*model().ingestReport()->logPath));
    EXPECT_EQ(rowIds(), QStringList{ids[1]}); // the replaced pair left the table
    EXPECT_TRUE(find("step2Button")->isEnabled());

    box->buttons().first()->click();
    EXPECT_FALSE(model().showIngestReport());
    EXPECT_TRUE(model().ingestReport().has_value());
    EXPECT_TRUE(testloop::spinUntil([&] { return alert("ingestReportAlert") == nullptr; }));
}

TEST_F(ScanViewTest, BackupFolderIsChosenAndALongPathIsElidedInTheMiddle) {
    QTemporaryDir root;
    const QString longPath = root.path() + "/a-rather-long-folder-name-for-backups/" +
                             QString(60, 'x') + "/Twinslim Backups";
    ASSERT_TRUE(QDir().mkpath(longPath));
    openAndScan();
    EXPECT_EQ(textOf("backupFolderLabel"), "No backup folder");

    chooser->answer = longPath;
    click("backupFolderButton");
    ASSERT_TRUE(testloop::spinUntil([&] { return model().backup()->url() == longPath; }));
    EXPECT_EQ(chooser->requests.at(0).prompt, "Choose");
    auto* label = find<QLabel>("backupFolderLabel");
    EXPECT_TRUE(label->text().contains("\u2026"));
    EXPECT_TRUE(label->text().startsWith(root.path().left(4)));
    EXPECT_TRUE(label->text().endsWith("Backups"));
    EXPECT_LE(label->fontMetrics().horizontalAdvance(label->text()), 180);
    EXPECT_LE(label->width(), 180);
    EXPECT_EQ(label->toolTip(), longPath);
}

TEST_F(ScanViewTest, QtFolderChooserAnswersOnceWithTheChosenFolder) {
    QTemporaryDir folder;
    QWidget window;
    window.show();
    QtFolderChooser panels(&window);
    const FolderChoiceRequest request{"Ingest", "Choose a folder of HEICs exported from the "
                                                "Twinslim export albums."};
    std::vector<std::optional<QString>> answers;
    const auto record = [&](std::optional<QString> f) { answers.push_back(std::move(f)); };

    panels.chooseFolder(request, record);
    QFileDialog* dialog = panels.openDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->fileMode(), QFileDialog::Directory);
    EXPECT_TRUE(dialog->testOption(QFileDialog::ShowDirsOnly));
    EXPECT_EQ(dialog->labelText(QFileDialog::Accept), "Ingest");
    EXPECT_EQ(dialog->windowTitle(), request.message);
    EXPECT_TRUE(answers.empty()); // nothing waits for the panel
    dialog->setDirectory(QFileInfo(folder.path()).absolutePath());
    dialog->selectFile(folder.path());
    static_cast<QDialog*>(dialog)->accept(); // the dialog's own accept, as its button does
    ASSERT_EQ(answers.size(), 1u);
    ASSERT_TRUE(answers[0]);
    EXPECT_EQ(QDir(*answers[0]).canonicalPath(), QDir(folder.path()).canonicalPath());

    panels.chooseFolder(request, record);
    panels.openDialog()->reject();
    panels.chooseFolder(request, record);
    delete panels.openDialog(); // gone without an answer
    testloop::drain();
    ASSERT_EQ(answers.size(), 3u);
    EXPECT_FALSE(answers[1] || answers[2]);
}

TEST_F(ScanViewTest, Step1TakesNoSecondPressWhileItRuns) {
    lib.add({asset({"IMG_1", 1, 100}), asset({"IMG_2", 2, 100, 100, true})});
    openAndScan();
    click("selectAllButton");
    click("step1Button");
    EXPECT_FALSE(find("step1Button")->isEnabled());
    click("step1Button"); // a double click: no event handled between the two
    ASSERT_TRUE(testloop::spinUntil([&] { return alert("infoAlert") != nullptr; }));
    testloop::drain();
    QStringList titles;
    for (const auto& album : lib.library().fetchAssetCollections(photos::CollectionType::Album,
                                                                 photos::CollectionSubtype::Any))
        titles << album->localizedTitle.value_or(QString());
    titles.sort();
    EXPECT_EQ(titles, (QStringList{"Twinslim Favs", "Twinslim NonFavs"}));
    EXPECT_TRUE(find("step1Button")->isEnabled());
}

// Tab leaves the table for the next control and never changes the selection; a round from the
// table reaches every control of the bottom bar and comes back.
TEST_F(ScanViewTest, TabLeavesTheTableAndReachesTheSteps) {
    lib.add({asset({"A", 1, 100}), asset({"B", 2, 100}), asset({"C", 3, 100})});
    openAndScan();
    click("selectAllButton");
    table()->setFocus();
    QStringList visited;
    for (int i = 0; i < 30; ++i) {
        QTest::keyClick(view->focusWidget(), Qt::Key_Tab);
        visited << view->focusWidget()->objectName();
        if (view->focusWidget() == table())
            break;
    }
    EXPECT_EQ(model().selectedIDs().size(), 3);
    EXPECT_EQ(tableSelection().size(), 3);
    EXPECT_EQ(visited.value(0), "backupFolderButton");
    EXPECT_LT(visited.indexOf("step1Button"), visited.indexOf("step2Button"));
    EXPECT_GT(visited.indexOf("step1Button"), 0);
    EXPECT_TRUE(visited.contains("scanButton") && visited.contains("selectAllButton"));
    EXPECT_EQ(visited.last(), "pairTable");
}

// A thumbnail whose picture did not come is asked for again after the next scan.
TEST_F(ScanViewTest, ARescanAsksAgainForThumbnailsThatFailed) {
    lib.add({{{ResourceType::Photo, "public.jpeg", "IMG_1.JPG", 0, fixtures::makeJpeg({64, 64})},
              {ResourceType::AlternatePhoto, "com.canon.cr3-raw-image", "IMG_1.CR3", 100}},
             now.addDays(-1)});
    lib.library().faults().answerNextImageRequestWithNothing = true;
    openAndScan();
    auto* thumbnails = view->findChild<ThumbnailProvider*>();
    ASSERT_NE(thumbnails, nullptr);
    QSignalSpy ready(thumbnails, &ThumbnailProvider::thumbnailReady);
    ASSERT_TRUE(testloop::spinUntil([&] {
        return !lib.library().faults().answerNextImageRequestWithNothing &&
               thumbnails->pendingCount() == 0;
    }));
    testloop::drain(50);
    EXPECT_EQ(ready.count(), 0);

    click("scanButton");
    waitForScan();
    EXPECT_TRUE(testloop::spinUntil([&] { return ready.count() == 1; }, 5000));
}

// Step 2's text on its accent fill reads at 4.5:1 or more in a light and a dark palette, with
// the fill of the access gate's button.
TEST_F(ScanViewTest, Step2ReadsWellOnItsAccentInLightAndDarkPalettes) {
    const QPalette original = QApplication::palette();
    QPalette dark(QColor(0x35, 0x35, 0x35), QColor(0x2b, 0x2b, 0x2b));
    dark.setColor(QPalette::Highlight, QColor(0x3d, 0xae, 0xe9));
    dark.setColor(QPalette::HighlightedText, QColor(0xfc, 0xfc, 0xfc));
    for (const QPalette& palette : {QApplication::style()->standardPalette(), dark}) {
        SCOPED_TRACE(palette.color(QPalette::Window).name().toStdString());
        QApplication::setPalette(palette);
        openAndScan();
        const auto [fill, text] = fillAndText(find<QPushButton>("step2Button"));
        EXPECT_GE(contrast(fill, text), 4.5)
            << fill.name().toStdString() << " " << text.name().toStdString();
        AccessGate gate(photos::AuthorizationStatus::NotDetermined);
        gate.resize(900, 600);
        EXPECT_EQ(fillAndText(gate.grantButton()).first, fill);
        view.reset();
        testloop::drain();
    }
    QApplication::setPalette(original);
}
