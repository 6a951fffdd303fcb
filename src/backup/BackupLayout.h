#pragma once

#include "platform/photos/PhotoTypes.h"

#include <QDateTime>
#include <QString>
#include <optional>

// Where an original's backup files go: backup root / month / FAVS|NONFAVS / safeID.ext.
namespace twinslim {

// "yyyy-MM" of the capture date in the machine's time zone; "unknown-date" without one.
QString monthFolderName(const std::optional<QDateTime>& captureDate);
// "FAVS" or "NONFAVS".
QString statusFolderName(bool favorite);
// The identifier with every "/" made "_", so it can name files.
QString safeID(const QString& localIdentifier);
// The text after the last dot of the name's last path component, as spelled; empty when
// there is none (a leading dot alone does not start an extension).
QString pathExtension(const QString& fileName);
// The name without that extension and its dot.
QString deletingPathExtension(const QString& fileName);
// `base` + "." + the extension of the resource's original file name, or `base` alone
// when that name has no extension.
QString backupFileName(const photos::AssetResource& resource, const QString& base);

} // namespace twinslim
