#pragma once

#include <QString>

namespace photolib {

// A mistake in the command line itself (exit status 2, with a hint to the usage text).
struct UsageError {
    QString message;
};

} // namespace photolib
