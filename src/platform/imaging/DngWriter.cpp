#include "platform/imaging/DngWriter.h"

#include "platform/imaging/DngLosslessJpeg.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/imaging/RawJpeg.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <vector>

namespace imaging {

namespace {

enum TiffType : std::uint16_t {
    Byte = 1,
    Ascii = 2,
    Short = 3,
    Long = 4,
    Rational = 5,
    Undefined = 7,
    SRational = 10,
};

// Little-endian TIFF assembled from IFDs whose entries may point at other IFDs or data blocks;
// offsets are resolved when the file is laid out.
class TiffBuilder {
public:
    int addIfd() {
        m_ifds.emplace_back();
        return static_cast<int>(m_ifds.size()) - 1;
    }

    int addBlock(QByteArray data) {
        m_blocks.push_back(std::move(data));
        return static_cast<int>(m_blocks.size()) - 1;
    }

    void add(int ifd, std::uint16_t tag, TiffType type, std::uint32_t count, QByteArray value) {
        m_ifds[ifd][tag] = Entry{type, count, std::move(value), Target::None, {}};
    }

    void addShorts(int ifd, std::uint16_t tag, std::initializer_list<std::uint16_t> values) {
        QByteArray bytes;
        for (std::uint16_t v : values)
            appendLe(bytes, v, 2);
        add(ifd, tag, Short, static_cast<std::uint32_t>(values.size()), bytes);
    }

    void addLong(int ifd, std::uint16_t tag, std::uint32_t value) {
        QByteArray bytes;
        appendLe(bytes, value, 4);
        add(ifd, tag, Long, 1, bytes);
    }

    void addBytes(int ifd, std::uint16_t tag, TiffType type, QByteArray bytes) {
        const auto count = static_cast<std::uint32_t>(bytes.size());
        add(ifd, tag, type, count, std::move(bytes));
    }

    void addAscii(int ifd, std::uint16_t tag, const QString& text) {
        QByteArray bytes = text.toLatin1();
        bytes.append('\0');
        addBytes(ifd, tag, Ascii, bytes);
    }

    void addRationals(int ifd, std::uint16_t tag, TiffType type,
                      const std::vector<std::pair<std::int64_t, std::int64_t>>& values) {
        QByteArray bytes;
        for (auto [num, den] : values) {
            appendLe(bytes, static_cast<std::uint32_t>(num), 4);
            appendLe(bytes, static_cast<std::uint32_t>(den), 4);
        }
        add(ifd, tag, type, static_cast<std::uint32_t>(values.size()), bytes);
    }

    void pointToIfds(int ifd, std::uint16_t tag, std::vector<int> targets) {
        const auto count = static_cast<std::uint32_t>(targets.size());
        m_ifds[ifd][tag] = Entry{Long, count, QByteArray(4 * targets.size(), '\0'), Target::Ifd,
                                 std::move(targets)};
    }

    void pointToIfd(int ifd, std::uint16_t tag, int target) { pointToIfds(ifd, tag, {target}); }

    // A strip: its offset entry and its byte count entry.
    void addStrip(int ifd, int block) {
        m_ifds[ifd][0x111] = Entry{Long, 1, QByteArray(4, '\0'), Target::Block, {block}};
        addLong(ifd, 0x117, static_cast<std::uint32_t>(m_blocks[block].size()));
    }

    QByteArray build() const {
        // Layout: header, every IFD followed by its out-of-line values, then the data blocks.
        std::vector<std::uint32_t> ifdOffsets(m_ifds.size());
        std::uint32_t pos = 8;
        for (std::size_t i = 0; i < m_ifds.size(); ++i) {
            ifdOffsets[i] = pos;
            pos += 2 + 12 * static_cast<std::uint32_t>(m_ifds[i].size()) + 4;
            for (const auto& [tag, e] : m_ifds[i])
                if (e.value.size() > 4)
                    pos += static_cast<std::uint32_t>(e.value.size() + (e.value.size() & 1));
        }
        std::vector<std::uint32_t> blockOffsets(m_blocks.size());
        for (std::size_t i = 0; i < m_blocks.size(); ++i) {
            blockOffsets[i] = pos;
            pos += static_cast<std::uint32_t>(m_blocks[i].size() + (m_blocks[i].size() & 1));
        }

        QByteArray out;
        out.reserve(pos);
        out.append("II*\0", 4);
        appendLe(out, 8, 4);
        for (std::size_t i = 0; i < m_ifds.size(); ++i) {
            const auto& ifd = m_ifds[i];
            std::uint32_t extra =
                ifdOffsets[i] + 2 + 12 * static_cast<std::uint32_t>(ifd.size()) + 4;
            QByteArray values;
            appendLe(out, ifd.size(), 2);
            for (const auto& [tag, e] : ifd) {
                appendLe(out, tag, 2);
                appendLe(out, e.type, 2);
                appendLe(out, e.count, 4);
                QByteArray value = e.value;
                if (e.target != Target::None) {
                    value.clear();
                    for (int index : e.targets)
                        appendLe(value,
                                 e.target == Target::Ifd ? ifdOffsets[index] : blockOffsets[index],
                                 4);
                }
                if (value.size() <= 4) {
                    out.append(value);
                    out.append(QByteArray(4 - value.size(), '\0'));
                } else {
                    appendLe(out, extra + values.size(), 4);
                    values.append(value);
                    if (value.size() & 1)
                        values.append('\0');
                }
            }
            appendLe(out, 0, 4); // IFDs are reached through pointers, not chained
            out.append(values);
        }
        for (const QByteArray& block : m_blocks) {
            out.append(block);
            if (block.size() & 1)
                out.append('\0');
        }
        return out;
    }

    static void appendLe(QByteArray& out, std::uint64_t value, int bytes) {
        for (int i = 0; i < bytes; ++i)
            out.append(static_cast<char>((value >> (8 * i)) & 0xFF));
    }

private:
    enum class Target { None, Ifd, Block };
    struct Entry {
        TiffType type;
        std::uint32_t count;
        QByteArray value;
        Target target;
        std::vector<int> targets; // IFDs or blocks whose offsets make up the value
    };
    std::vector<std::map<std::uint16_t, Entry>> m_ifds; // map keeps tags in ascending order
    std::vector<QByteArray> m_blocks;
};

// Rational approximation with a fixed denominator, good to 1e-4 of the unit.
std::pair<std::int64_t, std::int64_t> rational(double value, std::int64_t denominator = 10000) {
    return {static_cast<std::int64_t>(std::llround(value * double(denominator))), denominator};
}

std::vector<std::pair<std::int64_t, std::int64_t>> degreesMinutesSeconds(double degrees) {
    const double a = std::abs(degrees);
    const double whole = std::floor(a);
    const double minutes = std::floor((a - whole) * 60.0);
    const double seconds = ((a - whole) * 60.0 - minutes) * 60.0;
    return {{static_cast<std::int64_t>(whole), 1},
            {static_cast<std::int64_t>(minutes), 1},
            rational(seconds, 1000)};
}

// sRGB-encoded 8-bit sample → linear 16-bit value, the table DNG readers apply before anything
// else.
QByteArray linearizationTable() {
    QByteArray bytes;
    for (int i = 0; i < 256; ++i) {
        const double c = i / 255.0;
        const double linear = c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
        TiffBuilder::appendLe(bytes, static_cast<std::uint16_t>(std::lround(linear * 65535.0)), 2);
    }
    return bytes;
}

// The camera's colour space is linear sRGB, so the XYZ(D65) → camera matrix is XYZ → linear sRGB.
const std::vector<std::pair<std::int64_t, std::int64_t>> kColorMatrix = {
    rational(3.2404542),  rational(-1.5371385), rational(-0.4985314),
    rational(-0.9692660), rational(1.8760108),  rational(0.0415560),
    rational(0.0556434),  rational(-0.2040259), rational(1.0572252)};

void validate(const QImage& stored, const DngOptions& options) {
    if (stored.isNull())
        throw std::invalid_argument("writeDng: the image is empty");
    if (stored.width() > 65535 || stored.height() > 65535)
        throw std::invalid_argument("writeDng: the image is too large");
    if (options.orientation < 1 || options.orientation > 8)
        throw std::invalid_argument("writeDng: orientation must be 1..8");
    if (options.previewLongSide < 0 || options.thumbnailLongSide < 0)
        throw std::invalid_argument("writeDng: negative preview size");
    if (options.previewQuality < 1 || options.previewQuality > 100)
        throw std::invalid_argument("writeDng: preview quality must be 1..100");
    if (const auto& gps = options.gps) {
        if (!std::isfinite(gps->latitude) || !std::isfinite(gps->longitude) ||
            std::abs(gps->latitude) > 90 || std::abs(gps->longitude) > 180 ||
            (gps->altitude && !std::isfinite(*gps->altitude)))
            throw std::invalid_argument("writeDng: GPS position out of range");
    }
}

// `rgb` with its long side reduced to `longSide` (never enlarged), aspect kept.
QImage scaledToLongSide(const QImage& rgb, int longSide) {
    const int current = std::max(rgb.width(), rgb.height());
    if (longSide >= current)
        return rgb;
    // Keep the aspect, but never let the short side round away to nothing.
    const auto shortSide = [&](int side) {
        return std::max(1, static_cast<int>(std::lround(double(side) * longSide / current)));
    };
    const QSize size = rgb.width() >= rgb.height() ? QSize(longSide, shortSide(rgb.height()))
                                                   : QSize(shortSide(rgb.width()), longSide);
    return rgb.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
}

void addJpegPreview(TiffBuilder& tiff, int ifd, const QImage& rgb, const DngOptions& options) {
    const QImage preview = scaledToLongSide(rgb, options.previewLongSide);
    const QByteArray jpeg = encodeJpeg(preview, options.previewQuality / 100.0);
    tiff.addLong(ifd, 0xFE, 1); // reduced-resolution image
    tiff.addLong(ifd, 0x100, static_cast<std::uint32_t>(preview.width()));
    tiff.addLong(ifd, 0x101, static_cast<std::uint32_t>(preview.height()));
    tiff.addShorts(ifd, 0x102, {8, 8, 8});
    tiff.addShorts(ifd, 0x103, {7});
    tiff.addShorts(ifd, 0x106, {6}); // YCbCr
    tiff.addStrip(ifd, tiff.addBlock(jpeg));
    tiff.addShorts(ifd, 0x115, {3});
    tiff.addLong(ifd, 0x116, static_cast<std::uint32_t>(preview.height()));
    tiff.addShorts(ifd, 0x11C, {1});
    tiff.addShorts(ifd, 0x212, {2, 2});
}

void addRgbThumbnail(TiffBuilder& tiff, int ifd, const QImage& rgb, int longSide) {
    const QImage thumb = scaledToLongSide(rgb, longSide).convertToFormat(QImage::Format_RGB888);
    QByteArray pixels;
    pixels.reserve(qsizetype(thumb.width()) * thumb.height() * 3);
    for (int y = 0; y < thumb.height(); ++y)
        pixels.append(reinterpret_cast<const char*>(thumb.constScanLine(y)), thumb.width() * 3);
    tiff.addLong(ifd, 0xFE, 1);
    tiff.addLong(ifd, 0x100, static_cast<std::uint32_t>(thumb.width()));
    tiff.addLong(ifd, 0x101, static_cast<std::uint32_t>(thumb.height()));
    tiff.addShorts(ifd, 0x102, {8, 8, 8});
    tiff.addShorts(ifd, 0x103, {1}); // uncompressed
    tiff.addShorts(ifd, 0x106, {2}); // RGB
    tiff.addStrip(ifd, tiff.addBlock(pixels));
    tiff.addShorts(ifd, 0x115, {3});
    tiff.addLong(ifd, 0x116, static_cast<std::uint32_t>(thumb.height()));
    tiff.addShorts(ifd, 0x11C, {1});
}

void addCameraTags(TiffBuilder& tiff, int ifd0, const DngOptions& options) {
    tiff.addAscii(ifd0, 0x10F, options.make);
    tiff.addAscii(ifd0, 0x110, options.model);
    tiff.addShorts(ifd0, 0x112, {static_cast<std::uint16_t>(options.orientation)});
    tiff.addAscii(ifd0, 0x131, QStringLiteral("Twinslim"));
    if (!options.dateTimeOriginal.isEmpty())
        tiff.addAscii(ifd0, 0x132, options.dateTimeOriginal);
    tiff.addBytes(ifd0, 0xC612, Byte, QByteArray("\x01\x04\x00\x00", 4));
    tiff.addBytes(ifd0, 0xC613, Byte, QByteArray("\x01\x01\x00\x00", 4));
    tiff.addAscii(ifd0, 0xC614, options.make + QLatin1Char(' ') + options.model);
    tiff.addRationals(ifd0, 0xC621, SRational, kColorMatrix);
    tiff.addRationals(ifd0, 0xC628, Rational, {{1, 1}, {1, 1}, {1, 1}});
    tiff.addShorts(ifd0, 0xC65A, {21}); // D65
}

void addExif(TiffBuilder& tiff, int ifd0, const DngOptions& options) {
    const int exif = tiff.addIfd();
    tiff.pointToIfd(ifd0, 0x8769, exif);
    tiff.addBytes(exif, 0x9000, Undefined, QByteArray("0231", 4));
    if (!options.dateTimeOriginal.isEmpty()) {
        tiff.addAscii(exif, 0x9003, options.dateTimeOriginal);
        tiff.addAscii(exif, 0x9004, options.dateTimeOriginal);
    }
    if (!options.offsetTimeOriginal.isEmpty()) {
        tiff.addAscii(exif, 0x9010, options.offsetTimeOriginal);
        tiff.addAscii(exif, 0x9011, options.offsetTimeOriginal);
        tiff.addAscii(exif, 0x9012, options.offsetTimeOriginal);
    }
    if (!options.gps)
        return;
    const DngGps& gps = *options.gps;
    const int gpsIfd = tiff.addIfd();
    tiff.pointToIfd(ifd0, 0x8825, gpsIfd);
    tiff.addBytes(gpsIfd, 0x0000, Byte, QByteArray("\x02\x03\x00\x00", 4));
    tiff.addAscii(gpsIfd, 0x0001, gps.latitude < 0 ? QStringLiteral("S") : QStringLiteral("N"));
    tiff.addRationals(gpsIfd, 0x0002, Rational, degreesMinutesSeconds(gps.latitude));
    tiff.addAscii(gpsIfd, 0x0003, gps.longitude < 0 ? QStringLiteral("W") : QStringLiteral("E"));
    tiff.addRationals(gpsIfd, 0x0004, Rational, degreesMinutesSeconds(gps.longitude));
    if (gps.altitude) {
        tiff.addBytes(gpsIfd, 0x0005, Byte, QByteArray(1, *gps.altitude < 0 ? '\x01' : '\x00'));
        tiff.addRationals(gpsIfd, 0x0006, Rational, {rational(std::abs(*gps.altitude), 100)});
    }
}

void addSensorData(TiffBuilder& tiff, int ifd, const QImage& rgb) {
    const int width = rgb.width(), height = rgb.height();
    std::vector<std::uint8_t> samples(std::size_t(width) * height * 3);
    for (int y = 0; y < height; ++y)
        std::copy_n(rgb.constScanLine(y), std::size_t(width) * 3,
                    samples.begin() + std::ptrdiff_t(y) * width * 3);
    const int block = tiff.addBlock(rawdetail::encodeLosslessJpeg(samples, width, height, 3));

    tiff.addLong(ifd, 0xFE, 0); // full-resolution image
    tiff.addLong(ifd, 0x100, static_cast<std::uint32_t>(width));
    tiff.addLong(ifd, 0x101, static_cast<std::uint32_t>(height));
    tiff.addShorts(ifd, 0x102, {8, 8, 8});
    tiff.addShorts(ifd, 0x103, {7});     // lossless JPEG
    tiff.addShorts(ifd, 0x106, {34892}); // LinearRaw
    tiff.addStrip(ifd, block);
    tiff.addShorts(ifd, 0x115, {3});
    tiff.addLong(ifd, 0x116, static_cast<std::uint32_t>(height));
    tiff.addShorts(ifd, 0x11C, {1});
    tiff.add(ifd, 0xC618, Short, 256, linearizationTable());
    tiff.addLong(ifd, 0xC61D, 65535); // white level
}

} // namespace

QByteArray writeDng(const QImage& stored, const DngOptions& options) {
    validate(stored, options);
    const QImage rgb = stored.convertToFormat(QImage::Format_RGB888);

    // Blocks are laid out in the order they are added: thumbnail, preview, sensor data last.
    TiffBuilder tiff;
    const int ifd0 = tiff.addIfd();
    addCameraTags(tiff, ifd0, options);
    int raw = ifd0;
    if (options.thumbnailLongSide > 0) {
        // As DNG converters do: thumbnail in IFD0, sensor data and preview in SubIFDs.
        addRgbThumbnail(tiff, ifd0, rgb, options.thumbnailLongSide);
        raw = tiff.addIfd();
        std::vector<int> subIfds{raw};
        if (options.previewLongSide > 0) {
            const int preview = tiff.addIfd();
            addJpegPreview(tiff, preview, rgb, options);
            subIfds.push_back(preview);
        }
        tiff.pointToIfds(ifd0, 0x14A, subIfds);
    } else if (options.previewLongSide > 0) {
        addJpegPreview(tiff, ifd0, rgb, options);
        raw = tiff.addIfd();
        tiff.pointToIfd(ifd0, 0x14A, raw);
    }
    addSensorData(tiff, raw, rgb);
    addExif(tiff, ifd0, options);
    return tiff.build();
}

} // namespace imaging
