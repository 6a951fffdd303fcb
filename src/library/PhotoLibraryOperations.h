#pragma once

#include "platform/photos/ImageManager.h"
#include "platform/photos/PhotoLibrary.h"

#include <QByteArray>
#include <QCoro/QCoroTask>
#include <QImage>
#include <QString>
#include <vector>

// The program's only way to change or read the photo library. Awaited operations resume
// on the awaiting thread exactly once, with a result or an error: the library's own error
// passed through unchanged, or a ReplacementError.
namespace twinslim {

using photos::AssetPtr;
using photos::CollectionPtr;
using photos::ResourcePtr;

// Fails with the library's error, or performChangesFailed when it gives none.
QCoro::Task<> performChanges(photos::PhotoLibrary::ChangeBody body);

// The first regular user album titled exactly `title`, or none.
CollectionPtr album(const QString& title);
// The album titled `title`, created when there is none.
QCoro::Task<CollectionPtr> findOrCreateAlbum(QString title);
// An empty list changes nothing and succeeds.
QCoro::Task<> addAssets(std::vector<AssetPtr> assets, CollectionPtr collection);
// A change body step: removes the assets from the album (callers skip empty lists).
void removeAssets(photos::ChangeRequests& changes, const std::vector<AssetPtr>& assets,
                  const CollectionPtr& collection);
// One change for all of them (the user is asked to confirm); an empty list changes nothing.
QCoro::Task<> deleteAssets(std::vector<AssetPtr> assets);
// Members of the album titled `title` in album order; empty when there is no such album.
std::vector<AssetPtr> assetsInAlbumTitled(const QString& title);

// The asset's JPEG resource: a photo JPEG, else an alternate-photo JPEG, else any JPEG.
ResourcePtr jpegResource(const AssetPtr& asset);
// The asset's first RAW resource.
ResourcePtr rawResource(const AssetPtr& asset);

// Writes the resource's bytes to `destination`, replacing a file already there. Fails with
// the removal's error (nothing written) or the resource manager's.
QCoro::Task<> writeResource(ResourcePtr resource, QString destination);

// The asset's current picture at its largest size. Degraded answers are ignored; no image
// and no error fails with resourcesNotFound.
QCoro::Task<QImage> requestImage(AssetPtr asset, photos::ImageRequestOptions options);
// The current picture encoded as JPEG at `quality` (0–1).
QCoro::Task<QByteArray> renderedJPEGData(AssetPtr asset, double quality);

} // namespace twinslim
