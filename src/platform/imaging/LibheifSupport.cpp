#include "platform/imaging/LibheifSupport.h"

#include "platform/imaging/ExifBlockReader.h"
#include "platform/imaging/PixelLimit.h"

#include <mutex>
#include <vector>

namespace imaging::detail {

void ensureLibheifReady() {
    static std::once_flag once;
    std::call_once(once, [] { heif_init(nullptr); });
}

namespace {

// libheif refuses images whose sides reach its limit; the decoders check the pixel count
// themselves before decoding.
HeifPtr<heif_context> newContext() {
    HeifPtr<heif_context> context(heif_context_alloc());
    heif_context_set_maximum_image_size_limit(context.get(), int(kMaxDecodedSide) + 1);
    return context;
}

HeifPrimary primaryOf(HeifPtr<heif_context> context, heif_error readResult) {
    if (readResult.code != heif_error_Ok)
        return {};
    heif_image_handle* handle = nullptr;
    if (heif_context_get_primary_image_handle(context.get(), &handle).code != heif_error_Ok ||
        !handle)
        return {};
    return {std::move(context), HeifPtr<heif_image_handle>(handle)};
}

} // namespace

HeifPrimary openHeifPrimary(const QByteArray& bytes) {
    ensureLibheifReady();
    if (bytes.isEmpty())
        return {};
    HeifPtr<heif_context> context = newContext();
    const heif_error result = heif_context_read_from_memory_without_copy(
        context.get(), bytes.constData(), static_cast<size_t>(bytes.size()), nullptr);
    return primaryOf(std::move(context), result);
}

QByteArray heifExifBlock(const heif_image_handle* handle) {
    const int count = heif_image_handle_get_number_of_metadata_blocks(handle, "Exif");
    if (count <= 0)
        return {};
    std::vector<heif_item_id> ids(static_cast<size_t>(count));
    heif_image_handle_get_list_of_metadata_block_IDs(handle, "Exif", ids.data(), count);
    for (heif_item_id id : ids) {
        const size_t size = heif_image_handle_get_metadata_size(handle, id);
        if (size <= 4)
            continue;
        QByteArray data(static_cast<qsizetype>(size), Qt::Uninitialized);
        if (heif_image_handle_get_metadata(handle, id, data.data()).code != heif_error_Ok)
            continue;
        // A big-endian offset from the end of this header to the TIFF header.
        const auto* p = reinterpret_cast<const uchar*>(data.constData());
        const quint32 offset =
            (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | p[3];
        if (offset > size - 4)
            continue;
        QByteArrayView tiff = tiffStart(QByteArrayView(data).sliced(4 + offset));
        // Some writers get the offset wrong; the TIFF header is then found a little further on.
        if (tiff.isEmpty()) {
            const QByteArrayView rest = QByteArrayView(data).sliced(4);
            for (qsizetype at = 0; at + 4 <= std::min<qsizetype>(rest.size(), 64) && tiff.isEmpty();
                 ++at)
                tiff = tiffStart(rest.sliced(at));
        }
        if (!tiff.isEmpty())
            return tiff.toByteArray();
    }
    return {};
}

} // namespace imaging::detail
