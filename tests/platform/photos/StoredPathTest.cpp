#include "LibraryFixture.h"

#include "core/CatalogRows.h"
#include "fixtures/ImageFixtures.h"
#include "platform/photos/ResourceFiles.h"

#include <QFile>
#include <unistd.h>

using namespace photos;

namespace {

QString lineWith(const QStringList& lines, const QString& a, const QString& b) {
    for (const QString& l : lines)
        if (l.contains(a) && l.contains(b))
            return l;
    return {};
}

} // namespace

using StoredPathTest = LibraryFixture;

TEST(StoredPathShape, OnlyWhatTheLibraryWritesIsAccepted) {
    ResourceFiles files("/lib");
    const QString id = "0A1B2C3D-4E5F-6789-ABCD-EF0123456789/L0/001";
    EXPECT_TRUE(ResourceFiles::isValidStoredPath(files.newStoredPath(id, 3, "x.JPG")));
    EXPECT_TRUE(ResourceFiles::isValidStoredPath(files.newStoredPath(id, 0, "noext")));
    for (const char* bad : {"", "resources/0A/../../x", "../x", "/etc/passwd", "resources/0A/a.jpg",
                            "resources/0B/0A1B2C3D-4E5F-6789-ABCD-EF0123456789_0.jpg",
                            "resources/0A/0A1B2C3D-4E5F-6789-ABCD-EF0123456789_0.jpg/..",
                            "resources/0A/0A1B2C3D-4E5F-6789-ABCD-EF0123456789_0.jp/g",
                            "resources//0A1B2C3D-4E5F-6789-ABCD-EF0123456789_0.jpg",
                            "resources/0A/0A1B2C3D-4E5F-6789-ABCD-EF0123456789.jpg",
                            "resources/0A/0A1B2C3D-4E5F-6789-ABCD-EF0123456789_.jpg"})
        EXPECT_FALSE(ResourceFiles::isValidStoredPath(bad)) << bad;
}

// A damaged or crafted catalogue leads the library's readers and removals out of its folder:
// by "..", by a link in place of a stored file, or by a linked folder under resources/.
TEST_F(StoredPathTest, FilesOutsideTheLibraryAreNeitherReadNorRemoved) {
    enum Escape { DotDot, FileLink, FolderLink };
    for (Escape escape : {DotDot, FileLink, FolderLink}) {
        SCOPED_TRACE(int(escape));
        const QString outside = tmp.path() + QString("/outside%1").arg(escape);
        lib = PhotoLibrary::create(tmp.path() + QString("/L%1.photolibrary").arg(escape));
        const QString root = lib->path();
        const QString id = add({});
        QString stored = asset(id)->resources[0]->storedPath;
        const QString folder = stored.section('/', 0, 1);
        QString victim = outside + "/victim.jpg";
        if (escape == FolderLink)
            victim = outside + "/" + stored.section('/', 2);
        const QByteArray picture = fixtures::makeJpeg({64, 64});
        testsupport::writeFile(victim, picture);
        if (escape == DotDot) {
            const QString crafted =
                "resources/../../" + QFileInfo(outside).fileName() + "/victim.jpg";
            catalog::exec(root, QString("UPDATE resources SET stored_path = '%1'").arg(crafted));
            stored = crafted;
        } else if (escape == FileLink) {
            QFile::remove(root + "/" + stored);
            ASSERT_EQ(symlink(victim.toUtf8(), (root + "/" + stored).toUtf8()), 0);
        } else {
            QDir(root + "/" + folder).removeRecursively();
            ASSERT_EQ(symlink(outside.toUtf8(), (root + "/" + folder).toUtf8()), 0);
        }

        const AssetPtr a = asset(id);
        EXPECT_TRUE(lib->storedFilePath(a->resources[0]).isEmpty());
        ImageManager manager(lib);
        EXPECT_TRUE(
            request(manager, a, {64, 64}, ImageContentMode::AspectFit, {}).back().image.isNull());
        const QString out = tmp.path() + QString("/out%1.jpg").arg(escape);
        EXPECT_TRUE(writeOut(a->resources[0], out).has_value());
        EXPECT_FALSE(QFile::exists(out));
        EXPECT_FALSE(lineWith(lib->check(), stored, "not a file of the library").isEmpty())
            << lib->check().join("\n").toStdString();

        lib->performChangesAndWait([&](ChangeRequests& c) { c.deleteAssets({a}); });
        EXPECT_EQ(lib->emptyTrash(), 1);
        EXPECT_EQ(testsupport::readFile(victim), picture);
    }
}

TEST_F(StoredPathTest, RecoveryRemovesNothingOutsideTheLibrary) {
    const QString victim = tmp.path() + "/victim.jpg";
    testsupport::writeFile(victim, "precious");
    const QString linked = "resources/0A/0A1B2C3D-4E5F-6789-ABCD-EF0123456789_0.jpg";
    QDir().mkpath(tmp.path() + "/0A");
    testsupport::writeFile(tmp.path() + "/0A/" + linked.section('/', 2), "precious");
    ASSERT_EQ(symlink((tmp.path() + "/0A").toUtf8(), (path + "/resources/0A").toUtf8()), 0);
    const QStringList rows = {"../victim.jpg", "resources/../../victim.jpg", victim, linked};
    for (const QString& row : rows)
        catalog::exec(path, QString("INSERT INTO pending_files VALUES ('%1', 'gone', 1)").arg(row));
    reopen();

    EXPECT_EQ(testsupport::readFile(victim), "precious");
    EXPECT_EQ(testsupport::readFile(tmp.path() + "/0A/" + linked.section('/', 2)), "precious");
    const QStringList problems = lib->check();
    for (const QString& row : rows)
        EXPECT_FALSE(lineWith(problems, row, "not a file of the library").isEmpty())
            << row.toStdString() << "\n"
            << problems.join("\n").toStdString();
}
