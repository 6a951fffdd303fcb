#include "ui/DeletionPrompt.h"

#include "core/DeletionNote.h"
#include "platform/photos/PhotoLibrary.h"
#include "ui/Alerts.h"
#include "ui/ReplyOnce.h"

#include <QApplication>
#include <QDialog>
#include <QEvent>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace twinslim {

namespace {

using PendingAnswer = ReplyOnce<bool>;

// The property that marks a dialog the prompt opens over (DeletionPrompt::showOver).
constexpr char promptOverProperty[] = "twinslimDeletionPromptOver";

// The dialog in front of the user, if any: the modal one, else any dialog that is up.
QWidget* dialogInFront() {
    if (QWidget* modal = QApplication::activeModalWidget())
        return modal;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (qobject_cast<QDialog*>(widget) && widget->isVisible())
            return widget;
    return nullptr;
}

// Calls `then` from the event loop once `dialog` is hidden or gone.
class AfterClosed : public QObject {
public:
    AfterClosed(QWidget* dialog, std::function<void()> then)
        : QObject(dialog), m_then(std::move(then)) {
        dialog->installEventFilter(this);
    }
    ~AfterClosed() override { fire(); }

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Hide) {
            fire();
            deleteLater();
        }
        return false;
    }

private:
    void fire() {
        if (std::function<void()> then = std::exchange(m_then, nullptr))
            if (QCoreApplication* app = QCoreApplication::instance())
                QMetaObject::invokeMethod(app, std::move(then), Qt::QueuedConnection);
    }
    std::function<void()> m_then;
};

void showPrompt(int count, const QString& details, QWidget* window,
                const std::shared_ptr<PendingAnswer>& pending) {
    // One question at a time: over another dialog the prompt would take the keys meant for
    // that one, so it waits until that one is closed; unless that dialog waits for this very
    // answer.
    QWidget* other = dialogInFront();
    if (other && other->property(promptOverProperty).toBool()) {
        window = other;
    } else if (other) {
        QPointer<QWidget> over(window);
        auto* waiting = new AfterClosed(other, [count, details, over, pending] {
            showPrompt(count, details, over.data(), pending);
        });
        waiting->setObjectName(DeletionPrompt::objectName() + QStringLiteral("Waiting"));
        return;
    }
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

void DeletionPrompt::showOver(QWidget* dialog) {
    dialog->setProperty(promptOverProperty, true);
}

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
