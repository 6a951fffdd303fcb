#include "ui/ConsentDialog.h"

#include "platform/photos/LibraryLocation.h"
#include "platform/photos/PhotoLibraryAccess.h"
#include "ui/ReplyOnce.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QHash>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>
#include <memory>

namespace twinslim {

using photos::AccessLevel;
using photos::AuthorizationStatus;
using photos::PhotoLibraryAccess;

namespace {

using PendingConsent = ReplyOnce<AuthorizationStatus>;

// Both live on the GUI thread only.
QPointer<QWidget>& promptWindow() {
    static QPointer<QWidget> window;
    return window;
}
QHash<QString, QPointer<ConsentDialog>>& openDialogs() {
    static QHash<QString, QPointer<ConsentDialog>> dialogs;
    return dialogs;
}

void showConsent(const QString& client, const std::shared_ptr<PendingConsent>& pending) {
    QPointer<ConsentDialog>& dialog = openDialogs()[client];
    if (!dialog) {
        QWidget* parent = promptWindow() ? promptWindow().data() : QApplication::activeWindow();
        dialog = new ConsentDialog(client, photos::systemLibraryPath(), parent);
        QObject::connect(dialog, &QDialog::finished, dialog, &QObject::deleteLater);
        dialog->open();
    }
    // The connection owns the pending reply: a dialog destroyed unanswered lets it fall
    // back to not determined.
    QObject::connect(dialog, &ConsentDialog::answered, dialog,
                     [pending](AuthorizationStatus status) { pending->answer(status); });
}

} // namespace

ConsentDialog::ConsentDialog(const QString& client, const QString& libraryPath, QWidget* parent)
    : QDialog(parent), m_client(client) {
    setWindowTitle(QStringLiteral("Photo Library Access"));
    setObjectName(QStringLiteral("consentDialog"));

    auto* heading =
        new QLabel(QStringLiteral("“%1” would like to access your photo library.").arg(client));
    QFont headingFont = heading->font();
    headingFont.setBold(true);
    headingFont.setPointSizeF(headingFont.pointSizeF() * 1.15);
    heading->setFont(headingFont);
    heading->setWordWrap(true);

    auto* body = new QLabel(
        QStringLiteral("Full access lets it read, add, change and delete the items of the library "
                       "at %1. You are asked once; “photolib access %2 forget” asks again at "
                       "its next start.")
            .arg(libraryPath, client));
    body->setWordWrap(true);
    body->setTextInteractionFlags(Qt::TextSelectableByMouse);

    m_dontAllow = new QPushButton(QStringLiteral("Don’t Allow"));
    m_limit = new QPushButton(QStringLiteral("Limit Access"));
    m_allowFull = new QPushButton(QStringLiteral("Allow Full Access"));
    m_allowFull->setDefault(true);
    m_allowFull->setAutoDefault(true);
    m_limit->setAutoDefault(false);
    m_dontAllow->setAutoDefault(false);

    auto choose = [this](AuthorizationStatus status) {
        return [this, status] {
            m_choice = status;
            accept();
        };
    };
    connect(m_allowFull, &QPushButton::clicked, this, choose(AuthorizationStatus::Authorized));
    connect(m_limit, &QPushButton::clicked, this, choose(AuthorizationStatus::Limited));
    connect(m_dontAllow, &QPushButton::clicked, this, choose(AuthorizationStatus::Denied));

    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_dontAllow);
    buttons->addStretch(1);
    buttons->addWidget(m_limit);
    buttons->addWidget(m_allowFull);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(24, 20, 24, 16);
    layout->setSpacing(12);
    layout->addWidget(heading);
    layout->addWidget(body);
    layout->addSpacing(8);
    layout->addLayout(buttons);
    setMinimumWidth(460);
    setWindowModality(Qt::WindowModal);
}

ConsentDialog::~ConsentDialog() = default;

void ConsentDialog::done(int result) {
    if (!m_answered) {
        m_answered = true;
        // Escape or the window's close button is no answer: the program may ask again.
        emit answered(result == Accepted ? m_choice : AuthorizationStatus::NotDetermined);
    }
    QDialog::done(result);
}

void ConsentDialog::install(QWidget* window) {
    promptWindow() = window;
    PhotoLibraryAccess::setConsentHandler([](const QString& client, AccessLevel,
                                             std::function<void(AuthorizationStatus)> reply) {
        auto pending =
            std::make_shared<PendingConsent>(std::move(reply), AuthorizationStatus::NotDetermined);
        QCoreApplication* app = QCoreApplication::instance();
        if (!app)
            return; // no window can ask: the request stays not determined
        QMetaObject::invokeMethod(
            app, [client, pending] { showConsent(client, pending); }, Qt::QueuedConnection);
    });
}

void ConsentDialog::uninstall() {
    PhotoLibraryAccess::setConsentHandler({});
    promptWindow() = nullptr;
}

} // namespace twinslim
