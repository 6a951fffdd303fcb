// What an ingest run reads from each exported JPEG or HEIC file: the primary image's size and
// its EXIF capture date, from the JPEG segments or the HEIF boxes.
#include "ingest/FileSignature.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <sys/mman.h>
#include <unistd.h>

namespace {

// readSignature takes a path. One in-memory file serves every input, so nothing touches the disk
// and no file is left behind.
int memoryFile() {
    static const int fd = [] {
        const int fd = memfd_create("fuzz-file-signature", MFD_CLOEXEC);
        if (fd < 0)
            std::abort();
        return fd;
    }();
    return fd;
}

bool writeAll(int fd, const std::uint8_t* data, std::size_t size) {
    if (ftruncate(fd, 0) != 0)
        return false;
    for (off_t at = 0; size > 0;) {
        const ssize_t n = pwrite(fd, data, size, at);
        if (n <= 0)
            return false;
        data += n;
        size -= std::size_t(n);
        at += n;
    }
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const int fd = memoryFile();
    if (!writeAll(fd, data, size))
        std::abort();
    static const QString path = QStringLiteral("/proc/self/fd/%1").arg(fd);
    const twinslim::FileSignature signature = twinslim::readSignature(path);
    // A date is given only when it is a real moment, never as an invalid QDateTime.
    if (signature.date && !signature.date->isValid())
        std::abort();
    return 0;
}
