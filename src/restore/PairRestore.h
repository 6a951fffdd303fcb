#pragma once

#include "restore/RestorablePairs.h"

#include <QCoro/QCoroTask>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>
#include <vector>

namespace twinslim {

class BackupFolder;
class IngestLogger;

struct RestoreReport {
    int restored = 0; // pairs whose originals are back and whose replacement is gone
    int failed = 0;   // pairs left as they were, each with its reason in `failures`
    // Pairs whose originals are back but whose replacement stays, because its deletion was
    // declined or failed: a later restore of them finishes the work.
    int replacementsKept = 0;
    QStringList failures;
    std::optional<QString> logPath;

    // One line for the user: what was restored, what was not.
    QString summary() const;
};

struct RestoreOptions {
    bool dryRun = false;
    // Called on the calling thread after each pair's originals are dealt with.
    std::function<void(int done, int total)> progress;
};

// Puts the chosen pairs' originals back into the shared library, one pair at a time: from the
// library's trash where it still holds them, else from the backup folder after each file was
// checked against its record. Each restored item takes the replacement's favourite flag and
// albums as they are now. Then all their replacements are deleted in one change (asked to
// confirm like any deletion), and each restored pair's record notes when it was restored.
// A pair that fails is logged and left as it was; the others go on. The log is written into
// the backup folder's log folder. A dry run only logs what it would do.
QCoro::Task<RestoreReport> restorePairs(std::vector<RestorablePair> pairs,
                                        QPointer<BackupFolder> backupFolder, IngestLogger& logger,
                                        RestoreOptions options = {});

} // namespace twinslim
