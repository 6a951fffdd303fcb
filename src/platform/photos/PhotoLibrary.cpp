#include "platform/photos/PhotoLibrary.h"

#include "platform/photos/LibraryLocation.h"
#include "platform/photos/catalog/CatalogStore.h"
#include "platform/photos/darktable/DarktableStore.h"
#include "platform/photos/digikam/DigikamStore.h"
#include "platform/photos/folder/FolderStore.h"
#include "platform/photos/shotwell/ShotwellStore.h"

#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QThreadPool>
#include <condition_variable>
#include <deque>
#include <future>
#include <thread>

namespace photos {

namespace {

// Thrown inside a change that must fail without an error reaching the caller.
struct SilentFailure {};

PhotoLibraryError cancelledError() {
    return PhotoLibraryError(PhotoLibraryError::Code::UserCancelled,
                             QStringLiteral("The user cancelled the deletion."));
}

std::mutex sharedMutex;
std::shared_ptr<PhotoLibrary> sharedLibrary;
PhotoLibrary::DeletionConfirmationHandler sharedConfirmation;

} // namespace

struct PhotoLibrary::Job {
    ChangeBody body;
    ChangeCompletion completion;
};

struct PhotoLibrary::Worker {
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<Job> queue;
    bool stopping = false;
    std::thread thread;
    std::thread::id threadId;
    QThreadPool resourcePool;
};

PhotoLibrary::PhotoLibrary(QString path) : m_path(std::move(path)) {
    m_clock = [] { return QDateTime::currentDateTimeUtc(); };
}

std::shared_ptr<PhotoLibrary> PhotoLibrary::create(const QString& path) {
    if (QFileInfo::exists(path))
        throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                QStringLiteral("Something already exists at “%1”.").arg(path));
    return open(path);
}

std::shared_ptr<PhotoLibrary> PhotoLibrary::open(const QString& givenPath,
                                                 LibraryOpenOptions options) {
    QString path = QDir::cleanPath(QDir(givenPath).absolutePath());
    // darktable's configuration folder stands for the library it holds.
    if (QFileInfo(path).isDir() &&
        DarktableStore::isDarktableLibrary(path + QStringLiteral("/library.db")) &&
        (QFileInfo(path + QStringLiteral("/data.db")).isFile() ||
         QFileInfo(path + QStringLiteral("/config/data.db")).isFile()))
        path += QStringLiteral("/library.db");
    // digiKam's collection folder, its configuration and its database stand for its library;
    // so do Shotwell's data folder and its database for Shotwell's.
    QString digikamConfiguration;
    if (const QString digikam = DigikamStore::databaseFor(path); !digikam.isEmpty()) {
        if (QFileInfo(path).fileName() == QLatin1String("digikamrc"))
            digikamConfiguration = path;
        path = QDir::cleanPath(digikam);
    } else if (const QString shotwell = ShotwellStore::databaseFor(path); !shotwell.isEmpty()) {
        path = QDir::cleanPath(shotwell);
    }
    QFileInfo info(path);
    if (path == QLatin1String("/"))
        throw PhotoLibraryError(
            PhotoLibraryError::Code::InvalidRequest,
            QStringLiteral("The whole file system cannot be a photo library: choose a folder of "
                           "pictures, such as your Pictures folder."));
    const bool darktable = info.isFile() && DarktableStore::isDarktableLibrary(path);
    const bool digikam = info.isFile() && DigikamStore::isDigikamDatabase(path);
    const bool shotwell = info.isFile() && ShotwellStore::isShotwellDatabase(path);
    if (info.exists() && !info.isDir() && !darktable && !digikam && !shotwell)
        throw PhotoLibraryError(
            PhotoLibraryError::Code::InvalidRequest,
            QStringLiteral("“%1” is not a photo library Twinslim knows: it is not a folder. "
                           "Twinslim opens its own catalogue (a folder NAME.photolibrary), a "
                           "folder of camera files, a darktable library (its library.db), a "
                           "digiKam library (its digikam4.db) or a Shotwell library (its "
                           "photo.db).")
                .arg(path));
    std::shared_ptr<PhotoLibrary> library(new PhotoLibrary(path));
    if (digikam) {
        library->m_store = std::make_unique<DigikamStore>(path, digikamConfiguration);
    } else if (shotwell) {
        library->m_store = std::make_unique<ShotwellStore>(path);
    } else if (darktable) {
        library->m_store = std::make_unique<DarktableStore>(path);
    } else if (info.isDir() && !CatalogStore::isCatalogueLibrary(path)) {
        // Any other folder is a folder of camera files.
        library->m_store = std::make_unique<FolderStore>(path);
    } else {
        // A mistyped path or an unmounted disk must not turn into a new, empty library.
        if (!options.createWhenMissing &&
            !QFileInfo(path + QStringLiteral("/catalog.sqlite")).isFile())
            throw PhotoLibraryError(PhotoLibraryError::Code::NotFound,
                                    QStringLiteral("There is no photo library at “%1”.").arg(path));
        if (info.exists() && !QFileInfo::exists(path + QStringLiteral("/catalog.sqlite")) &&
            !QDir(path).isEmpty())
            throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                    QStringLiteral("“%1” is not a photo library.").arg(path));
        library->m_store = std::make_unique<CatalogStore>(path);
    }
    library->m_worker = std::make_unique<Worker>();
    library->m_worker->resourcePool.setMaxThreadCount(2);
    library->startWorker();
    if (options.purgeExpiredTrash) {
        try {
            library->purgeExpiredTrash();
        } catch (const PhotoLibraryError& e) {
            // The program owning the library is running: its trash waits, reading goes on.
            if (e.code() != PhotoLibraryError::Code::AccessDenied)
                throw;
        }
    }
    return library;
}

PhotoLibrary::~PhotoLibrary() {
    if (!m_worker)
        return;
    {
        std::lock_guard lock(m_worker->mutex);
        m_worker->stopping = true;
    }
    m_worker->wake.notify_all();
    if (m_worker->thread.joinable())
        m_worker->thread.join();
    m_worker->resourcePool.waitForDone();
}

std::shared_ptr<PhotoLibrary> PhotoLibrary::shared() {
    std::lock_guard lock(sharedMutex);
    if (!sharedLibrary) {
        const QString path = systemLibraryPath();
        sharedLibrary = open(path, {.createWhenMissing = mayCreateSystemLibraryAt(path)});
        if (sharedConfirmation)
            sharedLibrary->setDeletionConfirmationHandler(sharedConfirmation);
    }
    return sharedLibrary;
}

void PhotoLibrary::setSharedDeletionConfirmationHandler(DeletionConfirmationHandler handler) {
    std::lock_guard lock(sharedMutex);
    sharedConfirmation = std::move(handler);
}

void PhotoLibrary::setShared(std::shared_ptr<PhotoLibrary> library) {
    std::lock_guard lock(sharedMutex);
    sharedLibrary = std::move(library);
}

int PhotoLibrary::currentSchemaVersion() {
    return CatalogStore::currentSchemaVersion();
}

void PhotoLibrary::setClock(std::function<QDateTime()> clock) {
    std::lock_guard lock(m_stateMutex);
    m_clock = std::move(clock);
}

QDateTime PhotoLibrary::now() const {
    std::lock_guard lock(m_stateMutex);
    return m_clock();
}

void PhotoLibrary::setDeletionConfirmationHandler(DeletionConfirmationHandler handler) {
    std::lock_guard lock(m_stateMutex);
    m_confirmDeletion = std::move(handler);
}

// ---- Fetches ----

std::vector<AssetPtr> PhotoLibrary::fetchAssets(MediaType mediaType,
                                                const FetchOptions& options) const {
    return m_store->assets(mediaType, options);
}

void PhotoLibrary::enumerateAssets(MediaType mediaType, const FetchOptions& options,
                                   const std::function<void(int total)>& counted,
                                   const std::function<bool(const AssetPtr&)>& visit) const {
    m_store->enumerateAssets(mediaType, options, counted, visit);
}

void PhotoLibrary::enumerateAssetsWithPictures(
    MediaType mediaType, const FetchOptions& options, int minimumPictures,
    const std::function<void(int total)>& counted,
    const std::function<bool(const AssetPtr&, int position)>& visit) const {
    m_store->enumerateAssetsWithPictures(mediaType, options, minimumPictures, counted, visit);
}

std::vector<AssetPtr> PhotoLibrary::fetchAssetsWithLocalIdentifiers(const QStringList& ids) const {
    return m_store->assetsWithIdentifiers(ids);
}

std::vector<AssetPtr>
PhotoLibrary::fetchAssetsInAssetCollection(const CollectionPtr& collection,
                                           const FetchOptions& options) const {
    if (!collection)
        return {};
    return m_store->assetsInCollection(*collection, options);
}

std::vector<ResourcePtr> PhotoLibrary::assetResources(const AssetPtr& asset) const {
    if (!asset)
        return {};
    return asset->resources;
}

std::vector<CollectionPtr>
PhotoLibrary::fetchAssetCollectionsContainingAsset(const AssetPtr& asset,
                                                   CollectionType type) const {
    if (!asset)
        return {};
    return m_store->collectionsContaining(*asset, type);
}

std::vector<std::vector<CollectionPtr>>
PhotoLibrary::fetchAssetCollectionsContainingAssets(const std::vector<AssetPtr>& assets,
                                                    CollectionType type) const {
    return m_store->collectionsContainingEach(assets, type);
}

std::vector<CollectionPtr> PhotoLibrary::fetchAssetCollections(CollectionType type,
                                                               CollectionSubtype subtype,
                                                               const FetchOptions& options) const {
    return m_store->collections(type, subtype, options);
}

std::vector<CollectionPtr>
PhotoLibrary::fetchAssetCollectionsWithLocalIdentifiers(const QStringList& ids) const {
    return m_store->collectionsWithIdentifiers(ids);
}

std::vector<AssetPtr> PhotoLibrary::fetchAssetsWithResource(const QString& originalFilename,
                                                            qint64 fileSize) const {
    return m_store->assetsWithResource(originalFilename, fileSize);
}

int PhotoLibrary::openStoredFile(const ResourcePtr& resource) const {
    if (!resource) {
        errno = EINVAL;
        return -1;
    }
    return m_store->openForReading(*resource);
}

QString PhotoLibrary::storedFilePath(const ResourcePtr& resource) const {
    return resource ? m_store->filePath(*resource) : QString();
}

// ---- Changes ----

void PhotoLibrary::startWorker() {
    Worker* w = m_worker.get();
    w->thread = std::thread([this, w] {
        for (;;) {
            Job job;
            {
                std::unique_lock lock(w->mutex);
                w->wake.wait(lock, [w] { return w->stopping || !w->queue.empty(); });
                if (w->queue.empty())
                    return; // stopping, and every queued change has been applied
                job = std::move(w->queue.front());
                w->queue.pop_front();
            }
            runJob(job);
        }
    });
    w->threadId = w->thread.get_id();
}

void PhotoLibrary::performChanges(ChangeBody body, ChangeCompletion completion) {
    {
        std::lock_guard lock(m_worker->mutex);
        m_worker->queue.push_back({std::move(body), std::move(completion)});
    }
    m_worker->wake.notify_one();
}

void PhotoLibrary::performChangesAndWait(ChangeBody body) {
    if (std::this_thread::get_id() == m_worker->threadId)
        throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                QStringLiteral("A change cannot wait for another change."));
    // Shared with the completion, which may still be returning when this caller resumes.
    auto done = std::make_shared<std::promise<std::pair<bool, std::optional<PhotoLibraryError>>>>();
    auto result = done->get_future();
    performChanges(std::move(body), [done](bool ok, std::optional<PhotoLibraryError> error) {
        done->set_value({ok, std::move(error)});
    });
    auto [ok, error] = result.get();
    if (ok)
        return;
    if (error)
        throw *error;
    throw PhotoLibraryError(PhotoLibraryError::Code::CatalogFailed,
                            QStringLiteral("The photo library change failed."));
}

void PhotoLibrary::runJob(Job& job) {
    bool ok = false;
    std::optional<PhotoLibraryError> error;
    try {
        ChangeRequests changes;
        if (job.body)
            job.body(changes);
        applyChanges(changes);
        ok = true;
    } catch (const PhotoLibraryError& e) {
        error = e;
    } catch (const SilentFailure&) {
    } catch (const std::exception& e) {
        error =
            PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest, QString::fromUtf8(e.what()));
    } catch (...) {
        error = PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                  QStringLiteral("The change body failed."));
    }
    // A caller's completion that throws must not take the library's worker, and with it the
    // process, down.
    if (job.completion) {
        try {
            job.completion(ok, std::move(error));
        } catch (...) {
        }
    }
}

bool PhotoLibrary::confirmDeletion(int count) {
    DeletionConfirmationHandler handler;
    {
        std::lock_guard lock(m_stateMutex);
        if (m_faults.refuseNextDeletion) {
            m_faults.refuseNextDeletion = false;
            return false;
        }
        handler = m_confirmDeletion;
    }
    if (!handler)
        return true;
    auto answer = std::make_shared<std::promise<bool>>();
    auto future = answer->get_future();
    auto once = std::make_shared<std::once_flag>();
    handler(count,
            [answer, once](bool yes) { std::call_once(*once, [&] { answer->set_value(yes); }); });
    // A prompt nobody answers must not hold the library, or its closing, forever: when the
    // library closes, the question counts as refused.
    while (future.wait_for(std::chrono::milliseconds(50)) == std::future_status::timeout) {
        std::lock_guard lock(m_worker->mutex);
        if (m_worker->stopping)
            return false;
    }
    return future.get();
}

void PhotoLibrary::applyChanges(const ChangeRequests& changes) {
    if (changes.isEmpty())
        return;

    // Deletion first asks the user, before anything is written.
    QSet<QString> toDelete(changes.deletions().begin(), changes.deletions().end());
    if (!toDelete.isEmpty() && !confirmDeletion(int(toDelete.size())))
        throw cancelledError();

    m_store->apply(changes, now(), [this] {
        std::lock_guard lock(m_stateMutex);
        const bool armed = m_faults.failNextChangeWithError || m_faults.failNextChangeWithoutError;
        if (armed && m_faults.changesBeforeFailure > 0) {
            --m_faults.changesBeforeFailure;
            return;
        }
        if (m_faults.failNextChangeWithError) {
            m_faults.failNextChangeWithError = false;
            throw PhotoLibraryError(PhotoLibraryError::Code::Injected,
                                    QStringLiteral("The photo library change failed (injected)."));
        }
        if (m_faults.failNextChangeWithoutError) {
            m_faults.failNextChangeWithoutError = false;
            throw SilentFailure{};
        }
    });
}

// ---- Recently Deleted ----

std::vector<TrashedAsset> PhotoLibrary::trashedAssets() const {
    return m_store->trashed();
}

int PhotoLibrary::restoreFromTrash(const QStringList& identifiers) {
    return m_store->restore(identifiers);
}

int PhotoLibrary::emptyTrash() {
    return m_store->purgeTrashedBefore(std::nullopt);
}

int PhotoLibrary::purgeExpiredTrash() {
    return m_store->purgeTrashedBefore(now().addDays(-trashRetentionDays));
}

// ---- Integrity ----

QStringList PhotoLibrary::check() const {
    return m_store->check();
}

bool PhotoLibrary::isFolderLibrary() const {
    return dynamic_cast<const FolderStore*>(m_store.get()) != nullptr;
}

bool PhotoLibrary::isDarktableLibrary() const {
    return dynamic_cast<const DarktableStore*>(m_store.get()) != nullptr;
}

bool PhotoLibrary::isDigikamLibrary() const {
    return dynamic_cast<const DigikamStore*>(m_store.get()) != nullptr;
}

bool PhotoLibrary::isShotwellLibrary() const {
    return dynamic_cast<const ShotwellStore*>(m_store.get()) != nullptr;
}

QString PhotoLibrary::trashName() const {
    if (isDigikamLibrary())
        return QStringLiteral("digiKam’s trash");
    if (isShotwellLibrary())
        return QStringLiteral("Shotwell’s trash");
    if (isFolderLibrary() || isDarktableLibrary())
        return QStringLiteral("the Trash");
    return {};
}

QString PhotoLibrary::pictureTree() const {
    return isFolderLibrary() ? m_path : QString();
}

QString PhotoLibrary::stateFolder() const {
    return m_store->stateFolder();
}

QString PhotoLibrary::safetyCopyPath() const {
    return m_store->safetyCopyPath();
}

// ---- Resource manager ----

void PhotoLibrary::writeDataForAssetResource(const ResourcePtr& resource,
                                             const QString& destinationPath,
                                             WriteCompletion completion) {
    bool inject = false;
    {
        std::lock_guard lock(m_stateMutex);
        inject = std::exchange(m_faults.failNextResourceWrite, false);
    }
    // A snapshot of the resource, so the copy does not depend on the caller's handle.
    std::optional<AssetResource> given;
    if (resource)
        given = *resource;
    const LibraryStore* store = m_store.get(); // outlives the pool, which closing drains
    m_worker->resourcePool.start([inject, given, store, destinationPath,
                                  completion = std::move(completion)] {
        std::optional<PhotoLibraryError> error;
        if (inject)
            error =
                PhotoLibraryError(PhotoLibraryError::Code::Injected,
                                  QStringLiteral("The resource could not be written (injected)."));
        else if (!given)
            error = PhotoLibraryError(PhotoLibraryError::Code::InvalidResource,
                                      QStringLiteral("No resource was given."));
        else {
            try {
                store->copyOut(*given, destinationPath);
            } catch (const PhotoLibraryError& e) {
                error = e;
            }
        }
        if (completion) {
            try {
                completion(std::move(error));
            } catch (...) {
            }
        }
    });
}

} // namespace photos
