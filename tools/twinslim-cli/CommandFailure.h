#pragma once

#include <QString>

namespace twinslimcli {

// Something that stops a command before or while it runs: exit status 1, with the reason
// (a model's message may span several lines).
struct CommandFailure {
    QString message;
};

} // namespace twinslimcli
