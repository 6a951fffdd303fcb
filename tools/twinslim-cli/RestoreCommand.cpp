#include "RestoreCommand.h"

#include "Arguments.h"
#include "CommandFailure.h"
#include "Session.h"
#include "Terminal.h"
#include "UsageError.h"
#include "backup/BackupFolder.h"
#include "core/LibraryModel.h"
#include "core/RunTask.h"
#include "ingest/IngestLogger.h"
#include "platform/photos/PhotoLibrary.h"
#include "restore/PairRestore.h"
#include "restore/RestorablePairs.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

namespace twinslimcli {

using twinslim::RestorablePair;
using twinslim::RestoreListing;
using twinslim::RestoreSource;

namespace {

QString pairs(qint64 n) {
    return QStringLiteral("%1 pair%2").arg(n).arg(n == 1 ? "" : "s");
}

QString shownDate(const std::optional<QDateTime>& date) {
    return date ? date->toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                : QStringLiteral("no date");
}

QString sourceKey(RestoreSource source) {
    switch (source) {
    case RestoreSource::trash:
        return QStringLiteral("trash");
    case RestoreSource::library:
        return QStringLiteral("library");
    case RestoreSource::backup:
        break;
    }
    return QStringLiteral("backup");
}

QJsonObject jsonOf(const RestorablePair& pair, const photos::PhotoLibrary& library) {
    QJsonObject o;
    o[QStringLiteral("originalID")] = pair.record.oldAssetID;
    o[QStringLiteral("replacementID")] = pair.record.newAssetID.value_or(QString());
    o[QStringLiteral("captureDate")] =
        pair.record.captureDate ? QJsonValue(pair.record.captureDate->toUTC().toString(Qt::ISODate))
                                : QJsonValue();
    o[QStringLiteral("replacedAt")] = pair.replacedAt.toUTC().toString(Qt::ISODate);
    o[QStringLiteral("originalNames")] =
        QJsonArray::fromStringList(pair.originalNames().split(QStringLiteral(" + ")));
    o[QStringLiteral("favorite")] = pair.replacement->isFavorite;
    o[QStringLiteral("source")] = sourceKey(pair.source);
    o[QStringLiteral("from")] = pair.sourceText(library);
    o[QStringLiteral("jpegOnly")] = pair.jpegOnly();
    o[QStringLiteral("canRestore")] = pair.canRestore();
    if (!pair.notice().isEmpty())
        o[QStringLiteral("notice")] = pair.notice();
    o[QStringLiteral("record")] = pair.recordPath;
    return o;
}

int list(Session& session, const RestoreListing& listing, bool json) {
    const std::shared_ptr<photos::PhotoLibrary> library = photos::PhotoLibrary::shared();
    QTextStream& out = session.terminal().out();
    if (json) {
        QJsonArray array;
        for (const RestorablePair& pair : listing.pairs)
            array.append(jsonOf(pair, *library));
        QJsonObject o;
        o[QStringLiteral("pairs")] = array;
        o[QStringLiteral("alreadyRestored")] = listing.alreadyRestored;
        out << QJsonDocument(o).toJson(QJsonDocument::Indented);
        return 0;
    }
    for (const RestorablePair& pair : listing.pairs) {
        out << shownDate(pair.record.captureDate) << "  " << pair.originalNames() << "  "
            << (pair.replacement->isFavorite ? "★ " : "") << pair.sourceText(*library)
            << "  (replaced by " << pair.record.newAssetID.value_or(QString()) << ")\n";
        if (!pair.notice().isEmpty())
            out << "    " << pair.notice() << "\n";
    }
    const auto ready = std::count_if(listing.pairs.begin(), listing.pairs.end(),
                                     [](const RestorablePair& p) { return p.canRestore(); });
    out << (listing.pairs.empty() ? QStringLiteral("No replaced pairs to restore")
                                  : QStringLiteral("%1 can be restored").arg(pairs(ready)));
    if (listing.alreadyRestored > 0)
        out << " (" << pairs(listing.alreadyRestored) << " restored before)";
    out << ".\n";
    return 0;
}

QDateTime parsedSince(const QString& text) {
    QDateTime since = QDateTime::fromString(text, Qt::ISODate);
    if (!since.isValid()) {
        const QDate day = QDate::fromString(text, Qt::ISODate);
        if (day.isValid())
            since = day.startOfDay();
    }
    if (!since.isValid())
        throw UsageError{
            QStringLiteral("--since needs a date such as 2026-12-01 or 2026-12-01T18:30, not “%1”")
                .arg(text)};
    return since;
}

} // namespace

int restoreCommand(Arguments& arguments, Session& session) {
    const bool listOnly = arguments.takeFlag(QStringLiteral("--list"));
    const bool json = arguments.takeFlag(QStringLiteral("--json"));
    const bool dry = arguments.takeFlag(QStringLiteral("--dry-run"));
    const bool all = arguments.takeFlag(QStringLiteral("--all"));
    const std::optional<QString> since = arguments.takeOption(QStringLiteral("--since"));
    const std::optional<QString> logFile = arguments.takeOption(QStringLiteral("--log"));
    const QStringList ids = arguments.operands(0, INT_MAX, {});
    if (json && !listOnly)
        throw UsageError{QStringLiteral("--json goes with --list")};
    const int ways =
        int(all) + int(since.has_value()) + int(logFile.has_value()) + int(!ids.isEmpty());
    if (!listOnly && ways != 1)
        throw UsageError{QStringLiteral(
            "restore needs one of: identifiers, --since DATE, --log INGEST_LOG or --all")};
    if (listOnly && ways != 0)
        throw UsageError{QStringLiteral("--list shows every pair; it takes no choice")};
    const QDateTime sinceMoment = since ? parsedSince(*since) : QDateTime();

    twinslim::LibraryModel& model = session.model();
    twinslim::BackupFolder* backup = model.backup();
    if (!backup || !backup->url())
        throw CommandFailure{QStringLiteral("No backup folder is selected. Choose one with "
                                            "“twinslim-cli backup-folder PATH”.")};
    if (const std::optional<QString> problem = backup->checkAccess())
        throw CommandFailure{*problem};
    const std::shared_ptr<photos::PhotoLibrary> library = photos::PhotoLibrary::shared();
    const RestoreListing listing = twinslim::findRestorablePairs(*library, *backup->url());
    if (listOnly)
        return list(session, listing, json);

    std::vector<RestorablePair> chosen;
    QStringList unknown;
    if (all) {
        chosen = listing.pairs;
    } else if (since) {
        chosen = twinslim::pairsReplacedSince(listing, sinceMoment.toUTC());
    } else {
        QStringList named = ids;
        if (logFile) {
            QFile file(*logFile);
            if (!file.open(QIODevice::ReadOnly))
                throw CommandFailure{QStringLiteral("“%1” cannot be read.").arg(*logFile)};
            named = twinslim::replacementsInLog(QString::fromUtf8(file.readAll()));
            if (named.isEmpty())
                throw CommandFailure{
                    QStringLiteral("“%1” names no replacement: is it an ingest log?")
                        .arg(*logFile)};
        }
        chosen = twinslim::pairsNamed(listing, named, &unknown);
    }
    QTextStream& out = session.terminal().out();
    QTextStream& err = session.terminal().err();
    // Identifiers of pairs restored before are said so; any other unknown one stops the run.
    QStringList strangers;
    for (const QString& id : std::as_const(unknown)) {
        const auto before =
            std::find_if(listing.restoredRecords.begin(), listing.restoredRecords.end(),
                         [&](const auto& r) { return r.oldAssetID == id || r.newAssetID == id; });
        if (before != listing.restoredRecords.end())
            out << "“" << id << "” was restored on "
                << before->restoredAt->toLocalTime().toString(QStringLiteral("yyyy-MM-dd HH:mm"))
                << "; nothing to do.\n";
        else if (!logFile)
            strangers << id;
    }
    if (!strangers.isEmpty())
        throw CommandFailure{
            QStringLiteral("No replaced pair with the identifier %1 can be restored; "
                           "“twinslim-cli restore --list” shows those that can.")
                .arg(QStringLiteral("“") + strangers.join(QStringLiteral("”, “")) +
                     QStringLiteral("”"))};
    if (chosen.empty()) {
        out << "Nothing to restore";
        if (listing.alreadyRestored > 0 && (all || since))
            out << ": " << pairs(listing.alreadyRestored) << " restored before";
        out << ".\n";
        return 0;
    }

    twinslim::IngestLogger logger;
    logger.setLineObserver([&out](const QString& line) {
        out << line << "\n";
        out.flush();
    });
    if (!dry) {
        const auto ready = qint64(std::count_if(chosen.begin(), chosen.end(),
                                                [](const auto& p) { return p.canRestore(); }));
        err << "Each restored pair's replacement is deleted afterwards, in one change: "
            << pairs(ready) << ".\n";
    }
    const twinslim::RestoreReport report =
        twinslim::runTask(twinslim::restorePairs(chosen, backup, logger, {dry, {}}));
    if (dry) {
        out << "Dry run: would restore " << pairs(qint64(chosen.size()) - report.failed)
            << (report.failed ? QStringLiteral(" (%1 cannot be)").arg(report.failed) : QString())
            << ". Nothing was changed.\n";
        return report.failed > 0 ? 1 : 0;
    }
    if (report.logPath)
        out << "Log: " << *report.logPath << "\n";
    return report.failed > 0 || report.replacementsKept > 0 ? 1 : 0;
}

} // namespace twinslimcli
