#include "TwinslimCli.h"

#include "AlbumsCommand.h"
#include "Arguments.h"
#include "BackupFolderCommand.h"
#include "BuildInfo.h"
#include "CleanupCommand.h"
#include "CommandFailure.h"
#include "CompleteCommand.h"
#include "IngestCommand.h"
#include "RestoreCommand.h"
#include "ScanCommand.h"
#include "Session.h"
#include "Terminal.h"
#include "UsageError.h"
#include "library/ReplacementError.h"
#include "platform/photos/PhotoLibraryError.h"

#include <QIODevice>
#include <QMap>

namespace twinslimcli {

namespace {

const char* usageText = R"(usage: twinslim-cli [--library PATH] [--yes] COMMAND [ARGS]

Slims RAW+JPEG pairs in the photo library: back up the originals, then replace each pair
by the HEIC or JPEG exported from the export albums.

  scan [--range R] [--show S] [--json]
                        the RAW+JPEG pairs, largest RAW first
  backup-folder [PATH]  show or set the folder that receives the backups
  albums [--range R] [--show S] (--all | --first N | --ids ID...)
                        put the chosen pairs into the export albums
                        "Twinslim Favs" and "Twinslim NonFavs"
  ingest [--dry-run] DIR
                        replace the export albums' pairs by the files exported to DIR;
                        --dry-run shows what would be replaced and changes nothing
  cleanup               delete originals an earlier ingest replaced but did not delete
  restore --list [--json]
                        the replaced pairs whose originals can come back, and from where
  restore [--dry-run] (ID... | --since DATE | --log INGEST_LOG | --all)
                        put the originals of the chosen pairs back (IDs of the replacement
                        or of the original; pairs replaced since DATE; those an ingest log
                        names), with the replacement's favourite flag and albums, then
                        delete their replacements in one change
  help                  show this help

  R is last30 (the default), last90, year (a year back to 30 days ago) or all;
  S is all (the default), favorites or non-favorites.

  --library PATH        use this photo library instead of the system library
  --yes                 answer yes to every question: full library access for
                        "twinslim", deleting the replaced originals or replacements
  -h, --help            show this help and exit
  --version             show the version and exit

Exit status: 0 done, 1 stopped (the reason is on standard error), 2 wrong command line.
)";

using Command = int (*)(Arguments&, Session&);

} // namespace

int run(const QStringList& args, Terminal& terminal) {
    QTextStream& err = terminal.err();
    try {
        Arguments arguments(args);
        if (arguments.takeFlag(QStringLiteral("--help")) ||
            arguments.takeFlag(QStringLiteral("-h"))) {
            terminal.out() << usageText;
            return 0;
        }
        if (arguments.takeFlag(QStringLiteral("--version"))) {
            terminal.out() << "twinslim-cli " << buildinfo::shortVersion << "\n";
            return 0;
        }
        const std::optional<QString> library = arguments.takeOption(QStringLiteral("--library"));
        const bool yes = arguments.takeFlag(QStringLiteral("--yes"));
        if (arguments.isEmpty())
            throw UsageError{QStringLiteral("a command is needed")};
        static const QMap<QString, Command> commands = {
            {QStringLiteral("scan"), &scanCommand},
            {QStringLiteral("backup-folder"), &backupFolderCommand},
            {QStringLiteral("albums"), &albumsCommand},
            {QStringLiteral("ingest"), &ingestCommand},
            {QStringLiteral("cleanup"), &cleanupCommand},
            {QStringLiteral("restore"), &restoreCommand},
        };
        const QString name = arguments.takeFirst();
        if (name == QLatin1String("help")) {
            terminal.out() << usageText;
            return 0;
        }
        if (name == QLatin1String("__complete")) {
            // For the shell's completion: nothing is asked and no message reaches the
            // terminal, whatever the library's state.
            QString discarded;
            QTextStream quietErr(&discarded);
            QTextStream noInput(&discarded, QIODevice::ReadOnly);
            Terminal quiet(terminal.out(), quietErr, noInput, false);
            Session session(quiet, library, false);
            return completeCommand(arguments, session);
        }
        const Command command = commands.value(name);
        if (!command)
            throw UsageError{QStringLiteral("unknown command “%1”").arg(name)};
        Session session(terminal, library, yes);
        return command(arguments, session);
    } catch (const UsageError& e) {
        err << "twinslim-cli: " << e.message << " (see “twinslim-cli --help”)\n";
        return 2;
    } catch (const CommandFailure& e) {
        err << "twinslim-cli: " << e.message << "\n";
        return 1;
    } catch (const std::exception& e) {
        err << "twinslim-cli: " << twinslim::localizedDescription(e) << "\n";
        return 1;
    }
}

} // namespace twinslimcli
