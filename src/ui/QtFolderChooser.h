#pragma once

#include "backup/FolderChooser.h"

#include <QPointer>
#include <QWidget>

class QFileDialog;

namespace twinslim {

// The folder chooser of the window system: a file dialog that picks one directory, opened
// with open() over the window (the active window when none was given), so nothing waits
// for it. The answer comes once, when the dialog finishes or goes away unanswered.
class QtFolderChooser : public FolderChooser {
public:
    explicit QtFolderChooser(QWidget* window = nullptr);

    void chooseFolder(const FolderChoiceRequest& request, Answer answer) override;

    // The dialog of the latest request while it is open.
    QFileDialog* openDialog() const { return m_dialog; }

private:
    QPointer<QWidget> m_window;
    QPointer<QFileDialog> m_dialog;
};

} // namespace twinslim
