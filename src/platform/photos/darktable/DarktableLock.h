#pragma once

#include <QString>
#include <optional>

namespace photos {

// darktable's own lock on a library: while darktable runs it keeps DATABASE.lock beside the
// database, holding its process id, and writes the rows it has cached back over any change
// made meanwhile. A lock whose process is gone is stale: darktable itself takes it over.
class DarktableLock {
public:
    // The process holding `database` open, when it is alive.
    static std::optional<qint64> liveHolder(const QString& database);

    // Takes the lock for this process, the way darktable does, so that darktable cannot
    // start on the database during a change; released when the object goes. Throws
    // PhotoLibraryError with the message to close darktable when a live process holds it.
    explicit DarktableLock(const QString& database);
    ~DarktableLock();
    DarktableLock(const DarktableLock&) = delete;
    DarktableLock& operator=(const DarktableLock&) = delete;

    // The refusal for a change while darktable runs.
    static QString runningMessage(const QString& database, qint64 pid);

private:
    QString m_lockPath;
};

} // namespace photos
