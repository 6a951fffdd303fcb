#include "ingest/ExportCommands.h"

#include "core/LibraryModel.h"
#include "platform/photos/PhotoLibrary.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

namespace twinslim {
namespace {

const QString exportFolderName = QStringLiteral("Twinslim Export");

// Whether `folder`, whose parent exists, lies in the tree of `tree`; links resolved, so another
// way to the same folder counts too.
bool isWithin(const QString& folder, const QString& tree) {
    if (tree.isEmpty())
        return false;
    const QFileInfo info(folder);
    QString parent = QFileInfo(info.absolutePath()).canonicalFilePath();
    if (parent.isEmpty())
        parent = info.absolutePath();
    const QString inner = QDir::cleanPath(parent + QLatin1Char('/') + info.fileName());
    QString outer = QFileInfo(tree).canonicalFilePath();
    if (outer.isEmpty())
        outer = QDir::cleanPath(tree);
    return inner == outer ||
           inner.startsWith(outer.endsWith(QLatin1Char('/')) ? outer : outer + QLatin1Char('/'));
}

} // namespace

QString suggestedExportFolder(const photos::PhotoLibrary& library) {
    const QString home = QDir(QDir::homePath()).filePath(exportFolderName);
    if (!isWithin(home, library.pictureTree()))
        return home;
    return QDir(QDir::tempPath()).filePath(exportFolderName);
}

QString shellQuoted(const QString& word) {
    static const QRegularExpression bare(QStringLiteral("^[A-Za-z0-9_@%+=:,./-]+$"));
    if (bare.match(word).hasMatch())
        return word;
    static const QRegularExpression expanded(QStringLiteral("[$`\"\\\\!]"));
    if (!word.contains(expanded))
        return QLatin1Char('"') + word + QLatin1Char('"');
    return QLatin1Char('\'') + QString(word).replace(QStringLiteral("'"), QStringLiteral("'\\''")) +
           QLatin1Char('\'');
}

QStringList photolibExportCommands(const photos::PhotoLibrary& library, const QString& folder,
                                   bool favorites, bool others, const QString& separator) {
    const QString start = QStringLiteral("photolib --library ") + shellQuoted(library.path()) +
                          separator + QStringLiteral("export --album ");
    const QString end = separator + shellQuoted(folder);
    const QString format =
        library.holdsHeic() ? QStringLiteral(" --format heic") : QStringLiteral(" --format jpeg");
    QStringList commands;
    if (favorites)
        commands << start + shellQuoted(LibraryModel::favAlbumTitle()) + format + end;
    if (others)
        commands << start + shellQuoted(LibraryModel::nonfavAlbumTitle()) + format +
                        QStringLiteral(" --max-size %1").arg(nonFavoriteExportSize) + end;
    return commands;
}

} // namespace twinslim
