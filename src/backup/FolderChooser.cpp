#include "backup/FolderChooser.h"

#include "core/CallbackAwaitable.h"

#include <mutex>

namespace twinslim {
namespace {

std::mutex sharedMutex;
std::shared_ptr<FolderChooser> sharedChooser;

} // namespace

std::shared_ptr<FolderChooser> FolderChooser::shared() {
    std::lock_guard lock(sharedMutex);
    return sharedChooser;
}

void FolderChooser::setShared(std::shared_ptr<FolderChooser> chooser) {
    std::lock_guard lock(sharedMutex);
    sharedChooser = std::move(chooser);
}

QCoro::Task<std::optional<QString>> askForFolder(std::shared_ptr<FolderChooser> chooser,
                                                 FolderChoiceRequest request) {
    if (!chooser)
        co_return std::nullopt;
    using Answer = CallbackAwaitable<std::optional<QString>>;
    Answer answer([chooser, request](Answer::Resolver resolver) {
        chooser->chooseFolder(request, [resolver](std::optional<QString> folder) {
            resolver.resolve(std::move(folder));
        });
    });
    std::optional<QString> folder;
    try {
        folder = co_await answer;
    } catch (const CallbackDropped&) {
        co_return std::nullopt; // the panel went away without an answer: as good as cancelled
    }
    if (folder && folder->isEmpty())
        folder.reset();
    co_return folder;
}

} // namespace twinslim
