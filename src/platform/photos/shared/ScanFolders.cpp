#include "platform/photos/shared/ScanFolders.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace photos::blocks {

namespace {
constexpr int unopened = -2;
}

ScanFolders::ScanFolders(std::vector<QByteArray> paths)
    : m_paths(std::move(paths)), m_fds(new std::atomic<int>[m_paths.size()]) {
    for (size_t i = 0; i < m_paths.size(); ++i)
        m_fds[i].store(unopened, std::memory_order_relaxed);
}

ScanFolders::~ScanFolders() {
    for (size_t i = 0; i < m_paths.size(); ++i)
        if (const int fd = m_fds[i].load(); fd >= 0)
            ::close(fd);
}

int ScanFolders::fdOf(size_t folder) {
    int fd = m_fds[folder].load(std::memory_order_acquire);
    if (fd != unopened)
        return fd;
    const int opened = ::open(m_paths[folder].constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (m_fds[folder].compare_exchange_strong(fd, opened, std::memory_order_acq_rel))
        return opened;
    if (opened >= 0) // the other thread opened it first
        ::close(opened);
    return fd;
}

FileStat ScanFolders::statOf(size_t folder, const char* name) {
    struct stat st {};
    const int fd = fdOf(folder);
    if (fd < 0 || ::fstatat(fd, name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return {};
    return {qint64(st.st_size), qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
}

} // namespace photos::blocks
