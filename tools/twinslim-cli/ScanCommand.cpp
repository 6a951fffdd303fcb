#include "ScanCommand.h"

#include "Arguments.h"
#include "CommandFailure.h"
#include "PairListing.h"
#include "Session.h"
#include "Terminal.h"
#include "core/LibraryModel.h"
#include "core/RunTask.h"

#include <QMap>

namespace twinslimcli {

using twinslim::DateRange;
using twinslim::FavFilter;

ScanChoice takeScanChoice(Arguments& arguments) {
    static const QMap<QString, DateRange> ranges = {
        {QStringLiteral("last30"), DateRange::last30Days},
        {QStringLiteral("last90"), DateRange::last90Days},
        {QStringLiteral("year"), DateRange::oneYearToMonth},
        {QStringLiteral("all"), DateRange::all},
    };
    static const QMap<QString, FavFilter> filters = {
        {QStringLiteral("all"), FavFilter::all},
        {QStringLiteral("favorites"), FavFilter::favorites},
        {QStringLiteral("non-favorites"), FavFilter::nonFavorites},
    };
    ScanChoice choice;
    if (auto range = arguments.takeChoice(QStringLiteral("--range"),
                                          {QStringLiteral("last30"), QStringLiteral("last90"),
                                           QStringLiteral("year"), QStringLiteral("all")}))
        choice.range = ranges.value(*range);
    if (auto show = arguments.takeChoice(
            QStringLiteral("--show"),
            {QStringLiteral("all"), QStringLiteral("favorites"), QStringLiteral("non-favorites")}))
        choice.show = filters.value(*show);
    return choice;
}

void runScan(Session& session, const ScanChoice& choice) {
    twinslim::LibraryModel& model = session.model();
    model.setDateRange(choice.range);
    model.setFavFilter(choice.show);
    twinslim::runTask(model.scan());
    if (!model.hasScanned())
        throw CommandFailure{QStringLiteral("The photo library could not be read.")};
}

int scanCommand(Arguments& arguments, Session& session) {
    const ScanChoice choice = takeScanChoice(arguments);
    const bool json = arguments.takeFlag(QStringLiteral("--json"));
    arguments.operands(0, 0, {});
    runScan(session, choice);
    const twinslim::LibraryModel& model = session.model();
    QTextStream& out = session.terminal().out();
    if (json) {
        out << pairJson(model.visiblePairs());
        return 0;
    }
    if (model.pairs().empty())
        out << "No RAW+JPEG pairs found.\n";
    else
        out << pairTable(model.visiblePairs());
    out << scanStatus(qsizetype(model.pairs().size()), model.totalRawBytes()) << "\n";
    return 0;
}

} // namespace twinslimcli
