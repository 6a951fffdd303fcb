// A folder of camera files as a library: what it reads from the tree and its sidecars, and
// what a change leaves on disk, in the trash and in the sidecars.
#include "../shared/SqlRows.h"
#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "platform/imaging/XmpSidecar.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/folder/FolderStore.h"
#include "platform/photos/shared/DurableWrites.h"
#include "platform/photos/shared/FreedesktopTrash.h"
#include "platform/photos/shared/SqliteDatabase.h"
#include "support/ExfatDrive.h"
#include "support/TestSupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QUuid>
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using namespace photos;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

QByteArray sidecar(int rating, const QStringList& subjects, const QStringList& hierarchy,
                   const QByteArray& extra = {}) {
    QByteArray bag, hier;
    for (const QString& s : subjects)
        bag += "<rdf:li>" + s.toUtf8() + "</rdf:li>";
    for (const QString& h : hierarchy)
        hier += "<rdf:li>" + h.toUtf8() + "</rdf:li>";
    return "<?xml version=\"1.0\"?>\n<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
           "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
           "rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" "
           "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" "
           "xmlns:lr=\"http://ns.adobe.com/lightroom/1.0/\" "
           "xmlns:darktable=\"http://darktable.sf.net/\" xmp:Rating=\"" +
           QByteArray::number(rating) + "\" xmp:Label=\"Red\" darktable:history_end=\"3\">" +
           extra + "<dc:subject><rdf:Bag>" + bag +
           "</rdf:Bag></dc:subject><lr:hierarchicalSubject><rdf:Bag>" + hier +
           "</rdf:Bag></lr:hierarchicalSubject></rdf:Description></rdf:RDF></x:xmpmeta>\n";
}

// Name → content digest of every file below `root`, hidden ones included, links as links.
std::map<QString, QByteArray> treeOf(const QString& root) {
    std::map<QString, QByteArray> files;
    QDirIterator it(root, QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.contains("/.photolib/"))
            continue;
        const QFileInfo info(path);
        files[QDir(root).relativeFilePath(path)] =
            info.isSymLink() ? info.symLinkTarget().toUtf8()
                             : QCryptographicHash::hash(readFile(path), QCryptographicHash::Sha1);
    }
    return files;
}

class FolderLibrary : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(tmp.isValid());
        root = tmp.path() + "/Pictures";
        // The desktop's trash of this test, where trash-cli looks too.
        qputenv("XDG_DATA_HOME", QFile::encodeName(tmp.path() + "/data"));
        // A camera's JPEG and its RAW of one moment.
        jpeg = tmp.path() + "/camera.jpg";
        imaging::ExifFields exif;
        exif.dateTimeOriginal = "2024:06:01 10:00:00";
        exif.offsetTimeOriginal = "+02:00";
        fixtures::makeJpegFile(jpeg, {64, 48}, exif);
        QDir().mkpath(root + "/2024/06");
        QDir().mkpath(root + "/.hidden");
        QDir().mkpath(tmp.path() + "/outside");
        QFile::copy(jpeg, root + "/2024/06/IMG_1.JPG");
        writeFile(root + "/2024/06/IMG_1.DNG",
                  fixtures::makeDng({64, 48}, "2024:06:01 10:00:00", "+02:00"));
        writeFile(root + "/2024/06/IMG_1.DNG.xmp",
                  sidecar(5, {"Holiday", "Places", "France", "dng"},
                          {"Places|France|Lyon", "darktable|format|dng"},
                          "<darktable:history><rdf:Seq><rdf:li darktable:operation=\"exposure\"/>"
                          "</rdf:Seq></darktable:history>"));
        QFile::copy(jpeg, root + "/2024/06/IMG_2.JPG");
        QFile::copy(jpeg, root + "/.hidden/IMG_3.JPG");
        QFile::copy(jpeg, tmp.path() + "/outside/IMG_4.JPG");
        QFile::link(tmp.path() + "/outside", root + "/elsewhere");
        QFile::link(root, root + "/2024/loop");
        // A name in another encoding than UTF-8 (Latin-1 "é"), as old cameras and disks have.
        const QByteArray latin1 = QFile::encodeName(root) + "/caf\xe9.JPG";
        const int fd = ::open(latin1.constData(), O_WRONLY | O_CREAT | O_EXCL, 0644);
        ASSERT_GE(fd, 0);
        ::close(fd);
    }
    void TearDown() override {
        qunsetenv("XDG_DATA_HOME");
        // Qt cannot name the Latin-1 file to remove it.
        ::unlink((QFile::encodeName(root) + "/caf\xe9.JPG").constData());
        // The samples come read-only; the temporary folder must be able to go.
        QDirIterator it(tmp.path(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
        while (it.hasNext())
            QFile(it.next()).setPermissions(QFile::ReadOwner | QFile::WriteOwner);
    }

    AssetPtr named(PhotoLibrary& lib, const QString& name) {
        for (const AssetPtr& a : lib.fetchAssets(MediaType::Image))
            if (a->resources.front()->originalFilename == name)
                return a;
        return nullptr;
    }
    std::optional<imaging::XmpSidecarData> sidecarAt(const QString& relative) {
        return imaging::parseXmpSidecar(readFile(root + "/" + relative));
    }

    // The temporaries changes write their files under, wherever they were left.
    QStringList temporaries() const {
        QStringList found;
        QDirIterator it(root, {".photolib-*"}, QDir::Files | QDir::Hidden,
                        QDirIterator::Subdirectories);
        while (it.hasNext())
            found << it.next();
        return found;
    }

    QTemporaryDir tmp;
    QString root, jpeg;
};

// A file system that cannot refuse to replace (exFAT, vfat, network shares), for one test.
struct NoReplaceRefused {
    NoReplaceRefused() { refuseNoReplaceRename = true; }
    ~NoReplaceRefused() { refuseNoReplaceRename = false; }
};

TEST_F(FolderLibrary, ReadsItemsFavouritesAndKeywordAlbumsFromTheTree) {
    auto lib = PhotoLibrary::open(root);
    ASSERT_TRUE(lib->isFolderLibrary());
    const auto assets = lib->fetchAssets(MediaType::Image);
    // Hidden folders, links out of the tree, a link loop and a name that is no UTF-8 are left out.
    ASSERT_EQ(assets.size(), 2u);
    const AssetPtr pair = named(*lib, "IMG_1.JPG");
    ASSERT_TRUE(pair);
    ASSERT_EQ(pair->resources.size(), 3u);
    EXPECT_EQ(pair->resources[1]->originalFilename, "IMG_1.DNG");
    EXPECT_EQ(pair->resources[1]->type, ResourceType::AlternatePhoto);
    EXPECT_EQ(pair->resources[2]->type, ResourceType::AdjustmentData);
    EXPECT_TRUE(pair->isFavorite);
    ASSERT_TRUE(pair->creationDate);
    EXPECT_FALSE(named(*lib, "IMG_2.JPG")->isFavorite);

    // dc:subject and the leaf of a hierarchical keyword are albums; the words that only spell
    // out a hierarchy, and darktable's own tags, are not.
    QStringList titles;
    for (const auto& album :
         lib->fetchAssetCollections(CollectionType::Album, CollectionSubtype::AlbumRegular))
        titles << *album->localizedTitle;
    titles.sort();
    EXPECT_EQ(titles, QStringList({"Holiday", "Lyon"}));
    const auto holiday = lib->fetchAssetCollectionsContainingAsset(pair, CollectionType::Album);
    ASSERT_EQ(holiday.size(), 2u);
    const auto members = lib->fetchAssetsInAssetCollection(holiday.front());
    ASSERT_EQ(members.size(), 1u);
    EXPECT_EQ(members.front()->localIdentifier, pair->localIdentifier);
    // Leaving an album drops its keyword with the parents that only spelled out its hierarchy.
    for (const auto& album : holiday)
        if (*album->localizedTitle == "Lyon")
            lib->performChangesAndWait([&](ChangeRequests& c) {
                c.changeRequestForAssetCollection(album)->removeAssets({pair});
            });
    EXPECT_EQ(sidecarAt("2024/06/IMG_1.DNG.xmp")->keywords, QStringList{"Holiday"});
    EXPECT_TRUE(readFile(root + "/2024/06/IMG_1.DNG.xmp").contains("exposure"));

    const QStringList problems = lib->check();
    EXPECT_TRUE(problems.join('\n').contains("not valid UTF-8"))
        << problems.join('\n').toStdString();

    // Identifiers stay what they were across openings; a file another program adds appears
    // at the next fetch.
    const QString id = pair->localIdentifier;
    lib.reset();
    lib = PhotoLibrary::open(root);
    EXPECT_EQ(named(*lib, "IMG_1.JPG")->localIdentifier, id);
    QFile::copy(jpeg, root + "/2024/IMG_9.JPG");
    EXPECT_EQ(lib->fetchAssets(MediaType::Image).size(), 3u);
}

TEST_F(FolderLibrary, ReplacementLandsBesideItsPairWhoseFilesGoToTheDesktopTrash) {
    // darktable writes a sidecar for each file of a pair, each with its own marks.
    writeFile(root + "/2024/06/IMG_1.JPG.xmp",
              sidecar(2, {"Family"}, {},
                      "<darktable:colorlabels><rdf:Seq><rdf:li>3</rdf:li></rdf:Seq>"
                      "</darktable:colorlabels>"));
    // RawTherapee's edit of the RAW; the sidecar of a JPEG deleted in a file manager.
    writeFile(root + "/2024/06/IMG_1.DNG.pp3", "[Exposure]\nCompensation=0.5\n");
    writeFile(root + "/2024/06/IMG_9.JPG.xmp", sidecar(1, {}, {}));
    auto lib = PhotoLibrary::open(root);
    int asked = 0;
    lib->setDeletionConfirmationHandler([&](int count, std::function<void(bool)> reply) {
        asked += count;
        reply(true);
    });
    const AssetPtr pair = named(*lib, "IMG_1.JPG");
    const AssetPtr single = named(*lib, "IMG_2.JPG");
    const QByteArray originalSidecar = readFile(root + "/2024/06/IMG_1.DNG.xmp");
    QString newId;
    lib->performChangesAndWait([&](ChangeRequests& c) {
        auto& made = c.creationRequestForAsset();
        made.addResource(ResourceType::Photo, jpeg, {"IMG_1.JPG", "public.jpeg"});
        made.derivedFrom = pair->localIdentifier;
        newId = made.placeholderForCreatedAsset().localIdentifier;
        // The programs' own album, and a favourite of an item without a sidecar.
        c.creationRequestForAssetCollection("Twinslim export").addAssets({single});
        c.changeRequestForAsset(single).favorite = true;
        c.deleteAssets({pair});
    });
    EXPECT_EQ(asked, 1);

    // The new file beside its pair under a free name, its sidecar carrying the pair's marks.
    ASSERT_TRUE(QFile::exists(root + "/2024/06/IMG_1 (1).JPG"));
    const auto carried = sidecarAt("2024/06/IMG_1 (1).JPG.xmp");
    ASSERT_TRUE(carried);
    EXPECT_EQ(carried->rating, 5);
    EXPECT_EQ(carried->label, "Red");
    EXPECT_EQ(carried->albumTitles(), QStringList({"Holiday", "Family", "Lyon"}));
    EXPECT_EQ(carried->colourLabels, QStringList{"3"});
    const auto made = lib->fetchAssetsWithLocalIdentifiers({newId});
    ASSERT_EQ(made.size(), 1u);
    EXPECT_TRUE(made.front()->isFavorite);
    // The orphan sidecar does not make the folder one of NAME.xmp sidecars.
    const auto favourite = sidecarAt("2024/06/IMG_2.JPG.xmp");
    ASSERT_TRUE(favourite);
    EXPECT_EQ(favourite->rating, 5);

    // No sidecar holds the programs' album; the library's state does.
    QDirIterator it(root, {"*.xmp"}, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext())
        EXPECT_FALSE(readFile(it.next()).contains("Twinslim export"))
            << it.filePath().toStdString();
    const auto albums = lib->fetchAssetCollectionsContainingAsset(single, CollectionType::Album);
    ASSERT_EQ(albums.size(), 1u);
    EXPECT_EQ(*albums.front()->localizedTitle, "Twinslim export");

    // The pair's files are in the desktop's trash, as another trash program sees them.
    QStringList inTrash;
    for (const char* name :
         {"IMG_1.JPG", "IMG_1.DNG", "IMG_1.DNG.xmp", "IMG_1.JPG.xmp", "IMG_1.DNG.pp3"}) {
        EXPECT_FALSE(QFile::exists(root + "/2024/06/" + name)) << name;
        EXPECT_TRUE(QFile::exists(tmp.path() + "/data/Trash/files/" + name)) << name;
        inTrash << root + "/2024/06/" + name;
    }
    testsupport::expectTrashListShows(inTrash);

    // Recently Deleted is that trash: restoring puts every file back as it was.
    const auto trashed = lib->trashedAssets();
    ASSERT_EQ(trashed.size(), 1u);
    EXPECT_EQ(trashed.front().asset->localIdentifier, pair->localIdentifier);
    EXPECT_EQ(lib->restoreFromTrash({pair->localIdentifier}), 1);
    EXPECT_EQ(readFile(root + "/2024/06/IMG_1.DNG.xmp"), originalSidecar);
    EXPECT_TRUE(QFile::exists(root + "/2024/06/IMG_1.DNG"));
    EXPECT_TRUE(QFile::exists(root + "/2024/06/IMG_1.DNG.pp3"));
    EXPECT_TRUE(lib->trashedAssets().empty());
    EXPECT_EQ(named(*lib, "IMG_1.JPG")->localIdentifier, pair->localIdentifier);
    EXPECT_TRUE(lib->check().join('\n').contains("UTF-8")); // nothing else
    EXPECT_EQ(lib->check().size(), 1);
}

// A replacement whose file has its pair's time at another offset, or without one, keeps the
// pair's local time and offset: across openings, and when darktable rewrites its sidecar.
TEST_F(FolderLibrary, AReplacementKeepsItsPairsLocalTimeAndOffset) {
    auto lib = PhotoLibrary::open(root);
    const AssetPtr pair = named(*lib, "IMG_1.JPG");
    ASSERT_EQ(pair->creationOffsetSeconds, 2 * 3600);
    // As exported on a machine in UTC, without the offset, and as taken.
    const std::pair<const char*, const char*> files[] = {{"2024:06:01 08:00:00", "+00:00"},
                                                         {"2024:06:01 10:00:00", nullptr},
                                                         {"2024:06:01 10:00:00", "+02:00"}};
    QStringList ids;
    lib->performChangesAndWait([&](ChangeRequests& c) {
        for (const auto& [date, offset] : files) {
            imaging::ExifFields exif;
            exif.dateTimeOriginal = date;
            if (offset)
                exif.offsetTimeOriginal = offset;
            const QString name = QString("NEW_%1.JPG").arg(ids.size());
            fixtures::makeJpegFile(tmp.path() + "/" + name, {64, 48}, exif);
            auto& made = c.creationRequestForAsset();
            made.addResource(ResourceType::Photo, tmp.path() + "/" + name, {name, "public.jpeg"});
            made.derivedFrom = pair->localIdentifier;
            made.creationDate = pair->creationDate;
            made.creationOffsetSeconds = pair->creationOffsetSeconds;
            ids << made.placeholderForCreatedAsset().localIdentifier;
        }
    });
    auto expectPairsTime = [&] {
        const auto made = lib->fetchAssetsWithLocalIdentifiers(ids);
        ASSERT_EQ(made.size(), 3u);
        for (const AssetPtr& a : made) {
            EXPECT_EQ(a->creationDate, pair->creationDate)
                << a->resources[0]->originalFilename.toStdString();
            EXPECT_EQ(a->creationOffsetSeconds, 2 * 3600)
                << a->resources[0]->originalFilename.toStdString();
        }
    };
    expectPairsTime();
    // Only a file that disagrees has the time in its sidecar.
    EXPECT_TRUE(sidecarAt("2024/06/NEW_1.JPG.xmp")->captureDate);
    EXPECT_FALSE(sidecarAt("2024/06/NEW_2.JPG.xmp")->captureDate);
    lib.reset();
    lib = PhotoLibrary::open(root);
    expectPairsTime();
    // darktable writes the time back in its own form, without the offset.
    imaging::XmpSidecarEdit darktable;
    darktable.properties = {{"Xmp.exif.DateTimeOriginal", "2024:06:01 10:00:00.000"}};
    const QString first = root + "/2024/06/NEW_0.JPG.xmp";
    writeFile(first, imaging::editXmpSidecar(readFile(first), darktable));
    expectPairsTime();

    // A sidecar date of the pair's own wall-clock time, without an offset, is no other offset;
    // also where an older version left it in the index with the machine's offset filled in.
    const QString pairSidecar = root + "/2024/06/IMG_1.DNG.xmp";
    writeFile(pairSidecar, imaging::editXmpSidecar(readFile(pairSidecar), darktable));
    EXPECT_EQ(named(*lib, "IMG_1.JPG")->creationOffsetSeconds, 2 * 3600);
    lib.reset();
    SqliteDatabase(root + "/.photolib/state.sqlite")
        .exec("UPDATE files SET readable = 1, capture_offset = 0 WHERE path LIKE '%IMG_1.DNG.xmp'");
    lib = PhotoLibrary::open(root);
    EXPECT_EQ(named(*lib, "IMG_1.JPG")->creationOffsetSeconds, 2 * 3600);
}

// An item's identity is its file's: another file later at its names is a new item, in no album;
// the same file put back, by a restore or from the desktop's trash, is the same item.
TEST_F(FolderLibrary, AnotherFileAtADeletedItemsNamesIsANewItemInNoAlbum) {
    auto lib = PhotoLibrary::open(root);
    const QString id = named(*lib, "IMG_1.JPG")->localIdentifier;
    QString marker;
    lib->performChangesAndWait([&](ChangeRequests& c) {
        auto& album = c.creationRequestForAssetCollection("TwinslimOriginalsToDelete");
        album.addAssets(std::vector<AssetPtr>{named(*lib, "IMG_1.JPG")});
        marker = album.placeholderForCreatedAssetCollection().localIdentifier;
    });
    auto members = [&] {
        QStringList ids;
        for (const AssetPtr& a : lib->fetchAssetsInAssetCollection(
                 lib->fetchAssetCollectionsWithLocalIdentifiers({marker}).at(0)))
            ids << a->localIdentifier;
        return ids;
    };
    auto remove = [&] {
        lib->performChangesAndWait(
            [&](ChangeRequests& c) { c.deleteAssets({named(*lib, "IMG_1.JPG")}); });
    };
    remove();
    fixtures::makeJpegFile(root + "/2024/06/IMG_1.JPG", {80, 60});
    writeFile(root + "/2024/06/IMG_1.DNG",
              fixtures::makeDng({80, 60}, "2024:07:01 10:00:00", "+02:00"));
    const QString other = named(*lib, "IMG_1.JPG")->localIdentifier;
    EXPECT_NE(other, id);
    EXPECT_TRUE(members().isEmpty());
    lib.reset();
    lib = PhotoLibrary::open(root);
    EXPECT_EQ(named(*lib, "IMG_1.JPG")->localIdentifier, other);
    EXPECT_TRUE(
        lib->fetchAssetCollectionsContainingAsset(named(*lib, "IMG_1.JPG"), CollectionType::Album)
            .empty());

    // Restored by the library, the pair is itself again, in its albums.
    QFile::remove(root + "/2024/06/IMG_1.JPG");
    QFile::remove(root + "/2024/06/IMG_1.DNG");
    EXPECT_EQ(lib->restoreFromTrash({id}), 1);
    EXPECT_EQ(named(*lib, "IMG_1.JPG")->localIdentifier, id);
    EXPECT_EQ(members(), QStringList{id});

    // Put back from the desktop's trash, it is itself, but what the deletion left is no album.
    remove();
    for (const QString name : {"IMG_1.JPG", "IMG_1.DNG", "IMG_1.DNG.xmp"}) {
        ASSERT_TRUE(
            QFile::rename(tmp.path() + "/data/Trash/files/" + name, root + "/2024/06/" + name));
        QFile::remove(tmp.path() + "/data/Trash/info/" + name + ".trashinfo");
    }
    EXPECT_EQ(named(*lib, "IMG_1.JPG")->localIdentifier, id);
    EXPECT_TRUE(members().isEmpty());
    EXPECT_TRUE(lib->trashedAssets().empty());
    // Emptying the trash later leaves the item back in the tree as it is.
    lib->performChangesAndWait([&](ChangeRequests& c) {
        c.changeRequestForAssetCollection(
             lib->fetchAssetCollectionsWithLocalIdentifiers({marker}).at(0))
            ->addAssets(std::vector<AssetPtr>{named(*lib, "IMG_1.JPG")});
    });
    lib->emptyTrash();
    EXPECT_EQ(members(), QStringList{id});

    // Another picture copied over one in place is another item as well.
    const QString two = named(*lib, "IMG_2.JPG")->localIdentifier;
    fixtures::makeJpegFile(root + "/2024/06/IMG_2.JPG", {80, 60});
    EXPECT_NE(named(*lib, "IMG_2.JPG")->localIdentifier, two);
}

// Two folders holding the same names are two libraries: neither gives an identifier of the
// other's; and a state from before libraries had their identity keeps what its albums name.
TEST_F(FolderLibrary, IdentifiersAreEachLibrarysOwn) {
    const QString second = tmp.path() + "/Other";
    QDir().mkpath(second + "/2024/06");
    for (const QString name : {"IMG_1.JPG", "IMG_1.DNG", "IMG_1.DNG.xmp", "IMG_2.JPG"})
        ASSERT_TRUE(QFile::copy(root + "/2024/06/" + name, second + "/2024/06/" + name));
    auto identifiers = [](PhotoLibrary& lib) {
        QSet<QString> ids;
        for (const AssetPtr& a : lib.fetchAssets(MediaType::Image))
            ids << a->localIdentifier;
        for (const auto& c :
             lib.fetchAssetCollections(CollectionType::Album, CollectionSubtype::Any))
            ids << c->localIdentifier;
        return ids;
    };
    const QSet<QString> first = identifiers(*PhotoLibrary::open(root));
    const QSet<QString> other = identifiers(*PhotoLibrary::open(second));
    EXPECT_EQ(other.size(), 4); // two items, two keyword albums
    EXPECT_FALSE(first.intersects(other));

    // The identifiers every library gave before; one named by an album of the state.
    auto legacyOf = [](const QString& path) {
        return QUuid::createUuidV5(QUuid::fromString(u"6f1c2f4e-3b0a-4d55-9a43-5c1d7e2f9b10"), path)
                   .toString(QUuid::WithoutBraces)
                   .toUpper() +
               "/L0/001";
    };
    const QString legacy = legacyOf("2024/06/IMG_1.JPG");
    {
        SqliteDatabase db(second + "/.photolib/state.sqlite");
        db.exec(("DELETE FROM settings; INSERT INTO albums (uuid, title, created_at) VALUES "
                 "('A1', 'Twinslim Favs', 0); INSERT INTO album_members VALUES ('A1', '" +
                 legacy + "', 1);")
                    .toUtf8()
                    .constData());
    }
    auto lib = PhotoLibrary::open(second);
    const auto favs = lib->fetchAssetCollectionsWithLocalIdentifiers({"A1"});
    ASSERT_EQ(favs.size(), 1u);
    const auto kept = lib->fetchAssetsInAssetCollection(favs.front());
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept.front()->localIdentifier, legacy);
    EXPECT_EQ(named(*lib, "IMG_1.JPG")->localIdentifier, legacy);
    EXPECT_NE(named(*lib, "IMG_2.JPG")->localIdentifier, legacyOf("2024/06/IMG_2.JPG"));
}

TEST_F(FolderLibrary, FailedOrDeclinedChangesLeaveTheTreeAsItWas) {
    writeFile(root + "/2024/IMG_5.JPG.xmp", "this is not XML");
    QFile::copy(jpeg, root + "/2024/IMG_5.JPG");
    const auto before = treeOf(root);
    auto lib = PhotoLibrary::open(root);
    const AssetPtr pair = named(*lib, "IMG_1.JPG");
    auto replaceAndDelete = [&](ChangeRequests& c) {
        auto& made = c.creationRequestForAsset();
        made.addResource(ResourceType::Photo, jpeg, {"IMG_1.JPG", "public.jpeg"});
        made.derivedFrom = pair->localIdentifier;
        c.changeRequestForAsset(named(*lib, "IMG_2.JPG")).favorite = true;
        c.deleteAssets({pair});
    };

    lib->faults().failNextChangeWithError = true;
    EXPECT_THROW(lib->performChangesAndWait(replaceAndDelete), PhotoLibraryError);
    EXPECT_EQ(treeOf(root), before);

    lib->setDeletionConfirmationHandler([](int, std::function<void(bool)> reply) { reply(false); });
    EXPECT_THROW(lib->performChangesAndWait(replaceAndDelete), PhotoLibraryError);
    EXPECT_EQ(treeOf(root), before);

    // A sidecar that is not XMP is reported and never rewritten.
    EXPECT_TRUE(lib->check().join('\n').contains("2024/IMG_5.JPG.xmp"));
    try {
        lib->performChangesAndWait([&](ChangeRequests& c) {
            c.changeRequestForAsset(named(*lib, "IMG_5.JPG")).favorite = true;
        });
        ADD_FAILURE() << "a favourite was written into a sidecar that is not XMP";
    } catch (const PhotoLibraryError& e) {
        EXPECT_TRUE(QString::fromStdString(e.what()).contains("not XMP")) << e.what();
    }
    EXPECT_EQ(treeOf(root), before);
    EXPECT_FALSE(QDir(tmp.path() + "/data/Trash/files").exists() &&
                 !QDir(tmp.path() + "/data/Trash/files").isEmpty());
    EXPECT_TRUE(lib->trashedAssets().empty());
}

// Two programs on one folder take turns: each change sees the other's files, so no name is
// given twice and nothing is lost.
TEST_F(FolderLibrary, TwoProgramsChangingOneFolderTakeTurns) {
    auto first = PhotoLibrary::open(root);
    auto second = PhotoLibrary::open(root);
    const QString origin = named(*first, "IMG_2.JPG")->localIdentifier;
    auto replace = [&](PhotoLibrary& lib) {
        for (int i = 0; i < 5; ++i)
            lib.performChangesAndWait([&](ChangeRequests& c) {
                auto& made = c.creationRequestForAsset();
                made.addResource(ResourceType::Photo, jpeg, {"IMG_2.JPG", "public.jpeg"});
                made.derivedFrom = origin;
            });
    };
    std::thread other([&] { replace(*second); });
    replace(*first);
    other.join();
    QStringList made = QDir(root + "/2024/06").entryList({"IMG_2 (*).JPG"}, QDir::Files);
    made.sort();
    EXPECT_EQ(made.size(), 10) << made.join(", ").toStdString();
    EXPECT_EQ(first->fetchAssets(MediaType::Image).size(), 12u);
    EXPECT_EQ(second->fetchAssets(MediaType::Image).size(), 12u);
    EXPECT_TRUE(first->check().join('\n').contains("UTF-8"));
    EXPECT_EQ(first->check().size(), 1);
}

// A move to the trash killed between its .trashinfo and its rename leaves an entry without a
// file: the recovery of the interrupted change removes such entries of the tree, and only those.
// The move is journalled in that gap, so no kill can leave a file trashed but unjournalled.
TEST_F(FolderLibrary, HalfMadeTrashEntriesOfTheTreeAreRemoved) {
    auto lib = PhotoLibrary::open(root);
    lib->performChangesAndWait(
        [&](ChangeRequests& c) { c.deleteAssets({named(*lib, "IMG_2.JPG")}); });
    const QString info = tmp.path() + "/data/Trash/info/";
    writeFile(info + "IMG_1.JPG.trashinfo",
              "[Trash Info]\nPath=" + QFile::encodeName(root) + "/2024/06/IMG_1.JPG\n");
    writeFile(info + "other.jpg.trashinfo", "[Trash Info]\nPath=/elsewhere/other.jpg\n");
    EXPECT_EQ(FreedesktopTrash::removeHalfMadeEntries(root), 1);
    EXPECT_FALSE(QFile::exists(info + "IMG_1.JPG.trashinfo"));
    EXPECT_TRUE(QFile::exists(info + "other.jpg.trashinfo")); // not ours
    EXPECT_TRUE(QFile::exists(info + "IMG_2.JPG.trashinfo")); // whole
    EXPECT_EQ(lib->trashedAssets().size(), 1u);

    // A move is claimed, for the journal, while the file is still in place: a claim that
    // fails moves nothing and leaves no entry behind.
    const QString file = root + "/2024/06/IMG_1.JPG";
    EXPECT_THROW(FreedesktopTrash::moveToTrash(file, QDateTime::currentDateTimeUtc(),
                                               [&](const TrashEntry& e) {
                                                   EXPECT_TRUE(QFile::exists(file));
                                                   EXPECT_FALSE(FreedesktopTrash::contains(e));
                                                   EXPECT_TRUE(
                                                       QFile::exists(info + e.name + ".trashinfo"));
                                                   throw std::runtime_error("journal full");
                                               }),
                 std::runtime_error);
    EXPECT_TRUE(QFile::exists(file));
    EXPECT_FALSE(QFile::exists(info + "IMG_1.JPG.trashinfo"));
}

// Folders the user may not read: one that cannot be listed, one whose names can be listed but
// not looked at. Every other item stays and check names both folders. Root reads any folder,
// so as root photolib runs as another user owning the tree.
TEST_F(FolderLibrary, UnreadableFoldersAreLeftOutAndReported) {
    for (const char* folder : {"locked", "listed"}) {
        QDir().mkpath(root + "/2024/" + folder);
        QFile::copy(jpeg, root + "/2024/" + folder + "/IMG_7.JPG");
    }
    const bool asRoot = ::geteuid() == 0;
    const uid_t user = 65534;
    // That user may not reach the build folder: it runs a copy.
    QString program = testsupport::photolibPath();
    if (asRoot) {
        ASSERT_TRUE(QFile::copy(program, tmp.path() + "/photolib"));
        program = tmp.path() + "/photolib";
        QDirIterator it(tmp.path(),
                        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                        QDirIterator::Subdirectories);
        ASSERT_EQ(::lchown(QFile::encodeName(tmp.path()).constData(), user, user), 0);
        while (it.hasNext())
            ASSERT_EQ(::lchown(QFile::encodeName(it.next()).constData(), user, user), 0);
    }
    ASSERT_EQ(::chmod(QFile::encodeName(root + "/2024/locked").constData(), 0), 0);
    ASSERT_EQ(::chmod(QFile::encodeName(root + "/2024/listed").constData(), 0444), 0);
    auto photolib = [&](const QStringList& args, int& status) {
        QProcess p;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", tmp.path() + "/config");
        env.insert("XDG_DATA_HOME", tmp.path() + "/data");
        p.setProcessEnvironment(env);
        if (asRoot)
            p.setChildProcessModifier([user] {
                if (::setgroups(0, nullptr) != 0 || ::setresgid(user, user, user) != 0 ||
                    ::setresuid(user, user, user) != 0)
                    ::_exit(99);
            });
        p.start(program, QStringList{"--library", root} + args);
        p.waitForFinished(60000);
        status = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
        return QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError());
    };
    int listed = -1, checked = -1;
    const QString items = photolib({"list"}, listed);
    const QString problems = photolib({"check"}, checked);
    ::chmod(QFile::encodeName(root + "/2024/locked").constData(), 0755);
    ::chmod(QFile::encodeName(root + "/2024/listed").constData(), 0755);

    EXPECT_EQ(listed, 0) << items.toStdString();
    EXPECT_TRUE(items.contains("IMG_1.JPG") && items.contains("IMG_2.JPG")) << items.toStdString();
    EXPECT_FALSE(items.contains("IMG_7.JPG")) << items.toStdString();
    EXPECT_EQ(checked, 1);
    EXPECT_TRUE(problems.contains("folder 2024/locked cannot be read")) << problems.toStdString();
    EXPECT_TRUE(problems.contains("folder 2024/listed cannot be read")) << problems.toStdString();
}

// A folder removed, replaced by a file or by a link out of the tree between its listing and
// the walk entering it is left out without a word, and everything else stays.
TEST_F(FolderLibrary, FoldersGoneDuringTheWalkAreLeftOutQuietly) {
    auto lib = PhotoLibrary::open(root);
    const QStringList vanishing{"gone", "file", "link"};
    struct Seam {
        explicit Seam(std::function<void(const QString&)> f) {
            FolderStore::beforeEnteringFolder = std::move(f);
        }
        ~Seam() { FolderStore::beforeEnteringFolder = nullptr; }
    } seam([&](const QString& folder) {
        // Each walk finds the folders there when it lists 2024, and not when it enters them.
        if (folder == "2024") {
            for (const QString& name : vanishing) {
                QFile::remove(root + "/2024/" + name);
                QDir().mkpath(root + "/2024/" + name);
                QFile::copy(jpeg, root + "/2024/" + name + "/IMG_7.JPG");
            }
            return;
        }
        const QString name = folder.mid(5);
        if (!folder.startsWith("2024/") || !vanishing.contains(name))
            return;
        QDir(root + "/" + folder).removeRecursively();
        if (name == "file")
            writeFile(root + "/" + folder, "no folder");
        else if (name == "link")
            QFile::link(tmp.path() + "/outside", root + "/" + folder);
    });
    QStringList names;
    for (const AssetPtr& a : lib->fetchAssets(MediaType::Image))
        names << a->resources.front()->storedPath;
    names.sort();
    EXPECT_EQ(names, QStringList({"2024/06/IMG_1.JPG", "2024/06/IMG_2.JPG"}));
    const QStringList problems = lib->check();
    EXPECT_EQ(problems.size(), 1) << problems.join('\n').toStdString(); // the name not UTF-8
}

// Where the file system refuses a rename that cannot replace, the name is claimed first and
// the file renamed over that claim: never over another file, and nothing left on failure.
TEST(DurableWrites, RenamesWithoutReplacingAlsoWhereTheFileSystemCannotRefuse) {
    QTemporaryDir dir;
    for (const bool refused : {false, true}) {
        refuseNoReplaceRename = refused;
        const QString from = dir.filePath("from"), to = dir.filePath("to");
        writeFile(from, "new");
        writeFile(to, "other");
        EXPECT_EQ(renameWithoutReplacing(from, to), EEXIST) << refused;
        EXPECT_EQ(readFile(to), "other");
        EXPECT_EQ(readFile(from), "new");
        QFile::remove(to);
        EXPECT_EQ(renameWithoutReplacing(from, to), 0) << refused;
        EXPECT_EQ(readFile(to), "new");
        EXPECT_FALSE(QFile::exists(from));
        // A rename that fails leaves no claim behind.
        EXPECT_EQ(renameWithoutReplacing(from, dir.filePath("gone")), ENOENT) << refused;
        EXPECT_FALSE(QFile::exists(dir.filePath("gone")));
        QFile::remove(to);
    }
    refuseNoReplaceRename = false;
}

// exFAT drives, SD cards and network shares refuse renameat2's RENAME_NOREPLACE: new files
// still land, no temporary is left, the library reopens and the trash gives its files back.
TEST_F(FolderLibrary, ChangesWorkWhereTheFileSystemCannotRefuseToReplace) {
    NoReplaceRefused refused;
    auto lib = PhotoLibrary::open(root);
    lib->setDeletionConfirmationHandler([](int, std::function<void(bool)> reply) { reply(true); });
    const AssetPtr pair = named(*lib, "IMG_1.JPG");
    lib->performChangesAndWait([&](ChangeRequests& c) {
        auto& made = c.creationRequestForAsset();
        made.addResource(ResourceType::Photo, jpeg, {"IMG_1.JPG", "public.jpeg"});
        made.derivedFrom = pair->localIdentifier;
        c.deleteAssets({pair});
    });
    EXPECT_EQ(readFile(root + "/2024/06/IMG_1 (1).JPG"), readFile(jpeg));
    EXPECT_EQ(sidecarAt("2024/06/IMG_1 (1).JPG.xmp")->rating, 5);
    EXPECT_EQ(temporaries(), QStringList());
    lib.reset();
    lib = PhotoLibrary::open(root);
    EXPECT_EQ(lib->check().size(), 1) << lib->check().join('\n').toStdString(); // UTF-8 only
    EXPECT_EQ(lib->restoreFromTrash({pair->localIdentifier}), 1);
    EXPECT_TRUE(QFile::exists(root + "/2024/06/IMG_1.DNG"));
    EXPECT_TRUE(QFile::exists(root + "/2024/06/IMG_1.JPG"));
}

// A change cut short after its commit, whose new file's name another program then took:
// the library opens, the new file takes the next free name with its sidecar and its item,
// and the other program's file stays as it is.
TEST_F(FolderLibrary, AFinishedChangeWhoseNameWasTakenMeanwhileTakesAnotherName) {
    PhotoLibrary::open(root).reset(); // makes the state
    const QString folder = root + "/2024/06/";
    writeFile(folder + ".photolib-cut-0.tmp", readFile(jpeg));
    writeFile(folder + ".photolib-cut-1.tmp", sidecar(3, {"Kept"}, {}));
    writeFile(folder + "IMG_1 (1).JPG", "another program's file");
    writeFile(folder + "IMG_1 (2).JPG.xmp", "another program's sidecar");
    // The empty claim of a placement cut short on a drive that cannot refuse to replace.
    writeFile(folder + ".photolib-cut-2.tmp", readFile(jpeg));
    writeFile(folder + "IMG_2 (1).JPG", "");
    const QString state = root + "/.photolib/state.sqlite";
    sqlRows(state,
            "INSERT INTO identities (path, uuid, created) VALUES ('2024/06/IMG_1 (1).JPG', "
            "'CUT-SHORT', 1); INSERT INTO journal (state, operations) VALUES ('committed', '["
            "{\"op\":\"place\",\"temp\":\"2024/06/.photolib-cut-0.tmp\",\"final\":\"2024/06/"
            "IMG_1 (1).JPG\"},{\"op\":\"replace\",\"temp\":\"2024/06/.photolib-cut-1.tmp\","
            "\"final\":\"2024/06/IMG_1 (1).JPG.xmp\"},{\"op\":\"place\",\"temp\":\"2024/06/"
            ".photolib-cut-2.tmp\",\"final\":\"2024/06/IMG_2 (1).JPG\"}]')");

    auto lib = PhotoLibrary::open(root);
    EXPECT_EQ(readFile(folder + "IMG_1 (1).JPG"), "another program's file");
    EXPECT_EQ(readFile(folder + "IMG_1 (3).JPG"), readFile(jpeg));
    EXPECT_EQ(sidecarAt("2024/06/IMG_1 (3).JPG.xmp")->keywords, QStringList{"Kept"});
    EXPECT_FALSE(QFile::exists(folder + "IMG_1 (1).JPG.xmp"));
    EXPECT_EQ(readFile(folder + "IMG_2 (1).JPG"), readFile(jpeg));
    EXPECT_EQ(temporaries(), QStringList());
    const auto made = lib->fetchAssetsWithLocalIdentifiers({"CUT-SHORT"});
    ASSERT_EQ(made.size(), 1u);
    EXPECT_EQ(made.front()->resources.front()->originalFilename, "IMG_1 (3).JPG");
    EXPECT_FALSE(lib->check().join('\n').contains("interrupted"));

    // One that cannot be finished at all still lets the library open, and check names it.
    lib.reset();
    sqlRows(state, "INSERT INTO journal (state, operations) VALUES ('committed', '[{"
                   "\"op\":\"replace\",\"temp\":\"2024/06/.photolib-cut-3.tmp\","
                   "\"final\":\"2024/06\"}]')");
    writeFile(folder + ".photolib-cut-3.tmp", "cannot go over a folder");
    lib = PhotoLibrary::open(root);
    EXPECT_TRUE(lib->check().join('\n').contains("interrupted change"))
        << lib->check().join('\n').toStdString();
}

// A camera folder on a real exFAT drive, where nothing refuses to replace and there are no
// hard links: the replacement lands, no temporary is left and the library opens again.
TEST_F(FolderLibrary, ChangesWorkOnARealExfatDrive) {
    const testsupport::ExfatDrive drive(tmp.path() + "/drive");
    if (!drive.unusable().isEmpty())
        GTEST_SKIP() << drive.unusable().toStdString();
    const QString pictures = drive.path() + "/DCIM";
    QDir().mkpath(pictures);
    ASSERT_TRUE(QFile::copy(jpeg, pictures + "/IMG_1.JPG"));
    writeFile(pictures + "/IMG_1.DNG", readFile(root + "/2024/06/IMG_1.DNG"));
    auto lib = PhotoLibrary::open(drive.path());
    lib->setDeletionConfirmationHandler([](int, std::function<void(bool)> reply) { reply(true); });
    const AssetPtr pair = named(*lib, "IMG_1.JPG");
    ASSERT_TRUE(pair);
    lib->performChangesAndWait([&](ChangeRequests& c) {
        auto& made = c.creationRequestForAsset();
        made.addResource(ResourceType::Photo, jpeg, {"IMG_1.JPG", "public.jpeg"});
        made.derivedFrom = pair->localIdentifier;
        c.deleteAssets({pair});
    });
    EXPECT_EQ(readFile(pictures + "/IMG_1 (1).JPG"), readFile(jpeg));
    EXPECT_EQ(QDir(pictures).entryList({".photolib-*"}, QDir::Files | QDir::Hidden), QStringList());
    lib.reset();
    lib = PhotoLibrary::open(drive.path());
    EXPECT_EQ(lib->fetchAssets(MediaType::Image).size(), 1u);
    EXPECT_EQ(lib->restoreFromTrash({pair->localIdentifier}), 1);
    EXPECT_TRUE(QFile::exists(pictures + "/IMG_1.DNG"));
    lib.reset();
}

TEST_F(FolderLibrary, RefusesWhatIsNoFolderOfPictures) {
    EXPECT_THROW(PhotoLibrary::open("/"), PhotoLibraryError);
    EXPECT_THROW(PhotoLibrary::open(root + "/2024/06/IMG_1.JPG"), PhotoLibraryError);
    // A folder named as a catalogue that holds other things is not made one.
    writeFile(tmp.path() + "/full.photolibrary/other.txt", "x");
    EXPECT_THROW(PhotoLibrary::open(tmp.path() + "/full.photolibrary"), PhotoLibraryError);
    // A catalogue library stays one even when named differently from its kind.
    const QString catalogue = tmp.path() + "/Old";
    PhotoLibrary::create(catalogue + ".photolibrary");
    QDir().rename(catalogue + ".photolibrary", catalogue);
    EXPECT_FALSE(PhotoLibrary::open(catalogue)->isFolderLibrary());
}

} // namespace
