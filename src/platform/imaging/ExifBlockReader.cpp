#include "platform/imaging/ExifBlockReader.h"

namespace imaging::detail {

namespace {

constexpr QByteArrayView kExifPrefix("Exif\0\0", 6);

class TiffReader {
public:
    explicit TiffReader(QByteArrayView data) : m_data(data) {}
    bool littleEndian() const { return m_data[0] == 'I'; }
    std::optional<quint32> read(qsizetype at, int bytes) const {
        if (at < 0 || at + bytes > m_data.size())
            return std::nullopt;
        quint32 value = 0;
        for (int i = 0; i < bytes; ++i) {
            const auto byte =
                static_cast<quint8>(m_data[at + (littleEndian() ? bytes - 1 - i : i)]);
            value = (value << 8) | byte;
        }
        return value;
    }

private:
    QByteArrayView m_data;
};

} // namespace

QByteArrayView jpegExifPayload(QByteArrayView jpeg) {
    if (jpeg.size() < 4 || quint8(jpeg[0]) != 0xFF || quint8(jpeg[1]) != 0xD8)
        return {};
    qsizetype at = 2;
    while (at + 4 <= jpeg.size()) {
        if (quint8(jpeg[at]) != 0xFF)
            return {};
        const quint8 marker = quint8(jpeg[at + 1]);
        if (marker == 0xFF) { // fill byte
            ++at;
            continue;
        }
        // Start of scan or end of image: metadata segments come before these.
        if (marker == 0xDA || marker == 0xD9)
            return {};
        const qsizetype length = (qsizetype(quint8(jpeg[at + 2])) << 8) | quint8(jpeg[at + 3]);
        if (length < 2 || at + 2 + length > jpeg.size())
            return {};
        if (marker == 0xE1) {
            const QByteArrayView payload = jpeg.sliced(at + 4, length - 2);
            if (payload.startsWith(kExifPrefix))
                return payload.sliced(kExifPrefix.size());
        }
        at += 2 + length;
    }
    return {};
}

QByteArrayView tiffStart(QByteArrayView block) {
    if (block.startsWith(kExifPrefix))
        block = block.sliced(kExifPrefix.size());
    if (block.startsWith(QByteArrayView("II*\0", 4)) ||
        block.startsWith(QByteArrayView("MM\0*", 4)))
        return block;
    return {};
}

std::optional<int> tiffOrientation(QByteArrayView tiff) {
    tiff = tiffStart(tiff);
    if (tiff.isEmpty())
        return std::nullopt;
    const TiffReader reader(tiff);
    const auto ifd0 = reader.read(4, 4);
    if (!ifd0)
        return std::nullopt;
    const auto count = reader.read(*ifd0, 2);
    if (!count)
        return std::nullopt;
    for (quint32 i = 0; i < *count; ++i) {
        const qsizetype entry = qsizetype(*ifd0) + 2 + qsizetype(i) * 12;
        const auto tag = reader.read(entry, 2);
        if (!tag)
            return std::nullopt;
        if (*tag != 0x0112)
            continue;
        const auto type = reader.read(entry + 2, 2);
        const auto valueCount = reader.read(entry + 4, 4);
        // SHORT, one value, stored in the first two bytes of the value field.
        if (type != 3u || valueCount != 1u)
            return std::nullopt;
        const auto value = reader.read(entry + 8, 2);
        if (!value)
            return std::nullopt;
        return static_cast<int>(*value);
    }
    return std::nullopt;
}

QByteArrayView tiffJpegThumbnail(QByteArrayView tiff) {
    tiff = tiffStart(tiff);
    if (tiff.isEmpty())
        return {};
    const TiffReader reader(tiff);
    const auto ifd0 = reader.read(4, 4);
    const auto ifd0Count = ifd0 ? reader.read(*ifd0, 2) : std::nullopt;
    if (!ifd0Count)
        return {};
    const auto ifd1 = reader.read(qsizetype(*ifd0) + 2 + qsizetype(*ifd0Count) * 12, 4);
    // Zero ends the chain; an IFD pointing back at IFD0 would only find IFD0's tags.
    if (!ifd1 || *ifd1 == 0 || *ifd1 == *ifd0)
        return {};
    const auto count = reader.read(*ifd1, 2);
    if (!count)
        return {};
    std::optional<quint32> offset, length;
    for (quint32 i = 0; i < *count; ++i) {
        const qsizetype entry = qsizetype(*ifd1) + 2 + qsizetype(i) * 12;
        const auto tag = reader.read(entry, 2);
        const auto type = reader.read(entry + 2, 2);
        if (!tag || !type)
            return {};
        if (*tag != 0x0201 && *tag != 0x0202)
            continue;
        // LONG, as EXIF demands; some writers use SHORT for the length of a small thumbnail.
        std::optional<quint32> value;
        if (*type == 4)
            value = reader.read(entry + 8, 4);
        else if (*type == 3)
            value = reader.read(entry + 8, 2);
        (*tag == 0x0201 ? offset : length) = value;
    }
    if (!offset || !length || *length < 4 || qsizetype(*offset) + qsizetype(*length) > tiff.size())
        return {};
    const QByteArrayView thumbnail = tiff.sliced(*offset, *length);
    // A JPEG, not some other compression the tags were reused for.
    if (quint8(thumbnail[0]) != 0xFF || quint8(thumbnail[1]) != 0xD8)
        return {};
    return thumbnail;
}

} // namespace imaging::detail
