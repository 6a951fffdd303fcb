#include "backup/BackupFolder.h"
#include "backup/MarkerAlbum.h"
#include "core/DeletionNote.h"
#include "core/LibraryModel.h"
#include "ingest/ExportedFile.h"
#include "ingest/FileSignature.h"
#include "ingest/IngestLogger.h"
#include "ingest/IngestMatcher.h"
#include "library/PhotoLibraryOperations.h"
#include "library/ReplacementError.h"
#include "platform/photos/ExportFolderCheck.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/WorkLock.h"

#include <QDir>
#include <QFileInfo>
#include <QPointer>
#include <utility>

namespace twinslim {

using namespace photos;

namespace {

// What every run works out before it touches anything.
struct RunSetup {
    std::vector<AssetPtr> favourites;
    std::vector<AssetPtr> others;
    QString folderPath;
    QString libraryPath;
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

// A failed file in the report: its name, then why, on one line.
QString failure(const QString& shownName, QString reason) {
    reason = reason.simplified();
    if (reason.endsWith(QLatin1Char('.')))
        reason.chop(1);
    return shownName + QStringLiteral(": ") + reason;
}

QString badNameLine(const QString& shownName) {
    return QStringLiteral("SKIPPED ") + shownName +
           QStringLiteral(": the file name is not valid UTF-8; rename the file to ingest it");
}

std::vector<AssetPtr> concatenated(const RunSetup& setup) {
    std::vector<AssetPtr> items = setup.favourites;
    items.insert(items.end(), setup.others.begin(), setup.others.end());
    return items;
}

// The type the file's extension names; HEIC when it names none.
uti::UTType exportedTypeOf(const QString& fileName) {
    const auto type = uti::UTType::fromFilenameExtension(QFileInfo(fileName).suffix());
    return type && type->conformsTo(uti::UTType::data()) ? *type : uti::UTType::heic();
}

// Why the library's program could not show the exported file, if it could not.
std::optional<photos::PhotoLibraryError> refusalOf(const QString& fileName) {
    if (const auto library = PhotoLibrary::shared();
        library && !library->holdsHeic() &&
        exportedTypeOf(fileName).conformsTo(uti::UTType::heic()))
        return photos::PhotoLibraryError(
            photos::PhotoLibraryError::Code::InvalidResource,
            QStringLiteral("Shotwell cannot show HEIC pictures: export that album as JPEG, then "
                           "ingest it again."));
    return std::nullopt;
}

qint64 storedBytes(const AssetPtr& asset) {
    qint64 sum = 0;
    for (const ResourcePtr& r : asset->resources)
        sum += r->fileSize.value_or(0);
    return sum;
}

QString currentLibraryPath() {
    const std::shared_ptr<PhotoLibrary> library = PhotoLibrary::shared();
    return library ? library->path() : QString();
}

// The checks both a run and a dry run make before anything else, none of which suspends;
// the setup, or nothing with the reason put into the model's information alert.
std::optional<RunSetup> prepare(LibraryModel& model, const QString& folder) {
    const auto refuse = [&model](const QString& message) {
        model.setInfoMessage(message);
        model.setShowInfoAlert(true);
        return std::nullopt;
    };
    if (const std::optional<QString> message = model.backup()->checkAccess())
        return refuse(*message);
    RunSetup setup{assetsInAlbumTitled(LibraryModel::favAlbumTitle()),
                   assetsInAlbumTitled(LibraryModel::nonfavAlbumTitle()),
                   QDir::cleanPath(QFileInfo(folder).absoluteFilePath()), currentLibraryPath()};
    if (const std::optional<QString> message =
            model.backup()->placementProblem(setup.libraryPath, setup.folderPath))
        return refuse(*message);
    if (const std::shared_ptr<PhotoLibrary> library = PhotoLibrary::shared())
        if (const std::optional<QString> message = exportFolderProblem(*library, setup.folderPath))
            return refuse(*message);
    if (setup.favourites.empty() && setup.others.empty())
        return refuse(
            QStringLiteral("Both export albums are empty or missing — create them first."));
    return setup;
}

} // namespace

std::optional<IngestPlan> LibraryModel::planIngest(const QString& folder) {
    if (m_isRunning)
        return std::nullopt;
    const std::optional<RunSetup> setup = prepare(*this, folder);
    if (!setup)
        return std::nullopt;

    IngestPlan plan;
    plan.folder = setup->folderPath;
    const QStringList files = listExportedFiles(folder);
    plan.startLines << startLine(setup->folderPath) << membersLine(*setup)
                    << foundLine(files.size());
    for (const QString& shown : listUndecodableExportNames(folder)) {
        IngestPlan::Entry entry;
        entry.fileName = shown;
        entry.outcome = IngestPlan::Entry::Outcome::badName;
        entry.message = badNameLine(shown);
        plan.entries.push_back(std::move(entry));
    }
    IngestMatcher matcher(albumMembers(concatenated(*setup)),
                          assetsInAlbumTitled(markerAlbumTitle()));
    for (const QString& path : files) {
        IngestPlan::Entry entry;
        entry.path = path;
        entry.fileName = QFileInfo(path).fileName();
        const MatchDecision decision = matcher.match(readSignature(path), entry.fileName);
        entry.message = escapedControlCharacters(decision.message);
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
        case MatchDecision::Kind::alreadyReplaced:
            entry.outcome = IngestPlan::Entry::Outcome::alreadyReplaced;
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

void LibraryModel::setRunHeld(bool held) {
    m_runHeld = held;
    if (held || !m_runWaiting)
        return;
    const CallbackAwaitable<void>::Resolver resume = *std::exchange(m_runWaiting, std::nullopt);
    resume.resolve();
    emit runWaitingChanged();
}

QCoro::Task<> LibraryModel::waitWhileHeld() {
    // A model that goes away while the run waits drops the resolver: the run then ends with
    // CallbackDropped, without touching the model again.
    while (m_runHeld) {
        co_await CallbackAwaitable<void>([this](CallbackAwaitable<void>::Resolver resolver) {
            m_runWaiting = std::move(resolver);
            emit runWaitingChanged();
        });
    }
}

QCoro::Task<> LibraryModel::ingest(QString folder) {
    // None of the checks suspends, so two runs of this model cannot both pass the first one.
    if (m_isRunning)
        co_return;
    const std::optional<RunSetup> prepared = prepare(*this, folder);
    if (!prepared)
        co_return;
    const RunSetup setup = *prepared;
    // One run per library, whichever program starts it: two would replace the same
    // originals twice.
    WorkLock::Held held;
    std::unique_ptr<WorkLock> runLock;
    try {
        runLock = WorkLock::tryAcquire(setup.libraryPath, QStringLiteral("ingest"), &held);
    } catch (const std::exception& error) {
        setInfoMessage(QStringLiteral("Could not make sure that no other ingest runs on this photo "
                                      "library: ") +
                       localizedDescription(error));
        setShowInfoAlert(true);
        co_return;
    }
    if (!runLock) {
        setInfoMessage(
            QStringLiteral("Another ingest is running on this photo library%1. Wait until it has "
                           "finished, then try again.")
                .arg(held.holderPid ? QStringLiteral(" (process %1)").arg(*held.holderPid)
                                    : QString()));
        setShowInfoAlert(true);
        co_return;
    }
    try {
        m_backup->pinForRun();
    } catch (const std::exception& error) {
        setInfoMessage(localizedDescription(error));
        setShowInfoAlert(true);
        co_return;
    }

    m_stopRequested = false;
    setIsRunning(true);
    QPointer<LibraryModel> self(this);
    QPointer<BackupFolder> backup(m_backup);
    IngestLogger logger;
    logger.setLineObserver([self](const QString& line) {
        if (self)
            emit self->ingestLineLogged(line);
    });
    IngestReport report;
    if (const std::shared_ptr<PhotoLibrary> library = PhotoLibrary::shared())
        report.trashName = library->trashName();
    // Whatever escapes the per-file handling ends up here, so the run never stays "running".
    std::optional<QString> brokenOff;
    try {
        logger.log(startLine(setup.folderPath));
        logger.log(membersLine(setup));
        std::vector<AlbumMember> members = albumMembers(concatenated(setup));
        const QStringList files = listExportedFiles(folder);
        logger.log(foundLine(files.size()));
        for (const QString& shown : listUndecodableExportNames(folder)) {
            logger.log(badNameLine(shown));
            report.badNames << shown;
        }

        CollectionPtr markerAlbum;
        try {
            auto finding = findOrCreateAlbum(markerAlbumTitle());
            markerAlbum = co_await finding;
        } catch (const std::exception& error) {
            if (!self)
                co_return;
            if (backup)
                backup->unpin();
            setIsRunning(false);
            setInfoMessage(QStringLiteral("Could not create the album “%1”, where replaced "
                                          "originals wait until they are deleted: ")
                               .arg(markerAlbumTitle()) +
                           localizedDescription(error));
            setShowInfoAlert(true);
            co_return;
        }
        if (!self)
            co_return;
        // Originals an earlier run replaced but did not delete stay candidates, so that their
        // own files find them instead of another item of the same name.
        std::vector<AssetPtr> replacedEarlier;
        try {
            replacedEarlier = PhotoLibrary::shared()->fetchAssetsInAssetCollection(markerAlbum);
        } catch (const std::exception&) {
        }
        IngestMatcher matcher(std::move(members), replacedEarlier);
        setRunTotal(int(files.size()));
        setRunIndex(0);

        std::vector<AssetPtr> replacedOriginals;
        std::optional<QString> stopReason;
        // The next matched file, started while the one in hand is replaced: its export is read
        // and checked (work for the processor) and its originals copied for backup (work for
        // the disk) while this one's backups are named and the library changes. Matching
        // ahead decides the same, since a decision never depends on an earlier file's outcome.
        struct Ahead {
            qsizetype index = -1;
            MatchDecision decision;
            std::optional<StartedExportRead> read;
            std::optional<QCoro::Task<std::shared_ptr<BackupCopies>>> copies;
        };
        std::optional<Ahead> ahead;
        const auto startAhead = [&](qsizetype next) {
            Ahead started;
            started.index = next;
            const QString nextName = QFileInfo(files[next]).fileName();
            started.decision = matcher.match(readSignature(files[next]), nextName);
            if (started.decision.kind == MatchDecision::Kind::matched) {
                started.read.emplace(files[next]);
                if (!refusalOf(nextName))
                    started.copies.emplace(copyForBackup(started.decision.asset));
            }
            ahead.emplace(std::move(started));
        };
        for (qsizetype index = 0; index < files.size(); ++index) {
            const QString& path = files[index];
            std::optional<Ahead> thisFile;
            if (ahead && ahead->index == index)
                thisFile = std::move(ahead);
            ahead.reset();
            const QString name = QFileInfo(path).fileName();
            const QString shownName = escapedControlCharacters(name);
            setRunIndex(m_runIndex + 1);
            setCurrentLabel(name);
            const MatchDecision decision =
                thisFile ? thisFile->decision : matcher.match(readSignature(path), name);
            logger.log(decision.message);
            if (decision.kind == MatchDecision::Kind::unmatched) {
                report.unmatched << shownName;
                continue;
            }
            if (decision.kind == MatchDecision::Kind::ambiguous) {
                report.ambiguous << shownName;
                continue;
            }
            if (decision.kind == MatchDecision::Kind::alreadyReplaced) {
                report.alreadyReplaced << shownName;
                continue;
            }
            ++report.matched;
            bool backupGone = false;
            try {
                // A picture the library's program cannot show fails before anything is
                // backed up or changed.
                if (std::optional<photos::PhotoLibraryError> refused = refusalOf(name))
                    throw *refused;
                auto reading =
                    thisFile && thisFile->read ? thisFile->read->result() : readExportedFile(path);
                const QByteArray data = co_await reading;
                if (index + 1 < files.size())
                    startAhead(index + 1);
                std::shared_ptr<BackupCopies> copies;
                if (thisFile && thisFile->copies) {
                    auto taken = std::move(*thisFile->copies);
                    thisFile->copies.reset();
                    copies = co_await taken;
                } else {
                    auto copying = copyForBackup(decision.asset);
                    copies = co_await copying;
                }
                auto replacing = replaceOriginal(std::move(copies), data, exportedTypeOf(name),
                                                 markerAlbum, logger);
                co_await replacing;
                ++report.replaced;
                replacedOriginals.push_back(decision.asset);
            } catch (const std::exception& error) {
                ++report.failed;
                QString reason = localizedDescription(error);
                backupGone = dynamic_cast<const BackupFolderGone*>(&error) != nullptr;
                // A folder that goes away while a copy is being written shows first as that
                // copy's failure: the folder is the cause the user needs to hear of.
                if (!backupGone && backup) {
                    try {
                        backup->makeSubfolder(QString());
                    } catch (const BackupFolderGone& gone) {
                        backupGone = true;
                        reason = localizedDescription(gone);
                    } catch (const std::exception&) {
                    }
                }
                logger.log(QStringLiteral("  FAILED ") + name + QStringLiteral(": ") + reason);
                report.failures << failure(shownName, reason);
            }
            // Copies made ahead for a file that failed before it needed them are removed now,
            // not left to a process that may end first.
            if (thisFile && thisFile->copies) {
                try {
                    co_await *thisFile->copies;
                } catch (const std::exception&) {
                }
            }
            if (!self)
                co_return; // replaced originals wait in the marker album for the next start
            if (backupGone || !backup) {
                stopReason = QStringLiteral("the backup folder is gone or was replaced");
                break;
            }
            // A hold comes only while the run yields, in the item in hand: it waits here, before
            // the next file and before the deletion.
            auto holding = waitWhileHeld();
            co_await holding;
            if (!self)
                co_return;
            if (m_stopRequested) {
                stopReason = QStringLiteral("stopped by the user");
                break;
            }
        }
        // Copies made ahead for a file the run did not get to are removed before it ends.
        if (ahead && ahead->copies) {
            try {
                co_await *ahead->copies;
            } catch (const std::exception&) {
            }
            if (!self)
                co_return;
        }
        ahead.reset();

        if (stopReason) {
            // Only originals this run replaced wait in the marker album.
            logger.log(replacedOriginals.empty()
                           ? QStringLiteral("Ingest stopped after %1 of %2 files (%3); no original "
                                            "was replaced")
                                 .arg(m_runIndex)
                                 .arg(files.size())
                                 .arg(*stopReason)
                           : QStringLiteral("Ingest stopped after %1 of %2 files (%3); the "
                                            "replaced originals wait in “%4” for the next start")
                                 .arg(m_runIndex)
                                 .arg(files.size())
                                 .arg(*stopReason, markerAlbumTitle()));
            report.notDeleted = qint64(replacedOriginals.size());
        } else if (!replacedOriginals.empty()) {
            try {
                int rawWithoutBackup = 0;
                for (const AssetPtr& original : replacedOriginals)
                    if (!original->isFavorite && rawResource(original))
                        ++rawWithoutBackup;
                const DeletionNote note(rawWithoutBackup);
                auto deleting = deleteAssets(replacedOriginals);
                co_await deleting;
            } catch (const std::exception&) {
                // Refused or failed: the originals wait in the marker album.
                report.notDeleted = qint64(replacedOriginals.size());
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
        }
        // Replaced items are no pairs any more, deleted or waiting.
        const QStringList replacedIDs = identifiersOf(replacedOriginals);
        forgetPairs(QSet<QString>(replacedIDs.begin(), replacedIDs.end()));

        logger.log(QStringLiteral("Ingest done: matched=%1 replaced=%2 failed=%3 unmatched=%4 "
                                  "ambiguous=%5")
                       .arg(report.matched)
                       .arg(report.replaced)
                       .arg(report.failed)
                       .arg(report.unmatched.size())
                       .arg(report.ambiguous.size()));
        auto writing = logger.write(backup);
        report.logPath = co_await writing;
    } catch (const std::exception& error) {
        brokenOff = localizedDescription(error);
    } catch (...) {
        brokenOff = QStringLiteral("An unexpected error.");
    }
    if (!self)
        co_return;
    if (backup)
        backup->unpin();
    setIsRunning(false);
    if (brokenOff) {
        logger.log(QStringLiteral("Ingest broken off: ") + *brokenOff);
        setInfoMessage(QStringLiteral("The ingest stopped: ") + *brokenOff);
        setShowInfoAlert(true);
        co_return;
    }
    setIngestReport(report);
    setShowIngestReport(true);
}

} // namespace twinslim
