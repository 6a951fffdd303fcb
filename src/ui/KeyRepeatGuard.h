#pragma once

#include <QObject>
#include <QPointer>

class QWidget;

namespace twinslim {

// Keeps a held key to the window it was pressed in. A key held down repeats; when the press
// closed a dialog, the repeats would otherwise reach whatever comes next (the next question,
// or the main window's focused button) and answer it unseen. Repeats that arrive in another
// window than the press are dropped; a fresh press counts again.
class KeyRepeatGuard : public QObject {
    Q_OBJECT
public:
    // Installs the one guard on the application; later calls do nothing.
    static void install();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    explicit KeyRepeatGuard(QObject* parent) : QObject(parent) {}

    int m_key = 0;
    QPointer<QWidget> m_window; // where the held key was first pressed
};

} // namespace twinslim
