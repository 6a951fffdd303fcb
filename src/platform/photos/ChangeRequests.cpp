#include "platform/photos/ChangeRequests.h"

namespace photos {

void AssetCreationRequest::addResource(ResourceType type, const QByteArray& data,
                                       const ResourceCreationOptions& options) {
    m_resources.push_back({type, data, {}, options});
}

void AssetCreationRequest::addResource(ResourceType type, const QString& filePath,
                                       const ResourceCreationOptions& options) {
    m_resources.push_back({type, {}, filePath, options});
}

static QStringList identifiersOf(const std::vector<AssetPtr>& assets) {
    QStringList ids;
    for (const AssetPtr& a : assets)
        if (a)
            ids << a->localIdentifier;
    return ids;
}

void AssetCollectionChangeRequest::addAssets(const std::vector<AssetPtr>& assets) {
    m_operations.push_back({true, identifiersOf(assets)});
}

void AssetCollectionChangeRequest::addAssets(const std::vector<ObjectPlaceholder>& placeholders) {
    QStringList ids;
    for (const ObjectPlaceholder& p : placeholders)
        ids << p.localIdentifier;
    m_operations.push_back({true, ids});
}

void AssetCollectionChangeRequest::addNewMembers(const std::vector<AssetPtr>& assets) {
    m_operations.push_back({true, identifiersOf(assets), true});
}

void AssetCollectionChangeRequest::removeAssets(const std::vector<AssetPtr>& assets) {
    m_operations.push_back({false, identifiersOf(assets)});
}

AssetCreationRequest& ChangeRequests::creationRequestForAsset() {
    m_assetCreations.push_back(AssetCreationRequest(newAssetIdentifier()));
    return m_assetCreations.back();
}

AssetChangeRequest& ChangeRequests::changeRequestForAsset(const AssetPtr& asset) {
    m_assetChanges.push_back(AssetChangeRequest(asset->localIdentifier));
    return m_assetChanges.back();
}

AssetCollectionChangeRequest&
ChangeRequests::creationRequestForAssetCollection(const QString& title) {
    m_collectionChanges.push_back(AssetCollectionChangeRequest(newCollectionIdentifier(), title));
    return m_collectionChanges.back();
}

AssetCollectionChangeRequest&
ChangeRequests::creationRequestForUniqueAssetCollection(const QString& title) {
    AssetCollectionChangeRequest& request = creationRequestForAssetCollection(title);
    request.m_uniqueTitle = true;
    return request;
}

AssetCollectionChangeRequest*
ChangeRequests::changeRequestForAssetCollection(const CollectionPtr& collection) {
    if (!collection || collection->type != CollectionType::Album ||
        collection->subtype != CollectionSubtype::AlbumRegular)
        return nullptr;
    m_collectionChanges.push_back(
        AssetCollectionChangeRequest(collection->localIdentifier, std::nullopt));
    return &m_collectionChanges.back();
}

void ChangeRequests::deleteAssets(const std::vector<AssetPtr>& assets) {
    m_deletions << identifiersOf(assets);
}

bool ChangeRequests::isEmpty() const {
    return m_assetCreations.empty() && m_assetChanges.empty() && m_collectionChanges.empty() &&
           m_deletions.isEmpty();
}

} // namespace photos
