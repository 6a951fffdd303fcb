#include "ingest/IngestReport.h"

namespace twinslim {
namespace {

// The first five names, then an ellipsis when there were more.
QString listed(const QStringList& names) {
    constexpr int shown = 5;
    QString text = names.mid(0, shown).join(QStringLiteral(", "));
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
        sentences << QStringLiteral("%1 failed.").arg(failed);
    if (!unmatched.isEmpty())
        sentences << QString::number(unmatched.size()) +
                         QStringLiteral(" unmatched (no asset in export album): ") +
                         listed(unmatched) + QStringLiteral(".");
    if (!ambiguous.isEmpty())
        sentences << QString::number(ambiguous.size()) + QStringLiteral(" ambiguous (skipped): ") +
                         listed(ambiguous) + QStringLiteral(".");
    if (replaced >= 1)
        sentences << QStringLiteral(
            "Originals are in Recently Deleted; space frees once it empties.");
    if (logPath)
        sentences << QStringLiteral("Log: ") + *logPath;
    return sentences.join(QLatin1Char(' '));
}

} // namespace twinslim
