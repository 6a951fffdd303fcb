#include "platform/imaging/BoundedRawStream.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace imaging::detail {

namespace {

// sscanf reads a number after some blanks; LibRaw asks for short numbers in text headers.
constexpr std::size_t kScanWindow = 4096;

} // namespace

BoundedRawStream::BoundedRawStream(const void* data, std::size_t size, EnsureBytes ensure)
    // LibRaw only reads through the stream; its constructor merely wants a non-const pointer.
    : LibRaw_buffer_datastream(const_cast<void*>(data), size), m_ensure(std::move(ensure)) {}

void BoundedRawStream::spend() {
    if (m_left < 0)
        return;
    if (m_left == 0)
        // LibRaw turns exceptions thrown while it opens a file into a failed open.
        throw std::runtime_error("RAW headers need more reading than any real file");
    --m_left;
}

void BoundedRawStream::need(std::size_t length) {
    if (!m_ensure)
        return;
    const INT64 at = tell(), end = size();
    if (at < 0 || at >= end || length == 0)
        return; // LibRaw reads nothing there
    const std::size_t available = static_cast<std::size_t>(end - at);
    if (!m_ensure(static_cast<std::size_t>(at), std::min(length, available)))
        // Like the budget's: LibRaw's open, unpack and thumbnail calls fail on it.
        throw std::runtime_error("RAW file cannot be read");
}

int BoundedRawStream::read(void* ptr, std::size_t size, std::size_t count) {
    spend();
    need(count != 0 && size > std::numeric_limits<std::size_t>::max() / count
             ? std::numeric_limits<std::size_t>::max()
             : size * count);
    return LibRaw_buffer_datastream::read(ptr, size, count);
}

int BoundedRawStream::seek(INT64 offset, int whence) {
    spend();
    return LibRaw_buffer_datastream::seek(offset, whence);
}

int BoundedRawStream::get_char() {
    spend();
    need(1);
    return LibRaw_buffer_datastream::get_char();
}

char* BoundedRawStream::gets(char* s, int size) {
    spend();
    need(static_cast<std::size_t>(std::max(size, 0)));
    return LibRaw_buffer_datastream::gets(s, size);
}

int BoundedRawStream::scanf_one(const char* format, void* value) {
    need(kScanWindow);
    return LibRaw_buffer_datastream::scanf_one(format, value);
}

int BoundedRawStream::jpeg_src(void* jpegData) {
    need(std::numeric_limits<std::size_t>::max()); // libjpeg reads on to the end
    return LibRaw_buffer_datastream::jpeg_src(jpegData);
}

void* BoundedRawStream::make_jas_stream() {
    need(std::numeric_limits<std::size_t>::max());
    return LibRaw_buffer_datastream::make_jas_stream();
}

} // namespace imaging::detail
