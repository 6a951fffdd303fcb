#pragma once

#include <QString>

namespace twinslimcli {

// A mistake in the command line itself: exit status 2, nothing touched.
struct UsageError {
    QString message;
};

} // namespace twinslimcli
