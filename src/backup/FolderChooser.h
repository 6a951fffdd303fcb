#pragma once

#include <QCoro/QCoroTask>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace twinslim {

// What the folder chooser is asked to show.
struct FolderChoiceRequest {
    QString prompt;  // the confirm button's title
    QString message; // the explanation shown in the panel
    bool canChooseDirectories = true;
    bool canChooseFiles = false;
    bool allowsMultipleSelection = false;
};

// A panel in which the user picks a folder. The window system's implementation lives
// with the user interface; tests answer with their own.
class FolderChooser {
public:
    virtual ~FolderChooser() = default;

    // Shows the panel without blocking and calls `answer` exactly once, on the calling
    // thread: with the chosen folder's absolute path, or nothing when the user cancelled
    // or chose no location.
    using Answer = std::function<void(std::optional<QString> folder)>;
    virtual void chooseFolder(const FolderChoiceRequest& request, Answer answer) = 0;

    // The chooser used by folders that were given none of their own.
    static std::shared_ptr<FolderChooser> shared();
    static void setShared(std::shared_ptr<FolderChooser> chooser);
};

// Shows `chooser`'s panel and waits for its one answer: the chosen folder, or nothing when
// the user cancelled, chose no location, the panel went away unanswered or there is no chooser.
QCoro::Task<std::optional<QString>> askForFolder(std::shared_ptr<FolderChooser> chooser,
                                                 FolderChoiceRequest request);

} // namespace twinslim
