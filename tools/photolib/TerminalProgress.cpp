#include "TerminalProgress.h"

#include <unistd.h>

namespace photolib {

std::function<void(int, int)> terminalProgress(QTextStream& err, const QString& verb) {
    // Redirected output stays free of carriage-return lines.
    if (!isatty(STDERR_FILENO))
        return {};
    return [&err, verb](int done, int total) {
        err << "\r" << verb << " " << done << " of " << total << "…";
        if (done == total)
            err << "\n";
        err.flush();
    };
}

} // namespace photolib
