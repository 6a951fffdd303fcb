#include "ui/UpdatesMenu.h"

#include "platform/system/AppUpdater.h"
#include "ui/AboutWindow.h"
#include "ui/Alerts.h"

#include <QAction>
#include <QMenu>
#include <QMessageBox>
#include <QPointer>
#include <QWidget>
#include <memory>

namespace twinslim {

namespace {

// The window a box about `widget` belongs over: a menu's popup is gone by the time the
// answer comes, so the window the menu hangs from.
QWidget* anchorWindow(QWidget* widget) {
    while (widget && widget->window()->windowType() == Qt::Popup)
        widget = widget->window()->parentWidget();
    return widget ? widget->window() : nullptr;
}

void showOutcome(const sys::AppUpdater::Outcome& outcome, const QString& currentVersion,
                 QWidget* over) {
    auto* box = new QMessageBox(anchorWindow(over));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(QObject::tr("Check for Updates"));
    box->setStandardButtons(QMessageBox::Ok);
    switch (outcome.kind) {
    case sys::AppUpdater::Outcome::Kind::newerAvailable: {
        box->setIcon(QMessageBox::Information);
        box->setText(QObject::tr("Twinslim %1 is available — you have %2.")
                         .arg(outcome.version, currentVersion));
        const QString where = outcome.link.toString(QUrl::FullyEncoded).toHtmlEscaped();
        box->setTextFormat(Qt::PlainText);
        box->setInformativeText(
            outcome.link.isEmpty()
                ? QObject::tr("Install it with your package manager.")
                : QObject::tr("Get it from <a href=\"%1\">%1</a>, or install it with your "
                              "package manager.")
                      .arg(where));
        box->setTextInteractionFlags(Qt::TextBrowserInteraction);
        break;
    }
    case sys::AppUpdater::Outcome::Kind::upToDate:
        box->setIcon(QMessageBox::Information);
        box->setText(QObject::tr("Twinslim is up to date."));
        box->setInformativeText(
            QObject::tr("Version %1 is the newest version available.").arg(currentVersion));
        break;
    case sys::AppUpdater::Outcome::Kind::failed:
        box->setIcon(QMessageBox::Warning);
        box->setText(QObject::tr("Twinslim couldn’t check for updates."));
        // Rich text, so that an error quoting markup shows as written.
        box->setInformativeText(QStringLiteral("<p>%1</p>").arg(outcome.error.toHtmlEscaped()));
        break;
    }
    fitAlert(box);
    box->open();
}

// Why the item is disabled, or what it does: a disabled menu item says nothing by itself.
QString checkToolTip(const sys::AppUpdater& updater) {
    const QUrl feed = updater.feed();
    if (feed.isEmpty() || !feed.isValid() || feed.isRelative())
        return QObject::tr("No update feed is configured in this build of Twinslim, so it cannot "
                           "look for updates; your package manager keeps it up to date.");
    if (!updater.canCheckForUpdates())
        return QObject::tr("A check for updates is running.");
    return QObject::tr("Looks for a newer version of Twinslim in the update feed %1.")
        .arg(feed.toDisplayString());
}

} // namespace

QAction* makeAboutAction(QObject* parent) {
    auto* action = new QAction(QObject::tr("About Twinslim"), parent);
    action->setMenuRole(QAction::AboutRole);
    QObject::connect(action, &QAction::triggered, action, [action] {
        AboutWindow::showShared(anchorWindow(qobject_cast<QWidget*>(action->parent())));
    });
    return action;
}

QAction* makeCheckForUpdatesAction(QObject* parent, sys::AppUpdater& updater) {
    auto* action = new QAction(QObject::tr("Check for Updates…"), parent);
    action->setMenuRole(QAction::ApplicationSpecificRole);
    action->setEnabled(updater.canCheckForUpdates());
    action->setToolTip(checkToolTip(updater));
    // Menus hide their items' tooltips unless asked to show them.
    if (auto* menu = qobject_cast<QMenu*>(parent))
        menu->setToolTipsVisible(true);
    QObject::connect(&updater, &sys::AppUpdater::canCheckForUpdatesChanged, action,
                     [action, &updater](bool canCheck) {
                         action->setEnabled(canCheck);
                         action->setToolTip(checkToolTip(updater));
                     });
    // Only a check this item started is answered with a message box.
    auto started = std::make_shared<bool>(false);
    QObject::connect(action, &QAction::triggered, action, [&updater, started] {
        if (!updater.canCheckForUpdates())
            return;
        *started = true;
        updater.checkForUpdates();
    });
    QPointer<QWidget> over = qobject_cast<QWidget*>(parent);
    QObject::connect(&updater, &sys::AppUpdater::checkFinished, action,
                     [&updater, started, over](const sys::AppUpdater::Outcome& outcome) {
                         if (!std::exchange(*started, false))
                             return;
                         showOutcome(outcome, updater.currentVersion(), over);
                     });
    return action;
}

QAction* makeCheckForUpdatesAction(QObject* parent) {
    return makeCheckForUpdatesAction(parent, sys::AppUpdater::shared());
}

} // namespace twinslim
