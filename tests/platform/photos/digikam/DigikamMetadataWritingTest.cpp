// A digiKam set to write ratings, labels and tags into its files: a replacement carries its
// pair's in its own file or in its sidecar, where and as digiKam would have written them.
#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "platform/photos/digikam/DigikamSnapshot.h"
#include "support/Digikam.h"
#include "support/TestSupport.h"

#include "../shared/SqlRows.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <gtest/gtest.h>

using namespace photos;
using testsupport::readFile;
using testsupport::writeFile;

namespace {

// What exiftool reads in a file, by group and name ("XMP-digiKam:PickLabel").
QJsonObject exiftoolTags(const QString& path) {
    QProcess p;
    p.start("exiftool", {"-j", "-n", "-G1", "-struct", path});
    p.waitForFinished(60000);
    return QJsonDocument::fromJson(p.readAllStandardOutput()).array().at(0).toObject();
}

QStringList listOf(const QJsonValue& v) {
    QStringList list;
    if (v.isArray())
        for (const QJsonValue& e : v.toArray())
            list << e.toVariant().toString();
    else if (!v.isUndefined())
        list << v.toVariant().toString();
    return list;
}

// A collection made by digiKam (its empty library) holding one RAW+JPEG pair: the JPEG 4 stars
// in Places/France/Lyon with a green label, the RAW in Family, accepted.
class DigikamMetadataWriting : public ::testing::Test {
protected:
    void SetUp() override {
        if (QStandardPaths::findExecutable("exiftool").isEmpty())
            GTEST_SKIP() << "exiftool is not installed (Debian package libimage-exiftool-perl)";
        ASSERT_TRUE(tmp.isValid());
        previousConfig = qgetenv("XDG_CONFIG_HOME");
        jpeg = tmp.path() + "/rendition.jpg";
        fixtures::makeJpegFile(jpeg, {64, 48});
        heic = tmp.path() + "/rendition.heic";
        fixtures::makeHeicFile(heic, {64, 48});
    }

    void TearDown() override {
        if (previousConfig.isNull())
            qunsetenv("XDG_CONFIG_HOME");
        else
            qputenv("XDG_CONFIG_HOME", previousConfig);
    }

    // The library in `dir`/photos; its digikamrc in `dir`/config, holding `metadataSettings`.
    QString makeLibrary(const QString& dir, const QString& metadataSettings) {
        const QString photos = dir + "/photos";
        testsupport::makeEmptyDigikamLibrary(photos);
        fixtures::makeJpegFile(photos + "/IMG_1.JPG", {64, 48});
        writeFile(photos + "/IMG_1.DNG", fixtures::makeDng({64, 48}));
        sqlRows(photos + "/digikam4.db",
                "INSERT INTO Images VALUES (101, 1, 'IMG_1.DNG', 1, 1, NULL, NULL, NULL, NULL);"
                "INSERT INTO Images VALUES (102, 1, 'IMG_1.JPG', 1, 1, NULL, NULL, NULL, NULL);"
                "INSERT INTO ImageInformation (imageid, rating) VALUES (101, 0), (102, 4);"
                "INSERT INTO Tags (id, pid, name) VALUES (50, 0, 'Places'), (51, 50, 'France'), "
                "(52, 51, 'Lyon'), (53, 0, 'Family'), (54, 1, 'Color Label Green'), "
                "(55, 1, 'Pick Label Accepted');"
                "INSERT INTO ImageTags VALUES (102, 52), (102, 54), (101, 53), (101, 55);");
        writeFile(dir + "/config/digikamrc", ("[Database Settings]\nDatabase Name=" + photos +
                                              "/\nDatabase Type=QSQLITE\n\n" + metadataSettings)
                                                 .toUtf8());
        return photos;
    }

    // The pair replaced by `rendition` named `name`, its files sent to digiKam's trash.
    static QString replacePair(
        DigikamStore& store, const QString& rendition, const QString& name,
        const std::function<void()>& beforeCommit = [] {}) {
        const auto items = store.assets(MediaType::Image, {});
        EXPECT_EQ(items.size(), 1u);
        ChangeRequests c;
        auto& made = c.creationRequestForAsset();
        made.addResource(ResourceType::Photo, rendition, {name, "public.jpeg"});
        made.derivedFrom = items.front()->localIdentifier;
        c.deleteAssets({items.front()});
        store.apply(c, QDateTime::currentDateTimeUtc(), beforeCommit);
        return made.placeholderForCreatedAsset().localIdentifier;
    }

    static QStringList sidecarsIn(const QString& folder) {
        return QDir(folder).entryList({"*.xmp"}, QDir::Files | QDir::Hidden, QDir::Name);
    }

    QTemporaryDir tmp;
    QString jpeg, heic;
    QByteArray previousConfig;
};

const char* const allSaved = "[Metadata Settings]\nSave Rating=true\nSave Tags=true\nSave Pick "
                             "Label=true\nSave Color Label=true\n";

} // namespace

TEST_F(DigikamMetadataWriting, WritesThePairsMarksIntoTheFileOrSidecarAsDigikamIsSetTo) {
    struct Case {
        QString settings;
        bool heicRendition;
        bool inFile;
        QString sidecar; // empty: none
        bool throughConfiguration = false;
    };
    const QString saved = allSaved;
    const std::vector<Case> cases{
        // digiKam's defaults: everything in its database only.
        {"[Metadata Settings]\nMetadata Writing Mode=2\n", false, false, {}},
        {saved + "Metadata Writing Mode=0\n", false, true, {}},
        // Exiv2 cannot write into a HEIC: digiKam keeps its marks in its database only...
        {saved + "Metadata Writing Mode=0\n", true, false, {}},
        {saved + "Metadata Writing Mode=1\nUse Compatible File Name=true\n", false, false,
         "IMG_1.xmp"},
        {saved + "Metadata Writing Mode=2\n", false, true, "IMG_1.jpeg.xmp"},
        {saved + "Metadata Writing Mode=3\n", false, true, {}, true},
        // ...or, set to, in its sidecar.
        {saved + "Metadata Writing Mode=3\n", true, false, "IMG_1.heic.xmp", true},
    };
    int n = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings.toStdString() + (c.heicRendition ? " HEIC" : " JPEG"));
        const QString dir = tmp.path() + "/case" + QString::number(++n);
        const QString photos = makeLibrary(dir, c.settings);
        // The user's own configuration names this library, unless it was opened through one.
        qputenv("XDG_CONFIG_HOME",
                QFile::encodeName(c.throughConfiguration ? tmp.path() : dir + "/config"));
        DigikamStore store(photos + "/digikam4.db",
                           c.throughConfiguration ? dir + "/config/digikamrc" : QString());
        const QString name = c.heicRendition ? "IMG_1.heic" : "IMG_1.jpeg";
        const QString made = replacePair(store, c.heicRendition ? heic : jpeg, name);
        const QString file = photos + "/" + name;
        ASSERT_TRUE(QFile::exists(file));

        EXPECT_EQ(readFile(file) != readFile(c.heicRendition ? heic : jpeg), c.inFile);
        EXPECT_EQ(sidecarsIn(photos), c.sidecar.isEmpty() ? QStringList() : QStringList{c.sidecar});
        // The row describes the file as it lies there.
        EXPECT_EQ(sqlRows(photos + "/digikam4.db",
                          "SELECT fileSize, uniqueHash FROM Images WHERE name = '" + name + "'"),
                  QString("%1|%2\n").arg(QFileInfo(file).size()).arg(digikam::uniqueHashOf(file)));
        for (const QString& path : {c.inFile ? file : QString(),
                                    c.sidecar.isEmpty() ? QString() : photos + "/" + c.sidecar}) {
            if (path.isEmpty())
                continue;
            SCOPED_TRACE(path.toStdString());
            const QJsonObject tags = exiftoolTags(path);
            EXPECT_EQ(tags.value("XMP-xmp:Rating").toInt(-9), 4);
            EXPECT_EQ(tags.value("XMP-microsoft:RatingPercent").toInt(-9), 75);
            EXPECT_EQ(tags.value("XMP-digiKam:PickLabel").toVariant().toString(), "3");
            EXPECT_EQ(tags.value("XMP-digiKam:ColorLabel").toVariant().toString(), "4");
            EXPECT_EQ(tags.value("XMP-xmp:Label").toString(), "Green");
            EXPECT_EQ(listOf(tags.value("XMP-digiKam:TagsList")),
                      QStringList({"Places/France/Lyon", "Family"}));
            EXPECT_EQ(listOf(tags.value("XMP-lr:HierarchicalSubject")),
                      QStringList({"Places|France|Lyon", "Family"}));
            EXPECT_EQ(listOf(tags.value("XMP-microsoft:LastKeywordXMP")),
                      QStringList({"Places/France/Lyon", "Family"}));
            EXPECT_EQ(listOf(tags.value("XMP-dc:Subject")), QStringList({"Lyon", "Family"}));
            if (path == file) {
                EXPECT_EQ(tags.value("IFD0:Rating").toInt(-9), 4);
                EXPECT_EQ(tags.value("IFD0:RatingPercent").toInt(-9), 75);
                EXPECT_EQ(listOf(tags.value("IPTC:Keywords")), QStringList({"Lyon", "Family"}));
            }
        }
        if (c.sidecar.isEmpty())
            continue;
        // Sent to digiKam's trash, the picture takes its sidecar along, and brings it back.
        const auto item = store.assetsWithIdentifiers({made});
        ASSERT_EQ(item.size(), 1u);
        ChangeRequests deletion;
        deletion.deleteAssets({item.front()});
        store.apply(deletion, QDateTime::currentDateTimeUtc(), [] {});
        EXPECT_EQ(sidecarsIn(photos), QStringList());
        const QStringList trashed = QDir(photos + "/.dtrash/files").entryList({"*.xmp"});
        ASSERT_EQ(trashed.size(), 1) << trashed.join(' ').toStdString();
        EXPECT_TRUE(trashed.front().startsWith("IMG_1-"));
        EXPECT_EQ(store.restore({made}), 1);
        EXPECT_EQ(sidecarsIn(photos), QStringList{c.sidecar});
        EXPECT_TRUE(QFile::exists(file));
    }
    // A configuration of another library says nothing about this one.
    const QString photos = makeLibrary(tmp.path() + "/other", allSaved);
    writeFile(tmp.path() + "/mine/digikamrc", QString("[Database Settings]\nDatabase Name=%1/\n%2")
                                                  .arg(tmp.path() + "/case2/photos", allSaved)
                                                  .toUtf8());
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(tmp.path() + "/mine"));
    DigikamStore store(photos + "/digikam4.db");
    replacePair(store, jpeg, "IMG_1.jpeg");
    EXPECT_EQ(readFile(photos + "/IMG_1.jpeg"), readFile(jpeg));
}

TEST_F(DigikamMetadataWriting, AChangeThatFailsAfterWritingLeavesNoFileNorSidecar) {
    const QString dir = tmp.path() + "/lib";
    const QString photos = makeLibrary(dir, QString(allSaved) + "Metadata Writing Mode=2\n");
    DigikamStore store(photos + "/digikam4.db", dir + "/config/digikamrc");
    const QStringList before = QDir(photos).entryList(QDir::Files | QDir::Hidden);
    EXPECT_THROW(replacePair(store, jpeg, "IMG_1.jpeg",
                             [&] {
                                 // Both were in place when the change failed.
                                 EXPECT_TRUE(QFile::exists(photos + "/IMG_1.jpeg.xmp"));
                                 throw std::runtime_error("cut");
                             }),
                 std::runtime_error);
    EXPECT_EQ(QDir(photos).entryList(QDir::Files | QDir::Hidden), before);
    EXPECT_EQ(store.assets(MediaType::Image, {}).size(), 1u);
    EXPECT_EQ(sqlRows(photos + "/digikam4.db", "SELECT count(*) FROM Images"), "2\n");
}
