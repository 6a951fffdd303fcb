#pragma once

#include <QString>

class QSettings;

namespace photos {

// Where the service keeps its own settings: $XDG_CONFIG_HOME/photolib (~/.config/photolib).
QString serviceConfigDir();

// The system library: $PHOTOLIB_LIBRARY when set, else the one chosen with
// `photolib use`, else Photos.photolibrary in the user's Pictures folder.
QString systemLibraryPath();
QString defaultLibraryPath();
// Whether a library missing at `path` may be made when it is opened as the system
// library: only at the default location, on first use. One named by PHOTOLIB_LIBRARY or
// chosen with `photolib use` that is not there (a mistyped path, an unmounted disk) is
// reported instead.
bool mayCreateSystemLibraryAt(const QString& path);
// Records the library `photolib use` chose; an empty path forgets the choice.
// Throws PhotoLibraryError when the settings cannot be written.
void setChosenLibraryPath(const QString& path);
// Writes the service's settings out; throws PhotoLibraryError when that fails.
void saveServiceSettings(QSettings& settings);

} // namespace photos
