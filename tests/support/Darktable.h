#pragma once

#include <QMap>
#include <QString>
#include <QStringList>
#include <gtest/gtest.h>

// Real darktable, run headless, for the tests that check what it reads and writes.
namespace testsupport {

// Why darktable cannot run headless here, or empty when it can.
QString darktableMissing();

#define TWINSLIM_REQUIRE_DARKTABLE()                                                               \
    do {                                                                                           \
        if (const QString why = testsupport::darktableMissing(); !why.isEmpty())                   \
            GTEST_SKIP() << why.toStdString();                                                     \
    } while (0)

// Runs darktable on the library `libraryDb` (its settings in `libraryDb`'s folder/config,
// made when missing), runs the Lua code `lua` inside it with `dt` bound to the darktable
// module, and lets darktable quit by itself. Throws std::runtime_error with darktable's
// output when the code fails or darktable does not finish.
void runDarktable(const QString& libraryDb, const QString& lua);

// A new darktable library at `libraryDb` of the pictures in `folders`, imported by darktable,
// after which `setupLua` runs (stars, labels, tags set as a person would). darktable writes
// its NAME.EXT.xmp sidecars beside the pictures.
void makeDarktableLibrary(const QString& libraryDb, const QStringList& folders,
                          const QString& setupLua = {});

// What a darktable library holds about one image.
struct DarktableImage {
    int stars = 0;      // -1 when rejected
    QStringList colors; // darktable's colour label numbers: 0 red, 1 yellow, 2 green, 3 blue
    QStringList tags;   // full paths, darktable's own left out
    int group = 0;
    int id = 0;
    QString taken; // the capture's wall-clock time, "yyyy:MM:dd HH:mm:ss", as darktable has it
};

// Every image of a darktable library by its path, as darktable itself lists them (run in
// darktable through its Lua interface), after it imported `importFirst` (reading their
// pictures' sidecars).
QMap<QString, DarktableImage> darktableImages(const QString& libraryDb,
                                              const QStringList& importFirst = {});

} // namespace testsupport
