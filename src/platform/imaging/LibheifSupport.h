#pragma once

#include <QByteArray>
#include <libheif/heif.h>
#include <memory>

// Internal to the imaging library: libheif set-up and owning handles.
namespace imaging::detail {

// heif_init once for the process (never undone: other threads may be decoding at exit).
void ensureLibheifReady();

struct HeifDeleter {
    void operator()(heif_context* p) const { heif_context_free(p); }
    void operator()(heif_image_handle* p) const { heif_image_handle_release(p); }
    void operator()(heif_image* p) const { heif_image_release(p); }
    void operator()(heif_encoder* p) const { heif_encoder_release(p); }
    void operator()(heif_encoding_options* p) const { heif_encoding_options_free(p); }
    void operator()(heif_decoding_options* p) const { heif_decoding_options_free(p); }
};
template <typename T> using HeifPtr = std::unique_ptr<T, HeifDeleter>;

// The primary image of a HEIF file read from memory; `bytes` must outlive the context, which
// refers to them without copying. Empty on any error.
struct HeifPrimary {
    HeifPtr<heif_context> context;
    HeifPtr<heif_image_handle> handle;
    explicit operator bool() const { return handle != nullptr; }
};
HeifPrimary openHeifPrimary(const QByteArray& bytes);

// The first EXIF block attached to `handle`, starting at its TIFF header (the 4-byte offset
// header and whatever it skips removed); empty when there is none or it is malformed.
QByteArray heifExifBlock(const heif_image_handle* handle);

} // namespace imaging::detail
