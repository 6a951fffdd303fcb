#include "ui/MainWindow.h"
#include "core/EventLoop.h"
#include "platform/system/AppUpdater.h"
#include "ui/AboutWindow.h"
#include "ui/AccessGate.h"

#include <QAction>
#include <QMenu>
#include <QMenuBar>
#include <gtest/gtest.h>

using namespace twinslim;
using photos::AuthorizationStatus;

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
