#pragma once

#include "platform/photos/LibraryStore.h"

#include <QHash>
#include <QMap>
#include <functional>
#include <memory>
#include <mutex>

namespace photos {

class SqliteDatabase;

// A folder of camera files as a photo library. Items are the pictures below the folder,
// grouped per folder by name stem (a JPEG or HEIC with its RAW and XMP sidecars); favourites
// are 5-star ratings and albums the keywords, both in the sidecars; deletion moves the files
// to the desktop's trash. The library's own state — albums the programs made, an index of what
// was read from each file, the journal of changes under way — lives in .photolib/ at the top.
//
// A change is planned and its new files written under hidden temporary names; one state
// transaction then commits it, and the files are renamed into place, sidecars replaced and
// originals trashed. An interruption before the commit leaves nothing; after it, the next
// opening finishes the work from the journal.
class FolderStore final : public LibraryStore {
public:
    // Opens the folder `root` as a library, making its state folder when missing.
    // Throws PhotoLibraryError.
    explicit FolderStore(const QString& root);
    ~FolderStore() override;

    static QString stateFolderOf(const QString& root);

    std::vector<AssetPtr> assets(MediaType mediaType, const FetchOptions& options) const override;
    std::vector<AssetPtr> assetsWithIdentifiers(const QStringList& ids) const override;
    std::vector<AssetPtr> assetsInCollection(const AssetCollection& collection,
                                             const FetchOptions& options) const override;
    std::vector<AssetPtr> assetsWithResource(const QString& originalFilename,
                                             qint64 fileSize) const override;
    std::vector<CollectionPtr> collectionsContaining(const Asset& asset,
                                                     CollectionType type) const override;
    std::vector<CollectionPtr> collections(CollectionType type, CollectionSubtype subtype,
                                           const FetchOptions& options) const override;
    std::vector<CollectionPtr> collectionsWithIdentifiers(const QStringList& ids) const override;

    QString filePath(const AssetResource& resource) const override;
    int openForReading(const AssetResource& resource) const override;
    void copyOut(const AssetResource& resource, const QString& destination) const override;

    void apply(const ChangeRequests& changes, const QDateTime& now,
               const std::function<void()>& beforeCommit) override;

    std::vector<TrashedAsset> trashed() const override;
    int restore(const QStringList& identifiers) override;
    int purgeTrashedBefore(const std::optional<QDateTime>& cutoff) override;

    QStringList check() const override;
    QString stateFolder() const override { return stateFolderOf(m_root); }

    // Tests only: called before the walk of the tree enters a folder below the top, with its
    // path in the tree, so that a test can change the tree at that very moment.
    static std::function<void(const QString& folder)> beforeEnteringFolder;

    struct Item;
    struct Snapshot;

private:
    struct Album;
    std::shared_ptr<const Snapshot> current() const;
    std::shared_ptr<const Snapshot> rescan() const;
    std::vector<Album> programAlbums() const;
    std::vector<CollectionPtr> allAlbums(const Snapshot& snapshot) const;
    void finishCommitted(qint64 journalId, const QString& operations);
    void recoverInterruptedChanges();
    void takeIdentity();
    void recoverInterruptedChange(qint64 id, const QString& state, const QString& operations);

    QString m_root;
    QString m_identity; // mixed into derived identifiers; empty in a state that cannot be written
    std::unique_ptr<SqliteDatabase> m_db;
    mutable std::recursive_mutex m_dbMutex;
    mutable std::mutex m_snapshotMutex;
    mutable std::shared_ptr<const Snapshot> m_snapshot;
    mutable QStringList m_scanProblems;
};

} // namespace photos
