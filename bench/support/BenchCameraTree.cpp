#include "support/BenchCameraTree.h"

#include "support/BenchImages.h"

#include "platform/imaging/DngWriter.h"
#include "platform/imaging/ExifFields.h"
#include "platform/imaging/JpegCodec.h"

#include <QDir>
#include <QFile>
#include <QtConcurrent/QtConcurrentMap>

namespace bench {

namespace {

QByteArray sidecar(int rating, int shot) {
    return QStringLiteral(
               "<?xml version=\"1.0\"?>\n<x:xmpmeta xmlns:x=\"adobe:ns:meta/\"><rdf:RDF "
               "xmlns:rdf=\"http://www.w3.org/1999/02/22-rdf-syntax-ns#\"><rdf:Description "
               "rdf:about=\"\" xmlns:xmp=\"http://ns.adobe.com/xap/1.0/\" "
               "xmlns:dc=\"http://purl.org/dc/elements/1.1/\" xmp:Rating=\"%1\"><dc:subject>"
               "<rdf:Bag><rdf:li>Trip %2</rdf:li></rdf:Bag></dc:subject></rdf:Description>"
               "</rdf:RDF></x:xmpmeta>\n")
        .arg(rating)
        .arg(shot % 20)
        .toUtf8();
}

} // namespace

bool writeCameraTree(const QString& root, int pairs) {
    QList<int> shots;
    for (int i = 0; i < pairs + pairs / 4; ++i)
        shots << i;
    const QList<bool> written = QtConcurrent::blockingMapped(shots, [&](int i) {
        const QString folder = QStringLiteral("%1/%2/%3")
                                   .arg(root)
                                   .arg(2015 + i / 6000)
                                   .arg(QStringLiteral("%1_CAMERA").arg(100 + i / 500 % 12));
        QDir().mkpath(folder);
        const QString stem =
            QStringLiteral("%1/IMG_%2").arg(folder).arg(i % 10000, 4, 10, QLatin1Char('0'));
        const QString date = QStringLiteral("20%1:%2:%3 10:%4:00")
                                 .arg(15 + i / 6000)
                                 .arg(1 + i / 500 % 12, 2, 10, QLatin1Char('0'))
                                 .arg(1 + i % 28, 2, 10, QLatin1Char('0'))
                                 .arg(i % 60, 2, 10, QLatin1Char('0'));
        const QImage picture = bench::cameraLikeImage(QSize(32, 24), quint32(i % 64));
        imaging::ExifFields exif;
        exif.dateTimeOriginal = date;
        exif.offsetTimeOriginal = QStringLiteral("+02:00");
        if (i % 10 == 0) {
            exif.latitude = 48.85;
            exif.longitude = 2.35;
        }
        auto write = [](const QString& path, const QByteArray& data) {
            QFile f(path);
            return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
        };
        bool ok = write(stem + QStringLiteral(".JPG"),
                        imaging::encodeJpeg(picture, 0.8, imaging::buildExifBlock(exif)));
        if (i < pairs) {
            imaging::DngOptions dng;
            dng.previewLongSide = 0;
            dng.dateTimeOriginal = date;
            dng.offsetTimeOriginal = QStringLiteral("+02:00");
            ok = ok && write(stem + QStringLiteral(".DNG"), imaging::writeDng(picture, dng));
            if (i % 4 == 0)
                ok = ok && write(stem + QStringLiteral(".DNG.xmp"), sidecar(i % 8 == 0 ? 5 : 3, i));
        }
        return ok;
    });
    return !written.contains(false);
}

} // namespace bench
