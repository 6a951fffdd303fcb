#pragma once

#include "platform/photos/LibraryStore.h"

#include <memory>

namespace photos {

class Catalog;
class OwnerLock;
class SqliteDatabase;

// A catalogue library: a folder NAME.photolibrary holding catalog.sqlite, the stored files
// under resources/ and the programs' locks under locks/. New files are written and flushed
// before the catalogue's transaction names them; files of a change interrupted by a crash are
// removed when the library is next opened.
class CatalogStore final : public LibraryStore {
public:
    // Opens (or makes) the library in `path`, an empty or missing folder or one holding
    // catalog.sqlite. Throws PhotoLibraryError.
    explicit CatalogStore(const QString& path);
    ~CatalogStore() override;

    static int currentSchemaVersion();
    // Whether `path` holds a catalogue library, or is named like one.
    static bool isCatalogueLibrary(const QString& path);

    std::vector<AssetPtr> assets(MediaType mediaType, const FetchOptions& options) const override;
    void enumerateAssets(MediaType mediaType, const FetchOptions& options,
                         const std::function<void(int total)>& counted,
                         const std::function<bool(const AssetPtr&)>& visit) const override;
    void enumerateAssetsWithPictures(
        MediaType mediaType, const FetchOptions& options, int minimumPictures,
        const std::function<void(int total)>& counted,
        const std::function<bool(const AssetPtr&, int)>& visit) const override;
    std::vector<AssetPtr> assetsWithIdentifiers(const QStringList& ids) const override;
    std::vector<AssetPtr> assetsInCollection(const AssetCollection& collection,
                                             const FetchOptions& options) const override;
    std::vector<AssetPtr> assetsWithResource(const QString& originalFilename,
                                             qint64 fileSize) const override;
    std::vector<std::vector<CollectionPtr>>
    collectionsContainingEach(const std::vector<AssetPtr>& assets,
                              CollectionType type) const override;
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
    QString stateFolder() const override { return m_path; }

private:
    void applyRecords(SqliteDatabase& db, const ChangeRequests& changes,
                      const std::vector<std::vector<QString>>& planned,
                      const std::vector<std::vector<qint64>>& sizes, qint64 nowMs);
    void recoverInterruptedChanges();

    QString m_path;
    std::unique_ptr<Catalog> m_catalog;
    std::unique_ptr<OwnerLock> m_ownerLock;
};

} // namespace photos
