#include "DemoLibrary.h"
#include "PhotolibTestSupport.h"

#include "platform/imaging/RawDecoder.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>

using namespace photolib;

namespace {

bool hasType(const QJsonObject& item, int type) {
    for (const auto& r : item["resources"].toArray())
        if (r.toObject()["type"].toInt() == type)
            return true;
    return false;
}

bool hasExtension(const QJsonObject& item, const QString& ext) {
    for (const auto& r : item["resources"].toArray())
        if (r.toObject()["originalFilename"].toString().endsWith("." + ext, Qt::CaseInsensitive))
            return true;
    return false;
}

} // namespace

// The library as photolib lists it must hold what the demo promises, and check clean.
TEST_F(PhotolibTest, DemoBuildsTheRangeOfItemsTheScanMustTellApart) {
    QDir(library).removeRecursively(); // the demo makes it
    Result r = photolib({"demo", "--pairs", "14", library});
    ASSERT_EQ(r.status, 0) << r.err.toStdString();
    EXPECT_EQ(r.out, "Created the demonstration library " + library +
                         ": 14 RAW+JPEG pairs (4 favourites, 2 edited, 1 hidden, 1 without a "
                         "capture date), 3 RAW-only, 3 JPEG-only, 1 RAW+HEIC, 1 edited RAW with "
                         "a JPEG rendering; albums: Holidays, Best of, Family.\n");

    const QJsonArray items = listJson();
    ASSERT_EQ(items.size(), 14 + 3 + 3 + 1 + 1);
    int pairs = 0, favorites = 0, hidden = 0, undated = 0, edited = 0, rawOnly = 0, jpegOnly = 0;
    int recent = 0, quarter = 0, old = 0, located = 0;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    for (const auto& v : items) {
        const QJsonObject item = v.toObject();
        const bool raw = hasExtension(item, "DNG");
        const bool jpeg = hasExtension(item, "JPG");
        const bool heic = hasExtension(item, "HEIC");
        const bool isPair = raw && jpeg && hasType(item, 1) && hasType(item, 4);
        pairs += isPair;
        rawOnly += raw && !jpeg && !heic && !hasType(item, 5);
        jpegOnly += jpeg && !raw;
        if (isPair) {
            favorites += item["isFavorite"].toBool();
            hidden += item["isHidden"].toBool();
            undated += item["creationDate"].isNull();
            edited += hasType(item, 7) && hasType(item, 5);
        }
        located += !item["location"].isNull();
        if (!item["creationDate"].isNull()) {
            const qint64 days =
                QDateTime::fromString(item["creationDate"].toString(), Qt::ISODate).secsTo(now) /
                86400;
            EXPECT_GE(days, 0);
            EXPECT_LT(days, 731);
            recent += days < 30;
            quarter += days >= 30 && days < 90;
            old += days > 365;
        }
    }
    EXPECT_EQ(pairs, 14);
    EXPECT_EQ(favorites, 4);
    EXPECT_EQ(hidden, 1);
    EXPECT_EQ(undated, 1);
    EXPECT_EQ(edited, 2);
    EXPECT_EQ(rawOnly, 3);
    EXPECT_EQ(jpegOnly, 3);
    EXPECT_GE(recent, 3);
    EXPECT_GE(quarter, 3);
    EXPECT_GE(old, 3);
    EXPECT_GT(located, 0);
    EXPECT_LT(located, items.size());
    // The pair rule counts any JPEG with a RAW: the edited RAW with its rendering too.
    EXPECT_EQ(listJson({"--pairs"}).size(), 15);

    EXPECT_EQ(listJson({"--album", "Best of", "--favorites"}).size(),
              listJson({"--album", "Best of", "--pairs"}).size() - 1); // all but the edited RAW

    Result check = photolib({"check"});
    EXPECT_EQ(check.status, 0) << check.out.toStdString();
    EXPECT_EQ(photolib({"check", "--decode"}).status, 0);

    // The RAW files decode (LibRaw), upright and at the picture's size; a JPEG damaged inside
    // keeps its size, so only decoding it shows the damage.
    int decoded = 0;
    QString damaged;
    for (const auto& v : items) {
        const QString id = v.toObject()["localIdentifier"].toString();
        for (const QString& line : photolib({"show", id}).out.split('\n')) {
            if (line.startsWith("stored: ") && line.endsWith(".dng") && decoded < 2) {
                const QImage image = imaging::decodeRaw(line.mid(8));
                EXPECT_GE(qint64(image.width()) * image.height(), 1'000'000) << line.toStdString();
                ++decoded;
            }
            if (line.startsWith("stored: ") && line.endsWith(".jpg") && damaged.isEmpty()) {
                QFile file(line.mid(8));
                ASSERT_TRUE(file.open(QIODevice::ReadWrite));
                file.write(QByteArray(4, '\0'));
                damaged = id;
            }
        }
    }
    EXPECT_EQ(decoded, 2);
    EXPECT_EQ(photolib({"check"}).status, 0);
    const Result decoding = photolib({"check", "--decode"});
    EXPECT_EQ(decoding.status, 1);
    EXPECT_TRUE(decoding.out.startsWith("item " + damaged + ": ")) << decoding.out.toStdString();
    EXPECT_TRUE(decoding.out.contains("does not decode as a picture"));
}

TEST_F(PhotolibTest, DemoNeverBuildsOverSomethingThatExists) {
    QDir(library).removeRecursively();
    QDir().mkpath(library);
    testsupport::writeFile(library + "/keep.txt", "mine");
    Result r = photolib({"demo", "--pairs", "1", library});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "photolib: Something already exists at “" + library + "”.\n");
    EXPECT_EQ(QDir(library).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
              QStringList{"keep.txt"});
}

// A failure halfway leaves nothing behind: the half-made library goes again.
TEST(DemoLibraryCreation, AFailureRemovesTheHalfMadeLibrary) {
    QTemporaryDir tmp;
    const QString path = tmp.path() + "/Half.photolibrary";
    auto items = planDemo(12, QDateTime::currentDateTimeUtc());
    items[10].size = QSize(); // no picture: its encoding fails, after a first batch is stored
    int progressCalls = 0;
    EXPECT_ANY_THROW(createDemoLibrary(path, items, [&](int, int) { ++progressCalls; }));
    EXPECT_EQ(progressCalls, 1);
    EXPECT_FALSE(QFileInfo::exists(path));
    EXPECT_EQ(QDir(tmp.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList());
}
