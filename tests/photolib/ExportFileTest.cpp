// The exporter's naming and file writing, in-process.
#include "AlbumExporter.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace photolib;

// The name stem of an export is always one usable file name, whatever the original was called.
TEST(ExportNames, StemDropsTheLastExtensionAndIsOneUsableName) {
    const struct {
        QString original;
        QString stem;
    } cases[] = {
        {"IMG_0412.JPG", "IMG_0412"},
        {"photo.JPG.heic", "photo.JPG"},
        {"no extension", "no extension"},
        {".hidden", "hidden"}, // a leading dot starts no extension
        {"trailing.", "trailing"},
        {"Ünïcødé 写真.jpeg", "Ünïcødé 写真"},
        {"../../etc/passwd.jpg", "_.._etc_passwd"},
        {"", "Untitled"},
        {"..", "Untitled"},
        {"...hidden.jpg", "hidden"},
        {"two\nlines\r\t.jpg", "two_lines__"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(exportStem(c.original), c.stem) << c.original.toStdString();
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

TEST(ExportFiles, ALinkOrFolderUnderTheNameIsLeftAlone) {
    QTemporaryDir tmp;
    const QString dir = tmp.path();
    testsupport::writeFile(dir + "/elsewhere/target", "precious");
    ASSERT_TRUE(QFile::link(dir + "/elsewhere/target", dir + "/IMG.heic"));
    ASSERT_TRUE(QFile::link(dir + "/missing", dir + "/IMG (1).heic")); // dangling
    ASSERT_TRUE(QDir().mkpath(dir + "/IMG (2).heic"));
    EXPECT_EQ(writeNewFile(dir, "IMG", "heic", "new"), dir + "/IMG (3).heic");
    EXPECT_EQ(testsupport::readFile(dir + "/elsewhere/target"), "precious");
    EXPECT_FALSE(QFileInfo::exists(dir + "/missing"));
    EXPECT_EQ(QFileInfo(dir + "/IMG (3).heic").permissions() & QFileDevice::ReadOther,
              QFileDevice::ReadOther); // an ordinary file for other programs to read
}
