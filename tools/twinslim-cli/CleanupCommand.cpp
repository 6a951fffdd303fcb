#include "CleanupCommand.h"

#include "Arguments.h"
#include "CommandFailure.h"
#include "Session.h"
#include "Terminal.h"
#include "backup/MarkerAlbum.h"
#include "core/LibraryModel.h"
#include "core/RunTask.h"
#include "library/PhotoLibraryOperations.h"

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
    QTextStream& out = session.terminal().out();
    if (pending == 0) {
        out << "Nothing to clean up: no replaced originals are waiting to be deleted.\n";
        return 0;
    }
    const QString offer =
        originals(pending) + QStringLiteral(" from a previous run were replaced but not deleted. "
                                            "Delete them now to reclaim the space?");
    if (!session.terminal().confirm(offer, session.assumeYes()))
        throw CommandFailure{QStringLiteral("Nothing was deleted; the originals stay in the "
                                            "album “%1”.")
                                 .arg(twinslim::markerAlbumTitle())};
    // The question above was the confirmation; the library need not ask it again.
    session.agreeToDeletion(pending);
    twinslim::runTask(model.deletePendingOriginals());
    const auto left = qint64(twinslim::assetsInAlbumTitled(twinslim::markerAlbumTitle()).size());
    const qint64 deleted = std::max<qint64>(0, pending - left);
    if (deleted == 0)
        throw CommandFailure{
            QStringLiteral("Nothing was deleted: the library change was refused or failed.")};
    out << "Deleted " << originals(deleted)
        << ". They are in Recently Deleted; space frees once it empties.\n";
    return 0;
}

} // namespace twinslimcli
