#include "core/AccessGateText.h"

namespace twinslim {

std::optional<AccessGateText> accessGateText(photos::AuthorizationStatus status) {
    using photos::AuthorizationStatus;
    switch (status) {
    case AuthorizationStatus::NotDetermined:
    case AuthorizationStatus::Authorized:
        return std::nullopt;
    case AuthorizationStatus::Restricted:
    case AuthorizationStatus::Denied:
        return AccessGateText{
            QStringLiteral("Photos access denied"),
            QStringLiteral("Enable access with “photolib access twinslim authorized” (or run "
                           "“photolib access twinslim forget” and answer the consent prompt at "
                           "the next start), then relaunch.")};
    case AuthorizationStatus::Limited:
        return AccessGateText{
            QStringLiteral("Limited access"),
            QStringLiteral("This app needs full library access to scan for pairs. Grant it with "
                           "“photolib access twinslim authorized”.")};
    }
    return AccessGateText{QStringLiteral("Unknown authorization status."), QString()};
}

} // namespace twinslim
