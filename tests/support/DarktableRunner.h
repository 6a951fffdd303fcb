#pragma once

#include <QString>

// Real darktable 4.2, run headless on a virtual screen, for tests of darktable libraries.
// Every run has its own HOME, configuration and cache folders; none touches the user's.
namespace darktablerun {

// Why darktable cannot run here ("" when it can): missing darktable or xvfb-run.
QString unavailableReason();

// Runs darktable on `libraryDb` with its configuration in `configDir` (data.db lives
// there), runs `lua` after start-up, then quits through darktable's own quit action.
// True when darktable ran and quit by itself; `log` gets its output.
bool run(const QString& libraryDb, const QString& configDir, const QString& lua,
         QString* log = nullptr);

// A folder holding library.db and data.db as darktable writes them for an empty library,
// made once per test process; copy them, never change them. Empty when unavailable.
QString emptyLibraryTemplate();

// Skips the running test, saying why, where darktable cannot run.
#define TWINSLIM_REQUIRE_DARKTABLE()                                                               \
    do {                                                                                           \
        if (const QString why = darktablerun::unavailableReason(); !why.isEmpty())                 \
            GTEST_SKIP() << why.toStdString();                                                     \
    } while (0)

} // namespace darktablerun
