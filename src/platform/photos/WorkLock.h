#pragma once

#include <QString>
#include <memory>
#include <optional>

namespace photos {

// One named piece of work on a library that only one process at a time may do (an ingest),
// across every program that opens the library. Held with flock() on a file in the library's
// lock folder for as long as the object lives; the kernel drops it when the process dies, so
// a killed run never blocks the next one. The file is never removed: removing it could let
// two processes lock two different files of the same name.
class WorkLock {
public:
    ~WorkLock();
    WorkLock(const WorkLock&) = delete;
    WorkLock& operator=(const WorkLock&) = delete;

    struct Held {
        std::optional<qint64> holderPid; // as the holder recorded it, when readable
    };
    // The lock, or Held when another process (or another holder in this one) has it.
    // Throws PhotoLibraryError when the lock file cannot be made.
    static std::unique_ptr<WorkLock> tryAcquire(const QString& libraryPath, const QString& name,
                                                Held* held = nullptr);

private:
    explicit WorkLock(int fd) : m_fd(fd) {}
    int m_fd = -1;
};

} // namespace photos
