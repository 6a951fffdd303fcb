#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <map>
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
    // Each backup file's size in bytes, by its name, as it was verified on disk; left out
    // when none (records written before sizes were kept).
    std::map<QString, qint64> backupFileSizes;
    // The JPEG backup was rendered from a RAW-only original, which had no JPEG of its own.
    bool renderedJPEG = false;
    // When the pair's originals were put back into the library and its replacement removed.
    std::optional<QDateTime> restoredAt;

    // One pretty-printed JSON object: keys sorted, one per line, absent optionals left
    // out, the date in UTC with whole seconds and "Z", forward slashes escaped as "\/".
    QByteArray encoded() const;
    // The record in `json`; nothing when it is no record (not an object, no oldAssetID).
    // Keys it does not know are ignored.
    static std::optional<OriginalSidecar> decoded(const QByteArray& json);

    bool operator==(const OriginalSidecar&) const = default;
};

} // namespace twinslim
