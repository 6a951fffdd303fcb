#include "ui/MainWindow.h"
#include "GateTestSupport.h"
#include "backup/BackupFolder.h"
#include "backup/FolderChooser.h"
#include "core/EventLoop.h"
#include "core/LibraryModel.h"
#include "core/TestLibrary.h"
#include "fixtures/ImageFixtures.h"
#include "ui/AboutWindow.h"
#include "ui/AccessGate.h"
#include "ui/DeletionPrompt.h"
#include "ui/ScanView.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
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
    QAction* openLibrary = window.findChild<QAction*>("openLibraryAction");
    ASSERT_NE(openLibrary, nullptr);
    EXPECT_FALSE(openLibrary->isEnabled());
    // A run that ends while the question is up leaves nothing to ask: the window stays for its
    // report.
    EXPECT_FALSE(window.close());
    ASSERT_NE(gatetest::waitForMessageBox("closeQuestion", 5000), nullptr);
    model.setIsRunning(false);
    testloop::drain();
    EXPECT_EQ(gatetest::visibleWindow<QMessageBox>(), nullptr);
    EXPECT_TRUE(window.isVisible());
    EXPECT_TRUE(openLibrary->isEnabled());
    model.setIsRunning(true);
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

// The question asked on closing during an ingest holds the run: it cannot finish and ask to
// delete over the question. Answered, the run goes on and asks; a Return held down after
// answering does not answer that next question too.
TEST(MainWindowTest, TheCloseQuestionHoldsTheRunAndAHeldKeyAnswersOnlyIt) {
    struct Chooser : FolderChooser {
        QString folder;
        void chooseFolder(const FolderChoiceRequest&, Answer reply) override { reply(folder); }
    };
    TestLibrary library;
    QTemporaryDir backups, exports;
    const QStringList ids =
        library.add({{{TestLibrary::jpeg(5, "A.JPG"), TestLibrary::raw(10, "A.CR3")},
                      QDateTime::currentDateTime()},
                     {{TestLibrary::jpeg(5, "B.JPG"), TestLibrary::raw(10, "B.CR3")},
                      QDateTime::currentDateTime()}});
    library.addAlbum(LibraryModel::nonfavAlbumTitle(), ids);
    for (const char* name : {"A.jpg", "B.jpg"})
        fixtures::makeJpegFile(exports.filePath(name), QSize(32, 32));
    auto chooser = std::make_shared<Chooser>();
    chooser->folder = exports.path();
    FolderChooser::setShared(chooser);

    MainWindow window(AuthorizationStatus::Authorized);
    window.show();
    LibraryModel& model = *window.gate()->scanView()->model();
    ASSERT_TRUE(testloop::spinUntil([&] { return !model.isScanning(); }));
    model.backup()->setUrl(backups.path());
    window.findChild<QPushButton*>("step2Button")->click();
    ASSERT_TRUE(testloop::spinUntil([&] { return model.isRunning() || model.showInfoAlert(); }));
    ASSERT_TRUE(model.isRunning()) << model.infoMessage().value_or("").toStdString();
    EXPECT_FALSE(window.close());
    QMessageBox* question = gatetest::waitForMessageBox("closeQuestion", 5000);
    ASSERT_NE(question, nullptr);
    const auto prompt = [] {
        return gatetest::visibleWindow<QMessageBox>(
            [](QMessageBox* box) { return box->objectName() == DeletionPrompt::objectName(); });
    };
    ASSERT_TRUE(testloop::spinUntil([&] { return model.isRunWaiting() || prompt(); }));
    EXPECT_EQ(prompt(), nullptr);
    EXPECT_EQ(model.runIndex(), 1);

    QTest::keyClick(question->focusWidget() ? question->focusWidget() : question, Qt::Key_Return);
    EXPECT_FALSE(model.isStopRequested()); // Return is "Continue"
    ASSERT_TRUE(testloop::spinUntil([&] { return prompt() != nullptr; }));
    const QPointer<QMessageBox> deletion = prompt();
    QTest::simulateEvent(deletion->focusWidget() ? deletion->focusWidget() : deletion.data(), true,
                         Qt::Key_Return, Qt::NoModifier, QString(), true);
    testloop::drain();
    ASSERT_TRUE(deletion && deletion->isVisible());
    gatetest::buttonTitled(deletion, "Delete")->click();
    ASSERT_NE(gatetest::waitForMessageBox("ingestReportAlert", 30000), nullptr);
    EXPECT_EQ(model.ingestReport()->replaced, 2);
    EXPECT_EQ(library.library().trashedAssets().size(), 2u);
    EXPECT_TRUE(window.isVisible());
    FolderChooser::setShared(nullptr);
}

// Size and position come back at the next start.
TEST(MainWindowTest, SizeAndPositionAreRememberedBetweenStarts) {
    QRect geometry;
    {
        MainWindow window(AuthorizationStatus::Denied);
        window.show();
        window.setGeometry(70, 40, 900, 610);
        testloop::drain();
        geometry = window.geometry();
        EXPECT_TRUE(window.close());
    }
    MainWindow window(AuthorizationStatus::Denied);
    window.show();
    EXPECT_EQ(window.geometry(), geometry);
}

// About opens over the middle of the main window and closes with its button, Escape or Ctrl+W.
TEST(MainWindowTest, AboutOpensCentredAndClosesWithItsButtonEscapeOrCtrlW) {
    MainWindow window(AuthorizationStatus::Denied);
    window.show();
    window.setGeometry(60, 30, 1100, 720);
    testloop::drain();
    QAction* about = window.helpMenu()->actions().value(0);
    ASSERT_NE(about, nullptr);
    for (const char* how : {"button", "Escape", "Ctrl+W"}) {
        SCOPED_TRACE(how);
        about->trigger();
        AboutWindow* shown = AboutWindow::shared();
        ASSERT_NE(shown, nullptr);
        EXPECT_LE((shown->geometry().center() - window.geometry().center()).manhattanLength(), 2);
        shown->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(shown));
        if (QString(how) == "button")
            shown->findChild<QPushButton*>("aboutClose")->click();
        else if (QString(how) == "Escape")
            QTest::keyClick(shown, Qt::Key_Escape);
        else
            QTest::keyClick(shown, Qt::Key_W, Qt::ControlModifier);
        testloop::drain();
        EXPECT_EQ(AboutWindow::shared(), nullptr);
    }
}
