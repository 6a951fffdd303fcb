#pragma once

#include "support/AwaitTask.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <functional>
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

// Runs the event loop until the task has finished and gives its result or rethrows its
// error; throws when it does not finish in time, where awaitTask alone would hang.
template <typename T> T await(QCoro::Task<T> task, int timeoutMs = 30000) {
    if (!spinUntil([&] { return task.isReady(); }, timeoutMs))
        throw std::runtime_error("the awaited task did not finish in time");
    return testsupport::awaitTask(std::move(task));
}

} // namespace testloop
