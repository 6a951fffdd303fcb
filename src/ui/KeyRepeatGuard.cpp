#include "ui/KeyRepeatGuard.h"

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>

namespace twinslim {

void KeyRepeatGuard::install() {
    QCoreApplication* app = QCoreApplication::instance();
    if (!app || app->findChild<KeyRepeatGuard*>(QString(), Qt::FindDirectChildrenOnly))
        return;
    app->installEventFilter(new KeyRepeatGuard(app));
}

bool KeyRepeatGuard::eventFilter(QObject* watched, QEvent* event) {
    const QEvent::Type type = event->type();
    if (type != QEvent::KeyPress && type != QEvent::KeyRelease)
        return false;
    auto* widget = qobject_cast<QWidget*>(watched);
    if (!widget)
        return false;
    const auto* key = static_cast<QKeyEvent*>(event);
    if (!key->isAutoRepeat()) {
        if (type == QEvent::KeyPress) {
            m_key = key->key();
            m_window = widget->window();
        }
        return false;
    }
    // A key event goes to the focus widget and then up to its parents: each is filtered, but
    // all of them sit in the one window.
    return key->key() == m_key && widget->window() != m_window;
}

} // namespace twinslim
