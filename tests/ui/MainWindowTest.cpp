#include "ui/MainWindow.h"
#include "GateTestSupport.h"
#include "core/EventLoop.h"
#include "core/LibraryModel.h"
#include "core/TestLibrary.h"
#include "ui/AboutWindow.h"
#include "ui/AccessGate.h"
#include "ui/ScanView.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <gtest/gtest.h>

using namespace twinslim;
using photos::AuthorizationStatus;

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
    TestLibrary library;
    MainWindow window(AuthorizationStatus::Authorized);
    window.show();
    LibraryModel& model = *window.gate()->scanView()->model();
    ASSERT_TRUE(testloop::spinUntil([&] { return !model.isScanning(); }));
    model.setIsRunning(true); // a run in progress
    for (const char* answer : {"Continue", "Stop after this item"}) {
        SCOPED_TRACE(answer);
        EXPECT_FALSE(window.close());
        QMessageBox* question = gatetest::waitForMessageBox("closeQuestion", 5000);
        ASSERT_NE(question, nullptr);
        ASSERT_NE(gatetest::buttonTitled(question, "Continue"), nullptr);
        gatetest::buttonTitled(question, answer)->click();
        testloop::drain();
        EXPECT_TRUE(window.isVisible());
        EXPECT_EQ(model.isStopRequested(), QString(answer) != "Continue");
    }
    model.setIsRunning(false); // the run has finished its item and ends
    EXPECT_TRUE(testloop::spinUntil([&] { return !window.isVisible(); }, 5000));
}
