#include "backup/FolderChooser.h"

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

} // namespace twinslim
