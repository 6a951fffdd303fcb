#pragma once

#include <QString>
#include <gtest/gtest.h>

// Real Shotwell, run headless, for the tests that check what Twinslim reads of its libraries
// and what Shotwell makes of Twinslim's changes.
namespace testsupport {

// Why a Shotwell library cannot be made here, or empty when it can.
QString shotwellMissing();

#define TWINSLIM_REQUIRE_SHOTWELL()                                                                \
    do {                                                                                           \
        if (const QString why = testsupport::shotwellMissing(); !why.isEmpty())                    \
            GTEST_SKIP() << why.toStdString();                                                     \
    } while (0)

// A Shotwell library of the folder `photos`, imported by Shotwell itself from its watched
// folder: `out`/data/data/photo.db, Shotwell's settings and thumbnails under `out`. With
// `reuse`, Shotwell is started again on the library it made there, as a person reopens it
// (it looks at its watched folder again). `whileRunning`, when given, is a bash script run
// while Shotwell is up. Throws std::runtime_error with Shotwell's output when it fails.
void runShotwell(const QString& photos, const QString& out, bool reuse = false,
                 const QString& whileRunning = {});

// `folder`/data/photo.db: the empty library Shotwell 0.30 writes (kept in the source tree as
// its SQL dump, tests/fixtures/shotwell/empty-photo.sql). Needs no Shotwell; a test with
// Shotwell checks that the dump has the tables Shotwell writes. Returns the database's path;
// throws std::runtime_error.
QString makeEmptyShotwellLibrary(const QString& folder);

} // namespace testsupport
