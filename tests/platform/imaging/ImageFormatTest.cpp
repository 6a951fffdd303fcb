#include "platform/imaging/ImageFormat.h"

#include <QByteArray>
#include <QList>
#include <gtest/gtest.h>

using imaging::ImageFormat;
using imaging::sniffImageFormat;

namespace {

// An ISO-BMFF file type box with the given brands.
QByteArray ftyp(const QByteArray& major, const QList<QByteArray>& compatible) {
    QByteArray box;
    const int size = 16 + 4 * int(compatible.size());
    box.append(char(0)).append(char(0)).append(char(0)).append(char(size));
    box.append("ftyp").append(major).append(QByteArray(4, '\0'));
    for (const QByteArray& brand : compatible)
        box.append(brand);
    return box + QByteArray("\0\0\0\x08meta", 8);
}

} // namespace

TEST(ImageFormat, MagicNumbers) {
    EXPECT_EQ(sniffImageFormat(QByteArray("\xFF\xD8\xFF\xE1", 4)), ImageFormat::Jpeg);
    EXPECT_EQ(sniffImageFormat(ftyp("heic", {"mif1", "heic"})), ImageFormat::Heif);
    EXPECT_EQ(sniffImageFormat(ftyp("mif1", {"mif1", "heic"})), ImageFormat::Heif);
    EXPECT_EQ(sniffImageFormat(ftyp("avif", {"mif1"})), ImageFormat::Heif);
    // Canon lists ISO brands too; crx decides.
    EXPECT_EQ(sniffImageFormat(ftyp("crx ", {"crx ", "isom"})), ImageFormat::CameraRaw);
    EXPECT_EQ(sniffImageFormat(ftyp("isom", {"isom", "mp41"})), ImageFormat::Unknown);
    EXPECT_EQ(sniffImageFormat(ftyp("qt  ", {})), ImageFormat::Unknown);
    EXPECT_EQ(sniffImageFormat(QByteArray("II*\0\x08\0\0\0", 8)), ImageFormat::Tiff);
    EXPECT_EQ(sniffImageFormat(QByteArray("MM\0*\0\0\0\x08", 8)), ImageFormat::Tiff);
    for (const QByteArray& raw :
         {QByteArray("IIRO\x08\0\0\0", 8), QByteArray("IIU\0\x08\0\0\0", 8),
          QByteArray("FUJIFILMCCD-RAW 0201"), QByteArray("II\x1A\0\0\0HEAPCCDR", 14),
          QByteArray("FOVb"), QByteArray("\0MRM\0\0", 6)})
        EXPECT_EQ(sniffImageFormat(raw), ImageFormat::CameraRaw) << raw.toHex().constData();
    for (const QByteArray& other :
         {QByteArray(), QByteArray("\xFF\xD8", 2), QByteArray("\x89PNG\r\n\x1A\n", 8),
          QByteArray("GIF89a"), QByteArray("II*"),
          QByteArray("\0\0\0\x18"
                     "ftyp",
                     8)})
        EXPECT_EQ(sniffImageFormat(other), ImageFormat::Unknown) << other.toHex().constData();
    // An ftyp box claiming to be larger than the data still gives its brands.
    QByteArray cut = ftyp("heic", {});
    cut[3] = char(200);
    EXPECT_EQ(sniffImageFormat(cut.left(12)), ImageFormat::Heif);
}
