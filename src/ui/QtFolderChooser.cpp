#include "ui/QtFolderChooser.h"

#include "ui/ReplyOnce.h"

#include <QApplication>
#include <QFileDialog>
#include <memory>

namespace twinslim {

QtFolderChooser::QtFolderChooser(QWidget* window) : m_window(window) {}

void QtFolderChooser::chooseFolder(const FolderChoiceRequest& request, Answer answer) {
    QWidget* parent = m_window ? m_window.data() : QApplication::activeWindow();
    auto* dialog = new QFileDialog(parent);
    dialog->setObjectName(QStringLiteral("folderChooserDialog"));
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // The file dialog has no line for an explanation; its title carries it.
    dialog->setWindowTitle(request.message);
    dialog->setLabelText(QFileDialog::Accept, request.prompt);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    if (request.canChooseDirectories) {
        dialog->setFileMode(QFileDialog::Directory);
        if (!request.canChooseFiles)
            dialog->setOption(QFileDialog::ShowDirsOnly);
    } else {
        dialog->setFileMode(request.allowsMultipleSelection ? QFileDialog::ExistingFiles
                                                            : QFileDialog::ExistingFile);
    }

    // Dropped unanswered (the dialog destroyed without finishing) it answers "cancelled".
    auto reply =
        std::make_shared<ReplyOnce<std::optional<QString>>>(std::move(answer), std::nullopt);
    QObject::connect(dialog, &QDialog::finished, dialog, [dialog, reply](int result) {
        const QString chosen = dialog->selectedFiles().value(0);
        if (result == QDialog::Accepted && !chosen.isEmpty())
            reply->answer(chosen);
        else
            reply->answer(std::nullopt);
    });
    m_dialog = dialog;
    dialog->open();
}

} // namespace twinslim
