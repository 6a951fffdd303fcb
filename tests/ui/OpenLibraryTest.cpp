#include "GateTestSupport.h"
#include "backup/FolderChooser.h"
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
#include <sqlite3.h>

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

namespace {

// Answers the library chooser at once, as a user would, and remembers what it was asked.
class AnsweringChooser : public FolderChooser {
public:
    std::optional<QString> answer;
    std::vector<FolderChoiceRequest> requests;
    void chooseFolder(const FolderChoiceRequest& request, Answer reply) override {
        requests.push_back(request);
        reply(answer);
    }
};

// Clicks `button` of the visible message box named `name`; false when there is none.
bool answer(const QString& name, const QString& button) {
    QMessageBox* box = gatetest::waitForMessageBox(name, 5000);
    QAbstractButton* b = box ? gatetest::buttonTitled(box, button) : nullptr;
    if (b)
        b->click();
    return b != nullptr;
}

} // namespace

// A remembered library that cannot be opened (its disk not mounted, a plain file, a damaged
// catalogue) is said at the start, not shown as an empty library, with the offer to choose
// another; the choice takes a folder or a darktable library.db.
TEST(OpenLibraryTest, ALibraryThatCannotBeOpenedIsSaidAtTheStartAndAnotherCanBeChosen) {
    photos::PhotoLibraryAccess::setStoredStatus("twinslim", photos::AccessLevel::ReadWrite,
                                                AuthorizationStatus::Authorized);
    auto chooser = std::make_shared<AnsweringChooser>();
    FolderChooser::setShared(chooser);
    QTemporaryDir tmp;
    const QString folder = tmp.path() + "/Pictures", darktable = tmp.path() + "/dt/library.db";
    QDir().mkpath(folder);
    testsupport::writeFile(tmp.path() + "/notes.txt", "no library");
    testsupport::writeFile(tmp.path() + "/Broken.photolibrary/catalog.sqlite", "no catalogue");
    QDir().mkpath(tmp.path() + "/dt");
    sqlite3* db = nullptr;
    sqlite3_open(darktable.toUtf8(), &db);
    sqlite3_exec(db,
                 "CREATE TABLE images(id INTEGER PRIMARY KEY); CREATE TABLE film_rolls(id INT);"
                 "CREATE TABLE tagged_images(imgid INT); CREATE TABLE db_info(key, value);",
                 nullptr, nullptr, nullptr);
    sqlite3_close(db);
    const std::pair<QString, QString> cases[] = {
        {tmp.path() + "/Unmounted/Pictures", "There is no photo library at"},
        {tmp.path() + "/notes.txt", "is not a photo library Twinslim knows"},
        {tmp.path() + "/Broken.photolibrary", "not a database"},
    };
    for (const auto& [path, why] : cases) {
        SCOPED_TRACE(path.toStdString());
        photos::setChosenLibraryPath(path);
        MainWindow window(AuthorizationStatus::Authorized);
        window.show();
        QMessageBox* box = gatetest::waitForMessageBox("libraryUnavailableAlert", 5000);
        ASSERT_NE(box, nullptr);
        EXPECT_EQ(box->text(), "The library cannot be opened");
        EXPECT_TRUE(box->informativeText().contains(why)) << box->informativeText().toStdString();
        // Behind it the window does not claim the library holds no pairs.
        LibraryModel* model = window.gate()->scanView()->model();
        ASSERT_TRUE(testloop::spinUntil([&] { return !model->isScanning(); }, 30000));
        testloop::await(model->scan());
        EXPECT_FALSE(model->hasScanned());
        if (path != cases[2].first) {
            box->close();
            continue;
        }
        // A darktable library.db is a file to choose; this one lacks its data.db, and says so.
        chooser->answer = darktable;
        ASSERT_TRUE(answer("libraryUnavailableAlert", "Choose Another Library…"));
        ASSERT_TRUE(answer("openLibraryChoice", "Choose library.db…"));
        QMessageBox* refused = gatetest::waitForMessageBox("openLibraryAlert", 5000);
        ASSERT_NE(refused, nullptr);
        EXPECT_TRUE(refused->informativeText().contains("“" + darktable + "” has no data.db"))
            << refused->informativeText().toStdString();
        refused->close();
        // File › Open Library… offers the same choice; a folder is taken and remembered.
        chooser->answer = folder;
        window.findChild<QAction*>("openLibraryAction")->trigger();
        ASSERT_TRUE(answer("openLibraryChoice", "Choose Folder…"));
        ASSERT_TRUE(testloop::spinUntil(
            [&] { return window.libraryLabel()->text() == "Library: " + folder; }, 5000));
        EXPECT_EQ(photos::systemLibraryPath(), folder);
        ASSERT_EQ(chooser->requests.size(), 2u);
        EXPECT_TRUE(chooser->requests[0].canChooseFiles);
        EXPECT_FALSE(chooser->requests[0].canChooseDirectories);
        EXPECT_TRUE(chooser->requests[1].canChooseDirectories);
        EXPECT_FALSE(chooser->requests[1].canChooseFiles);
    }
    FolderChooser::setShared(nullptr);
    photos::PhotoLibrary::setShared(nullptr);
    photos::setChosenLibraryPath({});
    photos::PhotoLibraryAccess::forget("twinslim");
}
