#pragma once

#include "platform/photos/PhotoTypes.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <optional>

namespace twinslim {

// Snapshot of one library asset that holds both a RAW and a JPEG resource, as the
// scan read it. Made once by the scan and never changed afterwards.
struct PhotoPair {
    photos::AssetPtr asset;
    QString id; // the asset's localIdentifier
    std::optional<QDateTime> creationDate;
    bool isFavorite = false;
    bool isEdited = false;
    QStringList albumNames; // user albums holding the asset, in enumeration order
    QString rawUTI;
    QString jpegUTI;
    QString rawFilename;
    QString jpegFilename;
    std::optional<qint64> rawBytes;
    std::optional<qint64> jpegBytes;

    // Undated pairs sort as the oldest.
    QDateTime sortDate() const;
    qint64 rawSize() const { return rawBytes.value_or(0); }
    qint64 jpegSize() const { return jpegBytes.value_or(0); }
    QString albumsText() const;
    // 2 for a favourite plus 1 for an edited asset.
    int flagsRank() const { return (isFavorite ? 2 : 0) + (isEdited ? 1 : 0); }
    // An original an ingest run replaced already: it waits in the marker album for its
    // deletion, and its space is reclaimed by the clean-up, not by replacing it again.
    bool awaitsDeletion() const;

    bool operator==(const PhotoPair&) const = default;
};

// The earliest representable timestamp.
QDateTime distantPast();

} // namespace twinslim
