#include "platform/imaging/YuvImage.h"

#include "platform/imaging/LibheifSupport.h"
#include "platform/imaging/Orientation.h"
#include "platform/imaging/PixelLimit.h"

#include <algorithm>
#include <cstring>

namespace imaging {

void YuvImage::Release::operator()(heif_image* image) const {
    heif_image_release(image);
}

YuvImage::YuvImage(QSize size) {
    if (!isDecodableSize(size.width(), size.height()))
        return;
    detail::ensureLibheifReady();
    heif_image* created = nullptr;
    if (heif_image_create(size.width(), size.height(), heif_colorspace_YCbCr, heif_chroma_420,
                          &created)
                .code != heif_error_Ok ||
        !created)
        return;
    std::unique_ptr<heif_image, Release> image(created);
    const QSize chroma((size.width() + 1) / 2, (size.height() + 1) / 2);
    const heif_channel channels[3] = {heif_channel_Y, heif_channel_Cb, heif_channel_Cr};
    for (int i = 0; i < 3; ++i) {
        const QSize plane = i == 0 ? size : chroma;
        if (heif_image_add_plane(created, channels[i], plane.width(), plane.height(), 8).code !=
            heif_error_Ok)
            return;
        m_planes[i] = heif_image_get_plane(created, channels[i], &m_strides[i]);
        if (!m_planes[i] || m_strides[i] < plane.width())
            return;
    }
    m_image = std::move(image);
    m_size = size;
}

QSize YuvImage::planeSize(Plane plane) const {
    if (plane == Y)
        return m_size;
    return QSize((m_size.width() + 1) / 2, (m_size.height() + 1) / 2);
}

uint8_t* YuvImage::bits(Plane plane) {
    return m_planes[plane];
}

const uint8_t* YuvImage::constBits(Plane plane) const {
    return m_planes[plane];
}

int YuvImage::bytesPerLine(Plane plane) const {
    return m_strides[plane];
}

namespace {

// Copies the `width` × `height` plane at `src` into `dst` turned by `orientation`. The
// transposing orientations go tile by tile, so that both sides stay in the cache.
void orientPlane(const uint8_t* src, int srcStride, int width, int height, uint8_t* dst,
                 int dstStride, int orientation) {
    const auto at = [&](int x, int y) { return src[size_t(y) * srcStride + x]; };
    switch (orientation) {
    case 2:
    case 3:
    case 4:
        for (int y = 0; y < height; ++y) {
            const int sy = orientation == 2 ? y : height - 1 - y;
            const uint8_t* from = src + size_t(sy) * srcStride;
            uint8_t* to = dst + size_t(y) * dstStride;
            if (orientation == 4)
                std::memcpy(to, from, size_t(width));
            else
                std::reverse_copy(from, from + width, to);
        }
        return;
    case 5:
    case 6:
    case 7:
    case 8: {
        // The upright plane is height × width; (x, y) in it comes from the stored column
        // x (or its mirror) and row y (or its mirror).
        constexpr int tile = 64;
        const int outWidth = height, outHeight = width;
        for (int ty = 0; ty < outHeight; ty += tile)
            for (int tx = 0; tx < outWidth; tx += tile)
                for (int y = ty; y < std::min(ty + tile, outHeight); ++y) {
                    uint8_t* to = dst + size_t(y) * dstStride;
                    const int sx = orientation == 5 || orientation == 6 ? y : width - 1 - y;
                    for (int x = tx; x < std::min(tx + tile, outWidth); ++x) {
                        const int sy = orientation == 5 || orientation == 8 ? x : height - 1 - x;
                        to[x] = at(sx, sy);
                    }
                }
        return;
    }
    default:
        for (int y = 0; y < height; ++y)
            std::memcpy(dst + size_t(y) * dstStride, src + size_t(y) * srcStride, size_t(width));
        return;
    }
}

} // namespace

YuvImage YuvImage::oriented(int orientation) const {
    if (isNull())
        return {};
    if (!isValidOrientation(orientation))
        orientation = 1;
    YuvImage out(orientedSize(m_size, orientation));
    if (out.isNull())
        return {};
    for (const Plane plane : {Y, Cb, Cr}) {
        const QSize size = planeSize(plane);
        orientPlane(m_planes[plane], m_strides[plane], size.width(), size.height(),
                    out.m_planes[plane], out.m_strides[plane], orientation);
    }
    return out;
}

} // namespace imaging
