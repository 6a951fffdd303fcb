#pragma once

#include <QString>

namespace photos {

// Where the service keeps its own settings: $XDG_CONFIG_HOME/photolib (~/.config/photolib).
QString serviceConfigDir();

// The system library: $PHOTOLIB_LIBRARY when set, else the one chosen with
// `photolib use`, else Photos.photolibrary in the user's Pictures folder.
QString systemLibraryPath();
QString defaultLibraryPath();
// Records the library `photolib use` chose; an empty path forgets the choice.
void setChosenLibraryPath(const QString& path);

} // namespace photos
