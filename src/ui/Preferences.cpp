#include "ui/Preferences.h"

#include <QCoreApplication>
#include <QPointer>
#include <QSettings>
#include <QThreadPool>

namespace twinslim {
namespace {

// One thread, so a later value never lands before an earlier one; owned by the application,
// whose end waits for it.
QThreadPool* writer() {
    static QPointer<QThreadPool> pool;
    if (!pool) {
        pool = new QThreadPool(QCoreApplication::instance());
        pool->setMaxThreadCount(1);
    }
    return pool;
}

} // namespace

void storePreference(const QString& key, const QVariant& value) {
    writer()->start([key, value] {
        QSettings(QStringLiteral("Twinslim"), QStringLiteral("Twinslim")).setValue(key, value);
    });
}

void waitForStoredPreferences() {
    writer()->waitForDone();
}

} // namespace twinslim
