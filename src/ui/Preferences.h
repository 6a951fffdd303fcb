#pragma once

#include <QString>
#include <QVariant>

namespace twinslim {

// Stores a value of the application's settings on a writer thread of its own, in the order
// the values come: writing the settings file takes a lock file, a new file and a rename, which
// can hold the window's thread for milliseconds, and far longer behind other writes to the
// same disk. Every value stored so far is in the file once waitForStoredPreferences returns,
// and before the program ends.
void storePreference(const QString& key, const QVariant& value);
void waitForStoredPreferences();

} // namespace twinslim
