#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

// Internal to the imaging library.
namespace imaging::detail {

// A file's bytes in memory, read only where asked for. A RAW file's thumbnail needs its headers
// and one embedded preview, a small part of tens of megabytes; reading all of it costs far more
// than decoding the preview. The file itself is never mapped (a disk that goes away would kill
// the process with SIGBUS): the view is anonymous memory, untouched pages cost nothing and read
// as zeros, and ensure() fills it with pread, block by block.
class SparseFile {
public:
    // The regular file open as `fd`, at the size it has now; the descriptor stays the caller's
    // and must stay open while this is used. Not valid when `fd` is no regular file or there is
    // no room for the view.
    explicit SparseFile(int fd);
    ~SparseFile();
    SparseFile(const SparseFile&) = delete;
    SparseFile& operator=(const SparseFile&) = delete;

    bool isValid() const { return m_data != nullptr; }

    // The whole view; only what ensure() answered true for holds the file's bytes. A zero byte
    // always follows its end, as after a QByteArray's, for readers that look for one.
    std::span<const std::uint8_t> bytes() const { return {m_data, m_size}; }

    // Reads what is not read yet of [offset, offset + length). False when the range is not
    // inside the view, the file cannot be read (a read error, a disk gone) or has shrunk to end
    // before the range does; the range's bytes must not be used then.
    bool ensure(std::size_t offset, std::size_t length);

private:
    bool fill(std::size_t firstBlock, std::size_t endBlock);

    int m_fd = -1;
    std::uint8_t* m_data = nullptr;
    std::size_t m_size = 0;
    std::size_t m_mapped = 0;
    std::size_t m_end = 0; // where the file was found to end, when it shrank after opening
    std::vector<bool> m_filled;
};

// For tests: called with each range read from a file into a SparseFile. Not thread-safe; empty
// to remove.
void setSparseReadHook(std::function<void(std::size_t offset, std::size_t length)> hook);

} // namespace imaging::detail
