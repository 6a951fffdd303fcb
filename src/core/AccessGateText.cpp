#include "core/AccessGateText.h"

namespace twinslim {

std::optional<AccessGateText> accessGateText(photos::AuthorizationStatus status,
                                             LibraryFolderProblem problem,
                                             const QString& libraryPath) {
    using photos::AuthorizationStatus;
    switch (status) {
    case AuthorizationStatus::NotDetermined:
    case AuthorizationStatus::Authorized:
        return std::nullopt;
    case AuthorizationStatus::Restricted:
    case AuthorizationStatus::Denied:
        // A grant changes nothing about the folder itself.
        if (problem == LibraryFolderProblem::readOnlyMedium)
            return AccessGateText{
                QStringLiteral("Photos access denied"),
                QStringLiteral("The photo library “%1” is on a read-only medium. Mount it with "
                               "write access (or move the library to a writable disk), then "
                               "relaunch.")
                    .arg(libraryPath)};
        if (problem == LibraryFolderProblem::noWritePermission)
            return AccessGateText{
                QStringLiteral("Photos access denied"),
                QStringLiteral("You have no write permission for the photo library “%1”. Give "
                               "your user read and write access to it, then relaunch.")
                    .arg(libraryPath)};
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
