#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace twinslim {

// Tally of one ingest run, shown to the user when the run ends.
struct IngestReport {
    qint64 matched = 0;  // exported files matched to an album member
    qint64 replaced = 0; // matched files whose replacement succeeded
    qint64 failed = 0;   // matched files that could not be read or replaced
    // Each failed file's name and the reason it failed ("NAME: reason"), in processing order.
    QStringList failures;
    QStringList unmatched; // file names without a candidate asset, in processing order
    QStringList ambiguous; // file names skipped for several candidates, in processing order
    std::optional<QString> logPath;
    // File names whose original an earlier run replaced already, in processing order.
    QStringList alreadyReplaced;
    // File names that are not valid UTF-8, shown with their odd bytes escaped.
    QStringList badNames;
    // Originals replaced by this run but not deleted by it (deletion refused or failed, or
    // the run stopped first): they wait in the marker album.
    qint64 notDeleted = 0;
    // Deleted originals went to the desktop's trash (a folder or darktable library), not to
    // the library's own Recently Deleted.
    QString trashName; // where the originals went, when not Recently Deleted

    QString summaryMessage() const;

    bool operator==(const IngestReport&) const = default;
};

} // namespace twinslim
