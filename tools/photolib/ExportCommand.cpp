#include "ExportCommand.h"

#include "AlbumExporter.h"
#include "TerminalProgress.h"
#include "UsageError.h"
#include "platform/photos/ExportFolderCheck.h"

#include <QDir>
#include <unistd.h>

namespace photolib {

int exportCommand(const ExportArguments& arguments,
                  const std::function<std::shared_ptr<photos::PhotoLibrary>()>& library,
                  const std::function<photos::CollectionPtr(const QString&)>& albumTitled,
                  QTextStream& out, QTextStream& err) {
    if (arguments.folders.size() != 1)
        throw UsageError{QStringLiteral("export takes one folder")};
    if (arguments.album.isEmpty())
        throw UsageError{QStringLiteral("export needs --album TITLE")};
    ExportOptions options;
    if (arguments.format == QLatin1String("heic"))
        options.format = ExportFormat::Heic;
    else if (arguments.format == QLatin1String("jpeg"))
        options.format = ExportFormat::Jpeg;
    else
        throw UsageError{QStringLiteral("export needs --format heic or --format jpeg")};
    if (!arguments.maxSize.isEmpty()) {
        bool ok = false;
        options.maxSize = arguments.maxSize.toInt(&ok);
        if (!ok || options.maxSize < 1)
            throw UsageError{QStringLiteral("--max-size must be a whole number of pixels")};
    }
    if (!arguments.quality.isEmpty()) {
        bool ok = false;
        options.quality = arguments.quality.toDouble(&ok);
        if (!ok || !(options.quality >= 0 && options.quality <= 1))
            throw UsageError{QStringLiteral("--quality must be between 0 and 1")};
    }

    // The album first: a mistyped title must not leave a new empty folder behind.
    const auto lib = library();
    const auto assets = lib->fetchAssetsInAssetCollection(albumTitled(arguments.album));
    const QString folder = prepareExportFolder(arguments.folders.front());
    // Said, not refused: exporting is no change to the library, ingesting from there would be.
    if (const std::optional<QString> problem = photos::exportFolderProblem(*lib, folder))
        err << "photolib: warning: " << *problem << "\n";
    const bool terminal = isatty(STDERR_FILENO);
    const ExportSummary s = exportAssets(lib, assets, folder, options,
                                         terminalProgress(err, QStringLiteral("Exporting")),
                                         [&](const ExportFailure& f) {
                                             if (terminal)
                                                 err << "\r";
                                             err << "photolib: cannot export “" << f.name << "” ("
                                                 << f.assetIdentifier << "): " << f.reason << "\n";
                                             err.flush();
                                         });
    const int total = int(assets.size());
    const int written = int(s.written.size());
    out << "Exported " << (written == total ? QString() : QStringLiteral("%1 of ").arg(written))
        << total << " item" << (total == 1 ? "" : "s") << " as " << formatName(options.format)
        << " to " << QDir::toNativeSeparators(folder);
    if (!s.failures.empty())
        out << "; " << s.failures.size() << " failed";
    out << ".\n";
    return s.failures.empty() ? 0 : 1;
}

} // namespace photolib
