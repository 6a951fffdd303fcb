#include "backup/BackupFolder.h"
#include "backup/MarkerAlbum.h"
#include "core/LibraryModel.h"
#include "ingest/FileSignature.h"
#include "ingest/IngestLogger.h"
#include "ingest/IngestMatcher.h"
#include "library/PhotoLibraryOperations.h"
#include "library/ReplacementError.h"
#include "platform/imaging/ImageFormat.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>

namespace twinslim {

using namespace photos;

namespace {

// What every run works out before it touches anything.
struct RunSetup {
    std::vector<AssetPtr> favourites;
    std::vector<AssetPtr> others;
    QString folderPath;
};

QStringList identifiersOf(const std::vector<AssetPtr>& assets) {
    QStringList ids;
    for (const AssetPtr& a : assets)
        ids << a->localIdentifier;
    return ids;
}

QString startLine(const QString& folderPath) {
    return QStringLiteral("Ingest start: folder=") + folderPath;
}

QString membersLine(const RunSetup& setup) {
    return QStringLiteral("Album members: %1 fav + %2 non-fav = %3")
        .arg(setup.favourites.size())
        .arg(setup.others.size())
        .arg(setup.favourites.size() + setup.others.size());
}

QString foundLine(qsizetype count) {
    return QStringLiteral("Found %1 image file%2 to ingest")
        .arg(count)
        .arg(count == 1 ? QString() : QStringLiteral("s"));
}

std::vector<AssetPtr> concatenated(const RunSetup& setup) {
    std::vector<AssetPtr> items = setup.favourites;
    items.insert(items.end(), setup.others.begin(), setup.others.end());
    return items;
}

// The whole file, or nothing when it cannot be read or is not a picture at all: an empty or
// foreign file must never take an original's place.
std::optional<QByteArray> readExportedFile(const QString& path) {
    // A pipe or device under a picture's name would block the run or never end.
    if (!QFileInfo(path).isFile())
        return std::nullopt;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError || data.isEmpty())
        return std::nullopt;
    const imaging::ImageFormat format = imaging::sniffImageFormat(data.left(imaging::kSniffLength));
    if (format != imaging::ImageFormat::Jpeg && format != imaging::ImageFormat::Heif)
        return std::nullopt;
    return data;
}

// The type the file's extension names; HEIC when it names none.
uti::UTType exportedTypeOf(const QString& fileName) {
    const auto type = uti::UTType::fromFilenameExtension(QFileInfo(fileName).suffix());
    return type && type->conformsTo(uti::UTType::data()) ? *type : uti::UTType::heic();
}

qint64 storedBytes(const AssetPtr& asset) {
    qint64 sum = 0;
    for (const ResourcePtr& r : asset->resources)
        sum += r->fileSize.value_or(0);
    return sum;
}

} // namespace

std::optional<IngestPlan> LibraryModel::planIngest(const QString& folder) {
    if (m_isRunning)
        return std::nullopt;
    if (const std::optional<QString> message = m_backup->checkAccess()) {
        setInfoMessage(*message);
        setShowInfoAlert(true);
        return std::nullopt;
    }
    RunSetup setup{assetsInAlbumTitled(favAlbumTitle()), assetsInAlbumTitled(nonfavAlbumTitle()),
                   QDir::cleanPath(QFileInfo(folder).absoluteFilePath())};
    if (setup.favourites.empty() && setup.others.empty()) {
        setInfoMessage(
            QStringLiteral("Both export albums are empty or missing — create them first."));
        setShowInfoAlert(true);
        return std::nullopt;
    }

    IngestPlan plan;
    plan.folder = setup.folderPath;
    const QStringList files = listExportedFiles(folder);
    plan.startLines << startLine(setup.folderPath) << membersLine(setup) << foundLine(files.size());
    const QStringList replacedEarlier = identifiersOf(assetsInAlbumTitled(markerAlbumTitle()));
    IngestMatcher matcher(albumMembers(concatenated(setup)),
                          QSet<QString>(replacedEarlier.begin(), replacedEarlier.end()));
    for (const QString& path : files) {
        IngestPlan::Entry entry;
        entry.path = path;
        entry.fileName = QFileInfo(path).fileName();
        const MatchDecision decision = matcher.match(readSignature(path), entry.fileName);
        entry.message = decision.message;
        entry.asset = decision.asset;
        switch (decision.kind) {
        case MatchDecision::Kind::matched:
            entry.outcome = IngestPlan::Entry::Outcome::matched;
            entry.fileBytes = QFileInfo(path).size();
            entry.originalBytes = storedBytes(decision.asset);
            break;
        case MatchDecision::Kind::unmatched:
            entry.outcome = IngestPlan::Entry::Outcome::unmatched;
            break;
        case MatchDecision::Kind::ambiguous:
            entry.outcome = IngestPlan::Entry::Outcome::ambiguous;
            break;
        }
        plan.entries.push_back(std::move(entry));
    }
    return plan;
}

void LibraryModel::requestIngestStop() {
    if (m_isRunning)
        m_stopRequested = true;
}

QCoro::Task<> LibraryModel::ingest(QString folder) {
    // None of the checks suspends, so two runs cannot both pass the first one.
    if (m_isRunning)
        co_return;
    if (const std::optional<QString> message = m_backup->checkAccess()) {
        setInfoMessage(*message);
        setShowInfoAlert(true);
        co_return;
    }
    const RunSetup setup{assetsInAlbumTitled(favAlbumTitle()),
                         assetsInAlbumTitled(nonfavAlbumTitle()),
                         QDir::cleanPath(QFileInfo(folder).absoluteFilePath())};
    if (setup.favourites.empty() && setup.others.empty()) {
        setInfoMessage(
            QStringLiteral("Both export albums are empty or missing — create them first."));
        setShowInfoAlert(true);
        co_return;
    }

    m_stopRequested = false;
    setIsRunning(true);
    QPointer<LibraryModel> self(this);
    IngestLogger logger;
    logger.setLineObserver([self](const QString& line) {
        if (self)
            emit self->ingestLineLogged(line);
    });
    logger.log(startLine(setup.folderPath));
    logger.log(membersLine(setup));
    std::vector<AlbumMember> members = albumMembers(concatenated(setup));
    const QStringList files = listExportedFiles(folder);
    logger.log(foundLine(files.size()));

    CollectionPtr markerAlbum;
    try {
        auto finding = findOrCreateAlbum(markerAlbumTitle());
        markerAlbum = co_await finding;
    } catch (const std::exception& error) {
        if (!self)
            co_return;
        setIsRunning(false);
        setInfoMessage(QStringLiteral("Failed to create marker album: ") +
                       localizedDescription(error));
        setShowInfoAlert(true);
        co_return;
    }
    if (!self)
        co_return;
    // Originals an interrupted run replaced but did not delete are in the marker album
    // and may still be in an export album: they must not be replaced a second time.
    QStringList replacedEarlier;
    try {
        replacedEarlier =
            identifiersOf(PhotoLibrary::shared()->fetchAssetsInAssetCollection(markerAlbum));
    } catch (const std::exception&) {
    }
    IngestMatcher matcher(std::move(members),
                          QSet<QString>(replacedEarlier.begin(), replacedEarlier.end()));
    setRunTotal(int(files.size()));
    setRunIndex(0);

    IngestReport report;
    std::vector<AssetPtr> replacedOriginals;
    for (const QString& path : files) {
        const QString name = QFileInfo(path).fileName();
        setRunIndex(m_runIndex + 1);
        setCurrentLabel(name);
        const MatchDecision decision = matcher.match(readSignature(path), name);
        logger.log(decision.message);
        if (decision.kind == MatchDecision::Kind::unmatched) {
            report.unmatched << name;
            continue;
        }
        if (decision.kind == MatchDecision::Kind::ambiguous) {
            report.ambiguous << name;
            continue;
        }
        ++report.matched;
        const std::optional<QByteArray> data = readExportedFile(path);
        if (!data) {
            ++report.failed;
            logger.log(QStringLiteral("  FAILED ") + name + QStringLiteral(": ") +
                       ReplacementError(ReplacementError::Case::resourcesNotFound).description());
            continue;
        }
        try {
            auto replacing =
                replaceOriginal(decision.asset, *data, exportedTypeOf(name), markerAlbum, logger);
            co_await replacing;
            ++report.replaced;
            replacedOriginals.push_back(decision.asset);
        } catch (const std::exception& error) {
            ++report.failed;
            logger.log(QStringLiteral("  FAILED ") + name + QStringLiteral(": ") +
                       localizedDescription(error));
        }
        if (!self)
            co_return; // replaced originals wait in the marker album for the next start
        if (m_stopRequested)
            break;
    }

    const bool stopped = m_stopRequested;
    if (stopped)
        logger.log(QStringLiteral("Ingest stopped by the user after %1 of %2 files; the "
                                  "replaced originals wait in %3 for the next start")
                       .arg(m_runIndex)
                       .arg(files.size())
                       .arg(markerAlbumTitle()));
    // A stopped run asks no question: its originals are offered for deletion at the next start.
    if (!replacedOriginals.empty() && !stopped) {
        try {
            auto deleting = deleteAssets(replacedOriginals);
            co_await deleting;
        } catch (const std::exception&) {
            // Refused or failed: the originals wait in the marker album.
        }
        if (!self)
            co_return;
        const QStringList exportAlbumTitles{favAlbumTitle(), nonfavAlbumTitle()};
        for (const QString& title : exportAlbumTitles) {
            const CollectionPtr exportAlbum = album(title);
            if (!exportAlbum)
                continue;
            try {
                PhotoLibrary::ChangeBody removal = [replacedOriginals,
                                                    exportAlbum](ChangeRequests& changes) {
                    removeAssets(changes, replacedOriginals, exportAlbum);
                };
                auto removing = performChanges(std::move(removal));
                co_await removing;
            } catch (const std::exception&) {
            }
            if (!self)
                co_return;
        }
        const QStringList deleted = identifiersOf(replacedOriginals);
        const QSet<QString> deletedIDs(deleted.begin(), deleted.end());
        std::vector<PhotoPair> remaining;
        for (const PhotoPair& pair : m_pairs)
            if (!deletedIDs.contains(pair.id))
                remaining.push_back(pair);
        setPairs(std::move(remaining));
        setSelectedIDs(QSet<QString>(m_selectedIDs).subtract(deletedIDs));
    }

    logger.log(QStringLiteral("Ingest done: matched=%1 replaced=%2 failed=%3 unmatched=%4 "
                              "ambiguous=%5")
                   .arg(report.matched)
                   .arg(report.replaced)
                   .arg(report.failed)
                   .arg(report.unmatched.size())
                   .arg(report.ambiguous.size()));
    auto writing = logger.write(m_backup);
    report.logPath = co_await writing;
    if (!self)
        co_return;
    setIsRunning(false);
    setIngestReport(report);
    setShowIngestReport(true);
}

} // namespace twinslim
