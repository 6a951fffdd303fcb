#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <cstddef>
#include <functional>

namespace sys {

// One message for the system log.
struct SystemLogEntry {
    QString subsystem; // the application's bundle identifier
    QString category;  // empty for plain diagnostic lines
    QString message;
    int priority = 5; // syslog priority: 5 default (notice), 6 info
};

// The system log: journald, with the bundle identifier as subsystem and a category per
// logger. Messages are handed to one background thread through a bounded queue, so a
// stalled or absent journal never blocks or fails the caller; when the queue is full
// new messages are dropped and counted.
class SystemLog {
public:
    static constexpr int defaultPriority = 5;
    static constexpr int infoPriority = 6;
    static constexpr std::size_t queueCapacity = 1024;

    explicit SystemLog(QString category);

    // The process's loggers, created on first use.
    static const SystemLog& ingest();
    static const SystemLog& updates();
    // Lines without a category, as a plain diagnostic print would make.
    static const SystemLog& general();

    QString subsystem() const { return m_subsystem; }
    QString category() const { return m_category; }

    // Text goes out unredacted and unchanged.
    void log(const QString& message) const;
    void info(const QString& message) const;

    // The journald fields of one entry, as sent.
    static QList<QByteArray> journalFields(const SystemLogEntry& entry, const QString& identifier);

    // ---- Testing ----
    // Sees every message synchronously on the logging thread, before it is queued.
    // Returns the observer it replaces.
    using Observer = std::function<void(const SystemLogEntry&)>;
    static Observer setObserver(Observer observer);
    // Replaces journald as the destination on the background thread; an empty
    // transport restores journald.
    using Transport = std::function<void(const SystemLogEntry&)>;
    static void setTransport(Transport transport);
    // Waits until every queued message has been handed on; false when the time ran out.
    static bool flush(int timeoutMs);
    static qint64 droppedCount();

private:
    void send(const QString& message, int priority) const;
    QString m_subsystem;
    QString m_category;
};

} // namespace sys
