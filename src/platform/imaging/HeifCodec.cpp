#include "platform/imaging/HeifCodec.h"

#include "platform/imaging/ExifBlockReader.h"
#include "platform/imaging/ImagingError.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/imaging/LibheifSupport.h"
#include "platform/imaging/Orientation.h"
#include "platform/imaging/PixelLimit.h"

#include <cstring>
#include <vector>

namespace imaging {

using detail::HeifPtr;

namespace {

QSize handleSize(const heif_image_handle* handle) {
    // Size after the file's own transformations, i.e. upright.
    return QSize(heif_image_handle_get_width(handle), heif_image_handle_get_height(handle));
}

// The smallest thumbnail of `primary` that satisfies `target`, or null.
HeifPtr<heif_image_handle> bestThumbnail(const heif_image_handle* primary,
                                         const DecodeTarget& target) {
    const int count = heif_image_handle_get_number_of_thumbnails(primary);
    if (count <= 0)
        return {};
    std::vector<heif_item_id> ids(static_cast<size_t>(count));
    heif_image_handle_get_list_of_thumbnail_IDs(primary, ids.data(), count);
    HeifPtr<heif_image_handle> best;
    for (heif_item_id id : ids) {
        heif_image_handle* thumbnail = nullptr;
        if (heif_image_handle_get_thumbnail(primary, id, &thumbnail).code != heif_error_Ok ||
            !thumbnail)
            continue;
        HeifPtr<heif_image_handle> owned(thumbnail);
        const QSize size = handleSize(thumbnail);
        if (!target.isSatisfiedBy(size) || !isDecodableSize(size.width(), size.height()))
            continue;
        if (!best || size.width() * qint64(size.height()) <
                         handleSize(best.get()).width() * qint64(handleSize(best.get()).height()))
            best = std::move(owned);
    }
    return best;
}

QImage decodeHandle(const heif_image_handle* handle) {
    // The sizes from the file's headers, before libheif allocates anything for the pixels.
    if (!isDecodableSize(handleSize(handle).width(), handleSize(handle).height()) ||
        !isDecodableSize(heif_image_handle_get_ispe_width(handle),
                         heif_image_handle_get_ispe_height(handle)))
        return {};
    HeifPtr<heif_decoding_options> options(heif_decoding_options_alloc());
    options->convert_hdr_to_8bit = 1;
    heif_image* decoded = nullptr;
    if (heif_decode_image(handle, &decoded, heif_colorspace_RGB, heif_chroma_interleaved_RGB,
                          options.get())
                .code != heif_error_Ok ||
        !decoded)
        return {};
    HeifPtr<heif_image> image(decoded);
    int stride = 0;
    const uint8_t* plane =
        heif_image_get_plane_readonly(decoded, heif_channel_interleaved, &stride);
    const int width = heif_image_get_width(decoded, heif_channel_interleaved);
    const int height = heif_image_get_height(decoded, heif_channel_interleaved);
    if (!plane || width <= 0 || height <= 0 || stride < width * 3)
        return {};
    // The QImage takes over the decoded buffer and releases it when the last copy goes.
    QImage wrapped(
        plane, width, height, stride, QImage::Format_RGB888,
        [](void* p) { heif_image_release(static_cast<heif_image*>(p)); }, image.release());
    return wrapped;
}

} // namespace

bool heifDecodes(const QByteArray& bytes) {
    const detail::HeifPrimary primary = detail::openHeifPrimary(bytes);
    if (!primary)
        return false;
    const heif_image_handle* handle = primary.handle.get();
    if (!isDecodableSize(handleSize(handle).width(), handleSize(handle).height()) ||
        !isDecodableSize(heif_image_handle_get_ispe_width(handle),
                         heif_image_handle_get_ispe_height(handle)))
        return false;
    HeifPtr<heif_decoding_options> options(heif_decoding_options_alloc());
    options->ignore_transformations = 1;
    heif_image* decoded = nullptr;
    if (heif_decode_image(handle, &decoded, heif_colorspace_undefined, heif_chroma_undefined,
                          options.get())
                .code != heif_error_Ok ||
        !decoded)
        return false;
    HeifPtr<heif_image> image(decoded);
    // Planes as libheif chose them: luma, or red, or interleaved.
    for (const heif_channel channel : {heif_channel_Y, heif_channel_R, heif_channel_interleaved})
        if (heif_image_get_width(decoded, channel) > 0)
            return true;
    return false;
}

QImage decodeHeif(const QByteArray& bytes, const DecodeTarget& target) {
    const detail::HeifPrimary primary = detail::openHeifPrimary(bytes);
    if (!primary)
        return {};
    HeifPtr<heif_image_handle> thumbnail;
    if (!target.isFullSize())
        thumbnail = bestThumbnail(primary.handle.get(), target);
    QImage image = decodeHandle(thumbnail ? thumbnail.get() : primary.handle.get());
    if (image.isNull())
        return {};
    const QSize reduced = target.reducedSize(image.size());
    if (reduced != image.size())
        return image.scaled(reduced, Qt::IgnoreAspectRatio, Qt::SmoothTransformation);
    return image;
}

namespace {

struct Output {
    QByteArray bytes;
};

heif_error appendOutput(heif_context*, const void* data, size_t size, void* userdata) {
    static_cast<Output*>(userdata)->bytes.append(static_cast<const char*>(data),
                                                 static_cast<qsizetype>(size));
    return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
}

void check(heif_error error, const char* what) {
    if (error.code != heif_error_Ok)
        throw ImagingError(std::string(what) + ": " +
                           (error.message ? error.message : "libheif error"));
}

HeifPtr<heif_image> toHeifImage(const QImage& source) {
    const QImage rgb = source.convertToFormat(QImage::Format_RGB888);
    if (rgb.isNull())
        throw ImagingError("cannot convert the image for HEIC encoding");
    heif_image* created = nullptr;
    check(heif_image_create(rgb.width(), rgb.height(), heif_colorspace_RGB,
                            heif_chroma_interleaved_RGB, &created),
          "cannot create HEIF image");
    HeifPtr<heif_image> image(created);
    check(heif_image_add_plane(created, heif_channel_interleaved, rgb.width(), rgb.height(), 8),
          "cannot allocate HEIF image");
    int stride = 0;
    uint8_t* plane = heif_image_get_plane(created, heif_channel_interleaved, &stride);
    if (!plane)
        throw ImagingError("cannot allocate HEIF image");
    const auto rowBytes = static_cast<size_t>(rgb.width()) * 3;
    for (int y = 0; y < rgb.height(); ++y)
        std::memcpy(plane + static_cast<size_t>(y) * stride, rgb.constScanLine(y), rowBytes);
    return image;
}

QByteArray encodeHeifImage(const heif_image* pixels, double quality, const QByteArray& exifBlock,
                           const QImage& thumbnail) {
    const QByteArrayView tiff = detail::tiffStart(exifBlock);
    if (!exifBlock.isEmpty() && tiff.isEmpty())
        throw ImagingError("EXIF block has no TIFF header");
    detail::ensureLibheifReady();

    HeifPtr<heif_context> context(heif_context_alloc());
    heif_encoder* createdEncoder = nullptr;
    check(
        heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &createdEncoder),
        "no HEVC encoder");
    HeifPtr<heif_encoder> encoder(createdEncoder);
    check(heif_encoder_set_lossy_quality(encoder.get(), qualityPercent(quality)),
          "cannot set HEIC quality");
    check(heif_encoder_set_parameter_string(encoder.get(), "preset", "faster"),
          "cannot set x265 preset");
    heif_encoder_set_logging_level(encoder.get(), 0);

    HeifPtr<heif_encoding_options> options(heif_encoding_options_alloc());
    const int orientation = detail::tiffOrientation(tiff).value_or(1);
    if (isValidOrientation(orientation))
        options->image_orientation = static_cast<heif_orientation>(orientation);

    heif_image_handle* createdHandle = nullptr;
    check(heif_context_encode_image(context.get(), pixels, encoder.get(), options.get(),
                                    &createdHandle),
          "HEIC encoding failed");
    const HeifPtr<heif_image_handle> handle(createdHandle);

    if (!thumbnail.isNull()) {
        // heif_context_assign_thumbnail of libheif 1.15 swaps its two images, so the thumbnail goes
        // through heif_context_encode_thumbnail, which only ever shrinks (by nearest neighbour, to
        // even sizes) an image larger than its box: it gets a copy with every pixel doubled and
        // the thumbnail's own long side as the box, and halves it back to the given pixels.
        const QImage doubled =
            thumbnail.scaled(thumbnail.size() * 2, Qt::IgnoreAspectRatio, Qt::FastTransformation);
        const HeifPtr<heif_image> thumbnailPixels = toHeifImage(doubled);
        heif_image_handle* thumbnailHandle = nullptr;
        check(heif_context_encode_thumbnail(
                  context.get(), thumbnailPixels.get(), handle.get(), encoder.get(), options.get(),
                  std::max(thumbnail.width(), thumbnail.height()), &thumbnailHandle),
              "HEIC thumbnail encoding failed");
        if (thumbnailHandle)
            heif_image_handle_release(thumbnailHandle);
    }

    if (!tiff.isEmpty())
        check(heif_context_add_exif_metadata(context.get(), handle.get(), tiff.data(),
                                             static_cast<int>(tiff.size())),
              "cannot attach EXIF data");

    Output output;
    heif_writer writer{};
    writer.writer_api_version = 1;
    writer.write = appendOutput;
    check(heif_context_write(context.get(), &writer, &output), "cannot write HEIC");
    return output.bytes;
}

} // namespace

QByteArray encodeHeic(const QImage& image, double quality, const QByteArray& exifBlock,
                      const QImage& thumbnail) {
    if (image.isNull())
        throw ImagingError("cannot encode an empty image as HEIC");
    const HeifPtr<heif_image> pixels = toHeifImage(image);
    return encodeHeifImage(pixels.get(), quality, exifBlock, thumbnail);
}

QByteArray encodeHeic(const YuvImage& image, double quality, const QByteArray& exifBlock,
                      const QImage& thumbnail) {
    if (image.isNull())
        throw ImagingError("cannot encode an empty image as HEIC");
    return encodeHeifImage(image.heifImage(), quality, exifBlock, thumbnail);
}

} // namespace imaging
