#include "platform/system/SystemLog.h"

#include "BuildInfo.h"

#include <QCoreApplication>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <sys/uio.h>
#include <systemd/sd-journal.h>
#include <thread>

namespace sys {
namespace {

// Owns the queue and the one thread that talks to journald. It is never destroyed: at
// exit the thread may be stuck in a stalled journal, and joining it would hang the exit.
class Sink {
public:
    static Sink& instance() {
        static Sink* sink = new Sink;
        return *sink;
    }

    void post(SystemLogEntry entry) {
        Observer observer;
        {
            std::lock_guard lock(m_mutex);
            observer = m_observer;
        }
        if (observer)
            observer(entry);
        {
            std::lock_guard lock(m_mutex);
            if (m_identifier.isEmpty())
                m_identifier = identifier();
            if (m_queue.size() >= SystemLog::queueCapacity) {
                ++m_dropped;
                return;
            }
            m_queue.push_back(std::move(entry));
            if (!m_thread.joinable())
                m_thread = std::thread([this] { run(); });
        }
        m_wake.notify_one();
    }

    using Observer = SystemLog::Observer;
    Observer setObserver(Observer observer) {
        std::lock_guard lock(m_mutex);
        std::swap(observer, m_observer);
        return observer;
    }

    void setTransport(SystemLog::Transport transport) {
        std::lock_guard lock(m_mutex);
        m_transport = std::move(transport);
    }

    bool flush(int timeoutMs) {
        std::unique_lock lock(m_mutex);
        return m_idle.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                               [this] { return m_queue.empty() && !m_sending; });
    }

    qint64 dropped() {
        std::lock_guard lock(m_mutex);
        return m_dropped;
    }

private:
    Sink() = default;

    static QString identifier() {
        // Asked once, by the first thread that logs.
        const QString name = QCoreApplication::applicationName();
        return name.isEmpty() ? QStringLiteral("twinslim") : name;
    }

    void run() {
        std::unique_lock lock(m_mutex);
        for (;;) {
            m_wake.wait(lock, [this] { return !m_queue.empty(); });
            SystemLogEntry entry = std::move(m_queue.front());
            m_queue.pop_front();
            m_sending = true;
            SystemLog::Transport transport = m_transport;
            const QString identifier = m_identifier;
            lock.unlock();
            if (transport)
                transport(entry);
            else
                sendToJournal(entry, identifier);
            lock.lock();
            m_sending = false;
            if (m_queue.empty())
                m_idle.notify_all();
        }
    }

    static void sendToJournal(const SystemLogEntry& entry, const QString& identifier) {
        const QList<QByteArray> fields = SystemLog::journalFields(entry, identifier);
        std::vector<iovec> vectors;
        vectors.reserve(static_cast<size_t>(fields.size()));
        for (const QByteArray& field : fields)
            vectors.push_back(
                {const_cast<char*>(field.constData()), static_cast<size_t>(field.size())});
        // Best effort: an absent journal answers with an error, which changes nothing.
        (void)sd_journal_sendv(vectors.data(), static_cast<int>(vectors.size()));
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<SystemLogEntry> m_queue;
    bool m_sending = false;
    qint64 m_dropped = 0;
    QString m_identifier;
    Observer m_observer;
    SystemLog::Transport m_transport;
    std::thread m_thread;
};

} // namespace

SystemLog::SystemLog(QString category)
    : m_subsystem(QString::fromUtf8(buildinfo::bundleIdentifier)), m_category(std::move(category)) {
}

const SystemLog& SystemLog::ingest() {
    static const SystemLog logger(QStringLiteral("ingest"));
    return logger;
}

const SystemLog& SystemLog::updates() {
    static const SystemLog logger(QStringLiteral("updates"));
    return logger;
}

const SystemLog& SystemLog::general() {
    static const SystemLog logger{QString()};
    return logger;
}

void SystemLog::log(const QString& message) const {
    send(message, defaultPriority);
}

void SystemLog::info(const QString& message) const {
    send(message, infoPriority);
}

void SystemLog::send(const QString& message, int priority) const {
    Sink::instance().post({m_subsystem, m_category, message, priority});
}

QList<QByteArray> SystemLog::journalFields(const SystemLogEntry& entry, const QString& identifier) {
    QList<QByteArray> fields = {
        "MESSAGE=" + entry.message.toUtf8(),
        "PRIORITY=" + QByteArray::number(entry.priority),
        "SYSLOG_IDENTIFIER=" + identifier.toUtf8(),
        "SUBSYSTEM=" + entry.subsystem.toUtf8(),
    };
    if (!entry.category.isEmpty())
        fields.append("CATEGORY=" + entry.category.toUtf8());
    return fields;
}

SystemLog::Observer SystemLog::setObserver(Observer observer) {
    return Sink::instance().setObserver(std::move(observer));
}

void SystemLog::setTransport(Transport transport) {
    Sink::instance().setTransport(std::move(transport));
}

bool SystemLog::flush(int timeoutMs) {
    return Sink::instance().flush(timeoutMs);
}

qint64 SystemLog::droppedCount() {
    return Sink::instance().dropped();
}

} // namespace sys
