#pragma once

#include "platform/photos/PhotoTypes.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace photos {

// Stands for an object a change creates; its identifier is known while the
// change body runs, and the object exists under it once the change succeeded.
struct ObjectPlaceholder {
    QString localIdentifier;
};

struct ResourceCreationOptions {
    QString originalFilename;
    QString uniformTypeIdentifier;
};

class AssetCreationRequest {
public:
    // Adds a resource from bytes held in memory.
    void addResource(ResourceType type, const QByteArray& data,
                     const ResourceCreationOptions& options);
    // Adds a resource copied from a file when the change is applied.
    void addResource(ResourceType type, const QString& filePath,
                     const ResourceCreationOptions& options);

    std::optional<QDateTime> creationDate;
    std::optional<int> creationOffsetSeconds;
    std::optional<Location> location;
    bool favorite = false;
    bool hidden = false;
    // The item this one is made from (a replacement's original), when there is one. A library
    // of camera folders puts the new file beside that item's and carries its rating, label
    // and keywords over; a catalogue library has no use for it.
    std::optional<QString> derivedFrom;

    ObjectPlaceholder placeholderForCreatedAsset() const { return {m_identifier}; }

    struct PendingResource {
        ResourceType type;
        QByteArray data;
        QString sourcePath; // set instead of data for file resources
        ResourceCreationOptions options;
    };
    const std::vector<PendingResource>& resources() const { return m_resources; }

private:
    friend class ChangeRequests;
    explicit AssetCreationRequest(QString identifier) : m_identifier(std::move(identifier)) {}
    QString m_identifier;
    std::vector<PendingResource> m_resources;
};

class AssetChangeRequest {
public:
    std::optional<bool> favorite;
    std::optional<bool> hidden;
    const QString& assetIdentifier() const { return m_identifier; }

private:
    friend class ChangeRequests;
    explicit AssetChangeRequest(QString identifier) : m_identifier(std::move(identifier)) {}
    QString m_identifier;
};

// Membership changes of one album (existing or being created in the same change).
class AssetCollectionChangeRequest {
public:
    void addAssets(const std::vector<AssetPtr>& assets);
    void addAssets(const std::vector<ObjectPlaceholder>& placeholders);
    // Like addAssets, but the whole change fails with AlreadyMember when one of them is a
    // member already: two processes that each decided to add an item cannot both succeed.
    void addNewMembers(const std::vector<AssetPtr>& assets);
    void removeAssets(const std::vector<AssetPtr>& assets);

    ObjectPlaceholder placeholderForCreatedAssetCollection() const { return {m_identifier}; }
    const QString& collectionIdentifier() const { return m_identifier; }
    const std::optional<QString>& createdTitle() const { return m_createdTitle; }
    // A created album whose title no other regular album may have when the change applies.
    bool requiresUniqueTitle() const { return m_uniqueTitle; }

    struct Operation {
        bool add;
        QStringList assetIdentifiers;
        bool mustBeNew = false; // an add that fails when an item is a member already
    };
    const std::vector<Operation>& operations() const { return m_operations; }

private:
    friend class ChangeRequests;
    AssetCollectionChangeRequest(QString identifier, std::optional<QString> createdTitle)
        : m_identifier(std::move(identifier)), m_createdTitle(std::move(createdTitle)) {}
    QString m_identifier;
    std::optional<QString> m_createdTitle;
    std::vector<Operation> m_operations;
    bool m_uniqueTitle = false;
};

// What a change body records. It runs on the library's worker thread and only
// records: nothing touches the catalogue until the body has returned.
class ChangeRequests {
public:
    AssetCreationRequest& creationRequestForAsset();
    AssetChangeRequest& changeRequestForAsset(const AssetPtr& asset);
    AssetCollectionChangeRequest& creationRequestForAssetCollection(const QString& title);
    // Creates the album only if no regular album has this title when the change applies;
    // otherwise the change fails with AlreadyExists and changes nothing. This is what makes
    // find-or-create safe when several processes share the library.
    AssetCollectionChangeRequest& creationRequestForUniqueAssetCollection(const QString& title);
    // Nothing when the collection cannot take membership changes (not a regular user album).
    AssetCollectionChangeRequest* changeRequestForAssetCollection(const CollectionPtr& collection);
    void deleteAssets(const std::vector<AssetPtr>& assets);

    const std::deque<AssetCreationRequest>& assetCreations() const { return m_assetCreations; }
    const std::deque<AssetChangeRequest>& assetChanges() const { return m_assetChanges; }
    const std::deque<AssetCollectionChangeRequest>& collectionChanges() const {
        return m_collectionChanges;
    }
    const QStringList& deletions() const { return m_deletions; }
    bool isEmpty() const;

private:
    // deques keep references handed to the body valid while more requests are added
    std::deque<AssetCreationRequest> m_assetCreations;
    std::deque<AssetChangeRequest> m_assetChanges;
    std::deque<AssetCollectionChangeRequest> m_collectionChanges;
    QStringList m_deletions;
};

} // namespace photos
