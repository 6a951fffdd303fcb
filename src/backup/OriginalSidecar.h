#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

namespace twinslim {

// The record written beside an original's backup files: which item was replaced by which,
// when the photo was taken, and the names of the originals and their backups.
struct OriginalSidecar {
    QString oldAssetID;
    std::optional<QString> newAssetID; // always written by the program; "" without a placeholder
    std::optional<QDateTime> captureDate;
    bool favorite = false;
    QString originalJPEGFilename;
    std::optional<QString> originalRAWFilename;
    QString backupJPEGFile; // "" when no JPEG backup was made
    std::optional<QString> backupRAWFile;
    QString outputFormat;
    QStringList
        backupSidecarFiles; // the backups of its sidecars and edit files; left out when none

    // One pretty-printed JSON object: keys sorted, one per line, absent optionals left
    // out, the date in UTC with whole seconds and "Z", forward slashes escaped as "\/".
    QByteArray encoded() const;

    bool operator==(const OriginalSidecar&) const = default;
};

} // namespace twinslim
