#include "CleanupCommand.h"

#include "Arguments.h"
#include "CommandFailure.h"
#include "Session.h"
#include "Terminal.h"
#include "backup/BackupRecords.h"
#include "backup/MarkerAlbum.h"
#include "core/DeletionNote.h"
#include "core/LibraryModel.h"
#include "core/RunTask.h"
#include "library/PhotoLibraryOperations.h"
#include "platform/photos/PhotoLibrary.h"

namespace twinslimcli {

namespace {

QString originals(qint64 n) {
    return QStringLiteral("%1 original%2").arg(n).arg(n == 1 ? "" : "s");
}

} // namespace

int cleanupCommand(Arguments& arguments, Session& session) {
    arguments.operands(0, 0, {});
    twinslim::LibraryModel& model = session.model();
    model.refreshPendingRecovery();
    const int pending = model.pendingRecoveryCount();
    const auto skipped = qint64(model.pendingWithoutBackup().size());
    QTextStream& out = session.terminal().out();
    if (skipped > 0)
        out << twinslim::withoutBackupNotice(model.pendingWithoutBackup()) << "\n";
    if (pending == 0) {
        out << "Nothing to clean up: no replaced originals are waiting to be deleted.\n";
        // Items left alone need the user's eye; a script must not take that for a success.
        return skipped > 0 ? 1 : 0;
    }
    // Said before the question: what is not backed up goes with the rest.
    const std::shared_ptr<photos::PhotoLibrary> library = photos::PhotoLibrary::shared();
    session.terminal().err() << twinslim::DeletionNote::text(*library,
                                                             model.pendingRawWithoutBackup())
                             << "\n";
    if (!session.terminal().confirm(twinslim::recoveryOffer(pending), session.assumeYes()))
        throw CommandFailure{QStringLiteral("Nothing was deleted; the originals stay in the "
                                            "album “%1”.")
                                 .arg(twinslim::markerAlbumTitle())};
    // The question above was the confirmation; the library need not ask it again.
    session.agreeToDeletion(pending);
    twinslim::runTask(model.deletePendingOriginals());
    const auto left = qint64(twinslim::assetsInAlbumTitled(twinslim::markerAlbumTitle()).size());
    const qint64 deleted = std::max<qint64>(0, pending + skipped - left);
    if (deleted == 0)
        throw CommandFailure{
            QStringLiteral("Nothing was deleted: the library change was refused or failed.")};
    const bool one = deleted == 1;
    out << "Deleted " << originals(deleted) << (one ? ". It is in " : ". They are in ")
        << (!library->trashName().isEmpty()
                ? QStringLiteral("%1; space frees once it is emptied.\n").arg(library->trashName())
                : QStringLiteral("Recently Deleted; space frees once it empties.\n"));
    return skipped > 0 ? 1 : 0;
}

} // namespace twinslimcli
