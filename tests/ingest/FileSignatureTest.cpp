#include "ingest/FileSignature.h"

#include "fixtures/ImageFixtures.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/JpegCodec.h"
#include "support/TestSupport.h"

#include <QBuffer>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <sys/stat.h>
#include <unistd.h>

using namespace twinslim;
using testsupport::writeFile;

namespace twinslim {
void PrintTo(const FileSignature& s, std::ostream* os) {
    *os << "{" << s.url.toStdString() << ", \"" << s.base.toStdString() << "\", "
        << (s.date ? s.date->toString(Qt::ISODate).toStdString() : "no date") << ", " << s.width
        << "×" << s.height << "}";
}
} // namespace twinslim

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

const QDateTime kTaken(QDate(2023, 7, 14), QTime(10, 22, 33), Qt::LocalTime);

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

TEST(ExportedFilesTest, KeepsExportExtensionsInScalarOrderOfTheCanonicalForm) {
    QTemporaryDir dir;
    ASSERT_TRUE(QDir(dir.path()).mkpath("sub") && QDir(dir.path()).mkpath("folder.heic"));
    for (const QString name :
         {"b.heic", "A.jpeg", "a.HEIF", "notes.txt", ".hidden.heic", ".heic", "photo.", "c.xmp",
          "c.heic.xmp", "c", "c.jpg2", "d.JpG", "😀.heic", "Ａ.jpg", "e\u0301b.heic", "éa.heic"})
        writeFile(dir.filePath(name), "x");
    // A trailing slash on the folder gives no doubled one.
    QStringList listed = listExportedFiles(dir.path() + u'/');
    for (QString& path : listed) {
        EXPECT_TRUE(path.startsWith(dir.path() + u'/')) << path.toStdString();
        path.remove(0, dir.path().size() + 1);
    }
    // NFD "éb" sorts with the NFC "éa"; U+FF21 before U+1F600 although its UTF-16 code unit is
    // larger.
    EXPECT_EQ(listed, QStringList({".hidden.heic", "A.jpeg", "a.HEIF", "b.heic", "d.JpG", "éa.heic",
                                   "e\u0301b.heic", "Ａ.jpg", "😀.heic"}));

    for (const QString& folder : {dir.filePath("missing"), dir.filePath("b.heic"), QString()})
        EXPECT_TRUE(listExportedFiles(folder).isEmpty()) << folder.toStdString();
    if (::geteuid() != 0) { // root reads any folder
        ASSERT_EQ(::chmod(QFile::encodeName(dir.path()).constData(), 0), 0);
        EXPECT_TRUE(listExportedFiles(dir.path()).isEmpty());
        ::chmod(QFile::encodeName(dir.path()).constData(), 0700);
    }
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

TEST_F(ReadSignatureTest, ReadsSizeAndOnlyAnExactOriginalDateAsLocalTime) {
    const auto exifDated = [](const char* text) {
        imaging::ExifFields fields;
        fields.dateTimeOriginal = QString::fromUtf8(text);
        fields.offsetTimeOriginal = "+09:00"; // not consulted
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
        {"IMG_0412 (1).JPG", datedJpeg, kTaken},
        {"IMG_0412.heic", heic(dated), kTaken},
        {"content-decides.heic", datedJpeg, kTaken},
        {"cut-in-image-data.jpg", datedJpeg.first(datedJpeg.size() * 3 / 4), kTaken},
        // Headers far past the first read, behind thousands of tiny segments.
        {"tiny-segments-first.jpg",
         QByteArray(datedJpeg).insert(2, QByteArray("\xFF\xEF\x00\x04xy", 6).repeated(30000)),
         kTaken},
        {"no-nul.jpg", jpeg(exifWithEntry(0x9003, 2, "2023:07:14 10:22:33")), kTaken},
        {"no-exif.jpg", jpeg({}), std::nullopt},
        {"digitized-only.jpg", jpeg(exifWithEntry(0x9004, 2, ascii("2023:07:14 10:22:33"))),
         std::nullopt},
        {"digitized-only.heic", heic(exifWithEntry(0x9004, 2, ascii("2023:07:14 10:22:33"))),
         std::nullopt},
        {"not-text.jpg", jpeg(exifWithEntry(0x9003, 7, ascii("2023:07:14 10:22:33"))),
         std::nullopt},
        // Unreadable: the name's base only.
        {"notes (1).heic", "not an image at all", std::nullopt, false},
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
    // In Berlin's summer time.
    EXPECT_EQ(kTaken.toUTC().time(), QTime(8, 22, 33));

    // Neither a missing file, a folder nor a FIFO (which must not block) has an image.
    ASSERT_TRUE(QDir(dir.path()).mkpath("folder (2).heic"));
    ASSERT_EQ(::mkfifo(QFile::encodeName(dir.filePath("pipe.heic")).constData(), 0600), 0);
    for (const QString name : {"missing.jpg", "folder (2).heic", "pipe.heic"})
        EXPECT_EQ(readSignature(dir.filePath(name)),
                  (FileSignature{dir.filePath(name), normalizedBase(name), std::nullopt, 0, 0}))
            << name.toStdString();
}

namespace {

// A HEIF file whose item locations list thousands of other items before the Exif item, each with
// the most extents there can be (65535) and field sizes of 0, so that the extents take no bytes.
QByteArray heifWithEmptyExtents(int otherItems, const QByteArray& exif) {
    const auto be = [](quint64 value, int bytes) {
        QByteArray b;
        for (int i = bytes - 1; i >= 0; --i)
            b.append(char((value >> (8 * i)) & 0xFF));
        return b;
    };
    const auto box = [&](const char* type, const QByteArray& payload) {
        return be(quint64(8 + payload.size()), 4) + QByteArray(type, 4) + payload;
    };
    const QByteArray fullBox(4, '\0'); // version 0, no flags
    const QByteArray infeV2("\x02\0\0\0", 4);
    const auto infe = [&](quint16 id, const char* type) {
        return box("infe", infeV2 + be(id, 2) + be(0, 2) + QByteArray(type, 4) + '\0');
    };
    const QByteArray ftyp = box("ftyp", "heic" + be(0, 4) + "mif1heic");
    const auto meta = [&](quint64 exifOffset) {
        QByteArray iloc =
            fullBox + QByteArray("\0\x40", 2) + be(quint64(otherItems) + 1, 2); // base offsets
        for (int i = 0; i < otherItems; ++i) // id, data reference, base offset, extent count
            iloc += be(quint64(3 + i % 60000), 2) + be(0, 2) + be(0, 4) + be(0xFFFF, 2);
        iloc += be(2, 2) + be(0, 2) + be(exifOffset, 4) + be(1, 2); // to the end of the file
        return box("meta",
                   fullBox + box("pitm", fullBox + be(1, 2)) +
                       box("iinf", fullBox + be(2, 2) + infe(1, "hvc1") + infe(2, "Exif")) +
                       box("iref", fullBox + box("cdsc", be(2, 2) + be(1, 2) + be(1, 2))) +
                       box("iprp", box("ipco", box("ispe", fullBox + be(64, 4) + be(48, 4))) +
                                       box("ipma", fullBox + be(1, 4) + be(1, 2) + "\x01\x81")) +
                       box("iloc", iloc));
    };
    const qsizetype metaSize = meta(0).size();
    return ftyp + meta(quint64(ftyp.size() + metaSize + 8)) + box("mdat", be(0, 4) + exif);
}

} // namespace

// Stepping through each of these extents one by one takes four billion steps (hours); the reader
// steps over another item's extents at once.
TEST_F(ReadSignatureTest, ManyEmptyItemExtentsAreSteppedOver) {
    imaging::ExifFields fields;
    fields.dateTimeOriginal = "2023:07:14 10:22:33";
    const QString path =
        write("extents.heic", heifWithEmptyExtents(65000, imaging::buildExifBlock(fields)));
    EXPECT_EQ(readSignature(path), (FileSignature{path, "extents", kTaken, 64, 48}));
}

TEST(ReadSignatureSamplesTest, MatchesTheManifest) {
    TWINSLIM_REQUIRE_SAMPLES();
    const QString samples = testsupport::samplesDir();
    const QList<QByteArray> rows = testsupport::readFile(samples + "/manifest.tsv").split('\n');
    int checked = 0;
    for (const QByteArray& row : rows.mid(1)) {
        // path, format, bytes, pixels, make, model, DateTimeOriginal, …
        const QList<QByteArray> f = row.split('\t');
        if (f.size() < 7 || !(f[0].startsWith("heic/") || f[0].startsWith("jpeg/")))
            continue;
        const FileSignature s = readSignature(samples + u'/' + QString::fromUtf8(f[0]));
        EXPECT_EQ(QString("%1x%2").arg(s.width).arg(s.height), QString::fromUtf8(f[3]))
            << f[0].toStdString();
        const QDateTime date =
            QDateTime::fromString(QString::fromUtf8(f[6]), "yyyy:MM:dd HH:mm:ss");
        EXPECT_EQ(s.date, date.isValid() ? std::optional(date) : std::nullopt)
            << f[0].toStdString();
        ++checked;
    }
    EXPECT_GE(checked, 2);
}
