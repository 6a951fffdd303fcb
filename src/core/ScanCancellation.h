#pragma once

#include <mutex>

namespace twinslim {

// Cancellation flag of one scan, shared by the GUI thread (which sets it) and the
// background reading (which polls it). Once set it stays set.
class ScanCancellation {
public:
    void cancel() {
        std::lock_guard guard(m_lock);
        m_cancelled = true;
    }
    bool isCancelled() const {
        std::lock_guard guard(m_lock);
        return m_cancelled;
    }

private:
    mutable std::mutex m_lock;
    bool m_cancelled = false;
};

} // namespace twinslim
