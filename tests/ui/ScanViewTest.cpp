#include "ui/ScanView.h"
#include "backup/BackupFolder.h"
#include "backup/FolderChooser.h"
#include "backup/MarkerAlbum.h"
#include "core/EventLoop.h"
#include "core/LibraryModel.h"
#include "core/TestLibrary.h"
#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "library/PhotoLibraryOperations.h"
#include "support/TestSupport.h"
#include "ui/PairTableModel.h"
#include "ui/Prominent.h"
#include "ui/QtFolderChooser.h"
#include "ui/QuickPreviewDialog.h"
#include "ui/ThumbnailProvider.h"

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QHeaderView>
#include <QLabel>
#include <QLockFile>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QSettings>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

using namespace twinslim;
using photos::ResourceType;
using Column = PairTableModel::Column;

namespace {

// The window's clock: the date range counts back from here.
const QDateTime now(QDate(2024, 6, 15), QTime(12, 0), Qt::UTC);

// A RAW+JPEG pair taken `daysAgo` before the window's clock.
TestLibrary::NewAsset asset(const QString& stem, int daysAgo, int rawSize, bool favorite = false) {
    return {{{ResourceType::Photo, "public.jpeg", stem + ".JPG", 100},
             {ResourceType::AlternatePhoto, "com.canon.cr3-raw-image", stem + ".RAW", rawSize}},
            now.addDays(-daysAgo),
            favorite};
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
    // Clicks the middle of a row's Date cell, or of another.
    void clickRow(int row, Qt::KeyboardModifiers modifiers = {},
                  Column column = Column::DateColumn) {
        const QRect cell = table()->visualRect(table()->model()->index(row, column));
        QTest::mouseClick(table()->viewport(), Qt::LeftButton, modifiers, cell.center());
    }
    void clickHeader(int column) {
        QHeaderView* header = table()->horizontalHeader();
        const int x = header->sectionViewportPosition(column) + header->sectionSize(column) / 2;
        QTest::mouseClick(header->viewport(), Qt::LeftButton, {}, QPoint(x, header->height() / 2));
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
const QString noneSelected = "0 selected \u00B7 0 bytes reclaimable";
const QString threePairs = "3 pairs \u00B7 7 kB reclaimable";

} // namespace

TEST_F(ScanViewTest, StateTable) {
    lib.add({asset("A", 1, 3000, true), asset("B", 2, 2500), asset("C", 3, 1500)});
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
    click("cancelScanButton");
    waitForScan();
    expect({"no scan completed", "", false, "scanEmptyState", noneSelected,
            "dateRangePicker scanButton backupFolderButton step2Button"});

    click("scanButton");
    waitForScan();
    expect({"scanned, pairs", threePairs, true, "pairTable", noneSelected,
            "dateRangePicker scanButton selectFirstButton selectAllButton selectNoneButton "
            "backupFolderButton step2Button"});

    click("selectAllButton");
    expect({"scanned, all selected", threePairs, true, "pairTable",
            "3 selected \u00B7 7 kB reclaimable",
            "dateRangePicker scanButton selectFirstButton selectAllButton selectNoneButton "
            "backupFolderButton step1Button step2Button"});
    EXPECT_TRUE(find("favoriteSummaryLabel")->isVisible());
    EXPECT_EQ(textOf("favoriteSummaryLabel"), "\u00B7 1 \u2605 favorite");

    // An ingest run: the step buttons, the date range and Rescan wait and the bottom shows its
    // progress. A backup folder chosen meanwhile is the next run's.
    model().backup()->setUrl("/backups/first");
    model().setIsRunning(true);
    model().setRunIndex(2);
    model().setRunTotal(5);
    model().setCurrentLabel("IMG_0002.heic");
    expect({"ingest running", threePairs, true, "pairTable", "run 2/5 \u00B7 IMG_0002.heic",
            "selectFirstButton selectAllButton selectNoneButton backupFolderButton"});
    EXPECT_FALSE(find("favoriteSummaryLabel")->isVisible());
    EXPECT_EQ(textOf("backupFolderLabel"), "/backups/first");
    model().backup()->setUrl("/backups/second");
    EXPECT_EQ(textOf("backupFolderLabel"), "/backups/second (for the next run)");
    EXPECT_TRUE(
        find("backupFolderLabel")->toolTip().contains("keeps its backups in /backups/first"));
    model().setIsRunning(false);
    EXPECT_EQ(textOf("backupFolderLabel"), "/backups/second");

    // A month later the last 30 days hold no pair: the filter row goes again.
    model().setClock([] { return now.addDays(40); });
    click("scanButton");
    waitForScan();
    expect({"scanned, no pairs", "0 pairs \u00B7 0 bytes reclaimable", false, "noPairsEmptyState",
            noneSelected, "dateRangePicker scanButton backupFolderButton step2Button"});
}

TEST_F(ScanViewTest, DateRangeChoicesScanAgainAndThePickerWaitsForTheScan) {
    const QStringList ids = lib.add({asset("NEW", 10, 100), asset("OLD", 60, 200)});
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
    EXPECT_EQ(idsOf(model().pairs()), (QStringList{ids[1], ids[0]})); // largest RAW first

    // A range set by the model shows in the picker and scans too.
    model().setDateRange(DateRange::oneYearToMonth);
    EXPECT_EQ(picker->currentText(), "1 year \u2013 30 days");
    EXPECT_TRUE(model().isScanning());
    waitForScan();
    EXPECT_EQ(idsOf(model().pairs()), QStringList{ids[1]});
}

TEST_F(ScanViewTest, TableSelectionAndModelSelectionStayInStep) {
    // In the table, newest first: F1, N1, F2, N2.
    const QStringList ids = lib.add({asset("F1", 1, 400, true), asset("N1", 2, 300),
                                     asset("F2", 3, 200, true), asset("N2", 4, 100)});
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
    EXPECT_EQ(textOf("selectionSummaryLabel"), "1 selected \u00B7 400 bytes reclaimable");
    // A row's selection circle adds it or takes it out; elsewhere a click selects that row.
    clickRow(2, {}, Column::SelectionColumn);
    EXPECT_EQ(selectedIDs(), (QSet<QString>{f1, f2}));
    EXPECT_EQ(tableSelection(), (QSet<QString>{f1, f2}));
    clickRow(0, {}, Column::SelectionColumn);
    EXPECT_EQ(selectedIDs(), (QSet<QString>{f2}));
    clickRow(0);
    EXPECT_EQ(selectedIDs(), (QSet<QString>{f1}));

    // The model's changes show in the table.
    click("selectNoneButton");
    EXPECT_TRUE(tableSelection().isEmpty());
    model().selectFirst(2); // largest RAW first, whatever the table's order
    EXPECT_EQ(tableSelection(), (QSet<QString>{f1, n1}));
    click("selectAllButton");

    // Hidden pairs stay selected and count.
    click("favFilter_favorites");
    EXPECT_EQ(rowIds(), (QStringList{f1, f2}));
    EXPECT_EQ(tableSelection(), (QSet<QString>{f1, f2}));
    EXPECT_EQ(textOf("selectionSummaryLabel"),
              "4 selected (2 hidden by the filter) \u00B7 1 kB reclaimable");
    clickRow(0, Qt::ControlModifier); // deselects F1 only
    EXPECT_EQ(selectedIDs(), (QSet<QString>{n1, f2, n2}));
    click("favFilter_nonFavorites");
    clickRow(0); // N1 alone among the visible; the hidden F2 stays
    EXPECT_EQ(selectedIDs(), (QSet<QString>{n1, f2}));
    EXPECT_EQ(textOf("pairsSummaryLabel"), "4 pairs \u00B7 1 kB reclaimable");
    EXPECT_EQ(textOf("selectionSummaryLabel"),
              "2 selected (1 hidden by the filter) \u00B7 500 bytes reclaimable");
    click("favFilter_all");
    EXPECT_EQ(tableSelection(), (QSet<QString>{n1, f2}));

    // A header click sorts ascending, the next one reverses; the selection stays on its pairs.
    clickHeader(Column::RawSizeColumn);
    EXPECT_EQ(rowIds(), (QStringList{n2, f2, n1, f1}));
    clickHeader(Column::RawSizeColumn);
    EXPECT_EQ(rowIds(), (QStringList{f1, n1, f2, n2}));
    EXPECT_EQ(tableSelection(), (QSet<QString>{n1, f2}));
    EXPECT_EQ(selectedIDs(), (QSet<QString>{n1, f2}));

    // A scan empties both at once.
    click("scanButton");
    EXPECT_TRUE(selectedIDs().isEmpty());
    EXPECT_TRUE(tableSelection().isEmpty());
    waitForScan();
}

// The backup a replacement leaves of a non-favourite: its JPEG and the record naming it.
void writeBackup(const QString& root, const QString& id) {
    const QString safe = QString(id).replace('/', '_');
    const QString folder = root + "/2024-06/NONFAVS/";
    testsupport::writeFile(folder + safe + ".JPG", QByteArray(100, 'j'));
    testsupport::writeFile(
        folder + safe + ".json",
        QString(R"({"oldAssetID" : "%1", "backupJPEGFile" : "%2.JPG"})").arg(id, safe).toUtf8());
}

// Originals a previous run replaced but did not delete wait in the marker album: one is enough
// for the alert at start-up; "Later" keeps them, "Delete N Now" deletes them and their pairs.
// What has no backup made by a replacement is said and never deleted.
TEST_F(ScanViewTest, RecoveryAlertAtStartUpCountsTheWaitingOriginals) {
    for (const int count : {1, 2}) {
        SCOPED_TRACE(count);
        TestLibrary library; // the one the window reads for this round
        QTemporaryDir backups;
        QSettings(QStringLiteral("Twinslim"), QStringLiteral("Twinslim"))
            .setValue(BackupFolder::bookmarkKey(), backups.path());
        QStringList ids;
        for (int i = 0; i < count; ++i) {
            ids << library.add(asset(QStringLiteral("OLD_%1").arg(i), 1, 100));
            writeBackup(backups.path(), ids.last());
        }
        const QString unsaved = library.add(asset("NEW", 1, 100));
        library.addAlbum(markerAlbumTitle(), ids + QStringList{unsaved});
        open();
        QMessageBox* box = alert("recoveryAlert");
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->informativeText(),
                  (count == 1 ? QString("1 original from a previous run was replaced but not "
                                        "deleted. Delete it now")
                              : QString("2 originals from a previous run were replaced but not "
                                        "deleted. Delete them now")) +
                      " to reclaim the space?\n\n1 item in the album “TwinslimOriginalsToDelete” "
                      "has no backup made by Twinslim, so it is not deleted: NEW.JPG.");
        auto* deleteNow = box->findChild<QAbstractButton*>("deleteNowButton");
        EXPECT_EQ(deleteNow->text(), QStringLiteral("Delete %1 Now").arg(count));
        waitForScan(); // the first scan follows the count

        if (count == 1) {
            box->findChild<QAbstractButton*>("laterButton")->click();
            EXPECT_FALSE(model().showRecoveryAlert());
            testloop::drain();
            EXPECT_EQ(assetsInAlbumTitled(markerAlbumTitle()).size(), 2u);
            EXPECT_EQ(model().pendingRecoveryCount(), 1);
        } else {
            model().selectAllVisible();
            deleteNow->click();
            ASSERT_TRUE(testloop::spinUntil([&] { return model().pendingRecoveryCount() == 0; }));
            EXPECT_EQ(idsOf(assetsInAlbumTitled(markerAlbumTitle())), QStringList{unsaved});
            EXPECT_EQ(library.library().trashedAssets().size(), 2u);
            EXPECT_EQ(idsOf(model().pairs()), QStringList{unsaved});
            EXPECT_EQ(model().selectedIDs(), QSet<QString>{unsaved});
        }
        EXPECT_TRUE(testloop::spinUntil([&] { return alert("recoveryAlert") == nullptr; }));
        view.reset();
        testloop::drain();
    }
}

TEST_F(ScanViewTest, QtFolderChooserAnswersOnceWithTheChosenFolder) {
    QTemporaryDir folder;
    QWidget window;
    window.show();
    QtFolderChooser panels(&window);
    const FolderChoiceRequest request{"Ingest", "Choose a folder"};
    std::vector<std::optional<QString>> answers;
    const auto record = [&](std::optional<QString> f) { answers.push_back(std::move(f)); };

    panels.chooseFolder(request, record);
    QFileDialog* dialog = panels.openDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(dialog->fileMode(), QFileDialog::Directory);
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

// The keyboard: Tab goes top bar → table → bottom bar (the checked one of the filter's segments
// stands for them all); Space opens the quick preview of the current row and closes it again;
// Step 2 shows where the focus is.
TEST_F(ScanViewTest, TabSpaceAndTheFocusRing) {
    const QStringList ids = lib.add({asset("A", 1, 300), asset("B", 2, 200)});
    openAndScan();
    view->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(view.get()));

    QStringList order;
    find("dateRangePicker")->setFocus();
    for (int i = 0; i < 20 && order.count("dateRangePicker") < 2; ++i) {
        order << QApplication::focusWidget()->objectName();
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    }
    EXPECT_EQ(order.join(QLatin1Char(' ')).toStdString(),
              "dateRangePicker scanButton favFilter_all selectFirstButton selectAllButton "
              "selectNoneButton pairTable backupFolderButton step2Button dateRangePicker");

    // Step 2 with the focus shows a ring that stands out from its fill as a control's edge must
    // (3:1), not the style's own frame in a shade of the accent.
    auto* step2 = find<QPushButton>("step2Button");
    step2->setFocus();
    ASSERT_TRUE(step2->hasFocus());
    const QImage focused = step2->grab().toImage();
    table()->setFocus();
    const QImage plain = step2->grab().toImage();
    ASSERT_EQ(focused.size(), plain.size());
    double strongest = 1;
    for (int y = 0; y < plain.height(); ++y)
        for (int x = 0; x < plain.width(); ++x)
            if (qAlpha(focused.pixel(x, y)) == 255 && qAlpha(plain.pixel(x, y)) == 255)
                strongest = std::max(strongest, contrastRatio(QColor(focused.pixel(x, y)),
                                                              QColor(plain.pixel(x, y))));
    EXPECT_GE(strongest, 3.0);

    table()->setCurrentIndex(table()->model()->index(1, Column::DateColumn));
    const QSet<QString> selected = model().selectedIDs();
    QTest::keyClick(table(), Qt::Key_Space);
    ASSERT_NE(view->preview(), nullptr);
    EXPECT_EQ(view->preview()->filename(), view->pairTable()->pairAt(1).jpegFilename);
    EXPECT_EQ(model().selectedIDs(), selected); // Space selects nothing
    QuickPreviewDialog* preview = view->preview();
    QTest::keyClick(preview->focusWidget() ? preview->focusWidget() : preview, Qt::Key_Space);
    EXPECT_TRUE(testloop::spinUntil([&] { return view->preview() == nullptr; }));
    EXPECT_EQ(ids.size(), 2);
}

// Return pressed once too often after Step 1's message starts no ingest: the focus that Step 1
// had while it waited went to the table, not on to Step 2.
TEST_F(ScanViewTest, ReturnAfterStepOnesMessageDoesNotOpenStepTwosChooser) {
    lib.add({asset("A", 1, 300)});
    openAndScan();
    model().selectAllVisible();
    QTest::mouseClick(find("step1Button"), Qt::LeftButton);
    ASSERT_TRUE(testloop::spinUntil([&] { return alert("infoAlert") != nullptr; }));
    QMessageBox* message = alert("infoAlert");
    QTest::keyClick(message->focusWidget() ? message->focusWidget() : message, Qt::Key_Return);
    ASSERT_TRUE(testloop::spinUntil([&] { return alert("infoAlert") == nullptr; }));
    ASSERT_NE(view->focusWidget(), nullptr);
    EXPECT_NE(view->focusWidget()->objectName(), "step2Button");
    QTest::keyClick(view->focusWidget(), Qt::Key_Return);
    testloop::drain();
    EXPECT_TRUE(chooser->requests.empty());
}

// The date range and the table's order come back at the next start.
TEST_F(ScanViewTest, DateRangeAndSortOrderAreRememberedBetweenStarts) {
    lib.add({asset("A", 1, 300), asset("B", 2, 200)});
    openAndScan();
    auto* picker = find<QComboBox>("dateRangePicker");
    picker->setFocus();
    QTest::keyClick(picker, Qt::Key_Down); // "Last 90 days"
    waitForScan();
    // The settings are written off the window's thread: the clicks return while another holder
    // keeps the settings file locked (a watchdog frees it, should a click wait for it).
    QLockFile settingsLock(QSettings("Twinslim", "Twinslim").fileName() + ".lock");
    ASSERT_TRUE(settingsLock.tryLock(0));
    std::atomic<bool> clicked = false, freedByWatchdog = false;
    std::thread watchdog([&] {
        for (int i = 0; i < 2000 && !clicked; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (!clicked) {
            freedByWatchdog = true;
            settingsLock.unlock();
        }
    });
    clickHeader(Column::RawSizeColumn);
    clickHeader(Column::RawSizeColumn);
    clicked = true;
    watchdog.join();
    EXPECT_FALSE(freedByWatchdog);
    if (!freedByWatchdog)
        settingsLock.unlock();
    const std::vector<PairTableModel::SortKey> order = view->pairTable()->sortOrder();
    ASSERT_EQ(order.front().column, Column::RawSizeColumn);
    ASSERT_EQ(order.front().order, Qt::DescendingOrder);
    view.reset();
    testloop::drain();

    openAndScan();
    EXPECT_EQ(model().dateRange(), DateRange::last90Days);
    EXPECT_EQ(find<QComboBox>("dateRangePicker")->currentText(), "Last 90 days");
    EXPECT_EQ(view->pairTable()->sortOrder(), order);
    EXPECT_EQ(table()->horizontalHeader()->sortIndicatorSection(), Column::RawSizeColumn);
    EXPECT_EQ(table()->horizontalHeader()->sortIndicatorOrder(), Qt::DescendingOrder);
}

// Every button says what it does, and the marks of the ★ ✎ column what they mean.
TEST_F(ScanViewTest, ButtonsAndMarksHaveTooltips) {
    lib.add({asset("FAV", 1, 300, true), asset("OLD", 60, 100)});
    openAndScan(); // the last 30 days: FAV only
    model().selectAllVisible();
    const auto buttons = view->findChildren<QAbstractButton*>();
    ASSERT_GE(buttons.size(), 10);
    for (QAbstractButton* b : buttons) {
        if (b->parent() == table()) // the table's own corner, never shown
            continue;
        EXPECT_FALSE(b->toolTip().isEmpty()) << b->objectName().toStdString();
    }
    EXPECT_TRUE(find("step2Button")->toolTip().contains("HEIC or JPEG"));
    QAbstractItemModel* pairs = table()->model();
    const QString header =
        pairs->headerData(Column::FlagsColumn, Qt::Horizontal, Qt::ToolTipRole).toString();
    EXPECT_TRUE(header.contains("\u2605 favorite") && header.contains("\u270E edited"))
        << header.toStdString();
    EXPECT_TRUE(pairs->index(0, Column::FlagsColumn)
                    .data(Qt::ToolTipRole)
                    .toString()
                    .startsWith("\u2605 Favorite"));
    // The favourite count is singular for one.
    EXPECT_EQ(textOf("favoriteSummaryLabel"), "\u00B7 1 \u2605 favorite");
}

// An empty result names the dates it searched and offers all of them; each date range says what
// it covers.
TEST_F(ScanViewTest, AnEmptyResultSaysWhichDatesWereSearchedAndOffersAll) {
    lib.add(asset("OLD", 60, 200));
    open();
    // A range set while the first scan (the last 30 days) runs leaves that scan's result: the
    // result says which dates it searched, whatever the picker shows now.
    model().setDateRange(DateRange::last90Days);
    waitForScan();
    ASSERT_EQ(find<QStackedWidget>("content")->currentWidget()->objectName(), "noPairsEmptyState");
    ASSERT_NE(view->findChild<QLabel*>("searchedRangeLabel"), nullptr);
    EXPECT_EQ(textOf("searchedRangeLabel"), "Searched the photos taken in the last 30 days.");
    auto* picker = find<QComboBox>("dateRangePicker");
    EXPECT_EQ(picker->toolTip(), "Pairs taken in the last 90 days");
    const int year = picker->findText("1 year \u2013 30 days");
    EXPECT_EQ(picker->itemData(year, Qt::ToolTipRole).toString(),
              "Pairs taken between one year and 30 days ago (the last 30 days left out)");

    // Nor does a new range's scan that is cancelled change it.
    model().setDateRange(DateRange::oneYearToMonth);
    click("cancelScanButton");
    waitForScan();
    EXPECT_EQ(textOf("searchedRangeLabel"), "Searched the photos taken in the last 30 days.");

    QAbstractButton* all = find<QAbstractButton>("scanAllButton");
    ASSERT_TRUE(all->isVisible());
    all->click();
    EXPECT_EQ(model().dateRange(), DateRange::all);
    EXPECT_TRUE(model().isScanning());
    EXPECT_FALSE(all->isEnabled());
    waitForScan();
    EXPECT_EQ(rowIds().size(), 1);
    EXPECT_EQ(textOf("pairsSummaryLabel"), "1 pair \u00B7 200 bytes reclaimable");

    // Nothing in the whole library either: nothing more to offer.
    view.reset();
    testloop::drain();
    TestLibrary empty; // the one the window reads now
    openAndScan();
    click("scanAllButton");
    waitForScan();
    EXPECT_EQ(textOf("searchedRangeLabel"), "Searched the whole library.");
    EXPECT_FALSE(find("scanAllButton")->isVisible());
    view.reset();
    testloop::drain();
}

// Originals an ingest replaced but did not delete are still pairs of the library: shown greyed
// with a note, and their space is not offered again.
TEST_F(ScanViewTest, OriginalsWaitingForDeletionAreGreyedAndNotCountedAgain) {
    const QStringList ids = lib.add({asset("DONE", 1, 1000), asset("TODO", 2, 300)});
    lib.addAlbum(markerAlbumTitle(), {ids[0]});
    lib.addAlbum("Holidays", {ids[0]});
    openAndScan();
    EXPECT_EQ(textOf("pairsSummaryLabel"), "2 pairs \u00B7 300 bytes reclaimable \u00B7 1 already "
                                           "replaced, waiting to be deleted");
    model().selectAllVisible();
    EXPECT_EQ(textOf("selectionSummaryLabel"), "2 selected \u00B7 300 bytes reclaimable");
    QAbstractItemModel* pairs = table()->model();
    ASSERT_EQ(rowIds(), ids);
    const QModelIndex waiting = pairs->index(0, Column::AlbumsColumn);
    const QModelIndex other = pairs->index(1, Column::AlbumsColumn);
    EXPECT_EQ(waiting.data().toString(), "Waiting to be deleted, Holidays");
    EXPECT_TRUE(waiting.data(Qt::ToolTipRole).toString().contains("waits in the album"));
    EXPECT_TRUE(other.data(Qt::ToolTipRole).isNull());
    const auto alpha = [&](int row, Column column) {
        return pairs->index(row, column).data(Qt::ForegroundRole).value<QColor>().alphaF();
    };
    EXPECT_LT(alpha(0, Column::DateColumn), 0.5);
    EXPECT_LT(alpha(0, Column::AlbumsColumn), alpha(1, Column::AlbumsColumn));
    EXPECT_TRUE(pairs->index(1, Column::DateColumn).data(Qt::ForegroundRole).isNull());
    EXPECT_TRUE(pairs->index(0, Column::QuickLookColumn).data(AwaitsDeletionRole).toBool());
}

// Step 1's message keeps its steps in Photos and adds the photolib commands for the library in
// use, into a folder outside it, that work as given; an album left empty is said to be so.
TEST_F(ScanViewTest, Step1GivesThePhotolibCommandsForAFolderOutsideTheLibrary) {
    const QString pictures = QDir::homePath() + "/Camera Pictures"; // a folder library
    for (const char* stem : {"IMG_0001", "IMG_0002"}) {
        imaging::ExifFields exif;
        exif.dateTimeOriginal = "2024:06:01 10:00:00";
        fixtures::makeJpegFile(pictures + "/2024/" + stem + ".JPG", {96, 64}, exif);
        testsupport::writeFile(pictures + "/2024/" + stem + ".DNG",
                               fixtures::makeDng({96, 64}, "2024:06:01 10:00:00"));
    }
    photos::PhotoLibrary::setShared(photos::PhotoLibrary::open(pictures));
    openAndScan();
    model().setDateRange(DateRange::all);
    waitForScan();
    ASSERT_EQ(rowIds().size(), 2);
    click("selectAllButton");
    click("step1Button");
    ASSERT_TRUE(testloop::spinUntil([&] { return alert("infoAlert") != nullptr; }));
    const QString message = alert("infoAlert")->informativeText();
    EXPECT_TRUE(message.startsWith(
        "Added 0 to “Twinslim Favs” and 2 to “Twinslim NonFavs”.\n\nIn Photos, export each album "
        "as HEIC or JPEG (keep original names) to a folder:\n• “Twinslim Favs” is empty: there is "
        "nothing to export from it\n• “Twinslim NonFavs” → Custom Size, max ~3120 px\n\nThen "
        "choose “Ingest Exported Folder…”.\n\nOr with photolib, into a folder outside the "
        "library:\n  photolib "))
        << message.toStdString();
    const QString folder = QDir::homePath() + "/Twinslim Export";
    // On three lines, so that the long paths do not break it anywhere.
    const QString command = message.section("outside the library:\n", 1);
    EXPECT_EQ(command, "  photolib --library \"" + pictures +
                           "\" \\\n      export --album \"Twinslim NonFavs\" --format heic "
                           "--max-size 3120 \\\n      \"" +
                           folder + "\"");

    // Pasted into a shell, it exports both pictures, and photolib finds nothing to warn about.
    QProcess shell;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("PATH", QFileInfo(testsupport::photolibPath()).absolutePath() + ":" +
                                   environment.value("PATH"));
    shell.setProcessEnvironment(environment);
    shell.start("sh", {"-c", command});
    ASSERT_TRUE(shell.waitForFinished(120000));
    const QString errors = QString::fromUtf8(shell.readAllStandardError());
    EXPECT_EQ(shell.exitCode(), 0) << errors.toStdString();
    EXPECT_FALSE(errors.contains("warning")) << errors.toStdString();
    EXPECT_EQ(QDir(folder).entryList(QDir::Files).size(), 2);
    view.reset();
    testloop::drain();
    QDir(folder).removeRecursively();
    QDir(pictures).removeRecursively();
}
