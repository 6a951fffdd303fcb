#pragma once

#include <QSettings>
#include <QTemporaryDir>
#include <ctime>

// For the whole test program: the application's preferences live in a temporary folder,
// so no test reads or writes the real home folder, and local time is Berlin's, whose
// daylight-saving changes the date and log tests rely on.
struct IsolatedEnvironment {
    IsolatedEnvironment() {
        qputenv("TZ", "Europe/Berlin");
        tzset();
        qputenv("XDG_CONFIG_HOME", dir.path().toUtf8());
        QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, dir.path());
        QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, dir.path());
    }
    QTemporaryDir dir;
};

// Use in exactly one file of a test program.
#define TWINSLIM_ISOLATE_ENVIRONMENT() static const IsolatedEnvironment isolatedEnvironment
