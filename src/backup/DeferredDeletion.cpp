#include "backup/BackupFolder.h"
#include "backup/BackupRecords.h"
#include "backup/MarkerAlbum.h"
#include "core/DeletionNote.h"
#include "core/LibraryModel.h"
#include "library/PhotoLibraryOperations.h"

#include <QPointer>
#include <QSet>

namespace twinslim {

namespace {

// The members of the marker album that a replacement backed up; the names of the others,
// which only a user or another program put there, go to `left`, and the number of RAW
// files without a backup (those of non-favourites) among the found ones to `rawWithout`.
std::vector<photos::AssetPtr> backedUp(const LibraryModel& model,
                                       std::vector<photos::AssetPtr> members, QStringList& left,
                                       int& rawWithout) {
    const std::optional<QString>& root = model.backup()->url();
    const QHash<QString, bool> kept = originalsWithBackup(root.value_or(QString()), members);
    left.clear();
    rawWithout = 0;
    std::vector<photos::AssetPtr> found;
    for (photos::AssetPtr& asset : members) {
        const auto it = kept.constFind(asset->localIdentifier);
        if (it != kept.cend()) {
            if (!*it && rawResource(asset))
                ++rawWithout;
            found.push_back(std::move(asset));
            continue;
        }
        const photos::ResourcePtr shown =
            asset->resources.empty() ? nullptr : asset->resources.front();
        left << (shown ? shown->originalFilename : asset->localIdentifier);
    }
    return found;
}

} // namespace

void LibraryModel::refreshPendingRecovery() {
    const int count = int(backedUp(*this, assetsInAlbumTitled(markerAlbumTitle()),
                                   m_pendingWithoutBackup, m_pendingRawWithoutBackup)
                              .size());
    setPendingRecoveryCount(count);
    if (pendingRecoveryCount() >= 1)
        setShowRecoveryAlert(true);
}

QCoro::Task<> LibraryModel::deletePendingOriginals() {
    // Nothing without its backup ever goes, whatever put it into the album.
    std::vector<photos::AssetPtr> pending =
        backedUp(*this, assetsInAlbumTitled(markerAlbumTitle()), m_pendingWithoutBackup,
                 m_pendingRawWithoutBackup);
    if (pending.empty())
        co_return;
    // The window, and the model with it, may close while the user answers the prompt.
    QPointer<LibraryModel> self(this);
    QSet<QString> deletedIDs;
    for (const photos::AssetPtr& asset : pending)
        deletedIDs.insert(asset->localIdentifier);
    bool deleted = false;
    try {
        const DeletionNote note(m_pendingRawWithoutBackup);
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
