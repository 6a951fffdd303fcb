#pragma once

class QAction;
class QObject;

namespace sys {
class AppUpdater;
}

namespace twinslim {

// The two entries of the application's menu, in this order: "About Twinslim", then
// "Check for Updates…".

// "About Twinslim": shows the one About window, in front.
QAction* makeAboutAction(QObject* parent);

// "Check for Updates…": enabled exactly while the updater can check, its tooltip saying why not
// (no update feed in this build, or a check running); starts a check and, when
// that check ends, tells the user in a message box (opened, never run modally) that a newer
// version exists and where to get it, that Twinslim is up to date, or why the check failed.
// The box is placed over `parent`'s window when `parent` is a widget (for a menu, over the
// window the menu belongs to).
QAction* makeCheckForUpdatesAction(QObject* parent, sys::AppUpdater& updater);
QAction* makeCheckForUpdatesAction(QObject* parent);

} // namespace twinslim
