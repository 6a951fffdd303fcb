// The desktop's trash as file managers read it: the .trashinfo's text, names that are taken,
// and files that never go over another.
#include "platform/photos/shared/FreedesktopTrash.h"
#include "platform/photos/PhotoLibraryError.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QTemporaryDir>
#include <ctime>
#include <gtest/gtest.h>

using namespace photos;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

class FreedesktopTrashTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        qputenv("XDG_DATA_HOME", QFile::encodeName(tmp.path() + "/data"));
        // A zone with minutes, so that neither UTC nor a whole-hour mistake passes.
        zone = qgetenv("TZ");
        qputenv("TZ", "Asia/Kolkata");
        tzset();
        trash = tmp.path() + "/data/Trash";
        QDir().mkpath(tmp.path() + "/a");
        QDir().mkpath(tmp.path() + "/b");
    }
    void TearDown() override {
        qunsetenv("XDG_DATA_HOME");
        zone.isNull() ? qunsetenv("TZ") : qputenv("TZ", zone);
        tzset();
    }
    QString file(const QString& relative, const QByteArray& content) {
        const QString path = tmp.path() + "/" + relative;
        writeFile(path, content);
        return path;
    }

    QTemporaryDir tmp;
    QByteArray zone;
    QString trash;
};

} // namespace

TEST_F(FreedesktopTrashTest, InfoHoldsTheEncodedPathAndLocalTimeAndNamesNeverCollide) {
    const QDateTime when(QDate(2024, 6, 1), QTime(8, 0, 30), Qt::UTC);
    const QString odd = file("a/Café 100%.JPG", "odd");
    const TrashEntry entry = FreedesktopTrash::moveToTrash(odd, when);
    EXPECT_EQ(entry.name, "Café 100%.JPG");
    EXPECT_EQ(entry.trashFolder, trash);
    EXPECT_EQ(readFile(trash + "/info/Café 100%.JPG.trashinfo"),
              "[Trash Info]\nPath=" + QFile::encodeName(tmp.path()).toPercentEncoding("/") +
                  "/a/Caf%C3%A9%20100%25.JPG\nDeletionDate=2024-06-01T13:30:30\n");
    EXPECT_EQ(readFile(trash + "/files/Café 100%.JPG"), "odd");

    // A second file of a name the trash holds, and a file there without its .trashinfo (one
    // another program left), each get a name of their own; nothing is replaced.
    FreedesktopTrash::moveToTrash(file("a/IMG_1.JPG", "first"), when);
    const TrashEntry second = FreedesktopTrash::moveToTrash(file("b/IMG_1.JPG", "second"), when);
    EXPECT_EQ(second.name, "IMG_1.2.JPG");
    writeFile(trash + "/files/IMG_2.JPG", "stray");
    const TrashEntry third = FreedesktopTrash::moveToTrash(file("a/IMG_2.JPG", "third"), when);
    EXPECT_EQ(third.name, "IMG_2.2.JPG");
    EXPECT_EQ(readFile(trash + "/files/IMG_1.JPG"), "first");
    EXPECT_EQ(readFile(trash + "/files/IMG_1.2.JPG"), "second");
    EXPECT_EQ(readFile(trash + "/files/IMG_2.JPG"), "stray");
    EXPECT_EQ(readFile(trash + "/files/IMG_2.2.JPG"), "third");
    EXPECT_FALSE(QFile::exists(trash + "/info/IMG_2.JPG.trashinfo"));

    // Erased for good: the file and its .trashinfo both go.
    FreedesktopTrash::erase(second);
    EXPECT_FALSE(FreedesktopTrash::contains(second));
    EXPECT_FALSE(QFile::exists(trash + "/info/IMG_1.2.JPG.trashinfo"));
}

TEST_F(FreedesktopTrashTest, APutBackNeverReplacesAFileThatTookThePlace) {
    const QString path = file("a/IMG_1.JPG", "original");
    const TrashEntry entry = FreedesktopTrash::moveToTrash(path, QDateTime::currentDateTimeUtc());
    writeFile(path, "newer");
    EXPECT_THROW(FreedesktopTrash::restore(entry), PhotoLibraryError);
    EXPECT_EQ(readFile(path), "newer");
    EXPECT_TRUE(FreedesktopTrash::contains(entry));
    EXPECT_TRUE(QFile::exists(trash + "/info/IMG_1.JPG.trashinfo"));

    QFile::remove(path);
    FreedesktopTrash::restore(entry);
    EXPECT_EQ(readFile(path), "original");
    EXPECT_FALSE(QFile::exists(trash + "/info/IMG_1.JPG.trashinfo"));
}
