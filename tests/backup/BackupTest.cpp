#include "backup/BackupFolder.h"
#include "backup/BackupLayout.h"
#include "backup/BackupRecords.h"
#include "backup/DurableFile.h"
#include "backup/MarkerAlbum.h"
#include "backup/OriginalSidecar.h"
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
#include <sys/stat.h>
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

// A file at a backup name stands for the original only with its very bytes; other bytes, even
// of the same size (another library's picture of the same name), are neither taken for the
// backup nor replaced: the original's backups and their record go under the next free name.
TEST_F(PairReplacementTest, ExistingBackupsAreReusedOnlyWithTheSameBytes) {
    const QString id =
        lib.add({{jpegOf(QByteArray(400, 'j')), rawOf(QByteArray(900, 'r'))}, shot, true});
    const QString base = target(true) + safeID(id);
    // A library change that fails leaves the backups and their record.
    lib.library().faults().failNextChangeWithError = true;
    EXPECT_THROW(replace(id), photos::PhotoLibraryError);
    expectLibraryUntouched(1);
    EXPECT_EQ(readFile(base + ".CR3"), QByteArray(900, 'r'));
    EXPECT_EQ(QJsonDocument::fromJson(readFile(base + ".json")).object()["oldAssetID"], id);

    // The same bytes are kept as they are; an empty file is no backup and is rewritten.
    testsupport::writeFile(base + ".JPG", QByteArray());
    struct stat before {};
    ASSERT_EQ(::stat(QFile::encodeName(base + ".CR3").constData(), &before), 0);
    lib.library().faults().failNextChangeWithoutError = true;
    EXPECT_THROW(replace(id), ReplacementError);
    struct stat after {};
    ASSERT_EQ(::stat(QFile::encodeName(base + ".CR3").constData(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(readFile(base + ".JPG"), QByteArray(400, 'j'));

    testsupport::writeFile(base + ".JPG", QByteArray(400, 'J'));
    const qsizetype logged = logger.lines().size();
    replace(id);
    EXPECT_EQ(readFile(base + ".JPG"), QByteArray(400, 'J'));
    const QString other = base + " (2)";
    EXPECT_EQ(readFile(other + ".JPG"), QByteArray(400, 'j'));
    EXPECT_EQ(readFile(other + ".CR3"), QByteArray(900, 'r'));
    const QJsonObject record = QJsonDocument::fromJson(readFile(other + ".json")).object();
    EXPECT_EQ(record["oldAssetID"].toString(), id);
    EXPECT_EQ(record["backupJPEGFile"].toString(), safeID(id) + " (2).JPG");
    EXPECT_EQ(record["backupRAWFile"].toString(), safeID(id) + " (2).CR3");
    EXPECT_EQ(messages().mid(logged, 2),
              QStringList({"  other files hold the backup name 2024-06/FAVS/" + safeID(id) +
                               "; they are kept, and this original's backups are named " +
                               safeID(id) + " (2)",
                           "  backup jpeg → 2024-06/FAVS/" + safeID(id) + " (2).JPG"}));
    EXPECT_EQ(itemCount(), 2);
    for (const QString& file : backupFiles(backup.path()))
        EXPECT_FALSE(QFileInfo(file).fileName().startsWith('.')) << file.toStdString();
}

// Only what a replacement backed up counts as backed up: a record naming the item, beside the
// files it lists, not empty and as long as the item's own files.
TEST_F(PairReplacementTest, OnlyItemsWithAStandingBackupRecordCountAsBackedUp) {
    const auto pair = [&](bool favourite) {
        return lib.add(
            {{jpegOf(QByteArray(400, 'j')), rawOf(QByteArray(900, 'r'))}, shot, favourite});
    };
    const QString favourite = pair(true), other = pair(false), missing = pair(false),
                  wrongSize = pair(false), byHand = pair(false);
    replace(favourite);
    replace(other);
    const QString folder = target(false);
    const auto record = [&](const QString& id, const QString& jpeg) {
        testsupport::writeFile(
            folder + safeID(id) + ".json",
            QString(R"({"oldAssetID" : "%1", "backupJPEGFile" : "%2"})").arg(id, jpeg).toUtf8());
    };
    record(missing, "gone.JPG");
    record(wrongSize, "short.JPG");
    // A RAW alone backs up a rendered JPEG, which has no size of its own to compare.
    const QString rawOnly = lib.add({{rawOf(QByteArray(900, 'r'))}, shot, false});
    record(rawOnly, "rendered.JPG");
    testsupport::writeFile(folder + "short.JPG", QByteArray(399, 'j'));
    // Another item's record at a name stands in the way as much as its files.
    const QString late = pair(false);
    record(late, safeID(late) + ".JPG");
    testsupport::writeFile(folder + safeID(late) + ".json",
                           readFile(folder + safeID(late) + ".json").replace(late.toUtf8(), "x"));
    replace(late);
    EXPECT_TRUE(QFileInfo::exists(folder + safeID(late) + " (2).JPG"));

    std::vector<photos::AssetPtr> all;
    for (const QString& id : {favourite, other, missing, wrongSize, byHand, late, rawOnly})
        all.push_back(lib.asset(id));
    const QHash<QString, bool> expected{{favourite, true}, {other, false}, {late, false}};
    EXPECT_EQ(originalsWithBackup(backup.path(), all), expected);
}

// A sidecar another program changed in place since an earlier attempt (a rating 3 → 5, same
// length) is backed up as it is now, not taken for its older backup.
TEST_F(PairReplacementTest, ASidecarChangedSinceAnEarlierAttemptIsBackedUpAsItIsNow) {
    const QString id = lib.add(
        {{jpegOf("jpeg"),
          rawOf("raw"),
          {ResourceType::AdjustmentData, "com.adobe.xmp", "IMG_7.CR3.xmp", 0, "xmp:Rating=3"}},
         shot,
         true});
    lib.library().faults().failNextChangeWithError = true;
    EXPECT_THROW(replace(id), photos::PhotoLibraryError);
    for (const photos::ResourcePtr& r : lib.library().assetResources(lib.asset(id)))
        if (r->type == ResourceType::AdjustmentData) {
            const QString stored = lib.library().storedFilePath(r);
            QFile::setPermissions(stored, QFile::ReadOwner | QFile::WriteOwner);
            testsupport::writeFile(stored, "xmp:Rating=5");
        }
    replace(id);
    const QString base = target(true) + safeID(id);
    EXPECT_EQ(readFile(base + ".CR3.xmp"), "xmp:Rating=3");
    EXPECT_EQ(readFile(base + " (2).CR3.xmp"), "xmp:Rating=5");
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

// A record reads back as it was written, sizes and restore time included; keys it does not
// know are ignored; what is no record reads as none.
TEST(OriginalSidecarTest, ReadsBackWhatItWritesAndIgnoresUnknownKeys) {
    OriginalSidecar record;
    record.oldAssetID = "A/L0/001";
    record.newAssetID = QString();
    record.captureDate = QDateTime(QDate(2024, 6, 1), QTime(8, 0, 5), Qt::UTC);
    record.favorite = true;
    record.originalJPEGFilename = "IMG_1.JPG";
    record.originalRAWFilename = "IMG_1.CR3";
    record.backupJPEGFile = "A_L0_001.JPG";
    record.backupRAWFile = "A_L0_001.CR3";
    record.outputFormat = "heic";
    record.backupSidecarFiles = {"A_L0_001.CR3.xmp"};
    record.backupFileSizes = {{"A_L0_001.JPG", 12}, {"A_L0_001.CR3", 34}};
    record.renderedJPEG = true;
    record.restoredAt = QDateTime(QDate(2026, 12, 8), QTime(9, 0), Qt::UTC);
    EXPECT_EQ(OriginalSidecar::decoded(record.encoded()), record);
    QByteArray extended = record.encoded();
    extended.replace("\"favorite\"", "\"laterKey\" : [1, 2],\n  \"favorite\"");
    EXPECT_EQ(OriginalSidecar::decoded(extended), record);
    EXPECT_EQ(OriginalSidecar::decoded("[]"), std::nullopt);
    EXPECT_EQ(OriginalSidecar::decoded(R"({"oldAssetID" : ""})"), std::nullopt);
    EXPECT_EQ(OriginalSidecar::decoded("{\"oldAssetID\" : \"A"), std::nullopt);
}

// A favourite whose RAW and JPEG names both lack an extension; a RAW-only item's rendered JPEG.
TEST_F(PairReplacementTest, NamesWithoutExtensionsGetTwoDistinctBackupsAndARenderedOneIsKept) {
    const QString fav =
        lib.add({{jpegOf("the jpeg", "IMG_7"), rawOf("the raw", "IMG_7")}, shot, true});
    replace(fav);
    const QString base = target(true) + safeID(fav);
    EXPECT_EQ(readFile(base), "the jpeg");
    EXPECT_EQ(readFile(base + "_RAW"), "the raw");
    const QByteArray text = readFile(base + ".json");
    const QJsonObject sidecar = QJsonDocument::fromJson(text).object();
    EXPECT_EQ(sidecar["backupRAWFile"].toString(), safeID(fav) + "_RAW");
    // Slashes escaped, as the common JSON encoders write them.
    ASSERT_TRUE(fav.contains('/'));
    EXPECT_TRUE(text.contains("\"oldAssetID\" : \"" + QString(fav).replace("/", "\\/").toUtf8()))
        << text.toStdString();

    // A rendered JPEG is made at quality 0.9 and, once complete on disk, reused as it is.
    const QString rawOnly = lib.add(
        {{rawOf(fixtures::makeDng(QSize(64, 48)), "R.DNG", "com.adobe.raw-image")}, shot, false});
    const QString rendered = target(false) + safeID(rawOnly) + ".jpg";
    lib.library().faults().failNextChangeWithError = true;
    EXPECT_THROW(replace(rawOnly), photos::PhotoLibraryError);
    const QByteArray jpeg = readFile(rendered);
    const qsizetype dqt = jpeg.indexOf("\xff\xdb");
    ASSERT_GE(dqt, 0);
    // The first luminance entry of the standard table (16) scaled for quality 90 is 3.
    EXPECT_EQ(int(uchar(jpeg[dqt + 5])), 3);
    const auto inode = [&] {
        struct stat st {};
        return ::stat(QFile::encodeName(rendered).constData(), &st) == 0 ? st.st_ino : 0;
    };
    const ino_t before = inode();
    replace(rawOnly);
    EXPECT_EQ(inode(), before);
    EXPECT_EQ(readFile(rendered), jpeg);
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
