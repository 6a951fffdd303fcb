#include "platform/imaging/BoundedRawStream.h"

#include <stdexcept>

namespace imaging::detail {

BoundedRawStream::BoundedRawStream(const void* data, std::size_t size)
    // LibRaw only reads through the stream; its constructor merely wants a non-const pointer.
    : LibRaw_buffer_datastream(const_cast<void*>(data), size) {}

void BoundedRawStream::spend() {
    if (m_left < 0)
        return;
    if (m_left == 0)
        // LibRaw turns exceptions thrown while it opens a file into a failed open.
        throw std::runtime_error("RAW headers need more reading than any real file");
    --m_left;
}

int BoundedRawStream::read(void* ptr, std::size_t size, std::size_t count) {
    spend();
    return LibRaw_buffer_datastream::read(ptr, size, count);
}

int BoundedRawStream::seek(INT64 offset, int whence) {
    spend();
    return LibRaw_buffer_datastream::seek(offset, whence);
}

int BoundedRawStream::get_char() {
    spend();
    return LibRaw_buffer_datastream::get_char();
}

char* BoundedRawStream::gets(char* s, int size) {
    spend();
    return LibRaw_buffer_datastream::gets(s, size);
}

} // namespace imaging::detail
