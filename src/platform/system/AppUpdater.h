#pragma once

#include <QObject>
#include <QString>
#include <QUrl>

namespace sys {

// Looks for a newer version in an appcast (RSS) feed. It never installs anything: it tells
// the user a newer version exists and where to get it. Without a feed address checks are
// impossible and canCheckForUpdates stays false.
class AppUpdater : public QObject {
    Q_OBJECT
public:
    // The process's updater, created and started on first use with the build's feed address.
    static AppUpdater& shared();

    explicit AppUpdater(QUrl feed, QString currentVersion, QObject* parent = nullptr);

    bool canCheckForUpdates() const;
    // Writes "check for updates (user initiated)" to the "updates" log, then checks; the
    // outcome arrives as checkFinished.
    void checkForUpdates();

    struct Outcome {
        enum class Kind { newerAvailable, upToDate, failed };
        Kind kind = Kind::failed;
        QString version; // of the newer release
        QUrl link;       // where to get it
        QString error;   // why the check failed
    };

signals:
    void canCheckForUpdatesChanged(bool canCheck);
    void checkFinished(const sys::AppUpdater::Outcome& outcome);
};

} // namespace sys
