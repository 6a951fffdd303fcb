#include "ingest/ExportCommands.h"
#include "platform/photos/PhotoLibrary.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace twinslim;

// The suggested export folder is never below a folder library's tree, whose every file is one of
// its pictures: with the home folder inside the tree, it moves to the temporary folder.
TEST(ExportCommands, TheFolderLiesOutsideTheLibraryAndTheCommandsReadBackAsWritten) {
    QTemporaryDir scratch;
    const QString pictures = scratch.filePath("Pictures");
    QDir().mkpath(pictures + "/home");
    const auto library = photos::PhotoLibrary::open(pictures);
    ASSERT_TRUE(library->isFolderLibrary());
    const QByteArray home = qgetenv("HOME");
    qputenv("HOME", scratch.filePath("Elsewhere").toUtf8());
    EXPECT_EQ(suggestedExportFolder(*library), scratch.filePath("Elsewhere/Twinslim Export"));
    qputenv("HOME", (pictures + "/home").toUtf8());
    EXPECT_EQ(suggestedExportFolder(*library), QDir::temp().filePath("Twinslim Export"));
    qputenv("HOME", home);

    // A shell gives back each word as it was.
    for (const QString& word : {QString("/tmp/plain-path_1.x"), QString("Twinslim Favs"),
                                QString("it's $HOME \"quoted\" `x` \\ !")}) {
        QProcess shell;
        shell.start("sh", {"-c", "printf %s " + shellQuoted(word)});
        ASSERT_TRUE(shell.waitForFinished(10000));
        EXPECT_EQ(QString::fromUtf8(shell.readAllStandardOutput()), word);
    }
    EXPECT_EQ(shellQuoted("Twinslim Favs"), "\"Twinslim Favs\"");

    const QStringList both = photolibExportCommands(*library, "/x/Out", true, true);
    ASSERT_EQ(both.size(), 2);
    EXPECT_EQ(both[1], "photolib --library " + shellQuoted(pictures) +
                           " export --album \"Twinslim NonFavs\" --format heic --max-size 3120 "
                           "/x/Out");
    EXPECT_EQ(photolibExportCommands(*library, "/x/Out", false, true), both.mid(1));
}
