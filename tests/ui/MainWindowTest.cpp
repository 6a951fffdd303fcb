#include "ui/MainWindow.h"
#include "GateTestSupport.h"
#include "backup/BackupFolder.h"
#include "core/EventLoop.h"
#include "core/LibraryModel.h"
#include "core/TestLibrary.h"
#include "ui/AboutWindow.h"
#include "ui/AccessGate.h"
#include "ui/ScanView.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <gtest/gtest.h>

using namespace twinslim;
using photos::AuthorizationStatus;

namespace {

// The main window with the scan window in it, over a test library, once its first scan is done.
struct ScanWindow {
    TestLibrary library;
    MainWindow window{AuthorizationStatus::Authorized};
    LibraryModel& model() { return *window.gate()->scanView()->model(); }
    ScanWindow() {
        window.show();
        EXPECT_TRUE(testloop::spinUntil([&] { return !model().isScanning(); }));
    }
};

} // namespace

TEST(MainWindowTest, AboutVersionLineFallsBackForMissingValues) {
    EXPECT_EQ(AboutWindow::versionLine("0.1.0", "7"), "Version 0.1.0 (7)");
    EXPECT_EQ(AboutWindow::versionLine("", ""), "Version 1.0 (1)");
    EXPECT_EQ(AboutWindow::versionLine("2.3", ""), "Version 2.3 (1)");
    EXPECT_EQ(AboutWindow::versionLine(" ", "42"), "Version 1.0 (42)");
}

// Some platform themes bind nothing to the standard Quit sequence: Ctrl+Q always quits.
TEST(MainWindowTest, CtrlQQuitsWhateverThePlatformBinds) {
    MainWindow window(AuthorizationStatus::Denied);
    QAction* quit = nullptr;
    for (QAction* action : window.menuBar()->actions()[0]->menu()->actions())
        if (action->text() == "&Quit")
            quit = action;
    ASSERT_NE(quit, nullptr);
    EXPECT_EQ(quit->shortcuts().count(QKeySequence(Qt::CTRL | Qt::Key_Q)), 1);
    for (const QKeySequence& standard : QKeySequence::keyBindings(QKeySequence::Quit))
        EXPECT_EQ(quit->shortcuts().count(standard), 1);
}

// While an ingest runs, closing asks first; stopping lets the run finish the item in hand, and
// the window closes when the run has ended.
TEST(MainWindowTest, ClosingDuringAnIngestAsksAndClosesOnceTheRunStopped) {
    ScanWindow scan;
    scan.model().setIsRunning(true); // a run in progress
    for (const char* answer : {"Continue", "Stop after this item"}) {
        SCOPED_TRACE(answer);
        EXPECT_FALSE(scan.window.close());
        QMessageBox* question = gatetest::waitForMessageBox("closeQuestion", 5000);
        ASSERT_NE(question, nullptr);
        ASSERT_NE(gatetest::buttonTitled(question, "Continue"), nullptr);
        gatetest::buttonTitled(question, answer)->click();
        testloop::drain();
        EXPECT_TRUE(scan.window.isVisible());
        EXPECT_EQ(scan.model().isStopRequested(), QString(answer) != "Continue");
    }
    scan.model().setIsRunning(false); // the run has finished its item and ends
    EXPECT_TRUE(testloop::spinUntil([&] { return !scan.window.isVisible(); }, 5000));
}

// The window cannot be made smaller than the size at which every control of the bottom bar
// shows whole, with its full text, also with the longest selection summary and while running.
TEST(MainWindowTest, TheBottomBarFitsTheMinimumSize) {
    ScanWindow scan;
    for (int i = 0; i < 12; ++i)
        scan.library.add(TestLibrary::pair(QDateTime::currentDateTimeUtc().addDays(-1),
                                           1'000'000 + i, i % 3 == 0));
    QTemporaryDir backup;
    scan.model().backup()->setUrl(backup.path() + "/a-long-folder-name/for/the/backups");
    scan.window.gate()->scanView()->findChild<QPushButton*>("scanButton")->click();
    ASSERT_TRUE(testloop::spinUntil([&] { return !scan.model().isScanning(); }));
    scan.model().selectAllVisible();
    scan.model().setFavFilter(FavFilter::nonFavorites);
    scan.window.resize(300, 200);
    testloop::drain();
    ASSERT_EQ(scan.window.centralWidget()->size(), MainWindow::minimumContentSize());

    const auto expectWhole = [&](const char* state) {
        SCOPED_TRACE(state);
        auto* bar = scan.window.findChild<QWidget*>("bottomBar");
        ASSERT_NE(bar, nullptr);
        int shown = 0;
        for (QWidget* control : bar->findChildren<QWidget*>()) {
            if (!control->isVisible() ||
                !(qobject_cast<QLabel*>(control) || qobject_cast<QAbstractButton*>(control)))
                continue;
            ++shown;
            const QRect inWindow(control->mapTo(&scan.window, QPoint(0, 0)), control->size());
            EXPECT_TRUE(scan.window.rect().contains(inWindow))
                << control->objectName().toStdString();
            EXPECT_LE(control->sizeHint().width(), control->width())
                << control->objectName().toStdString();
        }
        EXPECT_GE(shown, 5);
    };
    expectWhole("selection");
    scan.model().setIsRunning(true);
    scan.model().setRunIndex(12);
    scan.model().setRunTotal(12);
    scan.model().setCurrentLabel("IMG_0012.heic");
    testloop::drain();
    expectWhole("running");
    scan.model().setIsRunning(false);
}
