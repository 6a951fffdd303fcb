#include "platform/imaging/RawJpeg.h"

#include "platform/imaging/PixelLimit.h"

#include <cstring>
#include <memory>
#include <stdexcept>
#include <turbojpeg.h>

namespace imaging::rawdetail {

namespace {

struct TjDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using TjHandle = std::unique_ptr<void, TjDeleter>;

// QImage::Format_RGB32 holds 0xffRRGGBB words, whose byte order depends on the machine.
constexpr int kRgb32PixelFormat = Q_BYTE_ORDER == Q_LITTLE_ENDIAN ? TJPF_BGRX : TJPF_XRGB;

bool looksLikeJpeg(std::span<const std::uint8_t> data) {
    return data.size() > 4 && data[0] == 0xFF && data[1] == 0xD8 && data[2] == 0xFF;
}

} // namespace

std::optional<QSize> jpegSize(std::span<const std::uint8_t> data) {
    if (!looksLikeJpeg(data))
        return std::nullopt;
    TjHandle tj(tjInitDecompress());
    if (!tj)
        return std::nullopt;
    int width = 0, height = 0, subsamp = 0, colorspace = 0;
    if (tjDecompressHeader3(tj.get(), data.data(), static_cast<unsigned long>(data.size()), &width,
                            &height, &subsamp, &colorspace) != 0)
        return std::nullopt;
    if (!isDecodableSize(width, height) || subsamp < 0)
        return std::nullopt;
    return QSize(width, height);
}

QImage decodeJpegScaled(std::span<const std::uint8_t> data, QSize minimum) {
    const auto size = jpegSize(data);
    if (!size)
        return {};
    int count = 0;
    const tjscalingfactor* factors = tjGetScalingFactors(&count);
    // Pick the smallest factor <= 1 that still covers `minimum`; fall back to 1/1.
    int bestWidth = size->width(), bestHeight = size->height();
    for (int i = 0; factors && i < count; ++i) {
        const tjscalingfactor f = factors[i];
        if (f.num > f.denom)
            continue;
        const int w = TJSCALED(size->width(), f);
        const int h = TJSCALED(size->height(), f);
        if (w >= minimum.width() && h >= minimum.height() &&
            w * std::int64_t(h) < bestWidth * std::int64_t(bestHeight))
            bestWidth = w, bestHeight = h;
    }
    QImage image(bestWidth, bestHeight, QImage::Format_RGB32);
    if (image.isNull())
        return {};
    TjHandle tj(tjInitDecompress());
    if (!tj)
        return {};
    const int rc =
        tjDecompress2(tj.get(), data.data(), static_cast<unsigned long>(data.size()), image.bits(),
                      bestWidth, static_cast<int>(image.bytesPerLine()), bestHeight,
                      kRgb32PixelFormat, TJFLAG_FASTDCT | TJFLAG_FASTUPSAMPLE | TJFLAG_LIMITSCANS);
    if (rc != 0) {
        // Warnings (stray bytes between markers and the like) are common in camera previews and
        // leave a good picture; a premature end does not.
        if (tjGetErrorCode(tj.get()) != TJERR_WARNING)
            return {};
        if (std::strstr(tjGetErrorStr2(tj.get()), "Premature end") != nullptr)
            return {};
    }
    return image;
}

} // namespace imaging::rawdetail
