// Writes small generated files into the folder given: seeds that reach the parsers' deeper paths
// (EXIF with GPS and a thumbnail, HEIC with EXIF, DNG with a preview) without sample files.
#include "platform/imaging/DngWriter.h"
#include "platform/imaging/ExifFields.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/JpegCodec.h"

#include <QDir>
#include <QFile>
#include <QImage>
#include <cstdio>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: make_seeds DIR\n");
        return 2;
    }
    QImage image(64, 48, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    imaging::ExifFields fields;
    fields.orientation = 6;
    fields.dateTimeOriginal = QStringLiteral("2023:07:14 10:22:33");
    fields.offsetTimeOriginal = QStringLiteral("+02:00");
    fields.latitude = 48.8584;
    fields.longitude = -2.2945;
    fields.pixelWidth = 64;
    fields.pixelHeight = 48;
    fields.thumbnailJpeg = imaging::encodeJpeg(image.scaled(16, 12), 0.5);
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
    };
    for (const auto& [name, bytes] : files) {
        QFile file(dir.filePath(QString::fromLatin1(name)));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
            return 1;
    }
    return 0;
}
