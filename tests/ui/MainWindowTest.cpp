#include "ui/MainWindow.h"
#include "GateTestSupport.h"
#include "backup/BackupFolder.h"
#include "core/EventLoop.h"
#include "core/LibraryModel.h"
#include "core/TestLibrary.h"
#include "platform/system/AppUpdater.h"
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

QAction* quitAction(MainWindow& window) {
    for (QAction* action : window.menuBar()->actions()[0]->menu()->actions())
        if (action->text() == "&Quit")
            return action;
    return nullptr;
}

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

TEST(MainWindowTest, TheGateIsTheWholeContentBelowFileAndHelpMenus) {
    MainWindow window(AuthorizationStatus::Denied);
    EXPECT_EQ(window.windowTitle(), "Twinslim");
    EXPECT_EQ(window.centralWidget(), window.gate());
    EXPECT_EQ(window.gate()->status(), AuthorizationStatus::Denied);
    QStringList menus;
    for (const QAction* action : window.menuBar()->actions())
        menus << action->text();
    EXPECT_EQ(menus, (QStringList{"&File", "&Help"}));
    ASSERT_NE(window.helpMenu(), nullptr);
    QStringList help;
    for (const QAction* action : window.helpMenu()->actions())
        help << action->text();
    ASSERT_EQ(help, (QStringList{"About Twinslim", "Check for Updates…"}));
    QAction* check = window.helpMenu()->actions()[1];
    EXPECT_EQ(check->isEnabled(), sys::AppUpdater::shared().canCheckForUpdates());

    window.show();
    window.helpMenu()->actions()[0]->trigger();
    testloop::drain();
    ASSERT_NE(AboutWindow::shared(), nullptr);
    EXPECT_TRUE(AboutWindow::shared()->isVisible());
    delete AboutWindow::shared();
}

TEST(MainWindowTest, CannotBeMadeSmallerThan820By520OfContentButGrows) {
    MainWindow window(AuthorizationStatus::Denied);
    window.show();
    window.resize(300, 200);
    testloop::drain();
    EXPECT_GE(window.centralWidget()->width(), 820);
    EXPECT_GE(window.centralWidget()->height(), 520);
    EXPECT_EQ(window.minimumSize().width(), 820);
    EXPECT_EQ(window.minimumSize().height(), 520 + window.menuBar()->height());

    window.resize(1200, 900);
    testloop::drain();
    EXPECT_EQ(window.centralWidget()->width(), 1200);
    EXPECT_EQ(window.centralWidget()->height(), 900 - window.menuBar()->height());
}

// Some platform themes bind nothing to the standard Quit sequence: Ctrl+Q always quits.
TEST(MainWindowTest, CtrlQQuitsWhateverThePlatformBinds) {
    MainWindow window(AuthorizationStatus::Denied);
    QAction* quit = quitAction(window);
    ASSERT_NE(quit, nullptr);
    const QList<QKeySequence> shortcuts = quit->shortcuts();
    EXPECT_EQ(shortcuts.count(QKeySequence(Qt::CTRL | Qt::Key_Q)), 1);
    for (const QKeySequence& standard : QKeySequence::keyBindings(QKeySequence::Quit))
        EXPECT_EQ(shortcuts.count(standard), 1);
}

TEST(MainWindowTest, ClosingTheMainWindowClosesTheAboutWindow) {
    MainWindow window(AuthorizationStatus::Denied);
    window.show();
    window.helpMenu()->actions()[0]->trigger();
    ASSERT_NE(AboutWindow::shared(), nullptr);
    EXPECT_TRUE(window.close());
    testloop::drain();
    EXPECT_EQ(AboutWindow::shared(), nullptr);
    delete AboutWindow::shared();
}

// While an ingest runs, closing asks first; stopping lets the run finish the item in hand, and
// the window closes when the run has ended.
TEST(MainWindowTest, ClosingDuringAnIngestAsksAndClosesOnceTheRunStopped) {
    ScanWindow scan;
    scan.model().setIsRunning(true); // a run in progress
    for (const char* answer : {"Continue", "Stop after this item"}) {
        SCOPED_TRACE(answer);
        EXPECT_FALSE(scan.window.close());
        EXPECT_TRUE(scan.window.isVisible());
        QMessageBox* question = gatetest::waitForMessageBox("closeQuestion", 5000);
        ASSERT_NE(question, nullptr);
        QStringList buttons;
        for (QAbstractButton* button : question->buttons())
            buttons << button->text();
        buttons.sort();
        EXPECT_EQ(buttons, (QStringList{"Continue", "Stop after this item"}));
        gatetest::buttonTitled(question, answer)->click();
        testloop::drain();
        EXPECT_TRUE(scan.window.isVisible());
        EXPECT_EQ(scan.model().isStopRequested(), QString(answer) != "Continue");
    }
    scan.model().setIsRunning(false); // the run has finished its item and ends
    EXPECT_TRUE(testloop::spinUntil([&] { return !scan.window.isVisible(); }, 5000));
}

// At its minimum size the window shows every control of the bottom bar whole, with its full
// text, also with the longest selection summary.
TEST(MainWindowTest, TheBottomBarFitsTheMinimumSize) {
    ScanWindow scan;
    QStringList ids;
    for (int i = 0; i < 12; ++i)
        ids << scan.library.add(TestLibrary::pair(QDateTime::currentDateTimeUtc().addDays(-1),
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
