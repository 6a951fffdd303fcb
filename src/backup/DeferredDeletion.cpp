#include "backup/MarkerAlbum.h"
#include "core/LibraryModel.h"
#include "library/PhotoLibraryOperations.h"

#include <QPointer>

namespace twinslim {

void LibraryModel::refreshPendingRecovery() {
    const int count = int(assetsInAlbumTitled(markerAlbumTitle()).size());
    setPendingRecoveryCount(count);
    if (pendingRecoveryCount() >= 1)
        setShowRecoveryAlert(true);
}

QCoro::Task<> LibraryModel::deletePendingOriginals() {
    std::vector<photos::AssetPtr> pending = assetsInAlbumTitled(markerAlbumTitle());
    if (pending.empty())
        co_return;
    // The window, and the model with it, may close while the user answers the prompt.
    QPointer<LibraryModel> self(this);
    try {
        auto deletion = deleteAssets(std::move(pending));
        co_await deletion;
    } catch (...) {
        // A refusal leaves the items in the marker album; the next start offers again.
    }
    if (self)
        setPendingRecoveryCount(0);
}

} // namespace twinslim
