#include "PairListing.h"
#include "core/ByteCountFormat.h"
#include "support/TestSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLocale>

TEST(ByteCountFormat, FileStyleFigures) {
    const QLocale previous;
    struct Case {
        const char* locale;
        qint64 bytes;
        QString text;
    };
    const QList<Case> cases = {
        {"C", 0, "0 bytes"},
        {"C", 1, "1 byte"},
        {"C", 1000, "1 kB"},
        {"C", 1500, "2 kB"},
        {"C", 999500, "1 MB"}, // rounding reaches the next unit
        {"C", 12345678, "12.3 MB"},
        {"C", 12049999, "12 MB"}, // no trailing zero
        {"C", 3141592653589, "3.14 TB"},
        {"C", -12345678, "-12.3 MB"},
        {"C", std::numeric_limits<qint64>::max(), "9.22 EB"},
        {"de_DE", 12345678, "12,3 MB"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        QLocale::setDefault(QLocale(QString::fromLatin1(c.locale)));
        EXPECT_EQ(twinslim::formatByteCount(c.bytes), c.text);
    }
    QLocale::setDefault(previous);
}

// A size the library does not know is no size of zero bytes to a script.
TEST(PairListing, UnknownSizesAreNullKnownOnesNumbers) {
    twinslim::PhotoPair pair;
    pair.id = "A/L0/001";
    pair.jpegBytes = 0;
    const QJsonObject o =
        QJsonDocument::fromJson(twinslimcli::pairJson({pair})).array().at(0).toObject();
    EXPECT_TRUE(o["rawBytes"].isNull());
    EXPECT_TRUE(o["creationDate"].isNull());
    EXPECT_TRUE(o["jpegBytes"].isDouble());
    EXPECT_EQ(o["jpegBytes"].toDouble(-1), 0);
    // The status line counts in the singular for one.
    EXPECT_EQ(twinslimcli::scanStatus(1, 0), "1 pair · 0 bytes reclaimable");
    EXPECT_EQ(twinslimcli::scanStatus(2, 0), "2 pairs · 0 bytes reclaimable");
}

// Sizes are right-aligned, so that their units line up under the headings' ends.
TEST(PairListing, SizesAreRightAligned) {
    const QLocale previous;
    QLocale::setDefault(QLocale::c());
    twinslim::PhotoPair big, small;
    big.id = "A/L0/001";
    big.rawBytes = 25'000'000;
    big.jpegBytes = 8'400'000;
    small.id = "B/L0/001";
    small.rawBytes = 900; // the JPEG's size unknown
    const QStringList lines = twinslimcli::pairTable({big, small}).split('\n', Qt::SkipEmptyParts);
    QLocale::setDefault(previous);
    ASSERT_EQ(lines.size(), 3);
    EXPECT_TRUE(lines[0].endsWith(" RAW Size  JPEG Size")) << lines[0].toStdString();
    EXPECT_TRUE(lines[1].endsWith("    25 MB     8.4 MB")) << lines[1].toStdString();
    EXPECT_TRUE(lines[2].endsWith("900 bytes" + QString(10, ' ') + "\u2014"))
        << lines[2].toStdString();
}
