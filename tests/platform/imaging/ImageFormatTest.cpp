#include "platform/imaging/ImageFormat.h"

#include <QByteArray>
#include <QList>
#include <gtest/gtest.h>

using imaging::ImageFormat;

namespace {

// An ISO-BMFF file type box with the given brands, followed by the next box's header.
QByteArray ftyp(const QByteArray& major, const QList<QByteArray>& compatible, int size = 0) {
    QByteArray box = QByteArray(3, '\0') + char(size ? size : 16 + 4 * compatible.size());
    box += "ftyp" + major + QByteArray(4, '\0');
    for (const QByteArray& brand : compatible)
        box += brand;
    return box + QByteArray("\0\0\0\x08meta", 8);
}

} // namespace

TEST(ImageFormat, JudgedFromTheFirstBytes) {
    const std::pair<ImageFormat, QList<QByteArray>> cases[] = {
        {ImageFormat::Jpeg, {QByteArray("\xFF\xD8\xFF\xE1", 4)}},
        // A box claiming to be larger than the data still gives its brands.
        {ImageFormat::Heif,
         {ftyp("heic", {"mif1", "heic"}), ftyp("mif1", {"mif1", "heic"}), ftyp("avif", {"mif1"}),
          ftyp("heic", {}, 200).left(12)}},
        {ImageFormat::Tiff, {QByteArray("II*\0\x08\0\0\0", 8), QByteArray("MM\0*\0\0\0\x08", 8)}},
        // Canon lists ISO brands too; crx decides.
        {ImageFormat::CameraRaw,
         {ftyp("crx ", {"crx ", "isom"}), QByteArray("IIRO\x08\0\0\0", 8),
          QByteArray("IIU\0\x08\0\0\0", 8), QByteArray("FUJIFILMCCD-RAW 0201"),
          QByteArray("II\x1A\0\0\0HEAPCCDR", 14), QByteArray("FOVb"), QByteArray("\0MRM\0\0", 6)}},
        {ImageFormat::Unknown,
         {// Brands past the sniffed length do not count, however large the box claims to be.
          ftyp("isom", QList<QByteArray>(12, "isom") << "heic", 100),
          ftyp("isom", {"isom", "mp41"}), ftyp("qt  ", {}), QByteArray(), QByteArray("\xFF\xD8", 2),
          QByteArray("\x89PNG\r\n\x1A\n", 8), QByteArray("GIF89a"), QByteArray("II*"),
          QByteArray::fromHex("0000001866747970")}},
    };
    for (const auto& [expected, heads] : cases)
        for (const QByteArray& head : heads)
            EXPECT_EQ(imaging::sniffImageFormat(head), expected) << head.toHex().constData();
}
