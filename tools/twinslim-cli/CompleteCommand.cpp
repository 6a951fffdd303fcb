#include "CompleteCommand.h"

#include "Arguments.h"
#include "ScanCommand.h"
#include "Session.h"
#include "Terminal.h"
#include "UsageError.h"
#include "backup/BackupFolder.h"
#include "core/AccessGateText.h"
#include "core/LibraryModel.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/photos/PhotoLibraryAccess.h"
#include "restore/RestorablePairs.h"

#include <QDir>
#include <QFileInfo>

namespace twinslimcli {

namespace {

// A Tab press must never stop at a consent prompt nor make the default library: it only
// looks where access was granted before.
bool mayLook(const Session& session) {
    const QString path = QDir::cleanPath(QFileInfo(session.libraryPath()).absoluteFilePath());
    if (!QFileInfo::exists(path))
        return false;
    return photos::PhotoLibraryAccess::authorizationStatus(photos::AccessLevel::ReadWrite,
                                                           twinslim::accessClientName(), path) ==
           photos::AuthorizationStatus::Authorized;
}

} // namespace

int completeCommand(Arguments& arguments, Session& session) {
    const QString kind = arguments.isEmpty() ? QString() : arguments.takeFirst();
    if (kind == QLatin1String("pairs")) {
        const ScanChoice choice = takeScanChoice(arguments);
        arguments.operands(0, 0, {});
        if (!mayLook(session))
            return 1;
        runScan(session, choice);
        QTextStream& out = session.terminal().out();
        for (const twinslim::PhotoPair& pair : session.model().visiblePairs())
            out << pair.id << "\n";
        return 0;
    }
    if (kind == QLatin1String("replaced")) {
        arguments.operands(0, 0, {});
        if (!mayLook(session))
            return 1;
        twinslim::BackupFolder* backup = session.model().backup();
        if (!backup || !backup->url() || backup->checkAccess())
            return 1;
        const twinslim::RestoreListing listing =
            twinslim::findRestorablePairs(*photos::PhotoLibrary::shared(), *backup->url());
        QTextStream& out = session.terminal().out();
        for (const twinslim::RestorablePair& pair : listing.pairs)
            if (pair.canRestore() && pair.record.newAssetID)
                out << *pair.record.newAssetID << "\n";
        return 0;
    }
    throw UsageError{QStringLiteral("__complete needs pairs or replaced")};
}

} // namespace twinslimcli
