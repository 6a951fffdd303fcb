#pragma once

#include <QString>

namespace photos {

// Held while a change to a library is applied or recovered: one at a time across every
// process. Waits for another holder; throws PhotoLibraryError when the lock cannot be taken.
class ChangeLock {
public:
    explicit ChangeLock(const QString& stateFolder);
    ~ChangeLock();
    ChangeLock(const ChangeLock&) = delete;
    ChangeLock& operator=(const ChangeLock&) = delete;

private:
    int m_fd = -1;
};

} // namespace photos
