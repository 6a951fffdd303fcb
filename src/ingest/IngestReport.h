#pragma once

#include <QString>
#include <QStringList>
#include <optional>

namespace twinslim {

// Tally of one ingest run, shown to the user when the run ends.
struct IngestReport {
    qint64 matched = 0;    // exported files matched to an album member
    qint64 replaced = 0;   // matched files whose replacement succeeded
    qint64 failed = 0;     // matched files that could not be read or replaced
    QStringList unmatched; // file names without a candidate asset, in processing order
    QStringList ambiguous; // file names skipped for several candidates, in processing order
    std::optional<QString> logPath;

    QString summaryMessage() const;

    bool operator==(const IngestReport&) const = default;
};

} // namespace twinslim
