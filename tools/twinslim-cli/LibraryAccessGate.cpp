#include "LibraryAccessGate.h"

#include "CommandFailure.h"
#include "Terminal.h"
#include "core/AccessGateText.h"
#include "platform/photos/PhotoLibraryAccess.h"

#include <future>

namespace twinslimcli {

using photos::AccessLevel;
using photos::AuthorizationStatus;
using photos::PhotoLibraryAccess;

namespace {

const QString grantHint = QStringLiteral(
    "run twinslim-cli on a terminal to answer the access prompt, pass --yes to grant full "
    "access, or run “photolib access twinslim authorized”.");

// The consent prompt of the library service, on the terminal.
AuthorizationStatus askForConsent(const QString& libraryPath, Terminal& terminal, bool assumeYes) {
    QTextStream& err = terminal.err();
    err << "“" << twinslim::accessClientName() << "” would like to access the photo library "
        << libraryPath << ".\n"
        << "  1  Allow full access\n"
        << "  2  Limit access\n"
        << "  3  Don’t allow\n";
    if (assumeYes) {
        err << "Choose 1, 2 or 3: 1 (--yes)\n";
        return AuthorizationStatus::Authorized;
    }
    for (;;) {
        const std::optional<QString> answer = terminal.ask(QStringLiteral("Choose 1, 2 or 3: "));
        if (!answer)
            return AuthorizationStatus::NotDetermined;
        if (*answer == QLatin1String("1"))
            return AuthorizationStatus::Authorized;
        if (*answer == QLatin1String("2"))
            return AuthorizationStatus::Limited;
        if (*answer == QLatin1String("3"))
            return AuthorizationStatus::Denied;
    }
}

// Asks through the service, which stores a determined answer.
AuthorizationStatus requestAccess(const QString& libraryPath, Terminal& terminal, bool assumeYes) {
    PhotoLibraryAccess::setConsentHandler(
        [&](const QString&, AccessLevel, std::function<void(AuthorizationStatus)> reply) {
            reply(askForConsent(libraryPath, terminal, assumeYes));
        });
    auto answer = std::make_shared<std::promise<AuthorizationStatus>>();
    std::future<AuthorizationStatus> answered = answer->get_future();
    PhotoLibraryAccess::requestAuthorization(
        AccessLevel::ReadWrite, [answer](AuthorizationStatus status) { answer->set_value(status); },
        twinslim::accessClientName(), libraryPath);
    const AuthorizationStatus status = answered.get();
    PhotoLibraryAccess::setConsentHandler({});
    return status;
}

} // namespace

void requireLibraryAccess(const QString& libraryPath, Terminal& terminal, bool assumeYes) {
    const QString client = twinslim::accessClientName();
    AuthorizationStatus status =
        PhotoLibraryAccess::authorizationStatus(AccessLevel::ReadWrite, client, libraryPath);
    if (status == AuthorizationStatus::NotDetermined) {
        if (!assumeYes && !terminal.isInteractive())
            throw CommandFailure{QStringLiteral("Photos access is not granted yet: ") + grantHint};
        status = requestAccess(libraryPath, terminal, assumeYes);
    }
    if (status == AuthorizationStatus::Authorized)
        return;
    const std::optional<twinslim::AccessGateText> text = twinslim::accessGateText(status);
    if (!text)
        throw CommandFailure{QStringLiteral("Photos access was not granted: ") + grantHint};
    QString message = text->title;
    if (!text->caption.isEmpty())
        message +=
            (message.endsWith(QLatin1Char('.')) ? QStringLiteral(" ") : QStringLiteral(". ")) +
            text->caption;
    throw CommandFailure{message};
}

} // namespace twinslimcli
