#pragma once

#include "core/PhotoPair.h"
#include "platform/photos/PhotoLibrary.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <memory>
#include <optional>
#include <vector>

// A fresh photo library in a temporary folder, installed as the shared library that
// the scan reads for the life of the object.
class TestLibrary {
public:
    struct Resource {
        photos::ResourceType type;
        QString uti;
        QString filename;
        int size;             // bytes stored, so the library reports this size
        QByteArray data = {}; // stored instead of `size` filler bytes when given
    };
    struct NewAsset {
        std::vector<Resource> resources;
        std::optional<QDateTime> date;
        bool favorite = false;
        bool hidden = false;
        std::optional<photos::Location> location = {};
        std::optional<int> offsetSeconds = {}; // the capture's time zone, east of UTC
    };

    static Resource raw(int size, QString name = "IMG.CR3",
                        QString uti = "com.canon.cr3-raw-image") {
        return {photos::ResourceType::AlternatePhoto, std::move(uti), std::move(name), size};
    }
    static Resource jpeg(int size, QString name = "IMG.JPG") {
        return {photos::ResourceType::Photo, "public.jpeg", std::move(name), size};
    }
    // A JPEG+RAW asset.
    static NewAsset pair(std::optional<QDateTime> date, int rawSize = 10, bool favorite = false) {
        return {{jpeg(5), raw(rawSize)}, date, favorite};
    }

    TestLibrary() {
        m_library = photos::PhotoLibrary::create(m_dir.path() + "/T.photolibrary");
        photos::PhotoLibrary::setShared(m_library);
    }
    ~TestLibrary() { photos::PhotoLibrary::setShared(nullptr); }

    photos::PhotoLibrary& library() { return *m_library; }
    QString path() const { return m_library->path(); }

    // Creates the assets in one change and returns their identifiers in order.
    QStringList add(const std::vector<NewAsset>& assets) {
        QStringList ids;
        m_library->performChangesAndWait([&](photos::ChangeRequests& changes) {
            for (const NewAsset& asset : assets) {
                auto& request = changes.creationRequestForAsset();
                for (const Resource& r : asset.resources)
                    request.addResource(r.type, r.data.isEmpty() ? QByteArray(r.size, 'x') : r.data,
                                        {r.filename, r.uti});
                request.creationDate = asset.date;
                request.favorite = asset.favorite;
                request.hidden = asset.hidden;
                request.location = asset.location;
                request.creationOffsetSeconds = asset.offsetSeconds;
                ids << request.placeholderForCreatedAsset().localIdentifier;
            }
        });
        return ids;
    }
    QString add(const NewAsset& asset) { return add(std::vector<NewAsset>{asset}).value(0); }
    photos::AssetPtr asset(const QString& id) {
        return m_library->fetchAssetsWithLocalIdentifiers({id}).at(0);
    }
    // An undated asset whose only resource is the photo `jpeg`.
    photos::AssetPtr addPhoto(const QByteArray& jpeg) {
        return asset(
            add({{{photos::ResourceType::Photo, "public.jpeg", "IMG_0001.JPG", 0, jpeg}}, {}}));
    }

    // Creates a user album holding the assets, in that order.
    void addAlbum(const QString& title, const QStringList& assetIds) {
        const auto assets = m_library->fetchAssetsWithLocalIdentifiers(assetIds);
        m_library->performChangesAndWait([&](photos::ChangeRequests& changes) {
            changes.creationRequestForAssetCollection(title).addAssets(assets);
        });
    }

private:
    QTemporaryDir m_dir;
    std::shared_ptr<photos::PhotoLibrary> m_library;
};

// Identifiers of pairs or assets, in their order.
inline QStringList idsOf(const std::vector<twinslim::PhotoPair>& pairs) {
    QStringList ids;
    for (const auto& pair : pairs)
        ids << pair.id;
    return ids;
}
inline QStringList idsOf(const std::vector<photos::AssetPtr>& assets) {
    QStringList ids;
    for (const auto& asset : assets)
        ids << asset->localIdentifier;
    return ids;
}
