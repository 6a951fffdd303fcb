#pragma once

#include <QString>

namespace twinslimcli {

class Terminal;

// Lets a command use the library at `libraryPath` only with full read-write access for the
// client "twinslim". A grant not yet determined is asked for on the terminal (`assumeYes`
// grants full access without asking) and the answer is stored by the library service;
// without a terminal nothing is stored. Throws CommandFailure, in the access gate's words,
// when access is not granted.
void requireLibraryAccess(const QString& libraryPath, Terminal& terminal, bool assumeYes);

} // namespace twinslimcli
