#include "platform/photos/FileKind.h"

#include "platform/types/UTType.h"

#include <QFileInfo>

namespace photos {

FileKind fileKindOf(const QString& name, QString* uti) {
    const QString suffix = QFileInfo(name).suffix();
    for (const char* edits : {"pp3", "arp", "dop"})
        if (suffix.compare(QLatin1String(edits), Qt::CaseInsensitive) == 0)
            return FileKind::EditFile;
    auto type = uti::UTType::fromFilenameExtension(suffix);
    if (!type)
        return FileKind::Other;
    if (uti)
        *uti = type->identifier();
    if (type->conformsTo(uti::UTType::rawImage()))
        return FileKind::Raw;
    if (type->conformsTo(uti::UTType::jpeg()) || uti::conformsToHeif(type->identifier()))
        return FileKind::Picture;
    const QString ext = suffix.toLower();
    if (ext == QLatin1String("xmp") || ext == QLatin1String("aae"))
        return FileKind::Sidecar;
    return FileKind::Other;
}

} // namespace photos
