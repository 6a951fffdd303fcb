#include "platform/imaging/ImageFormat.h"

#include <QFile>
#include <array>

namespace imaging {

namespace {

bool startsWith(const QByteArray& data, qsizetype offset, QByteArrayView magic) {
    return data.size() >= offset + magic.size() &&
           QByteArrayView(data).sliced(offset, magic.size()) == magic;
}

// Brands of the `ftyp` box: the major brand at 8, compatible brands from 16 to the box end.
QList<QByteArray> ftypBrands(const QByteArray& head) {
    QList<QByteArray> brands;
    if (!startsWith(head, 4, "ftyp"))
        return brands;
    const auto* p = reinterpret_cast<const uchar*>(head.constData());
    const quint32 boxSize =
        (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | p[3];
    const qsizetype end = std::min<qsizetype>(head.size(), boxSize);
    if (end >= 12)
        brands.append(head.mid(8, 4));
    for (qsizetype at = 16; at + 4 <= end; at += 4)
        brands.append(head.mid(at, 4));
    return brands;
}

} // namespace

ImageFormat sniffImageFormat(const QByteArray& data) {
    // A file type box may claim to reach further; what lies beyond is not looked at.
    const QByteArray head = data.left(kSniffLength);
    if (startsWith(head, 0, "\xFF\xD8\xFF"))
        return ImageFormat::Jpeg;

    const QList<QByteArray> brands = ftypBrands(head);
    if (!brands.isEmpty()) {
        // Canon's CR3 also lists ISO brands, so it is checked first.
        if (brands.contains("crx "))
            return ImageFormat::CameraRaw;
        static const std::array<QByteArrayView, 12> heifBrands = {"heic", "heix", "hevc", "hevx",
                                                                  "heim", "heis", "hevm", "hevs",
                                                                  "mif1", "msf1", "avif", "avis"};
        for (const QByteArray& brand : brands)
            for (QByteArrayView known : heifBrands)
                if (brand == known)
                    return ImageFormat::Heif;
        return ImageFormat::Unknown;
    }

    // Olympus and Panasonic bend the TIFF magic number, so they are tested before TIFF.
    if (startsWith(head, 0, "IIRO") || startsWith(head, 0, "IIRS") || startsWith(head, 0, "MMOR") ||
        startsWith(head, 0, QByteArrayView("IIU\0", 4)))
        return ImageFormat::CameraRaw;
    if (startsWith(head, 0, QByteArrayView("II\x1A\0\0\0HEAPCCDR", 14)) ||
        startsWith(head, 0, "FUJIFILMCCD-RAW") || startsWith(head, 0, "FOVb") ||
        startsWith(head, 0, QByteArrayView("\0MRM", 4)))
        return ImageFormat::CameraRaw;
    if (startsWith(head, 0, QByteArrayView("II*\0", 4)) ||
        startsWith(head, 0, QByteArrayView("MM\0*", 4)))
        return ImageFormat::Tiff;
    return ImageFormat::Unknown;
}

ImageFormat sniffImageFormatOfFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return ImageFormat::Unknown;
    return sniffImageFormat(file.read(kSniffLength));
}

} // namespace imaging
