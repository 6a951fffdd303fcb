// Writes COUNT camera-like JPEGs (quality 0.9, with EXIF capture date and place) of
// WIDTH × HEIGHT pixels into DIR, as input for the export benchmark.
#include "support/BenchImages.h"

#include "platform/imaging/ExifFields.h"
#include "platform/imaging/JpegCodec.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QtConcurrent/QtConcurrentMap>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: make_bench_jpegs DIR COUNT WIDTH HEIGHT\n");
        return 2;
    }
    const QString dir = args[1];
    const int count = args[2].toInt();
    const QSize size(args[3].toInt(), args[4].toInt());
    if (count < 1 || size.isEmpty() || !QDir().mkpath(dir)) {
        std::fprintf(stderr, "make_bench_jpegs: bad arguments\n");
        return 2;
    }
    QList<int> numbers;
    for (int i = 1; i <= count; ++i)
        numbers << i;
    // Both cores; each picture is independent.
    const QList<bool> written = QtConcurrent::blockingMapped(numbers, [&](int i) {
        imaging::ExifFields exif;
        exif.dateTimeOriginal = QStringLiteral("2024:07:%1 10:%2:00")
                                    .arg(1 + i % 28, 2, 10, QLatin1Char('0'))
                                    .arg(i % 60, 2, 10, QLatin1Char('0'));
        exif.offsetTimeOriginal = QStringLiteral("+02:00");
        exif.latitude = 48.85 + i * 0.001;
        exif.longitude = 2.35;
        exif.pixelWidth = size.width();
        exif.pixelHeight = size.height();
        const QByteArray jpeg = imaging::encodeJpeg(bench::cameraLikeImage(size, quint32(i)), 0.9,
                                                    imaging::buildExifBlock(exif));
        QFile f(QStringLiteral("%1/IMG_%2.JPG").arg(dir).arg(i, 4, 10, QLatin1Char('0')));
        return f.open(QIODevice::WriteOnly) && f.write(jpeg) == jpeg.size();
    });
    if (written.contains(false)) {
        std::fprintf(stderr, "make_bench_jpegs: cannot write into %s\n", qPrintable(dir));
        return 1;
    }
    return 0;
}
