#include "CommandFailure.h"
#include "LibraryAccessGate.h"
#include "Terminal.h"
#include "core/AccessGateText.h"
#include "platform/photos/PhotoLibraryAccess.h"
#include "support/TestSupport.h"

using photos::AccessLevel;
using photos::AuthorizationStatus;
using photos::PhotoLibraryAccess;

// The consent prompt on a terminal: the answer is stored by the library service, and only
// full access lets a command go on.
TEST(AccessPrompt, TheTerminalsAnswerIsStored) {
    QTemporaryDir tmp;
    const QByteArray previousConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("XDG_CONFIG_HOME", tmp.path().toUtf8());
    const QString library = tmp.path() + "/Lib.photolibrary";
    struct Case {
        QString typed;
        std::optional<AuthorizationStatus> stored;
        QString failure; // empty: access granted
    };
    const auto gate = [](AuthorizationStatus s) {
        const auto text = twinslim::accessGateText(s);
        return text->title + ". " + text->caption;
    };
    const QList<Case> cases = {
        {"1\n", AuthorizationStatus::Authorized, ""},
        {"maybe\n\n 2 \n", AuthorizationStatus::Limited, gate(AuthorizationStatus::Limited)},
        {"3\n", AuthorizationStatus::Denied, gate(AuthorizationStatus::Denied)},
        {"", std::nullopt, "Photos access was not granted"}, // end of input: nothing stored
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.typed.toStdString());
        PhotoLibraryAccess::forget("twinslim");
        QString typed = c.typed, out, err;
        QTextStream in(&typed), outStream(&out), errStream(&err);
        twinslimcli::Terminal terminal(outStream, errStream, in, true);
        QString failure;
        try {
            twinslimcli::requireLibraryAccess(library, terminal, false);
        } catch (const twinslimcli::CommandFailure& e) {
            failure = e.message;
        }
        errStream.flush();
        EXPECT_TRUE(c.failure.isEmpty() ? failure.isEmpty() : failure.startsWith(c.failure))
            << failure.toStdString();
        EXPECT_TRUE(err.contains("  3  Don’t allow\nChoose 1, 2 or 3: ")) << err.toStdString();
        const auto grants = PhotoLibraryAccess::storedGrants(AccessLevel::ReadWrite);
        EXPECT_EQ(grants.contains("twinslim") ? std::optional(grants.value("twinslim"))
                                              : std::nullopt,
                  c.stored);
    }
    PhotoLibraryAccess::forget("twinslim");
    if (previousConfig.isNull())
        qunsetenv("XDG_CONFIG_HOME");
    else
        qputenv("XDG_CONFIG_HOME", previousConfig);
}
