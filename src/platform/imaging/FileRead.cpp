#include "platform/imaging/FileRead.h"

#include <QFile>
#include <cerrno>
#include <fcntl.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

namespace imaging::detail {

namespace {

std::function<void()>& openedHook() {
    static std::function<void()> hook;
    return hook;
}

} // namespace

void setFileOpenedHook(std::function<void()> hook) {
    openedHook() = std::move(hook);
}

void runFileOpenedHook() {
    if (openedHook())
        openedHook()();
}

QByteArray readFileBytes(const QString& path, qint64 maxLength) {
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return {};
    QByteArray bytes = readFileBytes(fd, maxLength);
    ::close(fd);
    return bytes;
}

QByteArray readFileBytes(int fd, qint64 maxLength) {
    QByteArray bytes;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
        return {};
    const qint64 wanted = maxLength < 0 ? st.st_size : std::min<qint64>(st.st_size, maxLength);
    runFileOpenedHook();
    try {
        bytes.resize(wanted);
    } catch (const std::bad_alloc&) {
        return {}; // a file larger than memory is not a picture one can read
    }
    qint64 done = 0;
    while (done < wanted) {
        const ssize_t n = ::pread(fd, bytes.data() + done, size_t(wanted - done), done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            done = 0; // a read error (a disk gone) gives nothing
            break;
        }
        if (n == 0)
            break; // the file shrank meanwhile: what is left
        done += n;
    }
    bytes.resize(done);
    return bytes;
}

} // namespace imaging::detail
