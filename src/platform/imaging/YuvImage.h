#pragma once

#include <QSize>
#include <cstdint>
#include <memory>

struct heif_image;

namespace imaging {

// An 8-bit Y'CbCr 4:2:0 picture, full range with the BT.601 matrix (what a JPEG stores): a
// luma plane of width × height samples and two chroma planes of half that, rounded up. The
// planes are libheif's own buffers, so the HEIC encoder takes them as they are, with no
// conversion and no copy. Move-only; not thread-safe, but one may move between threads.
class YuvImage {
public:
    enum Plane { Y = 0, Cb = 1, Cr = 2 };

    YuvImage() = default;
    // Uninitialised planes; null when `size` is empty, too large to decode, or memory runs out.
    explicit YuvImage(QSize size);
    YuvImage(YuvImage&&) noexcept = default;
    YuvImage& operator=(YuvImage&&) noexcept = default;
    ~YuvImage() = default;

    bool isNull() const { return m_image == nullptr; }
    QSize size() const { return m_size; }
    int width() const { return m_size.width(); }
    int height() const { return m_size.height(); }

    // Samples of a plane: the luma plane is size(), chroma planes half of it rounded up.
    QSize planeSize(Plane plane) const;
    uint8_t* bits(Plane plane);
    const uint8_t* constBits(Plane plane) const;
    int bytesPerLine(Plane plane) const;

    // The picture turned upright by an EXIF orientation (1…8; others count as 1).
    YuvImage oriented(int orientation) const;

    // For the HEIC encoder.
    const heif_image* heifImage() const { return m_image.get(); }

private:
    struct Release {
        void operator()(heif_image* image) const;
    };
    std::unique_ptr<heif_image, Release> m_image;
    QSize m_size;
    uint8_t* m_planes[3] = {};
    int m_strides[3] = {};
};

} // namespace imaging
