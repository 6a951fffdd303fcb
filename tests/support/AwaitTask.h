#pragma once

#include "core/RunTask.h"

namespace testsupport {

// Runs a task to its end in a nested event loop and returns its result or rethrows its error.
template <typename T> T awaitTask(QCoro::Task<T> task) {
    return twinslim::runTask(std::move(task));
}

} // namespace testsupport
