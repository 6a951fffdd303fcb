#include "platform/photos/ExportFolderCheck.h"

#include "platform/photos/PhotoLibrary.h"

#include <QFileInfo>

namespace photos {

std::optional<QString> exportFolderProblem(const PhotoLibrary& library, const QString& folder) {
    const QString tree = library.pictureTree();
    if (tree.isEmpty() || folder.isEmpty())
        return std::nullopt;
    // Links resolved, so another way to the same folder is no way around the check.
    const QString inner = QFileInfo(folder).canonicalFilePath();
    const QString outer = QFileInfo(tree).canonicalFilePath();
    if (inner.isEmpty() || outer.isEmpty())
        return std::nullopt;
    if (inner != outer &&
        !inner.startsWith(outer.endsWith(QLatin1Char('/')) ? outer : outer + QLatin1Char('/')))
        return std::nullopt;
    return QStringLiteral("The folder of exported files is inside the photo library:\n%1\n\n"
                          "Every file below “%2” is a picture of the library, so the exported "
                          "files would become duplicates of their replacements. Export to a "
                          "folder outside the library, then ingest from there.")
        .arg(folder, tree);
}

} // namespace photos
