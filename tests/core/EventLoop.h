#pragma once

#include <QCoreApplication>
#include <QCoro/QCoroTask>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>

// Running the GUI thread's event loop from a test until something happened.
namespace testloop {

// Spins the event loop until `done` answers true; false when `timeoutMs` ran out first.
inline bool spinUntil(const std::function<bool()>& done, int timeoutMs = 30000) {
    QElapsedTimer clock;
    clock.start();
    bool ok = done();
    if (!ok) {
        QEventLoop loop;
        QTimer poll;
        QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
            ok = done();
            if (ok || clock.elapsed() > timeoutMs)
                loop.quit();
        });
        poll.start(1);
        loop.exec();
    }
    // Objects whose deletion was deferred to the loop go now too.
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    return ok;
}

// Lets queued calls that are already posted run.
inline void drain(int ms = 20) {
    QElapsedTimer clock;
    clock.start();
    spinUntil([&] { return clock.elapsed() >= ms; });
}

template <typename T> struct Outcome {
    bool done = false;
    std::optional<T> value;
    std::exception_ptr error;
};
template <> struct Outcome<void> {
    bool done = false;
    std::exception_ptr error;
};

template <typename T>
QCoro::Task<> collect(QCoro::Task<T> task, std::shared_ptr<Outcome<T>> outcome) {
    try {
        if constexpr (std::is_void_v<T>)
            co_await task;
        else
            outcome->value = co_await task;
    } catch (...) {
        outcome->error = std::current_exception();
    }
    outcome->done = true;
}

// Runs the event loop until the task has finished and gives its result or rethrows its
// error; throws when it does not finish in time.
template <typename T> T await(QCoro::Task<T>&& task, int timeoutMs = 30000) {
    auto outcome = std::make_shared<Outcome<T>>();
    collect(std::move(task), outcome);
    if (!spinUntil([&] { return outcome->done; }, timeoutMs))
        throw std::runtime_error("the awaited task did not finish in time");
    if (outcome->error)
        std::rethrow_exception(outcome->error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*outcome->value);
}

} // namespace testloop
