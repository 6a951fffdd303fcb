// Writes small generated files into the folder given: seeds that reach the parsers' deeper paths
// (EXIF with GPS and a thumbnail, HEIC with EXIF, DNG with a preview, CR3 boxes with metadata and
// previews) without sample files, and file names (*.name, the name as UTF-8) for the name stem.
#include "platform/imaging/DngWriter.h"
#include "platform/imaging/ExifFields.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/JpegCodec.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <cstdio>

namespace {

// An ISO-BMFF box: big-endian size, type, payload.
QByteArray box(const char* type, const QByteArray& payload) {
    const quint32 size = quint32(8 + payload.size());
    QByteArray b;
    for (int shift = 24; shift >= 0; shift -= 8)
        b.append(char((size >> shift) & 0xFF));
    return b.append(type, 4).append(payload);
}

// The shape of a Canon CR3 as far as the metadata and preview readers go: CMT1/CMT2/CMT4 and
// THMB in Canon's metadata box inside `moov`, PRVW in the preview box at the top level.
QByteArray cr3(const QByteArray& tiff, const QByteArray& thumbnail, const QByteArray& preview) {
    const QByteArray metadataUuid(
        "\x85\xC0\xB6\x87\x82\x0F\x11\xE0\x81\x11\xF4\xCE\x46\x2B\x6A\x48", 16);
    const QByteArray previewUuid("\xEA\xF4\x2B\x5E\x1C\x98\x4B\x88\xB9\xFB\xB7\xDC\x40\x6E\x4D\x16",
                                 16);
    // THMB and PRVW start with a few header bytes (version, sizes) before the JPEG.
    const QByteArray sizes("\0\0\0\0\0\x10\0\x0C\0\0\0\0\0\0\0\0", 16);
    const QByteArray canon =
        box("CMT1", tiff) + box("CMT2", tiff) + box("CMT4", tiff) + box("THMB", sizes + thumbnail);
    return box("ftyp", "crx " + QByteArray("\0\0\0\1", 4) + "crx isom") +
           box("moov", box("uuid", metadataUuid + canon)) +
           box("uuid", previewUuid + QByteArray(8, '\0') + box("PRVW", sizes + preview));
}

// Names as exports and copies get them: copy and number suffixes, Unicode digits and spaces,
// decomposed accents, hidden files, a trailing dot, a folder part, a line break.
const char* const kNames[] = {
    "IMG_0412.HEIC",
    "IMG_0412 (1).jpg",
    "IMG_0412 2.jpeg",
    "Cafe\xCC\x81 3.heif",
    "\xE5\x86\x99\xE7\x9C\x9F\xE3\x80\x80\xEF\xBC\x91\xEF\xBC\x92.jpg",
    ".heic",
    "photo.",
    "(3).heic",
    "a.b/IMG 7.JPG",
    "line\n 4.jpg",
    "\tDSC\xC2\xA0(12)\xC2\xA0.HEIC",
};

} // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    const QImage small = image.scaled(16, 12);
    imaging::ExifFields fields;
    fields.orientation = 6;
    fields.dateTimeOriginal = QStringLiteral("2023:07:14 10:22:33");
    fields.offsetTimeOriginal = QStringLiteral("+02:00");
    fields.latitude = 48.8584;
    fields.longitude = -2.2945;
    fields.pixelWidth = 64;
    fields.pixelHeight = 48;
    fields.thumbnailJpeg = imaging::encodeJpeg(small, 0.5);
    const QByteArray exif = imaging::buildExifBlock(fields);
    imaging::DngOptions dng;
    dng.previewLongSide = 32;
    dng.dateTimeOriginal = *fields.dateTimeOriginal;
    dng.orientation = 6;
    dng.thumbnailLongSide = 16;
    dng.gps = imaging::DngGps{48.8584, -2.2945, 35.0};
    const QDir dir(QString::fromLocal8Bit(argv[1]));
    const std::pair<const char*, QByteArray> files[] = {
        {"generated.jpg", imaging::encodeJpeg(image, 0.8, exif)},
        {"generated.heic", imaging::encodeHeic(image, 0.5, exif, image.scaled(32, 24))},
        {"generated.dng", imaging::writeDng(image, dng)},
        {"generated.exif", exif},
        {"generated.cr3",
         cr3(exif, imaging::encodeJpeg(small, 0.5), imaging::encodeJpeg(image, 0.5))},
    };
    for (const auto& [name, bytes] : files) {
        QFile file(dir.filePath(QString::fromLatin1(name)));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return 1;
    }
    for (int i = 0; i < int(std::size(kNames)); ++i) {
        QFile file(dir.filePath(QStringLiteral("generated-%1.name").arg(i)));
        const QByteArray name(kNames[i]);
        if (!file.open(QIODevice::WriteOnly) || file.write(name) != name.size())
            return 1;
    }
    return 0;
}
