#include "GateTestSupport.h"
#include "core/EventLoop.h"
#include "core/LibraryModel.h"
#include "core/TestLibrary.h"
#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "platform/photos/LibraryLocation.h"
#include "platform/photos/PhotoLibraryAccess.h"
#include "support/Darktable.h"
#include "support/TestSupport.h"
#include "ui/AccessGate.h"
#include "ui/MainWindow.h"
#include "ui/ScanView.h"

#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace twinslim;
using photos::AuthorizationStatus;

// File › Open Library… switches the window to a folder of camera files, remembers it for the
// next start, and keeps the library in use when the chosen one cannot be opened.
TEST(OpenLibraryTest, TheWindowSwitchesToAFolderOfPicturesAndSaysWhichItWorksOn) {
    TestLibrary library;
    photos::PhotoLibraryAccess::setStoredStatus("twinslim", photos::AccessLevel::ReadWrite,
                                                AuthorizationStatus::Authorized);
    QTemporaryDir tmp;
    const QString folder = tmp.path() + "/Pictures";
    QDir().mkpath(folder + "/2024");
    imaging::ExifFields exif;
    exif.dateTimeOriginal = "2019:10:26 16:07:24";
    fixtures::makeJpegFile(folder + "/2024/IMG_1.JPG", {64, 48}, exif);
    testsupport::writeFile(folder + "/2024/IMG_1.DNG",
                           fixtures::makeDng({64, 48}, "2019:10:26 16:07:24"));

    MainWindow window(AuthorizationStatus::Authorized);
    window.show();
    const QString before = window.libraryLabel()->text();

    // What cannot be a library is said, and nothing changes.
    EXPECT_FALSE(window.openLibrary(folder + "/2024/IMG_1.JPG"));
    QMessageBox* refused = gatetest::waitForMessageBox("openLibraryAlert", 5000);
    ASSERT_NE(refused, nullptr);
    EXPECT_TRUE(refused->informativeText().contains("not a folder"));
    refused->close();
    EXPECT_EQ(window.libraryLabel()->text(), before);

    // Nor while an ingest runs.
    LibraryModel* model = window.gate()->scanView()->model();
    model->setIsRunning(true);
    EXPECT_FALSE(window.openLibrary(folder));
    QMessageBox* busy = gatetest::waitForMessageBox("openLibraryAlert", 5000);
    ASSERT_NE(busy, nullptr);
    busy->close();
    model->setIsRunning(false);

    ASSERT_TRUE(window.openLibrary(folder));
    EXPECT_EQ(window.libraryLabel()->text(), "Library: " + folder);
    EXPECT_EQ(photos::systemLibraryPath(), folder); // remembered like `photolib use`
    LibraryModel* scan = window.gate()->scanView()->model();
    scan->setDateRange(DateRange::all); // the pair was taken years ago
    ASSERT_TRUE(testloop::spinUntil([&] { return !scan->pairs().empty(); }, 30000));
    ASSERT_EQ(scan->pairs().size(), 1u);
    EXPECT_EQ(scan->pairs().front().rawFilename, "IMG_1.DNG");
    photos::setChosenLibraryPath({});
    photos::PhotoLibraryAccess::forget("twinslim");
}

// A darktable library opens from File › Open Library… like any other; once Step 1 has changed
// it, the status bar says where the copy taken before that change lies.
TEST(OpenLibraryTest, TheWindowNamesTheCopyOfADarktableLibraryTakenBeforeItsFirstChange) {
    TWINSLIM_REQUIRE_DARKTABLE();
    TestLibrary library;
    photos::PhotoLibraryAccess::setStoredStatus("twinslim", photos::AccessLevel::ReadWrite,
                                                AuthorizationStatus::Authorized);
    QTemporaryDir tmp;
    imaging::ExifFields exif;
    exif.dateTimeOriginal = "2019:10:26 16:07:24";
    fixtures::makeJpegFile(tmp.path() + "/photos/IMG_1.JPG", {64, 48}, exif);
    testsupport::writeFile(tmp.path() + "/photos/IMG_1.DNG",
                           fixtures::makeDng({64, 48}, "2019:10:26 16:07:24"));
    const QString libraryDb = tmp.path() + "/darktable/library.db";
    testsupport::makeDarktableLibrary(libraryDb, {tmp.path() + "/photos"});

    MainWindow window(AuthorizationStatus::Authorized);
    window.show();
    ASSERT_TRUE(window.openLibrary(libraryDb));
    LibraryModel* scan = window.gate()->scanView()->model();
    scan->setDateRange(DateRange::all);
    ASSERT_TRUE(testloop::spinUntil([&] { return !scan->pairs().empty(); }, 30000));
    EXPECT_EQ(window.libraryLabel()->text(), "Library: " + libraryDb); // nothing changed yet

    scan->selectAllVisible();
    testloop::await(scan->createExportAlbums());
    const QStringList copies =
        QDir(tmp.path() + "/darktable").entryList({"library.db-twinslim-*"}, QDir::Files);
    ASSERT_EQ(copies.size(), 1);
    EXPECT_EQ(window.libraryLabel()->text(),
              "Library: " + libraryDb + " · Copy from before Twinslim’s changes: " + tmp.path() +
                  "/darktable/" + copies.front());
    photos::setChosenLibraryPath({});
    photos::PhotoLibraryAccess::forget("twinslim");
}
