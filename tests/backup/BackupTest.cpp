#include "backup/BackupFolder.h"
#include "backup/BackupLayout.h"
#include "backup/DurableFile.h"
#include "backup/MarkerAlbum.h"
#include "backup/PairReplacement.h"
#include "core/IsolatedEnvironment.h"
#include "core/LibraryModel.h"
#include "core/TestLibrary.h"
#include "fixtures/DngFixture.h"
#include "ingest/IngestLogger.h"
#include "library/PhotoLibraryOperations.h"
#include "library/ReplacementError.h"
#include "platform/imaging/ImageFormat.h"
#include "support/AwaitTask.h"
#include "support/TestSupport.h"

#include <QDir>
#include <QDirIterator>
#include <QJsonDocument>
#include <QJsonObject>
#include <cerrno>
#include <fcntl.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <stddef.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

using namespace twinslim;
using photos::ResourceType;
using testsupport::awaitTask;
using testsupport::readFile;

// Local time is Berlin's: the month folders depend on it.
TWINSLIM_ISOLATE_ENVIRONMENT();

namespace {

// 2024-06-01 00:30 in Berlin: the month folder is June although it is still May in UTC.
const QDateTime shot(QDate(2024, 5, 31), QTime(22, 30), Qt::UTC);

TestLibrary::Resource jpegOf(QByteArray data, QString name = "IMG_7.JPG") {
    return {ResourceType::Photo, "public.jpeg", std::move(name), 0, std::move(data)};
}
TestLibrary::Resource rawOf(QByteArray data, QString name = "IMG_7.CR3",
                            QString uti = "com.canon.cr3-raw-image") {
    return {ResourceType::AlternatePhoto, std::move(uti), std::move(name), 0, std::move(data)};
}

// Runs `work` in a child process whose system calls run through `filter`, and gives its exit
// status; 255 when the kernel does not filter system calls here.
int withFilter(std::vector<sock_filter> filter, const std::function<int()>& work) {
    const pid_t child = ::fork();
    if (child == 0) {
        sock_fprog program{static_cast<unsigned short>(filter.size()), filter.data()};
        if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0)
            ::_exit(255);
        ::_exit(work());
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 254;
}

// Each of `calls` fails with its error, as on a failing disk or a file system without them.
int withFailingCalls(const std::vector<std::pair<int, int>>& calls,
                     const std::function<int()>& work) {
    std::vector<sock_filter> filter{BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr))};
    for (const auto& [nr, error] : calls) {
        filter.push_back(BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __u32(nr), 0, 1));
        filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | __u32(error)));
    }
    filter.push_back(BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW));
    return withFilter(filter, work);
}

int withFailingFsync(const std::function<int()>& work) {
    return withFailingCalls({{__NR_fsync, EIO}}, work);
}

// Folders cannot be opened, so none can be flushed.
int withUnflushableFolders(const std::function<int()>& work) {
    return withFilter({BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
                       BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_openat, 0, 3),
                       BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, args[2])),
                       BPF_JUMP(BPF_JMP | BPF_JSET | BPF_K, O_DIRECTORY, 0, 1),
                       BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EIO),
                       BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW)},
                      work);
}

} // namespace

class PairReplacementTest : public ::testing::Test {
protected:
    void SetUp() override {
        model.backup()->setUrl(backup.path());
        lib.addAlbum(markerAlbumTitle(), {});
        marker = album(markerAlbumTitle());
    }

    void replace(const QString& id, QByteArray data = "exported picture",
                 uti::UTType type = uti::UTType::heic()) {
        awaitTask(model.replaceOriginal(lib.asset(id), std::move(data), type, marker, logger));
    }
    // The log's messages without their time stamps.
    QStringList messages() const {
        QStringList out;
        for (const QString& line : logger.lines())
            out << line.section("] ", 1);
        return out;
    }
    QString target(bool favourite) const {
        return backup.path() + (favourite ? "/2024-06/FAVS/" : "/2024-06/NONFAVS/");
    }
    QStringList backupFiles(const QString& root) const {
        QStringList files;
        QDirIterator it(root, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            files << it.next().mid(root.size() + 1);
        files.sort();
        return files;
    }
    int itemCount() { return int(lib.library().fetchAssets(photos::MediaType::Image).size()); }
    // The library holds only the originals and the marker album is empty.
    void expectLibraryUntouched(int originals) {
        EXPECT_EQ(itemCount(), originals);
        EXPECT_TRUE(assetsInAlbumTitled(markerAlbumTitle()).empty());
    }

    TestLibrary lib;
    LibraryModel model;
    QTemporaryDir backup;
    photos::CollectionPtr marker;
    IngestLogger logger;
};

TEST_F(PairReplacementTest, BackupPlanFollowsResourcesAndFavouriteFlag) {
    const QByteArray jpegBytes(3000, 'j'), rawBytes(9000, 'r');
    const QByteArray dng = fixtures::makeDng(QSize(96, 64));
    const struct {
        const char* name;
        std::vector<TestLibrary::Resource> resources;
        bool favourite;
        QString jpegBackup; // extension of the JPEG backup; empty: none
        QString rawBackup;  // extension of the RAW backup; empty: none
        const char* originalJpegName;
    } rows[] = {
        {"raw+jpeg fav", {jpegOf(jpegBytes), rawOf(rawBytes)}, true, "JPG", "CR3", "IMG_7.JPG"},
        {"raw+jpeg non-fav", {jpegOf(jpegBytes), rawOf(rawBytes)}, false, "JPG", "", "IMG_7.JPG"},
        {"raw fav", {rawOf(rawBytes)}, true, "", "CR3", "IMG_7.CR3"},
        {"raw non-fav",
         {rawOf(dng, "IMG_7.DNG", "com.adobe.raw-image")},
         false,
         "jpg",
         "",
         "IMG_7.jpg"},
        {"jpeg non-fav", {jpegOf(jpegBytes)}, false, "JPG", "", "IMG_7.JPG"},
    };
    int originals = 0;
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const QString id =
            lib.add({row.resources, shot, row.favourite, false, std::nullopt, -7 * 3600});
        ++originals;
        const QString base = safeID(id);
        const QString shown = (row.favourite ? "2024-06/FAVS/" : "2024-06/NONFAVS/") + base;
        const qsizetype before = logger.lines().size();
        replace(id);

        QStringList expectedLog, expectedFiles{base + ".json"};
        const QString jpegKind = row.jpegBackup == "jpg" ? "rendered-jpeg" : "jpeg";
        for (const auto& [kind, ext] :
             {std::pair{jpegKind, row.jpegBackup}, {"raw", row.rawBackup}})
            if (!ext.isEmpty()) {
                expectedLog << QString("  backup %1 → %2.%3").arg(kind, shown, ext);
                expectedFiles << base + "." + ext;
            }
        const QStringList logged = messages().mid(before);
        ASSERT_EQ(logged.size(), expectedLog.size() + 1);
        EXPECT_EQ(logged.mid(0, expectedLog.size()), expectedLog);
        EXPECT_TRUE(logged.last().startsWith("  replaced with IMG_7.heic (new asset "));

        const QString folder = target(row.favourite);
        expectedFiles.sort();
        EXPECT_EQ(QDir(folder).entryList({base + "*"}, QDir::Files | QDir::Hidden), expectedFiles);
        if (row.jpegBackup == "jpg") {
            EXPECT_EQ(imaging::sniffImageFormat(readFile(folder + base + ".jpg")),
                      imaging::ImageFormat::Jpeg);
        } else if (!row.jpegBackup.isEmpty()) {
            EXPECT_EQ(readFile(folder + base + ".JPG"), jpegBytes);
        }
        if (!row.rawBackup.isEmpty()) {
            EXPECT_EQ(readFile(folder + base + ".CR3"), rawBytes);
        }

        const QString made = logged.last().section("(new asset ", 1).chopped(1);
        EXPECT_EQ(lib.asset(made)->creationOffsetSeconds, -7 * 3600); // shot in California
        const QJsonObject sidecar =
            QJsonDocument::fromJson(readFile(folder + base + ".json")).object();
        EXPECT_EQ(sidecar["newAssetID"].toString(), made);
        EXPECT_EQ(sidecar["captureDate"].toString(), "2024-05-31T22:30:00Z");
        EXPECT_EQ(sidecar["originalJPEGFilename"].toString(), row.originalJpegName);
        EXPECT_EQ(sidecar.contains("originalRAWFilename"),
                  row.resources.back().type == ResourceType::AlternatePhoto);
        EXPECT_EQ(sidecar.contains("backupRAWFile"), !row.rawBackup.isEmpty());
    }
    EXPECT_EQ(itemCount(), 2 * originals); // every original stays beside its replacement
    EXPECT_EQ(assetsInAlbumTitled(markerAlbumTitle()).size(), size_t(originals));
}

TEST_F(PairReplacementTest, ExistingCompleteBackupsAreKeptAndIncompleteOnesRewritten) {
    const QString id =
        lib.add({{jpegOf(QByteArray(400, 'j')), rawOf(QByteArray(900, 'r'))}, shot, true});
    const QString base = target(true) + safeID(id);
    // A library change that fails leaves the backups and nothing else.
    lib.library().faults().failNextChangeWithError = true;
    EXPECT_THROW(replace(id), photos::PhotoLibraryError);
    expectLibraryUntouched(1);
    EXPECT_EQ(readFile(base + ".CR3"), QByteArray(900, 'r'));
    EXPECT_FALSE(QFileInfo::exists(base + ".json"));

    // A same-size file counts as the backup and is not rewritten; an empty one and one of
    // the wrong size (an interrupted copy from an older version) are not backups.
    const struct {
        QByteArray jpeg, raw;
        QByteArray expectedJpeg, expectedRaw;
    } cases[] = {
        {QByteArray(400, 'J'), QByteArray(), QByteArray(400, 'J'), QByteArray(900, 'r')},
        {QByteArray(399, 'j'), QByteArray(901, 'r'), QByteArray(400, 'j'), QByteArray(900, 'r')},
    };
    for (const auto& c : cases) {
        testsupport::writeFile(base + ".JPG", c.jpeg);
        testsupport::writeFile(base + ".CR3", c.raw);
        lib.library().faults().failNextChangeWithoutError = true;
        try {
            replace(id);
            ADD_FAILURE() << "no error";
        } catch (const ReplacementError& e) {
            EXPECT_EQ(e.description(), "The Photos library change failed.");
        }
        EXPECT_EQ(readFile(base + ".JPG"), c.expectedJpeg);
        EXPECT_EQ(readFile(base + ".CR3"), c.expectedRaw);
    }
    replace(id);
    EXPECT_EQ(itemCount(), 2);
    EXPECT_FALSE(backupFiles(backup.path()).join(" ").contains(".partial"));
}

TEST_F(PairReplacementTest, FailuresBeforeTheChangeLeaveTheLibraryUntouched) {
    const QString fav =
        lib.add({{jpegOf(QByteArray(400, 'j')), rawOf(QByteArray(900, 'r'))}, shot, true});
    const QString rawOnly = lib.add(
        {{rawOf(fixtures::makeDng(QSize(64, 48)), "R.DNG", "com.adobe.raw-image")}, shot, false});
    const QString heicOnly =
        lib.add({{{ResourceType::Photo, "public.heic", "IMG_8.HEIC", 500}}, shot, true});
    const struct {
        const char* name;
        std::function<void()> arrange;
        QString id;
        const char* description; // empty: the platform's own
    } rows[] = {
        {"no backup folder", [&] { model.backup()->setUrl(std::nullopt); }, fav,
         "No backup folder selected."},
        {"month folder is a file",
         [&] { testsupport::writeFile(*model.backup()->url() + "/2024-06", "x"); }, fav, ""},
        {"resource write fails", [&] { lib.library().faults().failNextResourceWrite = true; }, fav,
         ""},
        {"neither a RAW nor a JPEG", [] {}, heicOnly, "Could not find the RAW/JPEG resources."},
        {"rendering gives nothing",
         [&] { lib.library().faults().answerNextImageRequestWithNothing = true; }, rawOnly,
         "Could not find the RAW/JPEG resources."},
        {"stored RAW shorter than recorded",
         [&] {
             const auto raw = rawResource(lib.asset(fav));
             QFile(lib.library().storedFilePath(raw)).resize(10);
         },
         fav, "RAW backup could not be verified on disk."},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        QTemporaryDir fresh;
        model.backup()->setUrl(fresh.path());
        row.arrange();
        try {
            replace(row.id);
            ADD_FAILURE() << "no error";
        } catch (const std::exception& e) {
            if (*row.description) {
                EXPECT_EQ(localizedDescription(e), row.description);
            }
        }
        expectLibraryUntouched(3);
        for (const QString& file : backupFiles(fresh.path()))
            EXPECT_FALSE(file.endsWith(".CR3") || file.endsWith(".partial") ||
                         file.endsWith(".json"))
                << file.toStdString();
    }
}

TEST_F(PairReplacementTest, AnUnwritableSidecarDoesNotUndoTheReplacement) {
    const QString id = lib.add({{jpegOf("jpeg")}, shot, false});
    ASSERT_TRUE(QDir().mkpath(target(false) + safeID(id) + ".json/blocked"));
    replace(id);
    EXPECT_EQ(itemCount(), 2);
    EXPECT_EQ(idsOf(assetsInAlbumTitled(markerAlbumTitle())), QStringList{id});
}

// A favourite whose RAW and JPEG names both lack an extension.
TEST_F(PairReplacementTest, NamesWithoutExtensionsGetTwoDistinctBackups) {
    const QString fav =
        lib.add({{jpegOf("the jpeg", "IMG_7"), rawOf("the raw", "IMG_7")}, shot, true});
    replace(fav);
    const QString base = target(true) + safeID(fav);
    EXPECT_EQ(readFile(base), "the jpeg");
    EXPECT_EQ(readFile(base + "_RAW"), "the raw");
    const QJsonObject sidecar = QJsonDocument::fromJson(readFile(base + ".json")).object();
    EXPECT_EQ(sidecar["backupRAWFile"].toString(), safeID(fav) + "_RAW");
}

TEST(BackupLayout, FileNamesKeepTheOriginalExtensionAsSpelled) {
    EXPECT_EQ(safeID("A1B2/L0/001"), "A1B2_L0_001");
    const struct {
        const char* original;
        const char* backup;
    } cases[] = {
        {"IMG_0001.CR3", "A_L0_001.CR3"},  {"img.jpeg", "A_L0_001.jpeg"},
        {"photo.JPG.dng", "A_L0_001.dng"}, {"NOEXT", "A_L0_001"},
        {"trailing.", "A_L0_001"},         {".hidden", "A_L0_001"},
    };
    for (const auto& c : cases) {
        photos::AssetResource resource;
        resource.originalFilename = c.original;
        EXPECT_EQ(backupFileName(resource, "A_L0_001"), c.backup) << c.original;
    }
    EXPECT_EQ(deletingPathExtension("IMG_0001.CR3"), "IMG_0001");
    EXPECT_EQ(deletingPathExtension(".hidden"), ".hidden");
}

TEST(DurableFile, ReplacesWholeFilesAndLeavesTheOldOneOnFailure) {
    QTemporaryDir dir;
    const QString path = dir.filePath("a.json");
    durable::writeFile(path, "first");
    durable::writeFile(path, "second, longer");
    EXPECT_EQ(testsupport::readFile(path), "second, longer");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{"a.json"});

    // A leftover of an interrupted attempt does not get in the way.
    testsupport::writeFile(durable::temporaryPathFor(path), "half");
    durable::writeFile(path, "third");
    EXPECT_EQ(testsupport::readFile(path), "third");

    // A rename that cannot happen (a folder holds the name) leaves no temporary file.
    const QString blocked = dir.filePath("b.json");
    ASSERT_TRUE(QDir().mkpath(blocked + "/inside"));
    EXPECT_THROW(durable::writeFile(blocked, "x"), std::exception);
    EXPECT_FALSE(QFileInfo::exists(durable::temporaryPathFor(blocked)));
    EXPECT_TRUE(QFileInfo(blocked).isDir());

    // A new file whose bytes the disk could not flush never takes its name: a log that looks
    // written could be empty after a power cut.
    const QString fresh = dir.filePath("c.log");
    const int status = withFailingFsync([&] {
        try {
            durable::writeNewFile(fresh, "lost at a power cut");
        } catch (const std::exception&) {
            return 0;
        }
        return 1;
    });
    if (status == 255)
        GTEST_SKIP() << "system calls cannot be filtered here";
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(QFileInfo::exists(fresh));

    // A drive without hard links that refuses a rename that cannot replace (exFAT, vfat):
    // a new file is still written, once, and never over another.
    const QString log = dir.filePath("d.log");
    EXPECT_EQ(withFailingCalls({{__NR_link, EPERM}, {__NR_linkat, EPERM}, {__NR_renameat2, EINVAL}},
                               [&] {
                                   try {
                                       return durable::writeNewFile(log, "one") &&
                                                      !durable::writeNewFile(log, "two")
                                                  ? 0
                                                  : 1;
                                   } catch (const std::exception&) {
                                       return 2;
                                   }
                               }),
              0);
    EXPECT_EQ(testsupport::readFile(log), "one");

    // A folder that cannot be flushed after the rename: the failure is reported, and the path
    // holds the whole new file, no temporary left.
    EXPECT_EQ(withUnflushableFolders([&] {
                  try {
                      durable::writeFile(path, "fourth");
                  } catch (const std::exception&) {
                      return 0;
                  }
                  return 1;
              }),
              0);
    EXPECT_EQ(testsupport::readFile(path), "fourth");
    QStringList left = QDir(dir.path()).entryList(QDir::Files | QDir::Hidden);
    left.sort();
    EXPECT_EQ(left, QStringList({"a.json", "d.log"}));
}
