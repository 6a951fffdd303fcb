#include "IngestCommand.h"

#include "Arguments.h"
#include "CommandFailure.h"
#include "Session.h"
#include "Terminal.h"
#include "backup/MarkerAlbum.h"
#include "core/ByteCountFormat.h"
#include "core/LibraryModel.h"
#include "core/RunTask.h"
#include "library/PhotoLibraryOperations.h"

#include <QDir>
#include <QFileInfo>

namespace twinslimcli {

using twinslim::IngestPlan;
using twinslim::LibraryModel;

namespace {

QString items(qint64 n) {
    return QStringLiteral("%1 item%2").arg(n).arg(n == 1 ? "" : "s");
}

// A model message that kept the operation from starting.
CommandFailure stopped(const LibraryModel& model) {
    return CommandFailure{model.infoMessage().value_or(QStringLiteral("The ingest did not run."))};
}

int dryRun(Session& session, const QString& folder) {
    LibraryModel& model = session.model();
    model.setShowInfoAlert(false);
    const std::optional<IngestPlan> plan = model.planIngest(folder);
    if (!plan)
        throw stopped(model);
    QTextStream& out = session.terminal().out();
    for (const QString& line : plan->startLines)
        out << line << "\n";
    for (const IngestPlan::Entry& entry : plan->entries)
        out << entry.message << "\n";
    using Outcome = IngestPlan::Entry::Outcome;
    const qint64 reclaimed = plan->reclaimedBytes();
    const qint64 earlier = plan->count(Outcome::alreadyReplaced);
    const qint64 badNames = plan->count(Outcome::badName);
    out << "Dry run: would replace " << items(plan->count(Outcome::matched)) << " ("
        << plan->count(Outcome::unmatched) << " unmatched, " << plan->count(Outcome::ambiguous)
        << " ambiguous"
        << (earlier ? QStringLiteral(", %1 already replaced").arg(earlier) : QString())
        << (badNames ? QStringLiteral(", %1 not valid UTF-8").arg(badNames) : QString()) << "), "
        << (reclaimed >= 0 ? QStringLiteral("reclaiming ") + twinslim::formatByteCount(reclaimed)
                           : QStringLiteral("adding ") + twinslim::formatByteCount(-reclaimed) +
                                 QStringLiteral(" to the library"))
        << ". Nothing was changed.\n";
    return 0;
}

int run(Session& session, const QString& folder) {
    LibraryModel& model = session.model();
    QTextStream& out = session.terminal().out();
    QObject::connect(&model, &LibraryModel::ingestLineLogged, &model, [&out](const QString& line) {
        out << line << "\n";
        out.flush();
    });
    model.setShowInfoAlert(false);
    model.setShowIngestReport(false);
    twinslim::runTask(model.ingest(folder));
    if (!model.showIngestReport() || !model.ingestReport())
        throw stopped(model);
    const twinslim::IngestReport& report = *model.ingestReport();
    out << report.summaryMessage() << "\n";
    const auto waiting = qint64(twinslim::assetsInAlbumTitled(twinslim::markerAlbumTitle()).size());
    if (waiting > 0)
        out << items(waiting) << " replaced but not deleted " << (waiting == 1 ? "waits" : "wait")
            << " in the album “" << twinslim::markerAlbumTitle()
            << "”; “twinslim-cli cleanup” deletes them.\n";
    // A script must not take a run that left work undone for a success.
    return report.failed > 0 || report.notDeleted > 0 ? 1 : 0;
}

} // namespace

int ingestCommand(Arguments& arguments, Session& session) {
    const bool dry = arguments.takeFlag(QStringLiteral("--dry-run"));
    const QStringList operands =
        arguments.operands(1, 1, QStringLiteral("ingest needs the folder of exported files"));
    const QString folder = QDir::cleanPath(QFileInfo(operands.front()).absoluteFilePath());
    if (!QFileInfo(folder).isDir())
        throw CommandFailure{QStringLiteral("“%1” is not a folder.").arg(folder)};
    return dry ? dryRun(session, folder) : run(session, folder);
}

} // namespace twinslimcli
