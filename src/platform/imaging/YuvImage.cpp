#include "platform/imaging/YuvImage.h"

#include "platform/imaging/LibheifSupport.h"
#include "platform/imaging/Orientation.h"
#include "platform/imaging/PixelLimit.h"

#include <QPoint>
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

// Where the upright picture's luma pixel (x, y) is stored, for a stored picture of w × h.
QPoint storedPosition(int x, int y, int w, int h, int orientation) {
    switch (orientation) {
    case 2:
        return {w - 1 - x, y};
    case 3:
        return {w - 1 - x, h - 1 - y};
    case 4:
        return {x, h - 1 - y};
    case 5:
        return {y, x};
    case 6:
        return {y, h - 1 - x};
    case 7:
        return {w - 1 - y, h - 1 - x};
    case 8:
        return {w - 1 - y, x};
    default:
        return {x, y};
    }
}

// The upright chroma plane: each sample is the average of the stored chroma samples under the
// luma pixels it covers. That is one stored sample, unless an odd side is mirrored: its lone
// last column (or row) then comes first, and every later pair of pixels straddles two stored
// samples.
void orientChroma(const uint8_t* src, int srcStride, QSize stored, uint8_t* dst, int dstStride,
                  QSize upright, int orientation) {
    const int w = stored.width(), h = stored.height();
    const int outWidth = (upright.width() + 1) / 2, outHeight = (upright.height() + 1) / 2;
    constexpr int tile = 64;
    for (int ty = 0; ty < outHeight; ty += tile)
        for (int tx = 0; tx < outWidth; tx += tile)
            for (int cy = ty; cy < std::min(ty + tile, outHeight); ++cy) {
                uint8_t* to = dst + size_t(cy) * dstStride;
                for (int cx = tx; cx < std::min(tx + tile, outWidth); ++cx) {
                    unsigned sum = 0, n = 0;
                    for (int y = 2 * cy; y < std::min(2 * cy + 2, upright.height()); ++y)
                        for (int x = 2 * cx; x < std::min(2 * cx + 2, upright.width()); ++x) {
                            const QPoint p = storedPosition(x, y, w, h, orientation);
                            sum += src[size_t(p.y() / 2) * srcStride + p.x() / 2];
                            ++n;
                        }
                    to[cx] = uint8_t((sum + n / 2) / n);
                }
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
    orientPlane(m_planes[Y], m_strides[Y], width(), height(), out.m_planes[Y], out.m_strides[Y],
                orientation);
    // Even sides keep every chroma sample over the same pixels, and the plane turns as it is.
    const bool even = width() % 2 == 0 && height() % 2 == 0;
    for (const Plane plane : {Cb, Cr}) {
        const QSize size = planeSize(plane);
        if (even)
            orientPlane(m_planes[plane], m_strides[plane], size.width(), size.height(),
                        out.m_planes[plane], out.m_strides[plane], orientation);
        else
            orientChroma(m_planes[plane], m_strides[plane], m_size, out.m_planes[plane],
                         out.m_strides[plane], out.m_size, orientation);
    }
    return out;
}

} // namespace imaging
