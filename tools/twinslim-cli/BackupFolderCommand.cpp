#include "BackupFolderCommand.h"

#include "Arguments.h"
#include "CommandFailure.h"
#include "Session.h"
#include "Terminal.h"
#include "backup/BackupFolder.h"

#include <QDir>
#include <QFileInfo>

namespace twinslimcli {

using twinslim::BackupFolder;

int backupFolderCommand(Arguments& arguments, Session& session) {
    const QStringList operands = arguments.operands(0, 1, {});
    QTextStream& out = session.terminal().out();
    // Only the program's preferences are involved: no library, no access grant.
    BackupFolder folder(BackupFolder::bookmarkKey());
    if (operands.isEmpty()) {
        if (!folder.url())
            throw CommandFailure{QStringLiteral("No backup folder is selected. Choose one with "
                                                "“twinslim-cli backup-folder PATH”.")};
        out << *folder.url() << "\n";
    } else {
        const QString path = QDir::cleanPath(QFileInfo(operands.front()).absoluteFilePath());
        if (!QFileInfo(path).isDir())
            throw CommandFailure{QStringLiteral("“%1” is not a folder.").arg(path)};
        BackupFolder candidate(QStringLiteral("backupFolderCandidate"));
        candidate.setUrl(path);
        if (const std::optional<QString> problem =
                candidate.placementProblem(session.libraryPath()))
            throw CommandFailure{*problem};
        folder.saveBookmark(path);
        // A failed save only reaches the system log; what counts is what the window will read.
        if (BackupFolder(BackupFolder::bookmarkKey()).url() != path)
            throw CommandFailure{
                QStringLiteral("The backup folder could not be remembered: the preferences "
                               "could not be written.")};
        folder.setUrl(path);
        out << "Backup folder: " << path << "\n";
    }
    if (const std::optional<QString> problem = folder.checkAccess())
        throw CommandFailure{*problem};
    return 0;
}

} // namespace twinslimcli
