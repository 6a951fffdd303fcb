#include "backup/MarkerAlbum.h"
#include "core/LibraryModel.h"
#include "library/PhotoLibraryOperations.h"

#include <QPointer>
#include <QSet>

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
    QSet<QString> deletedIDs;
    for (const photos::AssetPtr& asset : pending)
        deletedIDs.insert(asset->localIdentifier);
    bool deleted = false;
    try {
        auto deletion = deleteAssets(std::move(pending));
        co_await deletion;
        deleted = true;
    } catch (...) {
        // A refusal leaves the items in the marker album; the next start offers again.
    }
    if (!self)
        co_return;
    setPendingRecoveryCount(0);
    if (!deleted)
        co_return;
    // The deleted originals are no longer pairs to offer, as after an ingest.
    forgetPairs(deletedIDs);
}

} // namespace twinslim
