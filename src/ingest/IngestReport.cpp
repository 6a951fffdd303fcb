#include "ingest/IngestReport.h"

#include "backup/MarkerAlbum.h"

namespace twinslim {
namespace {

// The first five names, then an ellipsis when there were more.
QString listed(const QStringList& names, const QString& separator = QStringLiteral(", ")) {
    constexpr int shown = 5;
    QString text = names.mid(0, shown).join(separator);
    if (names.size() > shown)
        text += QStringLiteral("…");
    return text;
}

} // namespace

QString IngestReport::summaryMessage() const {
    QStringList sentences;
    sentences << QStringLiteral("Replaced %1 of %2 matched file%3.")
                     .arg(replaced)
                     .arg(matched)
                     .arg(matched == 1 ? QString() : QStringLiteral("s"));
    if (failed >= 1)
        sentences << (failures.isEmpty()
                          ? QStringLiteral("%1 failed.").arg(failed)
                          : QStringLiteral("%1 failed: ").arg(failed) +
                                listed(failures, QStringLiteral("; ")) + QStringLiteral("."));
    if (!unmatched.isEmpty())
        sentences << QString::number(unmatched.size()) +
                         QStringLiteral(" unmatched (no photo of the export albums matches it): ") +
                         listed(unmatched) + QStringLiteral(".");
    if (!ambiguous.isEmpty())
        sentences << QString::number(ambiguous.size()) + QStringLiteral(" ambiguous (skipped): ") +
                         listed(ambiguous) + QStringLiteral(".");
    if (!alreadyReplaced.isEmpty())
        sentences << QString::number(alreadyReplaced.size()) +
                         QStringLiteral(" already replaced by an earlier run (skipped): ") +
                         listed(alreadyReplaced) + QStringLiteral(".");
    if (!badNames.isEmpty())
        sentences << QString::number(badNames.size()) +
                         QStringLiteral(" with a file name that is not valid UTF-8 (skipped): ") +
                         listed(badNames) + QStringLiteral(".");
    // Only true of originals that were deleted.
    if (replaced - notDeleted >= 1)
        sentences << (!trashName.isEmpty()
                          ? QStringLiteral("Originals are in %1; space frees once it is "
                                           "emptied.")
                                .arg(trashName)
                          : QStringLiteral(
                                "Originals are in Recently Deleted; space frees once it empties."));
    if (notDeleted >= 1)
        sentences << QStringLiteral("%1 replaced original%2 not deleted; %3 in “%4” until "
                                    "the clean-up.")
                         .arg(notDeleted)
                         .arg(notDeleted == 1 ? QStringLiteral(" was") : QStringLiteral("s were"))
                         .arg(notDeleted == 1 ? QStringLiteral("it waits")
                                              : QStringLiteral("they wait"))
                         .arg(markerAlbumTitle());
    if (logPath)
        sentences << QStringLiteral("Log: ") + *logPath;
    return sentences.join(QLatin1Char(' '));
}

} // namespace twinslim
