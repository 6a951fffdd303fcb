#include "platform/imaging/SparseFile.h"

#include "platform/imaging/FileRead.h"

#include <algorithm>
#include <cerrno>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace imaging::detail {

namespace {

// Large enough that a header walk's scattered reads take few system calls, small enough that a
// thumbnail reads little more than it needs.
constexpr std::size_t kBlock = 64 * 1024;

std::function<void(std::size_t, std::size_t)>& readHook() {
    static std::function<void(std::size_t, std::size_t)> hook;
    return hook;
}

} // namespace

void setSparseReadHook(std::function<void(std::size_t offset, std::size_t length)> hook) {
    readHook() = std::move(hook);
}

SparseFile::SparseFile(int fd) : m_fd(fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size < 0)
        return;
    m_size = static_cast<std::size_t>(st.st_size);
    m_end = m_size;
    runFileOpenedHook();
    // Never-written pages are neither reserved nor allocated; the extra byte is the zero after
    // the end.
    m_mapped = m_size + 1;
    void* view = ::mmap(nullptr, m_mapped, PROT_READ | PROT_WRITE,
                        MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (view == MAP_FAILED)
        return;
    m_data = static_cast<std::uint8_t*>(view);
    m_filled.assign((m_size + kBlock - 1) / kBlock, false);
}

SparseFile::~SparseFile() {
    if (m_data)
        ::munmap(m_data, m_mapped);
}

bool SparseFile::ensure(std::size_t offset, std::size_t length) {
    if (!m_data || offset > m_end || length > m_end - offset)
        return false;
    if (length == 0)
        return true;
    const std::size_t last = (offset + length - 1) / kBlock;
    for (std::size_t block = offset / kBlock; block <= last; ++block) {
        if (m_filled[block])
            continue;
        // Neighbouring missing blocks in one read.
        std::size_t end = block + 1;
        while (end <= last && !m_filled[end])
            ++end;
        if (!fill(block, end))
            return false;
        block = end - 1;
    }
    return offset + length <= m_end;
}

bool SparseFile::fill(std::size_t firstBlock, std::size_t endBlock) {
    const std::size_t to = std::min(endBlock * kBlock, m_end);
    std::size_t at = firstBlock * kBlock;
    while (at < to) {
        const ssize_t n = ::pread(m_fd, m_data + at, to - at, static_cast<off_t>(at));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false; // left unfilled: a later ensure tries again and fails the same way
        if (n == 0) {
            m_end = at; // the file shrank meanwhile: nothing past here is the file's
            break;
        }
        if (readHook())
            readHook()(at, static_cast<std::size_t>(n));
        at += static_cast<std::size_t>(n);
    }
    std::fill(m_filled.begin() + static_cast<std::ptrdiff_t>(firstBlock),
              m_filled.begin() + static_cast<std::ptrdiff_t>(endBlock), true);
    return true;
}

} // namespace imaging::detail
