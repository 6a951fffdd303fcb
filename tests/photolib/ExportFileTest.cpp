// The exporter's naming and file writing, in-process.
#include "AlbumExporter.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <unistd.h>

using namespace photolib;

namespace {

photos::ResourcePtr resource(photos::ResourceType type, const QString& name) {
    auto r = std::make_shared<photos::AssetResource>();
    r->type = type;
    r->originalFilename = name;
    return r;
}

} // namespace

TEST(ExportNames, StemDropsOnlyTheLastExtension) {
    EXPECT_EQ(exportStem("IMG_0412.JPG"), "IMG_0412");
    EXPECT_EQ(exportStem("photo.JPG.heic"), "photo.JPG");
    EXPECT_EQ(exportStem("IMG_0412 (1).CR3"), "IMG_0412 (1)");
    EXPECT_EQ(exportStem("no extension"), "no extension");
    EXPECT_EQ(exportStem(".hidden"), "hidden"); // a leading dot starts no extension
    EXPECT_EQ(exportStem("trailing."), "trailing");
    EXPECT_EQ(exportStem("Ünïcødé 写真.jpeg"), "Ünïcødé 写真");
}

TEST(ExportNames, StemIsAlwaysOneUsableName) {
    EXPECT_EQ(exportStem("../../etc/passwd.jpg"), "_.._etc_passwd");
    EXPECT_EQ(exportStem("a/b.jpg"), "a_b");
    EXPECT_EQ(exportStem(""), "Untitled");
    EXPECT_EQ(exportStem(".jpg"), "jpg");
    EXPECT_EQ(exportStem(".."), "Untitled");
    EXPECT_EQ(exportStem("...hidden.jpg"), "hidden");
    EXPECT_EQ(exportStem("two\nlines\r\t.jpg"), "two_lines__");
}

TEST(ExportNames, LongNamesAreShortenedToFitTheFileSystem) {
    const QString emoji = QString::fromUtf8("\xF0\x9F\x98\x80"); // 4 bytes, two UTF-16 units
    for (const QString& stem : {QString(300, 'a'), QString(200, QChar(0x5199)), emoji.repeated(80),
                                "a" + emoji.repeated(80)})
        for (int n : {0, 7, 1234}) {
            const QString name = numberedName(stem, n, "heic");
            const QByteArray bytes = QFile::encodeName(name);
            EXPECT_LE(bytes.size(), 255);
            EXPECT_GE(bytes.size(), 250);              // only what had to go
            EXPECT_EQ(QString::fromUtf8(bytes), name); // no character cut in half
            EXPECT_TRUE(name.endsWith(n ? QString(" (%1).heic").arg(n) : ".heic"));
            EXPECT_TRUE(stem.startsWith(name.left(name.lastIndexOf(n ? " (" : "."))));
        }
    EXPECT_EQ(numberedName(QString(251, 'a'), 0, "heic"), QString(250, 'a') + ".heic");
}

TEST(ExportNames, NumberedCopiesGoBeforeTheExtension) {
    EXPECT_EQ(numberedName("IMG_1", 0, "heic"), "IMG_1.heic");
    EXPECT_EQ(numberedName("IMG_1", 1, "heic"), "IMG_1 (1).heic");
    EXPECT_EQ(numberedName("IMG_1", 12, "jpeg"), "IMG_1 (12).jpeg");
    EXPECT_EQ(formatExtension(ExportFormat::Heic), "heic");
    EXPECT_EQ(formatExtension(ExportFormat::Jpeg), "jpeg");
}

TEST(ExportNames, PrimaryNameIsThePhotoResourceElseTheFirst) {
    photos::Asset pair;
    pair.resources = {resource(photos::ResourceType::AlternatePhoto, "IMG_1.CR3"),
                      resource(photos::ResourceType::Photo, "IMG_1.JPG"),
                      resource(photos::ResourceType::FullSizePhoto, "FullSizeRender.jpg")};
    EXPECT_EQ(primaryFilename(pair), "IMG_1.JPG");
    photos::Asset noPhoto;
    noPhoto.resources = {resource(photos::ResourceType::FullSizePhoto, "FullSizeRender.jpg"),
                         resource(photos::ResourceType::AlternatePhoto, "IMG_2.CR3")};
    EXPECT_EQ(primaryFilename(noPhoto), "FullSizeRender.jpg");
    EXPECT_EQ(primaryFilename(photos::Asset{}), "");
}

TEST(ExportExif, UndatedAndOutOfRangePlacesLeaveTagsOut) {
    photos::Asset a;
    a.location = photos::Location{123.0, 10.0}; // not a place on earth
    const imaging::ExifFields f = exportExifFields(a, {300, 200});
    EXPECT_FALSE(f.dateTimeOriginal);
    EXPECT_FALSE(f.offsetTimeOriginal);
    EXPECT_FALSE(f.latitude);
    EXPECT_EQ(f.orientation, 1);
    EXPECT_EQ(f.pixelWidth, 300);
    EXPECT_EQ(f.pixelHeight, 200);
    a.location = photos::Location{-90.0, 180.0};
    EXPECT_EQ(exportExifFields(a, {1, 1}).latitude, -90.0);
}

class ExportFiles : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(tmp.isValid()); }
    QString dir() const { return tmp.path(); }
    QTemporaryDir tmp;
};

TEST_F(ExportFiles, NeverReplacesAFileAndCountsUpToTheFirstFreeName) {
    testsupport::writeFile(dir() + "/IMG.heic", "old");
    testsupport::writeFile(dir() + "/IMG (1).heic", "old 1");
    testsupport::writeFile(dir() + "/IMG (3).heic", "old 3");
    EXPECT_EQ(writeNewFile(dir(), "IMG", "heic", "new A"), dir() + "/IMG (2).heic");
    EXPECT_EQ(writeNewFile(dir(), "IMG", "heic", "new B"), dir() + "/IMG (4).heic");
    EXPECT_EQ(writeNewFile(dir(), "IMG", "jpeg", "new C"), dir() + "/IMG.jpeg");
    EXPECT_EQ(testsupport::readFile(dir() + "/IMG.heic"), "old");
    EXPECT_EQ(testsupport::readFile(dir() + "/IMG (1).heic"), "old 1");
    EXPECT_EQ(testsupport::readFile(dir() + "/IMG (3).heic"), "old 3");
    EXPECT_EQ(testsupport::readFile(dir() + "/IMG (2).heic"), "new A");
    EXPECT_EQ(testsupport::readFile(dir() + "/IMG (4).heic"), "new B");
    // Nothing else is left in the folder: no temporary files.
    EXPECT_EQ(QDir(dir()).entryList(QDir::Files | QDir::Hidden).size(), 6);
}

TEST_F(ExportFiles, ALongNameIsShortenedNotAnError) {
    const QString path = writeNewFile(dir(), QString(300, 'x'), "heic", "new");
    EXPECT_EQ(path, dir() + "/" + QString(250, 'x') + ".heic");
    EXPECT_EQ(writeNewFile(dir(), QString(300, 'x'), "heic", "again"),
              dir() + "/" + QString(246, 'x') + " (1).heic");
    EXPECT_EQ(testsupport::readFile(path), "new");
}

TEST_F(ExportFiles, ALinkOrFolderUnderTheNameIsLeftAlone) {
    testsupport::writeFile(dir() + "/elsewhere/target", "precious");
    ASSERT_TRUE(QFile::link(dir() + "/elsewhere/target", dir() + "/IMG.heic"));
    ASSERT_TRUE(QFile::link(dir() + "/missing", dir() + "/IMG (1).heic")); // dangling
    ASSERT_TRUE(QDir().mkpath(dir() + "/IMG (2).heic"));
    EXPECT_EQ(writeNewFile(dir(), "IMG", "heic", "new"), dir() + "/IMG (3).heic");
    EXPECT_EQ(testsupport::readFile(dir() + "/elsewhere/target"), "precious");
    EXPECT_FALSE(QFileInfo::exists(dir() + "/missing"));
    EXPECT_EQ(QFileInfo(dir() + "/IMG (3).heic").permissions() & QFileDevice::ReadOther,
              QFileDevice::ReadOther); // an ordinary file for other programs to read
}

TEST_F(ExportFiles, AnUnwritableFolderIsAnError) {
    EXPECT_THROW(writeNewFile(dir() + "/no such folder", "IMG", "heic", "x"), ExportError);
    if (::geteuid() == 0)
        GTEST_SKIP() << "permissions do not stop root";
    QFile::setPermissions(dir(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    EXPECT_THROW(writeNewFile(dir(), "IMG", "heic", "x"), ExportError);
    QFile::setPermissions(dir(),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

TEST_F(ExportFiles, FolderIsMadeOnlyWhenItsParentExists) {
    EXPECT_EQ(prepareExportFolder(dir() + "/new"), dir() + "/new");
    EXPECT_TRUE(QFileInfo(dir() + "/new").isDir());
    EXPECT_EQ(prepareExportFolder(dir() + "/new"), dir() + "/new"); // existing: fine
    EXPECT_THROW(prepareExportFolder(dir() + "/x/y"), ExportError);
    EXPECT_FALSE(QFileInfo::exists(dir() + "/x"));
    testsupport::writeFile(dir() + "/file", "");
    EXPECT_THROW(prepareExportFolder(dir() + "/file"), ExportError);
}
