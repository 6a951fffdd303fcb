#pragma once

#include "core/CallbackAwaitable.h"

#include <QCoro/QCoroTask>
#include <QThreadPool>
#include <exception>
#include <memory>
#include <type_traits>

namespace twinslim {

// Runs `work` on the thread pool and resumes the awaiting coroutine on its own thread with
// what `work` returned, or rethrows what it threw. For blocking file work, flushes above
// all: a flush can wait on the disk for tens of milliseconds, which a window's thread must
// never do.
template <typename F> QCoro::Task<std::invoke_result_t<F&>> offThread(F work) {
    using R = std::invoke_result_t<F&>;
    auto shared = std::make_shared<F>(std::move(work));
    CallbackAwaitable<R> running([shared](typename CallbackAwaitable<R>::Resolver resolver) {
        QThreadPool::globalInstance()->start([shared, resolver] {
            try {
                if constexpr (std::is_void_v<R>) {
                    (*shared)();
                    resolver.resolve();
                } else {
                    resolver.resolve((*shared)());
                }
            } catch (...) {
                resolver.reject(std::current_exception());
            }
        });
    });
    if constexpr (std::is_void_v<R>)
        co_await running;
    else
        co_return co_await running;
}

} // namespace twinslim
