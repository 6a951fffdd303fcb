#pragma once

#include "platform/system/SystemLog.h"

#include <QStringList>
#include <mutex>
#include <vector>

namespace testsupport {

// Collects what the system log's observer sees while it lives, and restores the previous
// observer.
class ObservedLog {
public:
    ObservedLog() {
        m_previous = sys::SystemLog::setObserver([this](const sys::SystemLogEntry& entry) {
            std::lock_guard lock(m_mutex);
            m_entries.push_back(entry);
        });
    }
    ~ObservedLog() { sys::SystemLog::setObserver(m_previous); }
    ObservedLog(const ObservedLog&) = delete;
    ObservedLog& operator=(const ObservedLog&) = delete;

    std::vector<sys::SystemLogEntry> entries() {
        std::lock_guard lock(m_mutex);
        return m_entries;
    }
    // "priority message" of each entry of `category` (empty for plain diagnostics), in order.
    QStringList lines(const QString& category) {
        QStringList out;
        for (const sys::SystemLogEntry& entry : entries())
            if (entry.category == category)
                out << QString::number(entry.priority) + u' ' + entry.message;
        return out;
    }

private:
    std::mutex m_mutex;
    std::vector<sys::SystemLogEntry> m_entries;
    sys::SystemLog::Observer m_previous;
};

} // namespace testsupport
