#include "core/EventLoop.h"
#include "platform/system/AppUpdater.h"
#include "support/ObservedLog.h"
#include "ui/UpdatesMenu.h"

#include <QAction>
#include <QFile>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace twinslim;
using sys::AppUpdater;

namespace {

const QByteArray feedHead = R"(<?xml version="1.0" encoding="utf-8"?>
<rss version="2.0" xmlns:sparkle="http://www.andymatuschak.org/xml-namespaces/sparkle">
<channel><title>Twinslim</title><link>https://example.invalid/twinslim</link>
)";
const QByteArray feedTail = "</channel></rss>\n";
// The version in use; its build number (142) is not a version to compare.
const QByteArray equalItem = R"(<item><title>Twinslim 1.4.2</title>
<enclosure url="https://example.invalid/twinslim-1.4.2.tar.gz" sparkle:version="142"
  sparkle:shortVersionString="1.4.2" length="10" type="application/octet-stream"/></item>
)";
const QByteArray brokenItem = R"(<item><title>Nightly</title>
<enclosure url="https://example.invalid/nightly.tar.gz" sparkle:version="banana"/></item>
)";
// Only a link a browser may safely be handed is offered: here the release notes'.
const QByteArray newerItem = R"(<item><title>Twinslim 1.10</title><link>javascript:alert(1)</link>
<enclosure url="file:///etc/passwd"/><sparkle:version>1.10</sparkle:version>
<sparkle:releaseNotesLink>https://example.invalid/notes</sparkle:releaseNotesLink></item>
)";

// Feeds as files: the updater reads them as it reads a server's answer.
class Feeds {
public:
    QUrl write(const QString& name, const QByteArray& body) {
        QFile file(m_dir.filePath(name));
        EXPECT_TRUE(file.open(QIODevice::WriteOnly) && file.write(body) == body.size());
        return url(name);
    }
    QUrl url(const QString& name) const { return QUrl::fromLocalFile(m_dir.filePath(name)); }

private:
    QTemporaryDir m_dir;
};

// The log while it lives, kept from the real journal.
struct QuietLog : testsupport::ObservedLog {
    QuietLog() {
        sys::SystemLog::setTransport([](const sys::SystemLogEntry&) {});
    }
    ~QuietLog() {
        sys::SystemLog::flush(10000);
        sys::SystemLog::setTransport({});
    }
};

} // namespace

// Each outcome of a check started from the menu, told over the window; a second check while one
// runs is ignored, and a check someone else started is not the item's to report.
TEST(UpdatesMenu, CheckForUpdatesFollowsTheUpdaterAndTellsTheOutcome) {
    Feeds feeds;
    const QString failed = "Twinslim couldn\u2019t check for updates.";
    const struct {
        QUrl feed;
        QString text, informative;
    } cases[] = {
        {feeds.write("newer.xml", feedHead + equalItem + brokenItem + newerItem + feedTail),
         "Twinslim 1.10 is available \u2014 you have 1.4.2.", "https://example.invalid/notes"},
        {feeds.write("equal.xml", feedHead + equalItem + brokenItem + feedTail),
         "Twinslim is up to date.", "Version 1.4.2 is the newest version available."},
        {feeds.write("broken.xml", feedHead + "<item><title>Twinslim 2.0</tit"), failed,
         "could not be read"},
        {feeds.url("gone.xml"), failed, "could not be reached"},
    };
    QuietLog log;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.feed.toString().toStdString());
        QMainWindow window;
        window.show();
        AppUpdater updater(c.feed, "1.4.2");
        QSignalSpy finished(&updater, &AppUpdater::checkFinished);
        // As the menu bar holds it: the answer comes over the window, not the closed menu.
        QMenu* help = window.menuBar()->addMenu("Help");
        QAction* check = makeCheckForUpdatesAction(help, updater);
        help->addAction(check);
        EXPECT_TRUE(check->isEnabled());
        EXPECT_TRUE(help->toolTipsVisible());
        EXPECT_TRUE(check->toolTip().startsWith("Looks for a newer version"))
            << check->toolTip().toStdString();

        check->trigger();
        EXPECT_FALSE(check->isEnabled());
        EXPECT_EQ(check->toolTip(), "A check for updates is running.");
        updater.checkForUpdates(); // ignored while the first runs
        QMessageBox* box = nullptr;
        ASSERT_TRUE(testloop::spinUntil([&] {
            box = window.findChild<QMessageBox*>();
            return box && box->isVisible();
        }));
        EXPECT_TRUE(check->isEnabled());
        EXPECT_EQ(box->parentWidget(), &window);
        EXPECT_EQ(box->text(), c.text);
        EXPECT_TRUE(box->informativeText().contains(c.informative))
            << box->informativeText().toStdString();
        box->accept();
        testloop::drain();
        EXPECT_EQ(finished.count(), 1);

        updater.checkForUpdates();
        EXPECT_FALSE(check->isEnabled());
        ASSERT_TRUE(testloop::spinUntil([&] { return check->isEnabled(); }));
        testloop::drain();
        EXPECT_EQ(window.findChild<QMessageBox*>(), nullptr);
    }
    sys::SystemLog::flush(10000);
    EXPECT_EQ(log.lines("updates").size(), qsizetype(2 * std::size(cases)));

    // Without a feed the item stays disabled, says why and does nothing.
    QMainWindow window;
    AppUpdater offline(QUrl(), "1.4.2");
    QAction* disabled = makeCheckForUpdatesAction(&window, offline);
    EXPECT_FALSE(disabled->isEnabled());
    EXPECT_TRUE(disabled->toolTip().startsWith("No update feed is configured"))
        << disabled->toolTip().toStdString();
    disabled->trigger();
    testloop::drain();
    EXPECT_EQ(window.findChild<QMessageBox*>(), nullptr);
}
