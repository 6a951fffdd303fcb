#pragma once

#include "backup/OriginalSidecar.h"
#include "platform/photos/PhotoTypes.h"

#include <QDateTime>
#include <QString>
#include <QStringList>
#include <vector>

namespace photos {
class PhotoLibrary;
}

namespace twinslim {

// Where a replaced pair's originals come back from.
enum class RestoreSource {
    trash,   // the library's own trash still holds the original item: it is put back as it was
    backup,  // the backup folder's copies make a new item
    library, // the original is in the library already (an earlier restore was cut short)
};

// A replaced pair the backup folder records, whose replacement is still in the library.
struct RestorablePair {
    QString recordPath; // the record (JSON) beside the backups
    OriginalSidecar record;
    QDateTime replacedAt; // when the record was last written: the end of the replacement
    photos::AssetPtr replacement;
    RestoreSource source = RestoreSource::backup;
    // Why the pair cannot be restored (a backup missing, damaged, or a name taken); empty when
    // it can.
    QString problem;

    bool canRestore() const { return problem.isEmpty(); }
    // From the backups, of an original whose RAW was not backed up (a non-favourite's):
    // it comes back as its JPEG alone.
    bool jpegOnly() const;
    // The original's file names, the RAW first: "IMG_0412.CR3 + IMG_0412.JPG".
    QString originalNames() const;
    // Where the originals will come from, as a sentence ends: "from the Trash", "from the
    // backup folder".
    QString sourceText(const photos::PhotoLibrary& library) const;
    // What will be missing or why nothing can be done; empty when the originals come back whole.
    QString notice() const;
};

struct RestoreListing {
    std::vector<RestorablePair> pairs;            // by capture date, oldest first
    int alreadyRestored = 0;                      // records of pairs restored before
    std::vector<OriginalSidecar> restoredRecords; // those records
    QStringList unreadable;                       // records that could not be read
};

// Reads the records below the backup folder `backupRoot` and keeps the pairs whose
// replacement is in `library` now, each with where its originals would come from.
RestoreListing findRestorablePairs(const photos::PhotoLibrary& library, const QString& backupRoot);

// Why the pair's backups cannot make its originals again beside `replacement`: a file missing,
// damaged or unlike its record, or a name taken; empty when they can.
QString problemWithBackups(const photos::PhotoLibrary& library, const RestorablePair& pair,
                           const photos::AssetPtr& replacement);

// The pairs named by the identifier of their replacement or of their original; the
// identifiers that name none go to `unknown`.
std::vector<RestorablePair> pairsNamed(const RestoreListing& listing, const QStringList& ids,
                                       QStringList* unknown);
// The pairs replaced at or after `since`.
std::vector<RestorablePair> pairsReplacedSince(const RestoreListing& listing,
                                               const QDateTime& since);
// The identifiers of the items an ingest log says were made as replacements.
QStringList replacementsInLog(const QString& logText);

} // namespace twinslim
