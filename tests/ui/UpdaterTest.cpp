#include "core/EventLoop.h"
#include "platform/system/AppUpdater.h"
#include "support/ObservedLog.h"
#include "ui/UpdatesMenu.h"

#include <QAction>
#include <QApplication>
#include <QMainWindow>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QSet>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <gtest/gtest.h>
#include <memory>

using namespace twinslim;
using sys::AppUpdater;
using Kind = AppUpdater::Outcome::Kind;

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
const QByteArray newerItem = R"(<item><title>Twinslim 1.10</title><link>/releases/1.10</link>
<sparkle:version>1.10</sparkle:version></item>
)";

// A small HTTP server: each path has its canned answer.
class FeedServer {
public:
    FeedServer() {
        EXPECT_TRUE(m_server.listen(QHostAddress::LocalHost));
        QObject::connect(&m_server, &QTcpServer::newConnection, &m_server, [this] {
            while (QTcpSocket* socket = m_server.nextPendingConnection())
                serve(socket);
        });
    }
    void answer(const QString& path, int status, const QByteArray& body) {
        m_answers[path] = {status, body};
    }
    // Answers `path` with a feed that never ends: a byte every 50 ms.
    void dribble(const QString& path) { m_dribbled.insert(path); }
    QUrl url(const QString& path) const {
        return QUrl(QStringLiteral("http://127.0.0.1:%1%2").arg(m_server.serverPort()).arg(path));
    }

private:
    void serve(QTcpSocket* socket) {
        QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            m_requests[socket] += socket->readAll();
            const QByteArray request = m_requests[socket];
            if (!request.contains("\r\n\r\n"))
                return;
            m_requests.remove(socket);
            const QString path = QString::fromLatin1(request.split(' ').value(1));
            if (m_dribbled.contains(path)) {
                socket->write("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n<rss>");
                auto* timer = new QTimer(socket);
                QObject::connect(timer, &QTimer::timeout, socket, [socket] { socket->write(" "); });
                timer->start(50);
                return;
            }
            const auto [status, body] = m_answers.value(path, {404, "not here"});
            const QByteArray reason = status == 200   ? "OK"
                                      : status == 400 ? "Bad Request"
                                      : status == 404 ? "Not Found"
                                                      : "Error";
            socket->write("HTTP/1.1 " + QByteArray::number(status) + " " + reason +
                          "\r\nContent-Type: application/rss+xml\r\nContent-Length: " +
                          QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body);
            socket->disconnectFromHost();
        });
    }

    QTcpServer m_server;
    QHash<QString, std::pair<int, QByteArray>> m_answers;
    QHash<QTcpSocket*, QByteArray> m_requests;
    QSet<QString> m_dribbled;
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

// A port nothing listens on.
QUrl refusingUrl() {
    QTcpServer server;
    server.listen(QHostAddress::LocalHost);
    const quint16 port = server.serverPort();
    server.close();
    return QUrl(QStringLiteral("http://127.0.0.1:%1/appcast.xml").arg(port));
}

} // namespace

// A server that sends a byte now and then must not keep the check (and the menu item) busy.
TEST(AppUpdater, ACheckEndsAtItsTimeLimitHoweverTheServerDribbles) {
    FeedServer server;
    server.dribble("/slow.xml");
    QuietLog log;
    AppUpdater updater(server.url("/slow.xml"), "1.4.2");
    updater.setCheckTimeLimit(std::chrono::milliseconds(300));
    QSignalSpy finished(&updater, &AppUpdater::checkFinished);
    updater.checkForUpdates();
    ASSERT_TRUE(testloop::spinUntil([&] { return finished.count() > 0; }, 10000));
    EXPECT_TRUE(updater.canCheckForUpdates());
    const auto outcome = finished.at(0).at(0).value<AppUpdater::Outcome>();
    EXPECT_EQ(outcome.kind, Kind::failed);
    EXPECT_EQ(outcome.error, "The update server took too long to answer.");
}

TEST(AppUpdater, VersionsCompareNumericallyComponentByComponent) {
    struct Case {
        QString a, b;
        int sign;
    };
    const Case cases[] = {
        {"1.10", "1.9", 1},     {"1.0", "1", 0},         {"2", "10", -1},
        {"0.1.0", "0.1.1", -1}, {"1.2.3b4", "1.2.3", 0}, {"99999999999999999999", "1", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE((c.a + " vs " + c.b).toStdString());
        const int result = AppUpdater::compareVersions(c.a, c.b);
        EXPECT_EQ((result > 0) - (result < 0), c.sign);
    }
    for (const char* unreadable : {"banana", "1..2", ""})
        EXPECT_FALSE(AppUpdater::isReadableVersion(unreadable)) << unreadable;
    EXPECT_TRUE(AppUpdater::isReadableVersion("2.0.1"));
}

// Only links a browser may safely be handed come through: the first safe one is the release's,
// and plain http only on this machine. (Versions as elements and relative links are the menu
// test's feed.)
TEST(AppUpdater, KeepsOnlySafeLinks) {
    const QByteArray feed =
        "<rss><channel><item><link>javascript:alert(1)</link><enclosure url=\"file:///etc/"
        "passwd\" sparkle:version=\"2.1\"/><sparkle:releaseNotesLink>https://example.invalid/"
        "notes</sparkle:releaseNotesLink></item>"
        "<item><link>http://example.invalid/get</link><sparkle:version>2.2</sparkle:version></item>"
        "<item><link>http://localhost:8080/get</link><sparkle:version>2.3</sparkle:version></item>"
        "</channel></rss>";
    const auto releases = AppUpdater::parseAppcast(feed, QUrl("https://example.invalid/a.xml"));
    ASSERT_EQ(releases.size(), 3);
    EXPECT_EQ(releases[0].link, QUrl("https://example.invalid/notes"));
    EXPECT_TRUE(releases[1].link.isEmpty());
    EXPECT_EQ(releases[2].link, QUrl("http://localhost:8080/get"));
}

// Each outcome of a check started from the menu, told over the window; a second check while one
// runs is ignored, and a check someone else started is not the item's to report.
TEST(UpdatesMenu, CheckForUpdatesFollowsTheUpdaterAndTellsTheOutcome) {
    FeedServer server;
    server.answer("/newer.xml", 200, feedHead + equalItem + brokenItem + newerItem + feedTail);
    server.answer("/equal.xml", 200, feedHead + equalItem + brokenItem + feedTail);
    server.answer("/broken.xml", 200, feedHead + "<item><title>Twinslim 2.0</tit");
    server.answer("/bad.xml", 400, "");
    const QString failed = "Twinslim couldn\u2019t check for updates.";
    const struct {
        QUrl feed;
        QString text, informative;
    } cases[] = {
        {server.url("/newer.xml"), "Twinslim 1.10 is available \u2014 you have 1.4.2.",
         server.url("/releases/1.10").toString()},
        {server.url("/equal.xml"), "Twinslim is up to date.",
         "Version 1.4.2 is the newest version available."},
        {server.url("/broken.xml"), failed, "could not be read"},
        {server.url("/gone.xml"), failed, "404 Not Found"},
        // The server was reached: a refusal is told as the server's answer.
        {server.url("/bad.xml"), failed, "The update server answered 400 Bad Request."},
        {refusingUrl(), failed, "could not be reached"},
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

        check->trigger();
        EXPECT_FALSE(check->isEnabled());
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

    // Without a feed the item stays disabled and does nothing.
    QMainWindow window;
    AppUpdater offline(QUrl(), "1.4.2");
    QAction* disabled = makeCheckForUpdatesAction(&window, offline);
    EXPECT_FALSE(disabled->isEnabled());
    disabled->trigger();
    testloop::drain();
    EXPECT_EQ(window.findChild<QMessageBox*>(), nullptr);
}
