#include "ui/MainWindow.h"
#include "core/EventLoop.h"
#include "platform/system/AppUpdater.h"
#include "ui/AboutWindow.h"
#include "ui/AccessGate.h"

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QMenuBar>
#include <gtest/gtest.h>

using namespace twinslim;
using photos::AuthorizationStatus;

namespace {

QStringList actionTexts(const QMenu* menu) {
    QStringList texts;
    for (const QAction* action : menu->actions())
        if (!action->isSeparator())
            texts << action->text();
    return texts;
}

QAction* actionTitled(const QMenu* menu, const QString& text) {
    for (QAction* action : menu->actions())
        if (action->text() == text)
            return action;
    return nullptr;
}

int visibleAboutWindows() {
    int count = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        count += qobject_cast<AboutWindow*>(w) && w->isVisible();
    return count;
}

} // namespace

TEST(MainWindowTest, IsTitledTwinslimWithTheGateAsItsWholeContent) {
    MainWindow window(AuthorizationStatus::Denied);
    EXPECT_EQ(window.windowTitle(), "Twinslim");
    EXPECT_EQ(window.centralWidget(), window.gate());
    EXPECT_EQ(window.gate()->status(), AuthorizationStatus::Denied);
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

TEST(MainWindowTest, HelpMenuHoldsAboutThenCheckForUpdatesAfterFile) {
    MainWindow window(AuthorizationStatus::Denied);
    QStringList menus;
    for (const QAction* action : window.menuBar()->actions())
        menus << action->text();
    EXPECT_EQ(menus, (QStringList{"&File", "&Help"}));
    ASSERT_NE(window.helpMenu(), nullptr);
    EXPECT_EQ(actionTexts(window.helpMenu()),
              (QStringList{"About Twinslim", "Check for Updates…"}));
}

TEST(MainWindowTest, CheckForUpdatesFollowsTheUpdater) {
    MainWindow window(AuthorizationStatus::Denied);
    QAction* check = actionTitled(window.helpMenu(), "Check for Updates…");
    ASSERT_NE(check, nullptr);
    EXPECT_EQ(check->isEnabled(), sys::AppUpdater::shared().canCheckForUpdates());
}

TEST(MainWindowTest, AboutTwiceLeavesOneAboutWindow) {
    MainWindow window(AuthorizationStatus::Denied);
    window.show();
    QAction* about = actionTitled(window.helpMenu(), "About Twinslim");
    ASSERT_NE(about, nullptr);
    about->trigger();
    testloop::drain();
    EXPECT_EQ(visibleAboutWindows(), 1);
    about->trigger();
    testloop::drain();
    EXPECT_EQ(visibleAboutWindows(), 1);
    delete AboutWindow::shared();
    testloop::drain();
    EXPECT_EQ(visibleAboutWindows(), 0);
}
