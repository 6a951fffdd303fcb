#pragma once

#include "platform/photos/PhotoTypes.h"

#include <QString>
#include <optional>

namespace twinslim {

// What the access gate says about a read-write authorization that keeps the library
// closed. Shared by the window's gate and the command-line program.
struct AccessGateText {
    QString title;
    QString caption; // how to grant access; empty when there is nothing to suggest

    bool operator==(const AccessGateText&) const = default;
};

// None for authorized (no gate) and not determined (the gate offers to ask instead);
// restricted and denied read alike; a status the gate does not know gets the unknown text.
std::optional<AccessGateText> accessGateText(photos::AuthorizationStatus status);

// The program's client name in the photo library's access grants.
inline QString accessClientName() {
    return QStringLiteral("twinslim");
}

} // namespace twinslim
