// File › Restore Originals… on pairs replaced by a real ingest in the window: the list, the
// choice, the run with the library's deletion question over the dialog, and the window's pairs
// after it.
#include "ui/RestoreDialog.h"
#include "GateTestSupport.h"
#include "backup/BackupFolder.h"
#include "backup/OriginalSidecar.h"
#include "core/EventLoop.h"
#include "core/LibraryModel.h"
#include "core/TestLibrary.h"
#include "fixtures/ImageFixtures.h"
#include "support/TestSupport.h"
#include "ui/AccessGate.h"
#include "ui/DeletionPrompt.h"
#include "ui/MainWindow.h"
#include "ui/PairTableModel.h"
#include "ui/ScanView.h"

#include <QAction>
#include <QDirIterator>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <gtest/gtest.h>

using namespace twinslim;
using photos::AuthorizationStatus;

namespace {

const QDateTime now = QDateTime::currentDateTime();

// A pair taken `daysAgo`, its JPEG a real picture.
TestLibrary::NewAsset pairNamed(const QString& stem, bool favourite, int daysAgo) {
    return {{{photos::ResourceType::Photo, "public.jpeg", stem + ".JPG", 0,
              fixtures::makeJpeg(QSize(48, 32))},
             TestLibrary::raw(900, stem + ".CR3")},
            now.addDays(-daysAgo),
            favourite};
}

QMessageBox* deletionPrompt() {
    return gatetest::visibleWindow<QMessageBox>(
        [](QMessageBox* box) { return box->objectName() == DeletionPrompt::objectName(); });
}

// The record of the original named `name`, and its path.
std::pair<OriginalSidecar, QString> recordOf(const QString& root, const QString& name) {
    for (QDirIterator it(root, {"*.json"}, QDir::Files, QDirIterator::Subdirectories);
         it.hasNext();) {
        const QString path = it.next();
        const auto record = OriginalSidecar::decoded(testsupport::readFile(path));
        if (record && record->originalJPEGFilename == name)
            return {*record, path};
    }
    throw std::runtime_error("no record of " + name.toStdString());
}

QString cell(QAbstractItemModel* model, int row, int column, int role = Qt::DisplayRole) {
    return model->index(row, column).data(role).toString();
}

} // namespace

class RestoreDialogTest : public ::testing::Test {
protected:
    // A (favourite), B, C and D replaced by an ingest in the window, their originals then
    // purged from the trash, D's backup lost and C's replacement made a favourite.
    void SetUp() override {
        ids = library.add({pairNamed("A", true, 4), pairNamed("B", false, 3),
                           pairNamed("C", false, 2), pairNamed("D", false, 1)});
        library.addAlbum(LibraryModel::favAlbumTitle(), {ids[0]});
        library.addAlbum(LibraryModel::nonfavAlbumTitle(), ids.mid(1));
        for (const char* stem : {"A", "B", "C", "D"})
            fixtures::makeJpegFile(exports.filePath(QString(stem) + ".jpg"), QSize(32, 32));
        window.show();
        model = window.gate()->scanView()->model();
        ASSERT_TRUE(testloop::spinUntil([&] { return !model->isScanning(); }));
        model->backup()->setUrl(backups.path());
        QCoro::Task<> ingesting = model->ingest(exports.path());
        ASSERT_TRUE(testloop::spinUntil([&] { return deletionPrompt() != nullptr; }));
        gatetest::buttonTitled(deletionPrompt(), "Delete")->click();
        testloop::await(std::move(ingesting));
        ASSERT_EQ(model->ingestReport()->replaced, 4);
        gatetest::waitForMessageBox("ingestReportAlert")->accept();
        library.library().emptyTrash();
        const auto [d, dPath] = recordOf(backups.path(), "D.JPG");
        ASSERT_TRUE(QFile::remove(QFileInfo(dPath).dir().filePath(d.backupJPEGFile)));
        // C's replacement has been marked a favourite since.
        const photos::AssetPtr c =
            library.asset(*recordOf(backups.path(), "C.JPG").first.newAssetID);
        library.library().performChangesAndWait([&](photos::ChangeRequests& changes) {
            changes.changeRequestForAsset(c).favorite = true;
        });
    }
    void TearDown() override {
        if (RestoreDialog* dialog = gatetest::visibleWindow<RestoreDialog>())
            dialog->reject();
    }

    TestLibrary library;
    QTemporaryDir backups, exports;
    QStringList ids;
    MainWindow window{AuthorizationStatus::Authorized};
    LibraryModel* model = nullptr;
};

TEST_F(RestoreDialogTest, ListsThePairsAndRestoresTheCheckedOnesAfterOneQuestion) {
    const QList<QAction*> file = window.menuBar()->actions()[0]->menu()->actions();
    ASSERT_GE(file.size(), 2);
    EXPECT_EQ(file[0]->objectName(), "openLibraryAction");
    EXPECT_EQ(file[1], window.restoreOriginalsAction());
    EXPECT_EQ(file[1]->text(), "&Restore Originals…");
    EXPECT_FALSE(file[1]->shortcut().isEmpty());
    EXPECT_FALSE(file[1]->statusTip().isEmpty());
    file[1]->trigger();
    auto* dialog = gatetest::waitForWindow<RestoreDialog>();
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(testloop::spinUntil([&] { return !dialog->isReading(); }));

    // Oldest first, D greyed with its reason and not to be checked.
    RestoreListModel* list = dialog->listModel();
    ASSERT_EQ(list->rowCount(), 4);
    const QString format = PairTableModel::dateTimeFormat(QLocale());
    for (int row = 0; row < 4; ++row) {
        SCOPED_TRACE(row);
        const QString stem = QString(QChar('A' + row));
        EXPECT_EQ(cell(list, row, RestoreListModel::DateColumn),
                  QLocale().toString(now.addDays(row - 4), format));
        EXPECT_TRUE(cell(list, row, RestoreListModel::NamesColumn).contains(stem + ".JPG"));
        EXPECT_EQ(cell(list, row, RestoreListModel::FavoriteColumn), row % 2 ? "" : "★");
    }
    EXPECT_TRUE(cell(list, 0, RestoreListModel::NamesColumn).contains("A.CR3"));
    EXPECT_TRUE(cell(list, 0, RestoreListModel::NoticeColumn).isEmpty());
    EXPECT_TRUE(cell(list, 1, RestoreListModel::NoticeColumn).contains("B.JPG alone"));
    EXPECT_TRUE(cell(list, 1, RestoreListModel::SourceColumn).contains("backup folder"));
    const QModelIndex lost = list->index(3, RestoreListModel::DateColumn);
    EXPECT_EQ(list->flags(lost), Qt::NoItemFlags);
    EXPECT_FALSE(lost.data(Qt::CheckStateRole).isValid());
    EXPECT_FALSE(list->setData(lost, Qt::Checked, Qt::CheckStateRole));
    EXPECT_EQ(cell(list, 3, RestoreListModel::NoticeColumn), list->pairs()[3].problem);
    EXPECT_FALSE(list->pairs()[3].problem.isEmpty());

    // The button counts the checked pairs; Select None and Select All.
    QPushButton* restore = dialog->restoreButton();
    EXPECT_TRUE(restore->isDefault());
    EXPECT_EQ(restore->text(), "Restore 3 Pairs");
    EXPECT_TRUE(restore->isEnabled());
    dialog->findChild<QPushButton*>("selectNoneButton")->click();
    EXPECT_EQ(restore->text(), "Restore");
    EXPECT_FALSE(restore->isEnabled());
    dialog->findChild<QPushButton*>("selectAllButton")->click();
    EXPECT_EQ(restore->text(), "Restore 3 Pairs");
    ASSERT_TRUE(list->setData(list->index(2, 0), Qt::Unchecked, Qt::CheckStateRole));
    EXPECT_EQ(restore->text(), "Restore 2 Pairs");
    // Space on any cell of a row checks or unchecks it.
    dialog->table()->setCurrentIndex(list->index(1, RestoreListModel::NamesColumn));
    QTest::keyClick(dialog->table(), Qt::Key_Space);
    EXPECT_EQ(restore->text(), "Restore 1 Pair");
    QTest::keyClick(dialog->table(), Qt::Key_Space);
    EXPECT_EQ(restore->text(), "Restore 2 Pairs");
    const auto replacements = [&](int row) { return list->pairs()[size_t(row)].replacement; };
    const QStringList replacedBy{replacements(0)->localIdentifier, replacements(1)->localIdentifier,
                                 replacements(2)->localIdentifier};

    // One question, over the dialog, which stays up and cannot be closed meanwhile.
    restore->click();
    ASSERT_TRUE(testloop::spinUntil([&] { return deletionPrompt() != nullptr; }));
    EXPECT_EQ(deletionPrompt()->parentWidget(), dialog);
    EXPECT_TRUE(dialog->isRestoring());
    dialog->reject();
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_FALSE(restore->isEnabled());
    // Nor can the window close or open another library meanwhile.
    EXPECT_FALSE(window.close());
    EXPECT_FALSE(window.openLibrary(library.path()));
    QMessageBox* busy = gatetest::waitForMessageBox("openLibraryAlert", 5000);
    ASSERT_NE(busy, nullptr);
    busy->reject();
    gatetest::buttonTitled(deletionPrompt(), "Delete")->click();
    ASSERT_TRUE(
        testloop::spinUntil([&] { return !dialog->isRestoring() && !dialog->isReading(); }));

    // A and B are back and their replacements gone; C and D are listed still.
    EXPECT_TRUE(dialog->report().startsWith("Restored 2 pairs."));
    EXPECT_TRUE(dialog->report().contains(backups.path())) << dialog->report().toStdString();
    EXPECT_TRUE(library.library().fetchAssetsWithLocalIdentifiers(replacedBy.mid(0, 2)).empty());
    EXPECT_EQ(library.library().fetchAssetsWithLocalIdentifiers({replacedBy[2]}).size(), 1u);
    ASSERT_EQ(list->rowCount(), 2);
    EXPECT_TRUE(cell(list, 0, RestoreListModel::NamesColumn).contains("C.JPG"));
    EXPECT_EQ(restore->text(), "Restore 1 Pair");
    // The window scans again: A is a pair once more.
    const auto listsA = [&] {
        for (const PhotoPair& pair : model->pairs())
            if (pair.rawFilename == "A.CR3")
                return !model->isScanning();
        return false;
    };
    EXPECT_TRUE(testloop::spinUntil(listsA));
    dialog->reject();
    EXPECT_TRUE(testloop::spinUntil([&] { return !gatetest::visibleWindow<RestoreDialog>(); }));
}

TEST(RestoreDialogMessages, WithoutABackupFolderOrAnythingToRestore) {
    TestLibrary library;
    QTemporaryDir empty;
    BackupFolder unchosen("restoreDialogTestFolder"), chosen("restoreDialogTestFolder");
    chosen.setUrl(empty.path());
    for (BackupFolder* folder : {&unchosen, &chosen}) {
        RestoreDialog dialog(folder);
        ASSERT_TRUE(testloop::spinUntil([&] { return !dialog.isReading(); }));
        EXPECT_TRUE(dialog.message().startsWith(folder == &chosen ? "No replaced pairs to restore."
                                                                  : "No backup folder is chosen."))
            << dialog.message().toStdString();
        EXPECT_FALSE(dialog.restoreButton()->isEnabled());
    }
}
