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

TEST(AppUpdater, NewerUpToDateOrFailedFromTheFeed) {
    FeedServer server;
    server.answer("/newer.xml", 200, feedHead + equalItem + brokenItem + newerItem + feedTail);
    server.answer("/equal.xml", 200, feedHead + equalItem + brokenItem + feedTail);
    server.answer("/broken.xml", 200, feedHead + "<item><title>Twinslim 2.0</tit");
    server.answer("/bad.xml", 400, "");
    struct Case {
        QUrl feed;
        Kind kind;
        QString versionOrError; // the newer version, or a part of the error
        QUrl link = {};
    };
    const Case cases[] = {
        {server.url("/newer.xml"), Kind::newerAvailable, "1.10", server.url("/releases/1.10")},
        {server.url("/equal.xml"), Kind::upToDate, ""},
        {server.url("/broken.xml"), Kind::failed, "could not be read"},
        {server.url("/missing.xml"), Kind::failed, "404 Not Found"},
        // The server was reached: a refusal is told as the server's answer.
        {server.url("/bad.xml"), Kind::failed, "The update server answered 400 Bad Request."},
        {refusingUrl(), Kind::failed, "could not be reached"},
    };
    QuietLog log;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.feed.toString().toStdString());
        AppUpdater updater(c.feed, "1.4.2");
        QSignalSpy finished(&updater, &AppUpdater::checkFinished);
        QSignalSpy flag(&updater, &AppUpdater::canCheckForUpdatesChanged);
        ASSERT_TRUE(updater.canCheckForUpdates());
        updater.checkForUpdates();
        EXPECT_FALSE(updater.canCheckForUpdates());
        updater.checkForUpdates(); // ignored while the first runs
        ASSERT_TRUE(testloop::spinUntil([&] { return finished.count() > 0; }));
        testloop::drain();
        ASSERT_EQ(finished.count(), 1);
        EXPECT_TRUE(updater.canCheckForUpdates());
        EXPECT_EQ(flag.count(), 2); // false, then true again

        const auto outcome = finished.at(0).at(0).value<AppUpdater::Outcome>();
        EXPECT_EQ(outcome.kind, c.kind);
        if (c.kind == Kind::newerAvailable) {
            EXPECT_EQ(outcome.version, c.versionOrError);
            EXPECT_EQ(outcome.link, c.link);
        } else if (c.kind == Kind::failed) {
            EXPECT_TRUE(outcome.error.contains(c.versionOrError)) << outcome.error.toStdString();
        }
    }
    sys::SystemLog::flush(10000);
    EXPECT_EQ(log.lines("updates"),
              QStringList(std::size(cases), "6 check for updates (user initiated)"));
}

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

// Feeds as they are found: the prefix declared or not, versions on the enclosure or as
// elements, the short version preferred.
TEST(AppUpdater, ReadsAppcastsLeniently) {
    struct Case {
        QByteArray feed;
        QStringList versions;
        QString firstLink;
    };
    const Case cases[] = {
        {"<rss><channel><item><link>https://example.invalid/a</link>"
         "<sparkle:shortVersionString>3.1</sparkle:shortVersionString>"
         "<sparkle:version>310</sparkle:version></item></channel></rss>",
         {"3.1"},
         "https://example.invalid/a"},
        {"<rss><channel><item><enclosure url=\"b.tar.gz\" sparkle:version=\"2.0\"/></item>"
         "</channel></rss>",
         {"2.0"},
         "https://feeds.example.invalid/b.tar.gz"},
        // Only https (or http on this machine) links come through; the next one is taken.
        {"<rss><channel><item><link>javascript:alert(1)</link><enclosure url=\"file:///etc/"
         "passwd\" sparkle:version=\"2.1\"/><sparkle:releaseNotesLink>https://example.invalid/"
         "notes</sparkle:releaseNotesLink></item></channel></rss>",
         {"2.1"},
         "https://example.invalid/notes"},
        {"<rss><channel><item><link>http://example.invalid/get</link>"
         "<sparkle:version>2.2</sparkle:version></item></channel></rss>",
         {"2.2"},
         ""},
        {"<rss><channel><item><link>http://localhost:8080/get</link>"
         "<sparkle:version>2.3</sparkle:version></item></channel></rss>",
         {"2.3"},
         "http://localhost:8080/get"},
        {"", {}, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.feed.left(60).toStdString());
        const auto releases =
            AppUpdater::parseAppcast(c.feed, QUrl("https://feeds.example.invalid/appcast.xml"));
        QStringList versions;
        for (const auto& release : releases)
            versions << release.version;
        EXPECT_EQ(versions, c.versions);
        if (!releases.isEmpty()) {
            EXPECT_EQ(releases.front().link.toString().toStdString(), c.firstLink.toStdString());
        }
    }
}

TEST(UpdatesMenu, CheckForUpdatesFollowsTheUpdaterAndTellsTheOutcome) {
    FeedServer server;
    server.answer("/newer.xml", 200, feedHead + equalItem + newerItem + feedTail);
    server.answer("/equal.xml", 200, feedHead + equalItem + feedTail);
    QuietLog log;
    const struct {
        QString path, text, informative;
    } cases[] = {
        {"/newer.xml", "Twinslim 1.10 is available \u2014 you have 1.4.2.",
         server.url("/releases/1.10").toString()},
        {"/equal.xml", "Twinslim is up to date.", "Version 1.4.2 is the newest version available."},
        {"/gone.xml", "Twinslim couldn\u2019t check for updates.", "404 Not Found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path.toStdString());
        QMainWindow window;
        window.show();
        AppUpdater updater(server.url(c.path), "1.4.2");
        // As the menu bar holds it: the answer comes over the window, not the closed menu.
        QMenu* help = window.menuBar()->addMenu("Help");
        QAction* check = makeCheckForUpdatesAction(help, updater);
        help->addAction(check);
        EXPECT_TRUE(check->isEnabled());

        check->trigger();
        EXPECT_FALSE(check->isEnabled());
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

        // A check someone else started is not this item's to report.
        updater.checkForUpdates();
        EXPECT_FALSE(check->isEnabled());
        ASSERT_TRUE(testloop::spinUntil([&] { return check->isEnabled(); }));
        testloop::drain();
        EXPECT_EQ(window.findChild<QMessageBox*>(), nullptr);
    }

    // Without a feed the item stays disabled and does nothing.
    QMainWindow window;
    AppUpdater offline(QUrl(), "1.4.2");
    QAction* disabled = makeCheckForUpdatesAction(&window, offline);
    EXPECT_FALSE(disabled->isEnabled());
    disabled->trigger();
    testloop::drain();
    EXPECT_EQ(window.findChild<QMessageBox*>(), nullptr);
}
