#pragma once

#include "core/EventLoop.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QWidget>
#include <functional>

// Finding the windows a test has to answer: dialogs are top-level widgets of
// their own.
namespace gatetest {

template <typename W> W* visibleWindow(const std::function<bool(W*)>& matches = {}) {
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* w = qobject_cast<W*>(widget); w && w->isVisible() && (!matches || matches(w)))
            return w;
    return nullptr;
}

// Waits for a visible window of type W that matches; null when none came in
// time.
template <typename W>
W* waitForWindow(const std::function<bool(W*)>& matches = {}, int timeoutMs = 30000) {
    W* found = nullptr;
    testloop::spinUntil([&] { return (found = visibleWindow<W>(matches)) != nullptr; }, timeoutMs);
    return found;
}

// The visible button of that title among the widget's descendants.
inline QAbstractButton* buttonTitled(QWidget* root, const QString& text) {
    for (QAbstractButton* button : root->findChildren<QAbstractButton*>())
        if (button->text() == text && button->isVisible())
            return button;
    return nullptr;
}

inline QMessageBox* waitForMessageBox(const QString& objectName, int timeoutMs = 30000) {
    return waitForWindow<QMessageBox>(
        [&](QMessageBox* box) { return box->objectName() == objectName; }, timeoutMs);
}

} // namespace gatetest
