#include "platform/imaging/RawDecoder.h"

#include "platform/imaging/RawJpeg.h"
#include "platform/imaging/RawOrientation.h"
#include "platform/imaging/RawPreviewScanner.h"

#include <QFile>
#include <algorithm>
#include <cstring>
#include <functional>
#include <libraw/libraw.h>
#include <memory>
#include <vector>

namespace imaging {

namespace {

using Bytes = std::span<const std::uint8_t>;

Bytes bytesOf(const QByteArray& data) {
    return {reinterpret_cast<const std::uint8_t*>(data.constData()),
            static_cast<std::size_t>(data.size())};
}

// The file's bytes, mapped when possible so that only the parts read are loaded.
class FileBytes {
public:
    explicit FileBytes(const QString& path) : m_file(path) {
        if (!m_file.open(QIODevice::ReadOnly))
            return;
        const qint64 size = m_file.size();
        if (size > 0) {
            if (uchar* mapped = m_file.map(0, size)) {
                m_bytes = Bytes(mapped, static_cast<std::size_t>(size));
                return;
            }
        }
        m_copy = m_file.readAll();
        m_bytes = bytesOf(m_copy);
    }

    Bytes bytes() const { return m_bytes; }

private:
    QFile m_file;
    QByteArray m_copy;
    Bytes m_bytes;
};

struct ProcessedImageDeleter {
    void operator()(libraw_processed_image_t* image) const { LibRaw::dcraw_clear_mem(image); }
};
using ProcessedImage = std::unique_ptr<libraw_processed_image_t, ProcessedImageDeleter>;

QImage toQImage(const libraw_processed_image_t& image) {
    if (image.type != LIBRAW_IMAGE_BITMAP || image.width == 0 || image.height == 0 ||
        (image.colors != 1 && image.colors != 3) || (image.bits != 8 && image.bits != 16))
        return {};
    const int width = image.width, height = image.height, colors = image.colors;
    const std::size_t bytesPerSample = image.bits / 8;
    if (std::size_t(width) * height * colors * bytesPerSample > image.data_size)
        return {};
    QImage out(width, height, QImage::Format_RGB32);
    if (out.isNull())
        return {};
    const auto sample = [&](std::size_t index) -> int {
        if (bytesPerSample == 1)
            return image.data[index];
        std::uint16_t v;
        std::memcpy(&v, image.data + 2 * index, 2);
        return v >> 8;
    };
    for (int y = 0; y < height; ++y) {
        auto* line = reinterpret_cast<QRgb*>(out.scanLine(y));
        const std::size_t row = std::size_t(y) * width * colors;
        for (int x = 0; x < width; ++x) {
            const std::size_t i = row + std::size_t(x) * colors;
            line[x] = colors == 3 ? qRgb(sample(i), sample(i + 1), sample(i + 2))
                                  : qRgb(sample(i), sample(i), sample(i));
        }
    }
    return out;
}

// The smallest size (same aspect as `size`) that serves `target` under `mode`; `size` itself
// when the target is empty.
QSize neededSize(QSize size, QSize target, RawTargetMode mode) {
    if (target.isEmpty())
        return size;
    return size.scaled(target, mode == RawTargetMode::Fit ? Qt::KeepAspectRatio
                                                          : Qt::KeepAspectRatioByExpanding);
}

bool covers(QSize size, QSize needed) {
    return size.width() >= needed.width() && size.height() >= needed.height();
}

// One embedded preview: JPEG bytes (inside the file or LibRaw's buffer) or a LibRaw bitmap.
struct Preview {
    QSize size; // as stored
    Bytes jpeg;
    bool libRawBitmap = false;
};

// One decode: the file's previews from our own container walk and from LibRaw, and LibRaw
// itself for the full decode.
class RawSession {
public:
    explicit RawSession(Bytes data) : m_data(data) {
        const rawdetail::RawContainer container = rawdetail::scanRawContainer(data);
        for (const auto& jpeg : container.jpegs)
            m_previews.push_back({jpeg.size, data.subspan(jpeg.offset, jpeg.length), false});
        m_orientation = container.orientation;

        m_libRaw = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_MEMERR_CALLBACK |
                                            LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
        m_opened = m_libRaw->open_buffer(const_cast<std::uint8_t*>(data.data()), data.size()) ==
                   LIBRAW_SUCCESS;
        if (m_opened) {
            m_orientation = rawdetail::exifOrientationFromLibRawFlip(m_libRaw->imgdata.sizes.flip);
            addLibRawThumbnail();
        }
        if (m_orientation < 1 || m_orientation > 8)
            m_orientation = 1;
        std::stable_sort(m_previews.begin(), m_previews.end(), [](const auto& a, const auto& b) {
            return std::int64_t(a.size.width()) * a.size.height() >
                   std::int64_t(b.size.width()) * b.size.height();
        });
    }

    int orientation() const { return m_orientation; }
    const std::vector<Preview>& previews() const { return m_previews; }

    // Stored-orientation pixels of `preview`, at least `minimum` where the preview allows.
    QImage decodePreview(const Preview& preview, QSize minimum) const {
        if (!preview.libRawBitmap)
            return rawdetail::decodeJpegScaled(preview.jpeg, minimum);
        ProcessedImage image(m_libRaw->dcraw_make_mem_thumb());
        return image ? toQImage(*image) : QImage();
    }

    // Full decode, upright (LibRaw applies the orientation when it builds the image).
    QImage decodeFull(QSize target, RawTargetMode mode) {
        if (!m_opened)
            return {};
        auto& params = m_libRaw->imgdata.params;
        params.use_camera_wb = 1;
        params.output_bps = 8;
        params.output_color = 1; // sRGB
        params.gamm[0] = 1 / 2.4;
        params.gamm[1] = 12.92;
        const QSize full = rawdetail::orientedSize(
            QSize(m_libRaw->imgdata.sizes.width, m_libRaw->imgdata.sizes.height), m_orientation);
        const QSize needed = neededSize(full, target, mode);
        params.half_size =
            full.width() / 2 >= needed.width() && full.height() / 2 >= needed.height();
        if (m_libRaw->unpack() != LIBRAW_SUCCESS || m_libRaw->dcraw_process() != LIBRAW_SUCCESS)
            return {};
        int error = 0;
        ProcessedImage image(m_libRaw->dcraw_make_mem_image(&error));
        if (!image || error != LIBRAW_SUCCESS)
            return {};
        return toQImage(*image);
    }

private:
    void addLibRawThumbnail() {
        if (m_libRaw->unpack_thumb() != LIBRAW_SUCCESS)
            return;
        const auto& thumb = m_libRaw->imgdata.thumbnail;
        if (thumb.tformat == LIBRAW_THUMBNAIL_JPEG && thumb.thumb && thumb.tlength > 0) {
            const Bytes jpeg(reinterpret_cast<const std::uint8_t*>(thumb.thumb), thumb.tlength);
            if (const auto size = rawdetail::jpegSize(jpeg))
                m_previews.push_back({*size, jpeg, false});
        } else if ((thumb.tformat == LIBRAW_THUMBNAIL_BITMAP ||
                    thumb.tformat == LIBRAW_THUMBNAIL_BITMAP16) &&
                   thumb.twidth > 0 && thumb.theight > 0) {
            m_previews.push_back({QSize(thumb.twidth, thumb.theight), {}, true});
        }
    }

    Bytes m_data;
    std::unique_ptr<LibRaw> m_libRaw;
    bool m_opened = false;
    int m_orientation = 0;
    std::vector<Preview> m_previews;
};

QImage decode(Bytes data, QSize target, RawTargetMode mode) {
    if (data.size() < 16)
        return {};
    try {
        RawSession session(data);
        const int orientation = session.orientation();
        const auto& previews = session.previews();
        const auto decodeUpright = [&](const Preview& p) {
            const QSize stored = rawdetail::orientedSize(
                neededSize(rawdetail::orientedSize(p.size, orientation), target, mode),
                orientation);
            const QImage image = session.decodePreview(p, stored);
            return image.isNull() ? image : rawdetail::orientedForDisplay(image, orientation);
        };

        if (!previews.empty()) {
            const QSize largest = rawdetail::orientedSize(previews.front().size, orientation);
            if (covers(largest, neededSize(largest, target, mode))) {
                for (const Preview& p : previews)
                    if (QImage image = decodeUpright(p); !image.isNull())
                        return image;
            }
        }
        if (QImage full = session.decodeFull(target, mode); !full.isNull())
            return full;
        for (const Preview& p : previews)
            if (QImage image = decodeUpright(p); !image.isNull())
                return image;
    } catch (...) {
        // LibRaw and Qt report allocation failures by exception; a broken file gives no image.
    }
    return {};
}

std::optional<RawPreviewInfo> previewInfo(Bytes data) {
    if (data.size() < 16)
        return std::nullopt;
    try {
        RawSession session(data);
        if (session.previews().empty())
            return std::nullopt;
        const int orientation = session.orientation();
        return RawPreviewInfo{rawdetail::orientedSize(session.previews().front().size, orientation),
                              orientation};
    } catch (...) {
        return std::nullopt;
    }
}

} // namespace

QImage decodeRaw(const QString& path, QSize target, RawTargetMode mode) {
    const FileBytes file(path);
    return decode(file.bytes(), target, mode);
}

QImage decodeRaw(const QByteArray& bytes, QSize target, RawTargetMode mode) {
    return decode(bytesOf(bytes), target, mode);
}

std::optional<RawPreviewInfo> rawPreviewInfo(const QString& path) {
    const FileBytes file(path);
    return previewInfo(file.bytes());
}

std::optional<RawPreviewInfo> rawPreviewInfo(const QByteArray& bytes) {
    return previewInfo(bytesOf(bytes));
}

} // namespace imaging
