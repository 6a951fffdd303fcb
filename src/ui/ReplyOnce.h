#pragma once

#include <functional>
#include <mutex>
#include <utility>

namespace twinslim {

// Holds the reply a platform service waits for and makes sure it is given exactly once:
// the first answer goes through, later ones are dropped, and when the last owner lets go
// without answering (a dialog closed by the window system, an event dropped at exit) the
// fallback is sent, so that a worker blocked on the reply never waits forever.
template <typename T> class ReplyOnce {
public:
    ReplyOnce(std::function<void(T)> reply, T fallback)
        : m_reply(std::move(reply)), m_fallback(std::move(fallback)) {}
    ~ReplyOnce() { answer(m_fallback); }
    ReplyOnce(const ReplyOnce&) = delete;
    ReplyOnce& operator=(const ReplyOnce&) = delete;

    void answer(T value) {
        std::function<void(T)> reply;
        {
            std::lock_guard lock(m_mutex);
            reply = std::exchange(m_reply, nullptr);
        }
        if (reply)
            reply(std::move(value));
    }

    bool answered() const {
        std::lock_guard lock(m_mutex);
        return !m_reply;
    }

private:
    mutable std::mutex m_mutex;
    std::function<void(T)> m_reply;
    T m_fallback;
};

} // namespace twinslim
