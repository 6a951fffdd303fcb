// The whole workflow through the real window: a demonstration library made by
// photolib, access granted in the consent dialog, a scan, a selection, Step 1,
// the export albums exported by photolib, Step 2 with the folder chooser
// answered here, the deletion confirmed, the report shown and the table without
// the replaced pairs.
#include "GateTestSupport.h"
#include "backup/BackupFolder.h"
#include "backup/FolderChooser.h"
#include "core/EventLoop.h"
#include "core/LibraryModel.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/photos/PhotoLibraryAccess.h"
#include "support/TestSupport.h"
#include "ui/AboutWindow.h"
#include "ui/AccessGate.h"
#include "ui/ConsentDialog.h"
#include "ui/DeletionPrompt.h"
#include "ui/MainWindow.h"
#include "ui/PairTableModel.h"
#include "ui/QuickPreviewDialog.h"
#include "ui/ScanView.h"

#include <QAbstractButton>
#include <QAction>
#include <QComboBox>
#include <QDir>
#include <QDirIterator>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

using namespace twinslim;
using photos::AuthorizationStatus;

namespace {

// Answers each panel later, as a real one would, with the next prepared folder.
class AnsweringChooser : public FolderChooser {
public:
    QStringList answers;
    QList<FolderChoiceRequest> asked;

    void chooseFolder(const FolderChoiceRequest& request, Answer answer) override {
        asked << request;
        std::optional<QString> folder;
        if (!answers.isEmpty())
            folder = answers.takeFirst();
        QTimer::singleShot(0, [answer, folder] { answer(folder); });
    }
};

// Runs photolib; the test fails with its output when it does not succeed.
void photolib(const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(testsupport::photolibPath(), arguments);
    ASSERT_TRUE(process.waitForFinished(600000)) << arguments.join(' ').toStdString();
    ASSERT_EQ(process.exitCode(), 0) << arguments.join(' ').toStdString() << "\n"
                                     << process.readAll().toStdString();
}

QMessageBox* alertTitled(const QString& title) {
    return gatetest::waitForWindow<QMessageBox>(
        [&](QMessageBox* box) { return box->windowTitle() == title || box->text() == title; });
}

int filesUnder(const QString& dir) {
    int count = 0;
    for (QDirIterator it(dir, QDir::Files, QDirIterator::Subdirectories); it.hasNext(); it.next())
        ++count;
    return count;
}

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        libraryPath = work.filePath("Demo.photolibrary");
        qputenv("PHOTOLIB_LIBRARY", libraryPath.toUtf8());
        photos::PhotoLibrary::setShared(nullptr); // opened by the window once access is given
        photos::PhotoLibraryAccess::forget(accessClientName);
        FolderChooser::setShared(chooser);
    }
    void TearDown() override {
        ConsentDialog::uninstall();
        FolderChooser::setShared(nullptr);
        photos::PhotoLibrary::setShared(nullptr);
        photos::PhotoLibraryAccess::forget(accessClientName);
        qunsetenv("PHOTOLIB_LIBRARY");
    }

    const QString accessClientName = QStringLiteral("twinslim");
    QTemporaryDir work;
    QString libraryPath;
    std::shared_ptr<AnsweringChooser> chooser = std::make_shared<AnsweringChooser>();
};

} // namespace

TEST_F(EndToEndTest, FromTheGateToTheReport) {
    photolib({"demo", "--pairs", "8", libraryPath});

    MainWindow window;
    ConsentDialog::install(&window);
    window.show();

    // The gate: granted through the consent dialog.
    AccessGate* gate = window.gate();
    ASSERT_NE(gate->grantButton(), nullptr);
    QTest::mouseClick(gate->grantButton(), Qt::LeftButton);
    ConsentDialog* consent = gatetest::waitForWindow<ConsentDialog>();
    ASSERT_NE(consent, nullptr);
    QTest::mouseClick(consent->allowFullAccessButton(), Qt::LeftButton);
    ASSERT_TRUE(testloop::spinUntil([&] { return gate->scanView() != nullptr; }));
    LibraryModel* model = gate->scanView()->model();

    // The scan: the first one starts by itself; then the whole library.
    ASSERT_TRUE(testloop::spinUntil([&] { return model->hasScanned() && !model->isScanning(); }));
    QComboBox* range = nullptr;
    for (QComboBox* box : gate->scanView()->findChildren<QComboBox*>())
        if (box->findText("All") >= 0 && box->findText("Last 30 days") >= 0)
            range = box;
    ASSERT_NE(range, nullptr);
    ASSERT_EQ(range->findText("All"), range->count() - 1);
    QTest::keyClick(range, Qt::Key_End); // as the user picks the last entry
    ASSERT_TRUE(testloop::spinUntil([&] { return model->dateRange() == DateRange::all; }));
    ASSERT_TRUE(testloop::spinUntil([&] { return !model->isScanning(); }));
    const std::vector<PhotoPair> scanned = model->pairs();
    ASSERT_GE(scanned.size(), 4u);
    auto* table = gate->scanView()->findChild<QTableView*>();
    ASSERT_NE(table, nullptr);
    const int rowsBefore = table->model()->rowCount();
    EXPECT_EQ(rowsBefore, int(scanned.size()));

    // Only a left click on a thumbnail opens the quick preview, and it selects nothing.
    ScanView* view = gate->scanView();
    const QPoint thumbnail =
        table->visualRect(table->model()->index(0, PairTableModel::QuickLookColumn)).center();
    QTest::mouseClick(table->viewport(), Qt::RightButton, {}, thumbnail);
    EXPECT_EQ(view->preview(), nullptr);
    QTest::mouseClick(table->viewport(), Qt::LeftButton, {}, thumbnail);
    ASSERT_NE(view->preview(), nullptr);
    EXPECT_TRUE(model->selectedIDs().isEmpty());
    view->preview()->reject();
    EXPECT_TRUE(testloop::spinUntil([&] { return view->preview() == nullptr; }));

    // Select one favourite and two others; the table shows the selection.
    QSet<QString> chosen;
    int toChoose[2] = {2, 1}; // others, favourites
    for (const PhotoPair& pair : scanned)
        if (toChoose[pair.isFavorite]-- > 0)
            chosen << pair.id;
    ASSERT_EQ(chosen.size(), 3);
    model->setSelectedIDs(chosen);
    EXPECT_TRUE(testloop::spinUntil(
        [&] { return table->selectionModel()->selectedRows().size() == 3; }, 5000));
    // Tab leaves the table for the bottom bar and keeps the selection.
    table->setFocus();
    QTest::keyClick(table, Qt::Key_Tab);
    EXPECT_EQ(window.focusWidget()->objectName(), "backupFolderButton");
    EXPECT_EQ(model->selectedIDs(), chosen);

    // Step 1: the export albums, once however fast the button is pressed twice.
    QAbstractButton* step1 = gatetest::buttonTitled(&window, "Step 1: Create Export Albums");
    ASSERT_NE(step1, nullptr);
    ASSERT_TRUE(step1->isEnabled());
    step1->click();
    EXPECT_FALSE(step1->isEnabled());
    step1->click();
    QMessageBox* info = alertTitled("Twinslim");
    ASSERT_NE(info, nullptr);
    const QString instructions = info->text() + "\n" + info->informativeText();
    EXPECT_TRUE(instructions.contains("Added 1 to “Twinslim Favs” and 2 to “Twinslim NonFavs”."))
        << instructions.toStdString();
    // Below the steps in Photos, the photolib commands for this library.
    QStringList commands;
    const QString joined = info->informativeText().replace(" \\\n      ", " ");
    for (const QString& line : joined.split('\n'))
        if (line.startsWith("  photolib --library " + libraryPath + " export "))
            commands << line.trimmed();
    EXPECT_EQ(commands.size(), 2) << instructions.toStdString();
    info->buttons().front()->click();
    EXPECT_TRUE(testloop::spinUntil([&] { return !model->showInfoAlert(); }));
    QStringList titles;
    for (const auto& album : photos::PhotoLibrary::shared()->fetchAssetCollections(
             photos::CollectionType::Album, photos::CollectionSubtype::Any))
        titles << album->localizedTitle.value_or(QString());
    EXPECT_EQ(titles.count("Twinslim Favs") + titles.count("Twinslim NonFavs"), 2);

    // Export with the photo library's application, by the commands as given: favourites full
    // size, the rest smaller, into a folder outside the library.
    const QString exported = QDir::homePath() + "/Twinslim Export";
    for (const QString& command : commands)
        photolib(QStringList{"--library", libraryPath, "export"} +
                 QProcess::splitCommand(command.section(" export ", 1)));
    ASSERT_EQ(QDir(exported).entryList(QDir::Files).size(), 3);

    // The backup folder, then Step 2, both through the folder chooser.
    const QString backups = work.filePath("Backups");
    ASSERT_TRUE(QDir().mkpath(backups));
    chooser->answers = {backups, exported};
    QAbstractButton* step2 = gatetest::buttonTitled(&window, "Step 2: Ingest Exported Folder…");
    ASSERT_NE(step2, nullptr);
    QAbstractButton* backupButton = gatetest::buttonTitled(&window, "Backup Folder…");
    ASSERT_NE(backupButton, nullptr);
    backupButton->click();
    ASSERT_TRUE(testloop::spinUntil([&] { return model->backup()->url() == backups; }));
    step2->click();

    // The library asks before it deletes the replaced originals.
    QMessageBox* prompt = gatetest::waitForMessageBox(DeletionPrompt::objectName(), 300000);
    ASSERT_NE(prompt, nullptr);
    EXPECT_EQ(chooser->asked.last().prompt, "Ingest");
    EXPECT_EQ(chooser->asked.last().message,
              "Choose a folder of HEICs or JPEGs exported from the Twinslim export albums.");
    EXPECT_EQ(prompt->text(), "Delete 3 items?");
    // Where they go, and that the two non-favourites' RAW files go with them unsaved.
    EXPECT_EQ(prompt->informativeText(),
              "They move to Recently Deleted, where they are kept for 30 days. 2 RAW files among "
              "them have no backup (only a favourite’s RAW is backed up) and go to Recently "
              "Deleted with the rest.");
    EXPECT_EQ(chooser->asked.front().message,
              "Choose a folder for the backups of replaced pictures: the JPEG of each, and the "
              "RAW of favourites only.");
    QAbstractButton* remove = gatetest::buttonTitled(prompt, "Delete");
    ASSERT_NE(remove, nullptr);
    remove->click();

    // The report.
    QMessageBox* report = alertTitled("Ingest complete");
    ASSERT_NE(report, nullptr);
    const QString summary = report->text() + " " + report->informativeText();
    EXPECT_TRUE(summary.contains("Replaced 3 of 3 matched files.")) << summary.toStdString();
    EXPECT_TRUE(summary.contains("Originals are in Recently Deleted")) << summary.toStdString();
    // The log's path fits on one line of the report and can be copied.
    auto* text = report->findChild<QLabel*>("qt_msgbox_informativelabel");
    ASSERT_TRUE(text && model->ingestReport() && model->ingestReport()->logPath);
    EXPECT_TRUE(text->textInteractionFlags() & Qt::TextSelectableByMouse);
    EXPECT_GE(text->width(),
              text->fontMetrics().horizontalAdvance(*model->ingestReport()->logPath));
    report->buttons().front()->click();
    EXPECT_TRUE(testloop::spinUntil([&] { return !model->showIngestReport(); }));
    ASSERT_TRUE(model->ingestReport().has_value());
    EXPECT_EQ(model->ingestReport()->replaced, 3);

    // The table no longer holds the replaced pairs; nothing stays selected.
    EXPECT_TRUE(
        testloop::spinUntil([&] { return table->model()->rowCount() == rowsBefore - 3; }, 5000));
    for (const PhotoPair& pair : model->pairs())
        EXPECT_FALSE(chosen.contains(pair.id));
    EXPECT_TRUE(model->selectedIDs().isEmpty());

    // The library: originals in Recently Deleted, their backups and the run's log
    // on disk.
    auto library = photos::PhotoLibrary::shared();
    EXPECT_EQ(library->trashedAssets().size(), 3u);
    EXPECT_TRUE(library->fetchAssetsWithLocalIdentifiers(chosen.values()).empty());
    EXPECT_GE(filesUnder(backups),
              3 + 3 + 1); // JPEGs (RAW too for the favourite), sidecars, log
    EXPECT_EQ(QDir(backups + "/Twinslim-logs").entryList(QDir::Files).size(), 1);
    EXPECT_TRUE(library->check().isEmpty()) << library->check().join('\n').toStdString();

    // Help › About Twinslim shows one window however often it is chosen; it goes with the
    // main window.
    QAction* about = window.helpMenu()->actions().value(0);
    ASSERT_NE(about, nullptr);
    about->trigger();
    AboutWindow* shown = AboutWindow::shared();
    ASSERT_NE(shown, nullptr);
    about->trigger();
    EXPECT_EQ(AboutWindow::shared(), shown);
    EXPECT_TRUE(shown->isVisible());
    EXPECT_TRUE(window.close());
    testloop::drain();
    EXPECT_EQ(AboutWindow::shared(), nullptr);
    QDir(exported).removeRecursively();
}
