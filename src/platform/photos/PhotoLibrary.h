#pragma once

#include "platform/photos/ChangeRequests.h"
#include "platform/photos/FetchOptions.h"
#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/PhotoTypes.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

namespace photos {

class LibraryStore;

// Fault injection, part of the service's interface so that every failure path of a
// program built on it can be exercised against the real thing. Each switch applies once.
struct FaultInjection {
    bool failNextChangeWithError = false;
    bool failNextChangeWithoutError = false;
    // Lets this many changes through before an armed change failure strikes.
    int changesBeforeFailure = 0;
    bool refuseNextDeletion = false;
    bool failNextResourceWrite = false;
    bool answerNextImageRequestWithNothing = false;
    bool deliverDegradedImageFirst = false; // stays on until cleared
};

// How PhotoLibrary::open treats the folder it is given.
struct LibraryOpenOptions {
    // A missing library is made empty; otherwise opening it fails with NotFound.
    bool createWhenMissing = true;
    // Trash past its retention is purged; off for programs that only read.
    bool purgeExpiredTrash = true;
};

// One photo library, of whichever kind its store is. Fetches may be called from any thread;
// changes are applied one at a time on the library's own worker thread.
class PhotoLibrary : public std::enable_shared_from_this<PhotoLibrary> {
public:
    // Opens the library at `path`, creating it empty when it does not exist (unless the
    // options say otherwise). Throws PhotoLibraryError when the folder cannot be used.
    static std::shared_ptr<PhotoLibrary> open(const QString& path, LibraryOpenOptions options = {});
    // Creates a new empty library; throws when something already exists at `path`.
    static std::shared_ptr<PhotoLibrary> create(const QString& path);

    // The library programs use by default: set explicitly, else the system library.
    static std::shared_ptr<PhotoLibrary> shared();
    static void setShared(std::shared_ptr<PhotoLibrary> library);

    ~PhotoLibrary();
    PhotoLibrary(const PhotoLibrary&) = delete;
    PhotoLibrary& operator=(const PhotoLibrary&) = delete;

    QString path() const { return m_path; }
    // A folder of camera files, rather than a catalogue that owns its files.
    bool isFolderLibrary() const;
    bool isDarktableLibrary() const;
    bool isDigikamLibrary() const;
    bool isShotwellLibrary() const;
    // Whether the program owning the library shows HEIC pictures (Shotwell does not): a new
    // item's pictures must be JPEG where it does not.
    bool holdsHeic() const { return !isShotwellLibrary(); }
    // Where deleted items go, as a sentence names it: "the Trash" for the kinds whose files go
    // to the desktop's trash, "digiKam’s trash", or empty for Recently Deleted.
    QString trashName() const;
    // The folder whose whole tree is read as the library's pictures, so that any file put
    // below it becomes an item; empty for the kinds that list their pictures themselves.
    QString pictureTree() const;

    // ---- Fetches (trashed assets never appear) ----
    std::vector<AssetPtr> fetchAssets(MediaType mediaType, const FetchOptions& options = {}) const;
    // What fetchAssets returns, in its order, one asset at a time: `counted` gets their number
    // first, then `visit` each asset until it answers false. The assets of a catalogue are made
    // as they are read and freed unless `visit` keeps them, so that going through a library of
    // a million items does not hold a million of them. Throws as fetchAssets does; `visit` may
    // fetch from this library meanwhile.
    void enumerateAssets(MediaType mediaType, const FetchOptions& options,
                         const std::function<void(int total)>& counted,
                         const std::function<bool(const AssetPtr&)>& visit) const;
    // The same, but only the assets with at least `minimumPictures` pictures (files other than
    // sidecars and edit files, see pictureCount) are visited, each with its position in that
    // order; `counted` gets the number of all. A catalogue then reads the others' dates only,
    // which a scan for pairs in a million items needs.
    void enumerateAssetsWithPictures(
        MediaType mediaType, const FetchOptions& options, int minimumPictures,
        const std::function<void(int total)>& counted,
        const std::function<bool(const AssetPtr&, int position)>& visit) const;
    std::vector<AssetPtr> fetchAssetsWithLocalIdentifiers(const QStringList& identifiers) const;
    // In album order.
    std::vector<AssetPtr> fetchAssetsInAssetCollection(const CollectionPtr& collection,
                                                       const FetchOptions& options = {}) const;
    // In stored order. Resources never change, so the snapshot's list is current.
    std::vector<ResourcePtr> assetResources(const AssetPtr& asset) const;
    // Albums of `type` that hold the asset, oldest album first.
    std::vector<CollectionPtr> fetchAssetCollectionsContainingAsset(const AssetPtr& asset,
                                                                    CollectionType type) const;
    // The same for each of `assets`, in their order, read in one go.
    std::vector<std::vector<CollectionPtr>>
    fetchAssetCollectionsContainingAssets(const std::vector<AssetPtr>& assets,
                                          CollectionType type) const;
    std::vector<CollectionPtr> fetchAssetCollections(CollectionType type, CollectionSubtype subtype,
                                                     const FetchOptions& options = {}) const;
    std::vector<CollectionPtr>
    fetchAssetCollectionsWithLocalIdentifiers(const QStringList& identifiers) const;
    // Assets holding a resource with this original file name and byte size (import's
    // duplicate check).
    std::vector<AssetPtr> fetchAssetsWithResource(const QString& originalFilename,
                                                  qint64 fileSize) const;

    // ---- Changes ----
    using ChangeBody = std::function<void(ChangeRequests&)>;
    // Called on the worker thread: success, or failure with an error or without one.
    using ChangeCompletion =
        std::function<void(bool success, std::optional<PhotoLibraryError> error)>;
    void performChanges(ChangeBody body, ChangeCompletion completion);
    // Blocking form for command-line use; throws the error (or a generic one when the
    // change failed without an error).
    void performChangesAndWait(ChangeBody body);

    // Asked once per change that deletes assets, with the number of assets, on the
    // worker thread; the reply may come from any thread. Without a handler deletions
    // proceed without a prompt.
    using DeletionConfirmationHandler =
        std::function<void(int count, std::function<void(bool)> reply)>;
    void setDeletionConfirmationHandler(DeletionConfirmationHandler handler);
    // The handler a library opened as the shared one starts with, so a program that asks
    // before deleting keeps asking whenever the shared library is (re)opened.
    static void setSharedDeletionConfirmationHandler(DeletionConfirmationHandler handler);

    // ---- Recently Deleted ----
    static constexpr int trashRetentionDays = 30;
    std::vector<TrashedAsset> trashedAssets() const;
    // Puts trashed assets back; returns how many were restored.
    int restoreFromTrash(const QStringList& identifiers);
    // Purges every trashed asset with its files; returns how many.
    int emptyTrash();
    // Purges those trashed more than the retention period before now.
    int purgeExpiredTrash();

    // ---- Resource manager ----
    // Streams the resource's stored bytes into `destinationPath` on a worker thread.
    // The completion gets an error, or nothing on success.
    using WriteCompletion = std::function<void(std::optional<PhotoLibraryError> error)>;
    void writeDataForAssetResource(const ResourcePtr& resource, const QString& destinationPath,
                                   WriteCompletion completion);
    // Absolute path of a resource's stored file (for readers such as the image manager).
    QString storedFilePath(const ResourcePtr& resource) const;
    // The resource's stored file opened for reading without following links; -1 with errno
    // set when it cannot be.
    int openStoredFile(const ResourcePtr& resource) const;

    // ---- Integrity ----
    // Problems found, one line each; empty when the library is clean.
    QStringList check() const;
    // Folder where programs keep their locks for this library.
    QString stateFolder() const;
    // The copy of a darktable library taken before this session's first change to it; empty
    // for other kinds and before that change.
    QString safetyCopyPath() const;

    // ---- Testing ----
    FaultInjection& faults() { return m_faults; }
    // Guards the fault switches when the service itself reads them.
    std::mutex& faultMutex() const { return m_stateMutex; }
    // The clock used for trash times; tests move it.
    void setClock(std::function<QDateTime()> clock);
    QDateTime now() const;

    // Schema version of the catalogue this build writes.
    static int currentSchemaVersion();

private:
    explicit PhotoLibrary(QString path);
    void startWorker();
    struct Worker;
    struct Job;
    void applyChanges(const ChangeRequests& changes);
    bool confirmDeletion(int count);
    void runJob(Job& job);

    QString m_path;
    std::unique_ptr<LibraryStore> m_store;
    std::unique_ptr<Worker> m_worker;
    FaultInjection m_faults;
    DeletionConfirmationHandler m_confirmDeletion;
    std::function<QDateTime()> m_clock;
    mutable std::mutex m_stateMutex; // guards m_faults, m_confirmDeletion, m_clock
};

} // namespace photos
