#include "ui/DeletionPrompt.h"

#include "platform/photos/PhotoLibrary.h"
#include "ui/Alerts.h"
#include "ui/ReplyOnce.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <memory>

namespace twinslim {

namespace {

using PendingAnswer = ReplyOnce<bool>;

void showPrompt(int count, QWidget* window, const std::shared_ptr<PendingAnswer>& pending) {
    auto* box = new QMessageBox(window);
    box->setObjectName(DeletionPrompt::objectName());
    box->setWindowTitle(QStringLiteral("Photo Library"));
    box->setIcon(QMessageBox::Warning);
    box->setText(DeletionPrompt::question(count));
    box->setInformativeText(
        QStringLiteral("They move to Recently Deleted, where they are kept for %1 days.")
            .arg(photos::PhotoLibrary::trashRetentionDays));
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

photos::PhotoLibrary::DeletionConfirmationHandler promptOver(QWidget* window) {
    QPointer<QWidget> over(window);
    return [over](int count, std::function<void(bool)> reply) {
        auto pending = std::make_shared<PendingAnswer>(std::move(reply), false);
        QCoreApplication* app = QCoreApplication::instance();
        if (!app)
            return; // nobody to ask: nothing is deleted
        QMetaObject::invokeMethod(
            app, [count, over, pending] { showPrompt(count, over.data(), pending); },
            Qt::QueuedConnection);
    };
}

} // namespace

void DeletionPrompt::install(photos::PhotoLibrary& library, QWidget* window) {
    library.setDeletionConfirmationHandler(promptOver(window));
}

void DeletionPrompt::installForShared(QWidget* window) {
    photos::PhotoLibrary::setSharedDeletionConfirmationHandler(promptOver(window));
}

} // namespace twinslim
