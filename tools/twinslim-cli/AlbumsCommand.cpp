#include "AlbumsCommand.h"

#include "Arguments.h"
#include "CommandFailure.h"
#include "ScanCommand.h"
#include "Session.h"
#include "Terminal.h"
#include "UsageError.h"
#include "core/LibraryModel.h"
#include "core/RunTask.h"
#include "ingest/ExportCommands.h"
#include "library/PhotoLibraryOperations.h"
#include "platform/photos/PhotoLibrary.h"

namespace twinslimcli {

using twinslim::LibraryModel;
using twinslim::PhotoPair;

namespace {

QSet<QString> memberIDs(const QString& albumTitle) {
    QSet<QString> ids;
    for (const photos::AssetPtr& asset : twinslim::assetsInAlbumTitled(albumTitle))
        ids.insert(asset->localIdentifier);
    return ids;
}

// Whether every selected pair now sits in its export album: the model's message alone
// does not say whether it is a success.
bool albumsHoldSelection(const LibraryModel& model) {
    const std::vector<PhotoPair> selected = model.selectedPairs();
    if (selected.empty())
        return false;
    const QSet<QString> favourites = memberIDs(LibraryModel::favAlbumTitle());
    const QSet<QString> others = memberIDs(LibraryModel::nonfavAlbumTitle());
    return std::all_of(selected.begin(), selected.end(), [&](const PhotoPair& pair) {
        return (pair.isFavorite ? favourites : others).contains(pair.id);
    });
}

} // namespace

int albumsCommand(Arguments& arguments, Session& session) {
    const ScanChoice choice = takeScanChoice(arguments);
    const bool all = arguments.takeFlag(QStringLiteral("--all"));
    const std::optional<QString> first = arguments.takeOption(QStringLiteral("--first"));
    const std::optional<QStringList> ids = arguments.takeList(QStringLiteral("--ids"));
    arguments.operands(0, 0, {});
    if (int(all) + int(first.has_value()) + int(ids.has_value()) != 1)
        throw UsageError{QStringLiteral("albums needs one of --all, --first N or --ids ID…")};
    int count = 0;
    if (first) {
        bool ok = false;
        count = first->toInt(&ok);
        if (!ok || count < 1)
            throw UsageError{QStringLiteral("--first needs a whole number of at least 1")};
    }

    runScan(session, choice);
    LibraryModel& model = session.model();
    if (all) {
        model.selectAllVisible();
    } else if (first) {
        model.selectFirst(count);
    } else {
        QSet<QString> known;
        for (const PhotoPair& pair : model.pairs())
            known.insert(pair.id);
        for (const QString& id : *ids)
            if (!known.contains(id))
                throw CommandFailure{
                    QStringLiteral("No RAW+JPEG pair “%1” in the scanned range.").arg(id)};
        model.setSelectedIDs(QSet<QString>(ids->begin(), ids->end()));
    }

    twinslim::runTask(model.createExportAlbums());
    const QString message = model.infoMessage().value_or(QString());
    if (!albumsHoldSelection(model))
        throw CommandFailure{message};
    // The message ends with the photolib commands; the ingest of their folder follows them.
    const std::shared_ptr<photos::PhotoLibrary> library = photos::PhotoLibrary::shared();
    session.terminal().out() << message << "\n  twinslim-cli --library "
                             << twinslim::shellQuoted(library->path()) << " ingest "
                             << twinslim::shellQuoted(twinslim::suggestedExportFolder(*library))
                             << "\n";
    return 0;
}

} // namespace twinslimcli
