#include "core/LibraryModel.h"
#include "library/PhotoLibraryOperations.h"
#include "library/ReplacementError.h"

namespace twinslim {

namespace {

QString instructions(int favourites, int others) {
    const QString fav = LibraryModel::favAlbumTitle();
    const QString nonfav = LibraryModel::nonfavAlbumTitle();
    return QStringLiteral("Added %1 to “%2” and %3 to “%4”.\n\n"
                          "In Photos, export each album as HEIC or JPEG (keep original names) to a "
                          "folder:\n"
                          "• “%2” → Full Size\n"
                          "• “%4” → Custom Size, max ~3120 px\n\n"
                          "Then choose “Ingest Exported Folder…” for each.")
        .arg(QString::number(favourites), fav, QString::number(others), nonfav);
}

// Finds or creates the album and adds the assets; an empty list touches nothing.
QCoro::Task<> fillAlbum(QString title, std::vector<photos::AssetPtr> assets) {
    if (assets.empty())
        co_return;
    auto finding = findOrCreateAlbum(title);
    photos::CollectionPtr album = co_await finding;
    auto adding = addAssets(std::move(assets), album);
    co_await adding;
}

} // namespace

QCoro::Task<> LibraryModel::createExportAlbums() {
    const std::vector<PhotoPair> selected = selectedPairs();
    if (selected.empty()) {
        setInfoMessage(QStringLiteral("Select some pairs first."));
        setShowInfoAlert(true);
        co_return;
    }
    std::vector<photos::AssetPtr> favourites, others;
    for (const PhotoPair& pair : selected)
        (pair.isFavorite ? favourites : others).push_back(pair.asset);
    const int favouriteCount = int(favourites.size());
    const int otherCount = int(others.size());

    QString message;
    try {
        auto favouriteAlbum = fillAlbum(favAlbumTitle(), std::move(favourites));
        co_await favouriteAlbum;
        auto otherAlbum = fillAlbum(nonfavAlbumTitle(), std::move(others));
        co_await otherAlbum;
        message = instructions(favouriteCount, otherCount);
    } catch (const std::exception& error) {
        message = QStringLiteral("Failed to create albums: ") + localizedDescription(error);
    }
    setInfoMessage(message);
    setShowInfoAlert(true);
}

} // namespace twinslim
