#pragma once

#include "platform/photos/PhotoTypes.h"

#include <QString>
#include <QStringList>
#include <vector>

namespace twinslim {

// What an ingest run would do with the files of one folder, worked out without changing
// anything (a dry run).
struct IngestPlan {
    struct Entry {
        enum class Outcome { matched, unmatched, ambiguous, alreadyReplaced, badName };
        QString fileName; // last path component
        QString path;
        Outcome outcome = Outcome::unmatched;
        QString message;          // the run's log line for this file, without time stamp
        photos::AssetPtr asset;   // the matched original; none otherwise
        qint64 fileBytes = 0;     // size of the exported file
        qint64 originalBytes = 0; // every stored resource of the matched original
    };
    QString folder;
    QStringList
        startLines; // the run's start lines ("Ingest start: …", "Album members: …", "Found …")
    std::vector<Entry> entries; // in processing order

    qint64 count(Entry::Outcome outcome) const;
    // Library bytes freed by deleting the matched originals less those their replacements
    // add; can be negative.
    qint64 reclaimedBytes() const;
};

} // namespace twinslim
