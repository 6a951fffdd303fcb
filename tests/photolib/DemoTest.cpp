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

TEST(DemoPlan, MixAndDateBandsForTheDefaultSize) {
    const QDateTime now = QDateTime(QDate(2026, 3, 1), QTime(12, 0), Qt::UTC);
    const auto items = planDemo(defaultDemoPairs, now);
    const DemoSummary s = summarize(items);
    EXPECT_EQ(s.pairs, 60);
    EXPECT_EQ(s.favorites, 15);
    EXPECT_EQ(s.edited, 9);
    EXPECT_EQ(s.hidden, 3);
    EXPECT_EQ(s.undated, 2);
    EXPECT_EQ(s.rawOnly, 3);
    EXPECT_EQ(s.jpegOnly, 3);
    EXPECT_EQ(s.rawWithHeic, 1);
    EXPECT_EQ(s.rawRendered, 1);
    EXPECT_EQ(s.albums, QStringList({"Holidays", "Best of", "Family"}));

    int bands[4] = {0, 0, 0, 0};
    QSet<int> numbers;
    for (const DemoItem& item : items) {
        numbers.insert(item.number);
        const qint64 pixels = qint64(item.size.width()) * item.size.height();
        EXPECT_GE(pixels, 1'000'000);
        EXPECT_LE(pixels, 3'200'000);
        if (!item.date)
            continue;
        const qint64 days = item.date->secsTo(now) / 86400;
        ASSERT_GE(days, 1);
        ASSERT_LT(days, 730); // within two years, never in the future
        ++bands[days < 30 ? 0 : days < 90 ? 1 : days < 365 ? 2 : 3];
        EXPECT_FALSE(item.hidden && item.favorite);
    }
    EXPECT_EQ(numbers.size(), int(items.size())); // every file name is distinct
    for (int band : bands)
        EXPECT_GE(band, 15);
    // The same plan every time for the same moment.
    EXPECT_EQ(planDemo(defaultDemoPairs, now)[17].date, items[17].date);
}

TEST(DemoPlan, SmallAndEmptyPlans) {
    const QDateTime now = QDateTime::currentDateTimeUtc();
    const DemoSummary none = summarize(planDemo(0, now));
    EXPECT_EQ(none.pairs, 0);
    EXPECT_EQ(none.rawOnly, 3); // the single items are there whatever the number of pairs
    const DemoSummary fourteen = summarize(planDemo(14, now));
    EXPECT_EQ(fourteen.favorites, 4);
    EXPECT_EQ(fourteen.edited, 2);
    EXPECT_EQ(fourteen.hidden, 1);
    EXPECT_EQ(fourteen.undated, 1);
}

TEST(DemoPicture, ItemsLookDifferent) {
    const QImage a = drawDemoPicture(1, {320, 240});
    const QImage b = drawDemoPicture(2, {320, 240});
    EXPECT_EQ(a.size(), QSize(320, 240));
    EXPECT_NE(a, b);
    EXPECT_EQ(a, drawDemoPicture(1, {320, 240}));
    EXPECT_TRUE(drawDemoPicture(1, {}).isNull());
    EXPECT_EQ(drawDemoPicture(123456, {64, 48}).size(), QSize(64, 48)); // more digits than room
}

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

    Result albums = photolib({"albums"});
    for (const char* title : {"Holidays", "Best of", "Family"})
        EXPECT_TRUE(albums.out.contains(title)) << title;
    EXPECT_EQ(listJson({"--album", "Best of", "--favorites"}).size(),
              listJson({"--album", "Best of", "--pairs"}).size() - 1); // all but the edited RAW

    Result check = photolib({"check"});
    EXPECT_EQ(check.status, 0) << check.out.toStdString();
    EXPECT_EQ(photolib({"check", "--decode"}).status, 0);

    // The RAW files decode (LibRaw), upright and at the picture's size.
    int decoded = 0;
    for (const auto& v : items) {
        if (!hasExtension(v.toObject(), "DNG") || decoded == 2)
            continue;
        Result show = photolib({"show", v.toObject()["localIdentifier"].toString()});
        for (const QString& line : show.out.split('\n'))
            if (line.startsWith("stored: ") && line.endsWith(".dng")) {
                const QImage image = imaging::decodeRaw(line.mid(8));
                EXPECT_GE(qint64(image.width()) * image.height(), 1'000'000) << line.toStdString();
                ++decoded;
            }
    }
    EXPECT_EQ(decoded, 2);
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
    EXPECT_EQ(photolib({"demo", "--pairs", "-1", tmp.path() + "/other"}).status, 2);
    EXPECT_EQ(photolib({"demo", "--pairs", "x", tmp.path() + "/other"}).status, 2);
    EXPECT_EQ(photolib({"demo"}).status, 2);
    EXPECT_FALSE(QFileInfo::exists(tmp.path() + "/other"));
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

// A stored picture damaged inside keeps its size: only decoding it shows the damage.
TEST_F(PhotolibTest, CheckDecodeFindsAPictureDamagedInside) {
    QDir(library).removeRecursively();
    ASSERT_EQ(photolib({"demo", "--pairs", "1", library}).status, 0);
    QString stored, id;
    for (const auto& v :
         QJsonDocument::fromJson(photolib({"list", "--json"}).out.toUtf8()).array()) {
        id = v.toObject()["localIdentifier"].toString();
        for (const QString& line : photolib({"show", id}).out.split('\n'))
            if (line.startsWith("stored: ") && line.toLower().endsWith(".jpg"))
                stored = line.mid(8);
        if (!stored.isEmpty())
            break;
    }
    ASSERT_FALSE(stored.isEmpty());
    QFile file(stored);
    ASSERT_TRUE(file.open(QIODevice::ReadWrite));
    file.write(QByteArray(4, '\0')); // its start damaged, its size the same
    file.close();
    EXPECT_EQ(photolib({"check"}).status, 0);
    const Result decoded = photolib({"check", "--decode"});
    EXPECT_EQ(decoded.status, 1);
    EXPECT_TRUE(decoded.out.startsWith("item " + id + ": ")) << decoded.out.toStdString();
    EXPECT_TRUE(decoded.out.contains("does not decode as a picture"));
}
