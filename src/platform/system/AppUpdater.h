#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>
#include <QUrl>
#include <chrono>

class QNetworkAccessManager;
class QNetworkReply;

namespace sys {

// Looks for a newer version in an appcast (RSS) feed. It never installs anything: it tells
// the user a newer version exists and where to get it. Without a feed address checks are
// impossible and canCheckForUpdates stays false.
//
// Each feed <item> names its version as Sparkle feeds do, on its <enclosure> (attributes
// sparkle:shortVersionString and sparkle:version) or in <sparkle:shortVersionString> /
// <sparkle:version> elements; the display version (short version string, else version) is
// compared with ours, numerically component by component. Items without a readable version
// are passed over. Only links a browser may safely be handed are kept (see isOpenableLink).
// Lives on the thread that created it (the GUI thread).
class AppUpdater : public QObject {
    Q_OBJECT
public:
    // The process's updater, created and started on first use with the build's feed address;
    // never destroyed.
    static AppUpdater& shared();

    explicit AppUpdater(QUrl feed, QString currentVersion, QObject* parent = nullptr);
    ~AppUpdater() override;

    // True when a check may start: there is a feed and no check is running.
    bool canCheckForUpdates() const;
    // Writes "check for updates (user initiated)" to the "updates" log, then checks; the
    // outcome arrives as checkFinished. Does nothing while canCheckForUpdates is false.
    void checkForUpdates();

    // How long a whole check may take, however the server answers (a server that sends a byte
    // now and then would otherwise keep it running, and the menu item disabled, for ever).
    static constexpr std::chrono::milliseconds defaultCheckTimeLimit{60000};
    void setCheckTimeLimit(std::chrono::milliseconds limit) { m_checkTimeLimit = limit; }

    QUrl feed() const { return m_feed; }
    QString currentVersion() const { return m_currentVersion; }

    struct Outcome {
        enum class Kind { newerAvailable, upToDate, failed };
        Kind kind = Kind::failed;
        QString version; // of the newer release
        QUrl link;       // where to get it
        QString error;   // why the check failed
    };

    // One release the feed offers.
    struct Release {
        QString version;
        // The item's <link>, else its enclosure's url, else its release notes link; the first
        // of them that isOpenableLink accepts, empty when none is.
        QUrl link;
    };
    // The releases of a feed with a readable version, in feed order; empty for a feed that is
    // not XML or offers none. Relative links are resolved against `base`.
    static QList<Release> parseAppcast(const QByteArray& feed, const QUrl& base = {});

    // Negative, zero or positive as `a` is older than, the same as or newer than `b`, compared
    // numerically component by component ("1.10" > "1.9", "1.0" == "1"). Only each
    // component's leading digits count ("2b3" is 2).
    static int compareVersions(const QString& a, const QString& b);
    // True when every component starts with a digit.
    static bool isReadableVersion(const QString& version);
    // True for an https: address, or an http: one on this machine (a local test server): the
    // feed's links are shown and opened, and a javascript:, file: or plain-text web address
    // from a feed must never be.
    static bool isOpenableLink(const QUrl& url);

    // A feed larger than this is not read.
    static constexpr qint64 maximumFeedBytes = 4 << 20;

signals:
    void canCheckForUpdatesChanged(bool canCheck);
    void checkFinished(const sys::AppUpdater::Outcome& outcome);

private:
    void setCanCheck(bool canCheck);
    void finish(QNetworkReply* reply);

    QUrl m_feed;
    QString m_currentVersion;
    bool m_canCheck = false;
    std::chrono::milliseconds m_checkTimeLimit = defaultCheckTimeLimit;
    QString m_abortReason; // why the running check was ended early, if it was
    QNetworkAccessManager* m_network = nullptr;
};

} // namespace sys
