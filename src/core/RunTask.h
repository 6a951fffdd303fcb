#pragma once

#include <QCoro/QCoroTask>
#include <QEventLoop>
#include <exception>
#include <optional>
#include <type_traits>

namespace twinslim {

// Runs a task to its end on an event loop of the calling thread and returns its result, or
// rethrows what it threw (QCoro::waitFor never returns when the task throws). For programs
// without a window, whose one loop this is, and for tests; a window never waits like this.
template <typename T> T runTask(QCoro::Task<T> task) {
    QEventLoop loop;
    bool done = false;
    std::exception_ptr error;
    std::optional<std::conditional_t<std::is_void_v<T>, int, T>> result;
    auto runner = [&]() -> QCoro::Task<> {
        try {
            if constexpr (std::is_void_v<T>) {
                co_await task;
                result = 0;
            } else {
                result = co_await task;
            }
        } catch (...) {
            error = std::current_exception();
        }
        done = true;
        loop.quit();
    };
    auto running = runner();
    if (!done)
        loop.exec();
    if (error)
        std::rethrow_exception(error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*result);
}

} // namespace twinslim
