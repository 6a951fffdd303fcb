#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <gtest/gtest.h>

// Real digiKam, run headless, for the tests that check what Twinslim reads of its libraries.
namespace testsupport {

// Why a digiKam library cannot be made here, or empty when it can.
QString digikamMissing();

#define TWINSLIM_REQUIRE_DIGIKAM()                                                                 \
    do {                                                                                           \
        if (const QString why = testsupport::digikamMissing(); !why.isEmpty())                     \
            GTEST_SKIP() << why.toStdString();                                                     \
    } while (0)

// A camera folder at `photos` (RAW+JPEG pairs of three makers, a lone JPEG and HEIC; dates,
// offsets and places written by exiftool), some of its pictures marked as a person's earlier
// work leaves them (stars, keywords, one hierarchical). Throws std::runtime_error.
void makeMarkedCameraFolder(const QString& photos);

// A digiKam library of the folder `photos`, made by digiKam itself (its first-run assistant
// answered with its defaults, the collection scanned): photos/digikam4.db, digiKam's settings
// under `out`/home. Throws std::runtime_error with digiKam's output when it fails.
// `env` is digiKam's environment (its time zone decides how it records times).
void makeDigikamLibrary(const QString& photos, const QString& out,
                        const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());

// digiKam started again on the library it made of `photos` (settings under `out`/home), as a
// person reopens it: it rescans the collection, and runs the bash script `whileRunning`
// (when given) while it is up, then quits. Throws std::runtime_error.
void reopenWithDigikam(const QString& photos, const QString& out, const QString& whileRunning = {},
                       const QProcessEnvironment& env = QProcessEnvironment::systemEnvironment());

// An empty library digiKam made of an empty folder: its digikam4.db, made once per build tree
// (digiKam takes minutes to make one) and shared by the test programs; copy it before use.
// Throws std::runtime_error.
QString emptyDigikamDatabase();

// `photos`/digikam4.db: the empty library digiKam 7.9 wrote (kept in the source tree as its
// SQL dump, tests/fixtures/digikam/empty-digikam4.sql), its collection being `photos`. Needs
// no digiKam; a test with digiKam checks that the dump is what digiKam writes.
void makeEmptyDigikamLibrary(const QString& photos);

} // namespace testsupport
