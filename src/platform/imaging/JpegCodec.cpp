#include "platform/imaging/JpegCodec.h"

#include "platform/imaging/ExifBlockReader.h"
#include "platform/imaging/ImagingError.h"
#include "platform/imaging/Orientation.h"
#include "platform/imaging/PixelLimit.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <turbojpeg.h>
#include <vector>

namespace imaging {

namespace {

struct TjDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using TjHandle = std::unique_ptr<void, TjDeleter>;

// TurboJPEG's reducing scaling factors (num/denom ≤ 1), smallest first.
std::vector<tjscalingfactor> reducingFactors() {
    int count = 0;
    const tjscalingfactor* all = tjGetScalingFactors(&count);
    std::vector<tjscalingfactor> factors;
    for (int i = 0; all && i < count; ++i)
        if (all[i].num <= all[i].denom)
            factors.push_back(all[i]);
    std::sort(factors.begin(), factors.end(), [](tjscalingfactor a, tjscalingfactor b) {
        return a.num * b.denom < b.num * a.denom;
    });
    return factors;
}

QSize scaledSize(QSize size, tjscalingfactor factor) {
    return QSize(TJSCALED(size.width(), factor), TJSCALED(size.height(), factor));
}

} // namespace

namespace {

// Decodes `jpeg` at the smallest scale whose result, turned by `orientation`, satisfies `target`;
// the pixels come out as stored.
QImage decodeStored(QByteArrayView jpeg, const DecodeTarget& target, int orientation) {
    if (jpeg.size() < 4)
        return {};
    TjHandle handle(tjInitDecompress());
    if (!handle)
        return {};
    // TurboJPEG only reads the buffer.
    auto* data = reinterpret_cast<unsigned char*>(const_cast<char*>(jpeg.data()));
    const auto size = static_cast<unsigned long>(jpeg.size());
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(handle.get(), data, size, &width, &height, &subsampling, &colorspace) !=
            0 ||
        !isDecodableSize(width, height))
        return {};
    if (colorspace == TJCS_CMYK || colorspace == TJCS_YCCK)
        return {};

    const QSize full(width, height);
    QSize decodeSize = full;
    if (!target.isFullSize()) {
        static const std::vector<tjscalingfactor> factors = reducingFactors();
        for (const tjscalingfactor& factor : factors) {
            const QSize candidate = scaledSize(full, factor);
            if (target.isSatisfiedBy(orientedSize(candidate, orientation))) {
                decodeSize = candidate;
                break;
            }
        }
    }

    QImage image(decodeSize, QImage::Format_RGBX8888);
    if (image.isNull())
        return {};
    // A progressive file of thousands of tiny scans costs minutes for a few bytes: refused. The
    // first try stops at the first warning, so data that ends early (a warning to libjpeg, which
    // would fill the rest with grey) is not decoded to its end for nothing.
    const auto decode = [&](int flags) {
        return tjDecompress2(handle.get(), data, size, image.bits(), decodeSize.width(),
                             static_cast<int>(image.bytesPerLine()), decodeSize.height(), TJPF_RGBX,
                             flags | TJFLAG_LIMITSCANS) == 0;
    };
    if (decode(TJFLAG_STOPONWARNING))
        return image;
    if (tjGetErrorCode(handle.get()) != TJERR_WARNING ||
        std::strstr(tjGetErrorStr2(handle.get()), "Premature end of JPEG file"))
        return {};
    // Other warnings (stray bytes and the like) leave a good picture.
    return decode(0) || tjGetErrorCode(handle.get()) == TJERR_WARNING ? image : QImage();
}

// The frame size from the SOF segment, walking the marker segments only.
std::optional<QSize> jpegFrameSize(QByteArrayView jpeg) {
    if (jpeg.size() < 4 || quint8(jpeg[0]) != 0xFF || quint8(jpeg[1]) != 0xD8)
        return std::nullopt;
    qsizetype at = 2;
    while (at + 4 <= jpeg.size()) {
        if (quint8(jpeg[at]) != 0xFF)
            return std::nullopt;
        const quint8 marker = quint8(jpeg[at + 1]);
        if (marker == 0xFF) {
            ++at;
            continue;
        }
        if (marker == 0xDA || marker == 0xD9)
            return std::nullopt;
        const qsizetype length = (qsizetype(quint8(jpeg[at + 2])) << 8) | quint8(jpeg[at + 3]);
        if (length < 2)
            return std::nullopt;
        // SOF0…SOF15 except DHT (C4), JPG (C8) and DAC (CC).
        const bool frame =
            marker >= 0xC0 && marker <= 0xCF && marker != 0xC4 && marker != 0xC8 && marker != 0xCC;
        if (frame) {
            if (length < 7 || at + 9 > jpeg.size())
                return std::nullopt;
            const int height = (int(quint8(jpeg[at + 5])) << 8) | quint8(jpeg[at + 6]);
            const int width = (int(quint8(jpeg[at + 7])) << 8) | quint8(jpeg[at + 8]);
            if (width <= 0 || height <= 0)
                return std::nullopt;
            return QSize(width, height);
        }
        at += 2 + length;
    }
    return std::nullopt;
}

// The middle of `image` with the aspect of `frame`. Cameras put a 4:3 thumbnail into 3:2 and
// 16:9 pictures with black bars above and below; those must not show in the thumbnail.
QImage croppedToAspect(const QImage& image, QSize frame) {
    const QSize fitted = frame.scaled(image.size(), Qt::KeepAspectRatio);
    // Rounding in the camera leaves a pixel or so; that is not a bar.
    if (image.width() - fitted.width() <= 1 && image.height() - fitted.height() <= 1)
        return image;
    return image.copy((image.width() - fitted.width()) / 2, (image.height() - fitted.height()) / 2,
                      fitted.width(), fitted.height());
}

} // namespace

QImage decodeJpeg(const QByteArray& bytes, const DecodeTarget& target) {
    const int orientation = detail::tiffOrientation(detail::jpegExifPayload(bytes)).value_or(1);
    const QImage stored = decodeStored(bytes, target, orientation);
    return stored.isNull() ? stored : applyOrientation(stored, orientation);
}

namespace {

// Averages each fx × fy block of the `width` × `height` plane at `src` into one sample of the
// plane at `dst`; blocks cut by the right or bottom edge average the samples they have.
void reducePlane(const uint8_t* src, int srcStride, int width, int height, int fx, int fy,
                 uint8_t* dst, int dstStride, QSize out) {
    for (int y = 0; y < out.height(); ++y) {
        const uint8_t* row0 = src + size_t(std::min(y * fy, height - 1)) * srcStride;
        const uint8_t* row1 = src + size_t(std::min(y * fy + fy - 1, height - 1)) * srcStride;
        const int rows = row0 == row1 ? 1 : 2;
        uint8_t* to = dst + size_t(y) * dstStride;
        for (int x = 0; x < out.width(); ++x) {
            const int x0 = std::min(x * fx, width - 1);
            const int x1 = std::min(x * fx + fx - 1, width - 1);
            const int n = rows * (x0 == x1 ? 1 : 2);
            unsigned sum = row0[x0] + (x0 == x1 ? 0u : row0[x1]);
            if (rows == 2)
                sum += row1[x0] + (x0 == x1 ? 0u : row1[x1]);
            to[x] = uint8_t((sum + unsigned(n) / 2) / unsigned(n));
        }
    }
}

} // namespace

YuvImage decodeJpegYuv420(const QByteArray& bytes, int maxLongSide) {
    if (bytes.size() < 4)
        return {};
    TjHandle handle(tjInitDecompress());
    if (!handle)
        return {};
    auto* data = reinterpret_cast<unsigned char*>(const_cast<char*>(bytes.data()));
    const auto size = static_cast<unsigned long>(bytes.size());
    int width = 0, height = 0, subsampling = 0, colorspace = 0;
    if (tjDecompressHeader3(handle.get(), data, size, &width, &height, &subsampling, &colorspace) !=
            0 ||
        !isDecodableSize(width, height) ||
        (maxLongSide > 0 && std::max(width, height) > maxLongSide))
        return {};
    // Only samples that are already Y'CbCr (or grey) can go to the encoder as they are, and only
    // chroma at 4:2:0 or finer on both axes can be averaged down to 4:2:0.
    if (colorspace != TJCS_YCbCr && colorspace != TJCS_GRAY)
        return {};
    int fx = 0, fy = 0; // how many stored chroma samples make one 4:2:0 sample
    switch (subsampling) {
    case TJSAMP_420:
        fx = 1, fy = 1;
        break;
    case TJSAMP_422:
        fx = 1, fy = 2;
        break;
    case TJSAMP_440:
        fx = 2, fy = 1;
        break;
    case TJSAMP_444:
        fx = 2, fy = 2;
        break;
    case TJSAMP_GRAY:
        break;
    default:
        return {};
    }
    const int orientation = detail::tiffOrientation(detail::jpegExifPayload(bytes)).value_or(1);
    const bool upright = !isValidOrientation(orientation) || orientation == 1;

    YuvImage stored{QSize(width, height)};
    if (stored.isNull())
        return {};
    // TurboJPEG writes whole chroma samples, so its planes may be a row or column larger than
    // the picture; those go through a buffer, as does chroma that must be averaged down. An
    // upright 4:2:0 picture of even sides goes straight into the encoder's planes.
    const int planes = subsampling == TJSAMP_GRAY ? 1 : 3;
    std::vector<uint8_t> buffers[3];
    unsigned char* targets[3] = {};
    int strides[3] = {};
    int planeWidths[3] = {}, planeHeights[3] = {};
    for (int i = 0; i < planes; ++i) {
        planeWidths[i] = tjPlaneWidth(i, width, subsampling);
        planeHeights[i] = tjPlaneHeight(i, height, subsampling);
        if (planeWidths[i] <= 0 || planeHeights[i] <= 0)
            return {};
        const auto plane = YuvImage::Plane(i);
        if (subsampling == TJSAMP_420 || i == 0) {
            const QSize wanted = stored.planeSize(plane);
            if (planeWidths[i] <= stored.bytesPerLine(plane) &&
                planeHeights[i] == wanted.height()) {
                targets[i] = stored.bits(plane);
                strides[i] = stored.bytesPerLine(plane);
                continue;
            }
        }
        buffers[i].resize(size_t(planeWidths[i]) * size_t(planeHeights[i]));
        targets[i] = buffers[i].data();
        strides[i] = planeWidths[i];
    }
    // The same defences as decodeStored: scans limited, data that ends early refused.
    const auto decode = [&](int flags) {
        return tjDecompressToYUVPlanes(handle.get(), data, size, targets, width, strides, height,
                                       flags | TJFLAG_LIMITSCANS) == 0;
    };
    if (!decode(TJFLAG_STOPONWARNING)) {
        if (tjGetErrorCode(handle.get()) != TJERR_WARNING ||
            std::strstr(tjGetErrorStr2(handle.get()), "Premature end of JPEG file"))
            return {};
        if (!decode(0) && tjGetErrorCode(handle.get()) != TJERR_WARNING)
            return {};
    }

    for (int i = 0; i < 3; ++i) {
        const auto plane = YuvImage::Plane(i);
        const QSize wanted = stored.planeSize(plane);
        if (i >= planes) {
            // Grey: neutral chroma.
            for (int y = 0; y < wanted.height(); ++y)
                std::memset(stored.bits(plane) + size_t(y) * stored.bytesPerLine(plane), 128,
                            size_t(wanted.width()));
        } else if (!buffers[i].empty()) {
            const int rx = i == 0 ? 1 : fx, ry = i == 0 ? 1 : fy;
            reducePlane(buffers[i].data(), strides[i], planeWidths[i], planeHeights[i], rx, ry,
                        stored.bits(plane), stored.bytesPerLine(plane), wanted);
        }
    }
    return upright ? std::move(stored) : stored.oriented(orientation);
}

QImage decodeJpegExifThumbnail(QByteArrayView jpeg, const DecodeTarget& target) {
    if (target.isFullSize())
        return {};
    const QByteArrayView tiff = detail::tiffStart(detail::jpegExifPayload(jpeg));
    const QByteArrayView thumbnail = detail::tiffJpegThumbnail(tiff);
    if (thumbnail.isEmpty())
        return {};
    // The thumbnail is stored the way the picture is, so the picture's orientation turns it.
    const int orientation = detail::tiffOrientation(tiff).value_or(1);
    QImage stored = decodeStored(thumbnail, DecodeTarget::fullSize(), orientation);
    if (stored.isNull())
        return {};
    // Without a frame header the file is not a picture one could show either.
    const auto frame = jpegFrameSize(jpeg);
    if (!frame)
        return {};
    stored = croppedToAspect(stored, *frame);
    if (!target.isSatisfiedBy(orientedSize(stored.size(), orientation)))
        return {};
    return applyOrientation(stored, orientation);
}

int qualityPercent(double quality) {
    if (std::isnan(quality))
        quality = 0;
    quality = std::clamp(quality, 0.0, 1.0);
    return std::clamp(static_cast<int>(std::lround(quality * 100.0)), 1, 100);
}

namespace {

// The APP1 segment goes right after SOI, or after the JFIF APP0 segment when there is one, so
// that the file stays valid JFIF as well as EXIF.
QByteArray withExifSegment(const QByteArray& jpeg, const QByteArray& exifBlock) {
    const QByteArrayView tiff = detail::tiffStart(exifBlock);
    if (tiff.isEmpty())
        throw ImagingError("EXIF block has no TIFF header");
    const qsizetype segmentLength = 2 + 6 + tiff.size();
    if (segmentLength > 0xFFFF)
        throw ImagingError("EXIF block too large for a JPEG APP1 segment");

    qsizetype insertAt = 2;
    if (jpeg.size() >= 6 && quint8(jpeg[2]) == 0xFF && quint8(jpeg[3]) == 0xE0)
        insertAt = 4 + ((qsizetype(quint8(jpeg[4])) << 8) | quint8(jpeg[5]));
    QByteArray segment;
    segment.reserve(segmentLength + 2);
    segment.append(char(0xFF)).append(char(0xE1));
    segment.append(char(segmentLength >> 8)).append(char(segmentLength & 0xFF));
    segment.append("Exif\0\0", 6).append(tiff.data(), tiff.size());

    QByteArray out = jpeg;
    out.insert(insertAt, segment);
    return out;
}

} // namespace

QByteArray encodeJpeg(const QImage& image, double quality, const QByteArray& exifBlock) {
    if (image.isNull())
        throw ImagingError("cannot encode an empty image as JPEG");
    const QImage rgb = image.convertToFormat(QImage::Format_RGBX8888);
    if (rgb.isNull())
        throw ImagingError("cannot convert the image for JPEG encoding");

    TjHandle handle(tjInitCompress());
    if (!handle)
        throw ImagingError("cannot create a JPEG encoder");
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    const int result = tjCompress2(handle.get(), rgb.constBits(), rgb.width(),
                                   static_cast<int>(rgb.bytesPerLine()), rgb.height(), TJPF_RGBX,
                                   &buffer, &size, TJSAMP_420, qualityPercent(quality), 0);
    std::unique_ptr<unsigned char, decltype(&tjFree)> owned(buffer, &tjFree);
    if (result != 0)
        throw ImagingError(std::string("JPEG encoding failed: ") + tjGetErrorStr2(handle.get()));

    QByteArray jpeg(reinterpret_cast<const char*>(buffer), static_cast<qsizetype>(size));
    if (exifBlock.isEmpty())
        return jpeg;
    return withExifSegment(jpeg, exifBlock);
}

} // namespace imaging
