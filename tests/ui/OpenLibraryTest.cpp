#include "GateTestSupport.h"
#include "core/EventLoop.h"
#include "core/LibraryModel.h"
#include "core/TestLibrary.h"
#include "platform/photos/LibraryLocation.h"
#include "platform/photos/PhotoLibraryAccess.h"
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
    TWINSLIM_REQUIRE_SAMPLES();
    TestLibrary library;
    photos::PhotoLibraryAccess::setStoredStatus("twinslim", photos::AccessLevel::ReadWrite,
                                                AuthorizationStatus::Authorized);
    QTemporaryDir tmp;
    const QString folder = tmp.path() + "/Pictures";
    QDir().mkpath(folder + "/2024");
    QFile::copy(testsupport::samplesDir() + "/jpeg/exifr__canon-dslr.jpg",
                folder + "/2024/IMG_1.JPG");
    QFile::copy(testsupport::samplesDir() + "/raw/filetype__fixture.cr3",
                folder + "/2024/IMG_1.CR3");

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
    EXPECT_EQ(scan->pairs().front().rawFilename, "IMG_1.CR3");
    photos::setChosenLibraryPath({});
    photos::PhotoLibraryAccess::forget("twinslim");
}
