#pragma once

#include <QByteArray>
#include <ctime>
#include <optional>
#include <qglobal.h>

// Sets the process's local time zone for the life of the object and restores it after.
class TimeZoneScope {
public:
    explicit TimeZoneScope(const char* zone) {
        if (qEnvironmentVariableIsSet("TZ"))
            m_previous = qgetenv("TZ");
        qputenv("TZ", zone);
        tzset();
    }
    ~TimeZoneScope() {
        if (m_previous)
            qputenv("TZ", *m_previous);
        else
            qunsetenv("TZ");
        tzset();
    }
    TimeZoneScope(const TimeZoneScope&) = delete;
    TimeZoneScope& operator=(const TimeZoneScope&) = delete;

private:
    std::optional<QByteArray> m_previous;
};
