#pragma once

// The folders of a scan's files and the scan's two threads, shared by the kinds that read
// another program's database.
#include <QByteArray>
#include <QtGlobal>
#include <atomic>
#include <cstddef>
#include <exception>
#include <memory>
#include <thread>
#include <vector>

namespace photos::blocks {

// A file as lstat sees it: its size and modification time, or a size of -1 when it is missing
// or no regular file.
struct FileStat {
    qint64 size = -1;
    qint64 mtimeNs = 0;
};

// The folders of a scan's files by index, each opened once by whichever thread asks first: a
// file asked relative to its open folder costs the kernel no walk of its whole path.
class ScanFolders {
public:
    explicit ScanFolders(std::vector<QByteArray> paths); // as the file system names them
    ScanFolders(const ScanFolders&) = delete;
    ScanFolders& operator=(const ScanFolders&) = delete;
    ~ScanFolders();

    // The file `name` (ended by a NUL) in folder `folder`.
    FileStat statOf(size_t folder, const char* name);

private:
    int fdOf(size_t folder);

    std::vector<QByteArray> m_paths;
    std::unique_ptr<std::atomic<int>[]> m_fds;
};

// Where the second half of `count` items starts: at `count` when there are too few to be worth
// a second thread.
inline size_t secondHalfOf(size_t count) {
    return count >= 2048 ? count / 2 : count;
}

// Runs `work(from, to)` over [0, count) in two halves, the second on a second thread when
// there are enough to be worth one: making a scan's items is mostly allocating, and a second
// thread allocates from an arena of its own. Returns once both are done; what either threw is
// thrown here.
template <class Work> void inTwoHalves(size_t count, const Work& work) {
    const size_t half = secondHalfOf(count);
    std::exception_ptr secondFailed;
    std::jthread second;
    if (half < count)
        second = std::jthread([&] {
            try {
                work(half, count);
            } catch (...) {
                secondFailed = std::current_exception();
            }
        });
    work(size_t(0), half);
    if (second.joinable())
        second.join();
    if (secondFailed)
        std::rethrow_exception(secondFailed);
}

} // namespace photos::blocks
