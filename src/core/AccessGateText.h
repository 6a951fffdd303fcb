#pragma once

#include "platform/photos/PhotoTypes.h"

#include <QString>
#include <optional>

namespace twinslim {

// What the access gate says about a read-write authorization that keeps the library
// closed. Shared by the window's gate and the command-line program.
struct AccessGateText {
    QString title;
    QString caption; // how to grant access; empty when there is nothing to suggest

    bool operator==(const AccessGateText&) const = default;
};

// What keeps the library's folder closed whatever the grant says.
enum class LibraryFolderProblem {
    none,
    readOnlyMedium,    // restricted: the folder is on a read-only file system
    noWritePermission, // denied: this user cannot read and write the folder
};

// None for authorized (no gate) and not determined (the gate offers to ask instead);
// restricted and denied read alike, unless the library's folder is the cause: then the caption
// names it and the library at `libraryPath`, since no grant would help. A status the gate does
// not know gets the unknown text.
std::optional<AccessGateText>
accessGateText(photos::AuthorizationStatus status,
               LibraryFolderProblem problem = LibraryFolderProblem::none,
               const QString& libraryPath = {});

// The program's client name in the photo library's access grants.
inline QString accessClientName() {
    return QStringLiteral("twinslim");
}

} // namespace twinslim
