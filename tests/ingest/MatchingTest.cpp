#include "ingest/FileSignature.h"
#include "ingest/IngestMatcher.h"

#include "fixtures/ImageFixtures.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/JpegCodec.h"
#include "support/TestSupport.h"

#include <QBuffer>
#include <QImage>
#include <QTemporaryDir>

using namespace twinslim;
using testsupport::writeFile;

namespace {

// A little-endian EXIF block whose Exif IFD holds one entry, `tag` of `type` with `value`, so a
// test can write tags and types the fixture builder does not.
QByteArray exifWithEntry(quint16 tag, quint16 type, const QByteArray& value) {
    QByteArray b("II*\0", 4);
    const auto put = [&b](quint32 v, int bytes) {
        for (int i = 0; i < bytes; ++i)
            b.append(char((v >> (8 * i)) & 0xFF));
    };
    put(8, 4);                                                              // IFD0 at 8
    put(1, 2), put(0x8769, 2), put(4, 2), put(1, 4), put(26, 4), put(0, 4); // → Exif IFD at 26
    put(1, 2), put(tag, 2), put(type, 2), put(quint32(value.size()), 4);
    if (value.size() <= 4)
        b.append(value.leftJustified(4, '\0'));
    else
        put(44, 4);
    put(0, 4);
    return b.append(value.size() > 4 ? value : QByteArray());
}

QByteArray ascii(const char* text) {
    return QByteArray(text, qsizetype(strlen(text)) + 1); // with the terminating NUL
}

// EXIF "2023:07:14 10:22:33", local (Berlin summer) time.
const QDateTime t0(QDate(2023, 7, 14), QTime(8, 22, 33), Qt::UTC);

photos::AssetPtr item(const QString& id, std::optional<QDateTime> date, bool favourite = false,
                      QStringList names = {"IMG_1.CR3", "IMG_1.JPG"}) {
    auto asset = std::make_shared<photos::Asset>();
    asset->localIdentifier = id;
    asset->creationDate = date;
    asset->isFavorite = favourite;
    for (const QString& name : names) {
        auto r = std::make_shared<photos::AssetResource>();
        r->originalFilename = name;
        asset->resources.push_back(r);
    }
    return asset;
}

FileSignature file(const QString& name, std::optional<QDateTime> date) {
    return {"/x/" + name, normalizedBase(name), date, 0, 0};
}

} // namespace

TEST(NormalizedBaseTest, RemovesExtensionCopySuffixesAndCase) {
    const std::vector<std::pair<QString, QString>> cases = {
        {"IMG_0412 (1).HEIC", "img_0412"},
        {"IMG_0412 2.heic", "img_0412"},
        {"IMG_0412(12)", "img_0412"},
        {"IMG_0412 2 (1).heic", "img_0412"},
        {"IMG_0412 (a).heic", "img_0412 (a)"},
        {"IMG_0412 (1) .heic", "img_0412 (1)"},
        {"IMG_0412 1a.heic", "img_0412 1a"},
        {"DSC 1234.heic", "dsc"},
        {"photo.JPG.heic", "photo.jpg"},
        {"(3).heic", ""},
        {"ÉCLAIR.HEIC", "éclair"},
        {"Cafe\u0301 2.jpg", "café"}, // canonically equivalent to the composed form
        // Unicode digits and whitespace.
        {"IMG_0412 (٣).heic", "img_0412"},
        {"IMG_0412 ３.heic", "img_0412"},
        {"IMG_0412\u00A0(1).heic", "img_0412"},
        {"IMG_0412\u30002.heic", "img_0412"},
        {"IMG_0412\n2.heic", "img_0412"},
        // The suffixes must end the text, and the trim keeps line breaks.
        {"IMG_0412 (1)\n.heic", "img_0412 (1)\n"},
        {"\t IMG_0412\u3000\u00A0.heic", "img_0412"},
        // Only the last extension goes, never a leading or trailing dot.
        {".heic", ".heic"},
        {"photo.", "photo."},
        {"..heic", "."},
    };
    for (const auto& [name, base] : cases)
        EXPECT_EQ(normalizedBase(name), base) << name.toStdString();
}

class ReadSignatureTest : public ::testing::Test {
protected:
    QString write(const QString& name, const QByteArray& bytes) {
        writeFile(dir.filePath(name), bytes);
        return dir.filePath(name);
    }
    static QByteArray jpeg(const QByteArray& exif) {
        return imaging::encodeJpeg(fixtures::makePattern(QSize(64, 48)), 0.9, exif);
    }
    static QByteArray heic(const QByteArray& exif) {
        return imaging::encodeHeic(fixtures::makePattern(QSize(64, 48)), 0.5, exif);
    }
    QTemporaryDir dir;
};

TEST_F(ReadSignatureTest, ReadsSizeAndOnlyAnExactOriginalDateAtItsOffsetElseAsLocalTime) {
    const auto exifDated = [](const char* text, const char* offset = "+02:00") {
        imaging::ExifFields fields;
        fields.dateTimeOriginal = QString::fromUtf8(text);
        fields.offsetTimeOriginal = offset;
        return imaging::buildExifBlock(fields);
    };
    const QByteArray dated = exifDated("2023:07:14 10:22:33");
    const QByteArray datedJpeg = jpeg(dated);
    QByteArray png;
    {
        QBuffer buffer(&png);
        fixtures::makePattern(QSize(64, 48)).save(&buffer, "PNG");
    }
    struct Case {
        QString name;
        QByteArray bytes;
        std::optional<QDateTime> date;
        bool readable = true;
    };
    std::vector<Case> cases = {
        {"IMG_0412 (1).JPG", datedJpeg, t0},
        {"IMG_0412.heic", heic(dated), t0},
        {"content-decides.heic", datedJpeg, t0},
        {"cut-in-image-data.jpg", datedJpeg.first(datedJpeg.size() * 3 / 4), t0},
        // Headers far past the first read, behind thousands of tiny segments.
        {"tiny-segments-first.jpg",
         QByteArray(datedJpeg).insert(2, QByteArray("\xFF\xEF\x00\x04xy", 6).repeated(30000)), t0},
        {"no-nul.jpg", jpeg(exifWithEntry(0x9003, 2, "2023:07:14 10:22:33")), t0},
        // The wall-clock time of another zone, as the photo library exports it.
        {"taken-in-tokyo.jpg", jpeg(exifDated("2023:07:14 10:22:33", "+09:00")),
         t0.addSecs(-7 * 3600)},
        {"blank-offset.jpg", jpeg(exifDated("2023:07:14 10:22:33", "   :  ")), t0},
        {"no-exif.jpg", jpeg({}), std::nullopt},
        {"digitized-only.jpg", jpeg(exifWithEntry(0x9004, 2, ascii("2023:07:14 10:22:33"))),
         std::nullopt},
        {"not-text.jpg", jpeg(exifWithEntry(0x9003, 7, ascii("2023:07:14 10:22:33"))),
         std::nullopt},
        // Unreadable: the name's base only.
        {"empty.jpg", {}, std::nullopt, false},
        {"png.jpg", png, std::nullopt, false},
        {"cut-in-exif.jpg", datedJpeg.first(40), std::nullopt, false},
        {"cut-before-frame.jpg", datedJpeg.first(datedJpeg.indexOf("\xFF\xC0")), std::nullopt,
         false},
        {"cut-in-meta.heic", heic(dated).first(120), std::nullopt, false},
    };
    // A date not in the exact form is absent.
    for (const char* text :
         {"2023:07:14 10:22:33 ", " 2023:07:14 10:22:33", "2023-07-14 10:22:33",
          "2023:07:14T10:22:33", "2023:07:14 10:22", "2023:07:14 10:22:33.5", "2023:02:30 10:22:33",
          "2023:07:14 24:00:00", "    :  :     :  :  ", "２023:07:14 10:22:33", ""})
        cases.push_back(
            {QString("bad date %1.jpg").arg(cases.size()), jpeg(exifDated(text)), std::nullopt});
    for (const Case& c : cases) {
        const FileSignature s = readSignature(write(c.name, c.bytes));
        EXPECT_EQ(s, (FileSignature{dir.filePath(c.name), normalizedBase(c.name), c.date,
                                    c.readable ? 64 : 0, c.readable ? 48 : 0}))
            << c.name.toStdString();
    }
}

TEST(IngestMatcher, NameFirstThenTheNearestDateStrictlyWithinTwoSeconds) {
    const auto at = [](double seconds) { return t0.addMSecs(qint64(seconds * 1000)); };
    const auto a = item("A/L0/001", at(1.5), true), b = item("B/L0/001", at(-3));
    const QString noneWithin = "AMBIGUOUS IMG_1 (2).heic: base=\"img_1\" matched 2 assets, none "
                               "within 2s of EXIF 2023-07-14 08:22:33 +0000";
    const struct {
        const char* name;
        std::vector<photos::AssetPtr> members;
        std::optional<QDateTime> fileDate;
        QString expected; // matched id, or the log line
    } cases[] = {
        {"one candidate, an hour off", {item("C/L0/001", t0.addSecs(3600))}, t0, "C/L0/001"},
        {"1.5 s beats 3 s", {b, a}, t0, "A/L0/001"},
        {"both within, nearer wins",
         {item("N/L0/001", at(1.9)), item("M/L0/001", at(0.4))},
         t0,
         "M/L0/001"},
        {"equally near, member order",
         {item("P/L0/001", at(-1)), item("Q/L0/001", at(1))},
         t0,
         "P/L0/001"},
        {"exactly 2 s", {item("P/L0/001", at(2)), item("Q/L0/001", at(-2.5))}, t0, noneWithin},
        {"undated candidates",
         {item("P/L0/001", std::nullopt), item("Q/L0/001", std::nullopt)},
         t0,
         noneWithin},
        {"in both albums, dated", {a, b, a}, at(1), "A/L0/001"},
        {"in both albums, undated",
         {a, a},
         std::nullopt,
         "AMBIGUOUS IMG_1 (2).heic: base=\"img_1\" matched 2 assets and file has no EXIF date "
         "to disambiguate"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IngestMatcher matcher(albumMembers(c.members), {});
        const MatchDecision d = matcher.match(file("IMG_1 (2).heic", c.fileDate), "IMG_1 (2).heic");
        if (d.kind == MatchDecision::Kind::matched) {
            EXPECT_EQ(d.asset->localIdentifier, c.expected);
            EXPECT_EQ(d.message, "MATCH IMG_1 (2).heic → asset " + c.expected +
                                     (d.asset->isFavorite ? " [fav]" : " [non-fav]"));
        } else {
            EXPECT_EQ(d.message, c.expected);
            EXPECT_FALSE(d.asset);
        }
    }
}

TEST(IngestMatcher, AMemberMatchesOnceAndEarlierReplacementsNever) {
    const auto a = item("A/L0/001", t0), b = item("B/L0/001", t0, false, {"IMG_2.JPG"});
    IngestMatcher matcher(albumMembers({a, b}), {b});
    EXPECT_EQ(matcher.match(file("IMG_1.heic", t0), "IMG_1.heic").kind,
              MatchDecision::Kind::matched);
    EXPECT_EQ(matcher.match(file("IMG_1 (1).heic", t0), "IMG_1 (1).heic").kind,
              MatchDecision::Kind::unmatched);
    const MatchDecision again = matcher.match(file("IMG_2.heic", t0), "IMG_2.heic");
    EXPECT_EQ(again.kind, MatchDecision::Kind::alreadyReplaced);
    EXPECT_EQ(again.message, "SKIPPED IMG_2.heic → asset B/L0/001: replaced by an earlier run; "
                             "the original waits in “TwinslimOriginalsToDelete” to be deleted");
    // Empty stems are dropped from the members, so an empty file stem never matches.
    const auto odd = item("O/L0/001", t0, false, {"(3).JPG"});
    EXPECT_TRUE(albumMembers({odd}).front().bases.isEmpty());
}
