#include "ui/DeletionPrompt.h"

#include "core/DeletionNote.h"
#include "platform/photos/PhotoLibrary.h"
#include "ui/Alerts.h"
#include "ui/ReplyOnce.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <memory>
#include <optional>

namespace twinslim {

namespace {

using PendingAnswer = ReplyOnce<bool>;

void showPrompt(int count, const QString& details, QWidget* window,
                const std::shared_ptr<PendingAnswer>& pending) {
    auto* box = new QMessageBox(window);
    box->setObjectName(DeletionPrompt::objectName());
    box->setWindowTitle(QStringLiteral("Photo Library"));
    box->setIcon(QMessageBox::Warning);
    box->setText(DeletionPrompt::question(count));
    box->setInformativeText(details);
    fitAlert(box);
    QPushButton* remove = box->addButton(QStringLiteral("Delete"), QMessageBox::DestructiveRole);
    QPushButton* cancel = box->addButton(QMessageBox::Cancel);
    box->setDefaultButton(cancel);
    box->setEscapeButton(cancel);
    box->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    // The connection owns the pending answer: a box destroyed unanswered says no.
    QObject::connect(box, &QMessageBox::finished, box, [box, remove, pending] {
        pending->answer(box->clickedButton() == remove);
        box->deleteLater();
    });
    box->open();
}

} // namespace

QString DeletionPrompt::question(int count) {
    return count == 1 ? QStringLiteral("Delete 1 item?")
                      : QStringLiteral("Delete %1 items?").arg(count);
}

namespace {

// `asking` is the library the prompt is installed on; none for the shared one, whichever
// it is when it asks.
photos::PhotoLibrary::DeletionConfirmationHandler
promptOver(QWidget* window, std::optional<std::weak_ptr<photos::PhotoLibrary>> asking) {
    QPointer<QWidget> over(window);
    return [over, asking](int count, std::function<void(bool)> reply) {
        auto pending = std::make_shared<PendingAnswer>(std::move(reply), false);
        QCoreApplication* app = QCoreApplication::instance();
        if (!app)
            return; // nobody to ask: nothing is deleted
        // Worked out here, while the deletion that set the note waits for the answer.
        const std::shared_ptr<photos::PhotoLibrary> library =
            asking ? asking->lock() : photos::PhotoLibrary::shared();
        const QString details =
            library ? DeletionNote::text(*library, DeletionNote::rawWithoutBackup()) : QString();
        QMetaObject::invokeMethod(
            app,
            [count, details, over, pending] { showPrompt(count, details, over.data(), pending); },
            Qt::QueuedConnection);
    };
}

} // namespace

void DeletionPrompt::install(photos::PhotoLibrary& library, QWidget* window) {
    library.setDeletionConfirmationHandler(promptOver(window, library.weak_from_this()));
}

void DeletionPrompt::installForShared(QWidget* window) {
    photos::PhotoLibrary::setSharedDeletionConfirmationHandler(promptOver(window, std::nullopt));
}

} // namespace twinslim
