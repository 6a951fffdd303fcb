#include "core/LibraryModel.h"
#include "ingest/ExportCommands.h"
#include "library/PhotoLibraryOperations.h"
#include "library/ReplacementError.h"
#include "platform/photos/PhotoLibrary.h"

namespace twinslim {

namespace {

// What to do with the albums: exported in Photos, or with photolib. An album left empty (no pair of
// its kind was ever selected) is said to be so instead of being asked for.
QString instructions(int favourites, int others, bool favouritesToExport, bool othersToExport) {
    const QString fav = LibraryModel::favAlbumTitle();
    const QString nonfav = LibraryModel::nonfavAlbumTitle();
    const auto bullet = [](const QString& title, bool toExport, const QString& size) {
        return toExport ? QStringLiteral("• “%1” → %2\n").arg(title, size)
                        : QStringLiteral("• “%1” is empty: there is nothing to export from it\n")
                              .arg(title);
    };
    QString text =
        QStringLiteral("Added %1 to “%2” and %3 to “%4”.\n\n")
            .arg(QString::number(favourites), fav, QString::number(others), nonfav) +
        QStringLiteral("In Photos, export each album as HEIC or JPEG (keep original names) to a "
                       "folder:\n") +
        bullet(fav, favouritesToExport, QStringLiteral("Full Size")) +
        bullet(nonfav, othersToExport,
               QStringLiteral("Custom Size, max ~%1 px").arg(nonFavoriteExportSize)) +
        (favouritesToExport && othersToExport
             ? QStringLiteral("\nThen choose “Ingest Exported Folder…” for each.")
             : QStringLiteral("\nThen choose “Ingest Exported Folder…”."));
    const std::shared_ptr<photos::PhotoLibrary> library = photos::PhotoLibrary::shared();
    if (!library)
        return text;
    // Three lines each, so that a long path does not break a command where a reader cannot tell.
    const QStringList commands =
        photolibExportCommands(*library, suggestedExportFolder(*library), favouritesToExport,
                               othersToExport, QStringLiteral(" \\\n      "));
    if (!library->holdsHeic())
        text += QStringLiteral("\n\nShotwell cannot show HEIC pictures: export as JPEG.");
    text += QStringLiteral("\n\nOr with photolib, into a folder outside the library:");
    for (const QString& command : commands)
        text += QStringLiteral("\n  ") + command;
    return text;
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
        // Counted in the library: an album may hold pairs of an earlier Step 1 too.
        message =
            instructions(favouriteCount, otherCount, !assetsInAlbumTitled(favAlbumTitle()).empty(),
                         !assetsInAlbumTitled(nonfavAlbumTitle()).empty());
    } catch (const std::exception& error) {
        message = QStringLiteral("Failed to create albums: ") + localizedDescription(error);
    }
    setInfoMessage(message);
    setShowInfoAlert(true);
}

} // namespace twinslim
