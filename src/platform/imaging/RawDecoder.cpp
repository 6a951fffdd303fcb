#include "platform/imaging/RawDecoder.h"

#include "platform/imaging/BoundedRawStream.h"
#include "platform/imaging/Orientation.h"
#include "platform/imaging/PixelLimit.h"
#include "platform/imaging/RawJpeg.h"
#include "platform/imaging/RawOrientation.h"
#include "platform/imaging/RawPreviewChoice.h"
#include "platform/imaging/RawPreviewScanner.h"
#include "platform/imaging/SparseFile.h"

#include <QFile>
#include <algorithm>
#include <cstring>
#include <fcntl.h>
#include <functional>
#include <libraw/libraw.h>
#include <memory>
#include <unistd.h>
#include <vector>

namespace imaging {

namespace {

using Bytes = std::span<const std::uint8_t>;
using rawdetail::EnsureBytes;

Bytes bytesOf(const QByteArray& data) {
    return {reinterpret_cast<const std::uint8_t*>(data.constData()),
            static_cast<std::size_t>(data.size())};
}

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

// One embedded preview: JPEG bytes (inside the file or LibRaw's buffer) or a LibRaw bitmap.
struct Preview {
    enum class Kind { Jpeg, Rgb8, LibRawBitmap };
    Kind kind = Kind::Jpeg;
    QSize size;          // as stored
    Bytes bytes;         // JPEG data or RGB rows; empty for LibRaw's bitmap
    bool inFile = false; // `bytes` lie in the file's data, not in LibRaw's buffer
};

QImage fromRgbRows(Bytes rows, QSize size) {
    if (!isDecodableSize(size.width(), size.height()) ||
        rows.size() < std::size_t(size.width()) * size.height() * 3)
        return {};
    QImage image(size, QImage::Format_RGB888);
    if (image.isNull())
        return {};
    const std::size_t stride = std::size_t(size.width()) * 3;
    for (int y = 0; y < size.height(); ++y)
        std::memcpy(image.scanLine(y), rows.data() + stride * y, stride);
    return image.convertToFormat(QImage::Format_RGB32);
}

// One decode: the file's previews from our own container walk and from LibRaw, and LibRaw
// itself for the full decode. With `ensure` the data is a file read on demand, and everything
// read from it is ensured first.
class RawSession {
public:
    RawSession(Bytes data, EnsureBytes ensure)
        : m_data(data), m_ensure(std::move(ensure)), m_stream(data.data(), data.size(), m_ensure) {
        const rawdetail::RawContainer container = rawdetail::scanRawContainer(data, m_ensure);
        for (const auto& p : container.previews)
            m_previews.push_back({p.kind == rawdetail::EmbeddedPreview::Kind::Jpeg
                                      ? Preview::Kind::Jpeg
                                      : Preview::Kind::Rgb8,
                                  p.size, data.subspan(p.offset, p.length), true});
        m_orientation = container.orientation;

        m_libRaw = std::make_unique<LibRaw>(LIBRAW_OPIONS_NO_MEMERR_CALLBACK |
                                            LIBRAW_OPIONS_NO_DATAERR_CALLBACK);
        m_opened = m_libRaw->open_datastream(&m_stream) == LIBRAW_SUCCESS;
        // Headers are read; decoding reads all of the sensor data.
        m_stream.liftBudget();
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

    // The full picture's size, upright, when LibRaw can read the file.
    std::optional<QSize> fullSize() const {
        if (!m_opened)
            return std::nullopt;
        return orientedSize(QSize(m_libRaw->imgdata.sizes.width, m_libRaw->imgdata.sizes.height),
                            m_orientation);
    }
    const std::vector<Preview>& previews() const { return m_previews; }

    // Stored-orientation pixels of `preview`, at least `minimum` where the preview allows.
    QImage decodePreview(const Preview& preview, QSize minimum) const {
        if (preview.inFile &&
            !ensure(std::size_t(preview.bytes.data() - m_data.data()), preview.bytes.size()))
            return {};
        switch (preview.kind) {
        case Preview::Kind::Jpeg:
            return rawdetail::decodeJpegScaled(preview.bytes, minimum);
        case Preview::Kind::Rgb8:
            return fromRgbRows(preview.bytes, preview.size);
        case Preview::Kind::LibRawBitmap:
            break;
        }
        ProcessedImage image(m_libRaw->dcraw_make_mem_thumb());
        return image ? toQImage(*image) : QImage();
    }

    // Full decode, upright (LibRaw applies the orientation when it builds the image).
    QImage decodeFull(const DecodeTarget& target) {
        const auto full = fullSize();
        const auto& sizes = m_libRaw->imgdata.sizes;
        if (!full || !isDecodableSize(sizes.raw_width, sizes.raw_height) ||
            !isDecodableSize(sizes.width, sizes.height))
            return {};
        auto& params = m_libRaw->imgdata.params;
        params.use_camera_wb = 1;
        params.output_bps = 8;
        params.output_color = 1; // sRGB
        params.gamm[0] = 1 / 2.4;
        params.gamm[1] = 12.92;
        params.half_size = !target.isFullSize() && target.isSatisfiedBy(*full / 2);
        // All of it: the sensor data is most of the file, and LibRaw may read it from threads.
        if (!ensure(0, m_data.size()))
            return {};
        // LibRaw reads sensor data past the end of a cut-off file as zeros and calls that a
        // success; a black picture must not pass for the photograph.
        const auto& unpacker = m_libRaw->get_internal_data_pointer()->unpacker_data;
        if (unpacker.data_offset <= 0 || std::uint64_t(unpacker.data_offset) >= m_data.size() ||
            std::uint64_t(unpacker.data_offset) + unpacker.data_size > m_data.size())
            return {};
        if (m_libRaw->unpack() != LIBRAW_SUCCESS)
            return {};
        // LibRaw carries on over damaged sensor data; such a picture is worse than a preview.
        if (m_libRaw->error_count() > 0 || m_libRaw->dcraw_process() != LIBRAW_SUCCESS)
            return {};
        int error = 0;
        ProcessedImage image(m_libRaw->dcraw_make_mem_image(&error));
        if (!image || error != LIBRAW_SUCCESS)
            return {};
        return toQImage(*image);
    }

private:
    bool ensure(std::size_t offset, std::size_t length) const {
        return !m_ensure || m_ensure(offset, length);
    }

    void addLibRawThumbnail() {
        // LibRaw reads a thumbnail that runs a little past the end of the file and leaves the
        // missing bytes undefined; such a thumbnail is dropped, before LibRaw even reads it.
        // One our container walk found already is not read twice.
        const auto& thumb = m_libRaw->imgdata.thumbnail;
        const auto withinFile = [&] {
            const INT64 offset = m_libRaw->get_internal_data_pointer()->internal_data.toffset;
            return offset > 0 && std::uint64_t(offset) + thumb.tlength <= m_data.size();
        };
        const auto alreadyFound = [&] {
            const INT64 offset = m_libRaw->get_internal_data_pointer()->internal_data.toffset;
            for (const Preview& known : m_previews)
                if (known.bytes.data() == m_data.data() + offset)
                    return true;
            return false;
        };
        if (!withinFile() || alreadyFound() || m_libRaw->unpack_thumb() != LIBRAW_SUCCESS)
            return;
        // Unpacking can settle the offset and length only now.
        if (!thumb.thumb || thumb.tlength == 0 || !withinFile())
            return;
        if (thumb.tformat == LIBRAW_THUMBNAIL_JPEG) {
            const Bytes jpeg(reinterpret_cast<const std::uint8_t*>(thumb.thumb), thumb.tlength);
            if (const auto size = rawdetail::jpegSize(jpeg))
                m_previews.push_back({Preview::Kind::Jpeg, *size, jpeg});
        } else if ((thumb.tformat == LIBRAW_THUMBNAIL_BITMAP ||
                    thumb.tformat == LIBRAW_THUMBNAIL_BITMAP16) &&
                   isDecodableSize(thumb.twidth, thumb.theight)) {
            m_previews.push_back(
                {Preview::Kind::LibRawBitmap, QSize(thumb.twidth, thumb.theight), {}});
        }
    }

    Bytes m_data;
    EnsureBytes m_ensure;
    detail::BoundedRawStream m_stream; // outlives m_libRaw, which reads through it
    std::unique_ptr<LibRaw> m_libRaw;
    bool m_opened = false;
    int m_orientation = 0;
    std::vector<Preview> m_previews;
};

QImage decode(Bytes data, const EnsureBytes& ensure, const DecodeTarget& target) {
    if (data.size() < 16)
        return {};
    try {
        RawSession session(data, ensure);
        const int orientation = session.orientation();
        const auto& previews = session.previews();
        const auto decodeUpright = [&](const Preview& p) {
            const QSize upright = orientedSize(p.size, orientation);
            const QSize minimum = target.reducedSize(upright);
            const QImage image = session.decodePreview(p, orientedSize(minimum, orientation));
            return image.isNull() ? image : applyOrientation(image, orientation);
        };

        std::vector<QSize> uprightSizes;
        for (const Preview& p : previews)
            uprightSizes.push_back(orientedSize(p.size, orientation));
        for (std::size_t i : rawdetail::previewTrialOrder(uprightSizes, session.fullSize(), target))
            if (QImage image = decodeUpright(previews[i]); !image.isNull())
                return image;
        if (QImage full = session.decodeFull(target); !full.isNull())
            return full;
        // Better a smaller picture than none.
        for (const Preview& p : previews)
            if (QImage image = decodeUpright(p); !image.isNull())
                return image;
    } catch (...) {
        // LibRaw and Qt report allocation failures by exception; a broken file gives no image.
    }
    return {};
}

std::optional<RawPreviewInfo> previewInfo(Bytes data, const EnsureBytes& ensure) {
    if (data.size() < 16)
        return std::nullopt;
    try {
        RawSession session(data, ensure);
        if (session.previews().empty())
            return std::nullopt;
        const int orientation = session.orientation();
        return RawPreviewInfo{orientedSize(session.previews().front().size, orientation),
                              orientation};
    } catch (...) {
        return std::nullopt;
    }
}

// Runs `use(data, ensure)` on the file open as `fd`, read on demand; `failed` when it cannot be.
template <typename Use, typename Result> Result withFile(int fd, Use use, Result failed) {
    detail::SparseFile file(fd);
    if (!file.isValid())
        return failed;
    return use(file.bytes(), [&file](std::size_t offset, std::size_t length) {
        return file.ensure(offset, length);
    });
}

template <typename Use, typename Result>
Result withPath(const QString& path, Use use, Result failed) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return failed;
    Result result = withFile(fd, use, failed);
    ::close(fd);
    return result;
}

} // namespace

QImage decodeRaw(const QString& path, const DecodeTarget& target) {
    return withPath(
        path, [&](Bytes data, EnsureBytes ensure) { return decode(data, ensure, target); },
        QImage());
}

QImage decodeRaw(int fd, const DecodeTarget& target) {
    return withFile(
        fd, [&](Bytes data, EnsureBytes ensure) { return decode(data, ensure, target); }, QImage());
}

QImage decodeRaw(const QByteArray& bytes, const DecodeTarget& target) {
    return decode(bytesOf(bytes), {}, target);
}

std::optional<RawPreviewInfo> rawPreviewInfo(const QString& path) {
    return withPath(path, previewInfo, std::optional<RawPreviewInfo>());
}

std::optional<RawPreviewInfo> rawPreviewInfo(int fd) {
    return withFile(fd, previewInfo, std::optional<RawPreviewInfo>());
}

std::optional<RawPreviewInfo> rawPreviewInfo(const QByteArray& bytes) {
    return previewInfo(bytesOf(bytes), {});
}

} // namespace imaging
