#pragma once

#include "core/DateRange.h"
#include "core/FavFilter.h"

namespace twinslimcli {

class Arguments;
class Session;

// What a scan covers and shows: --range last30|last90|year|all, --show
// all|favorites|non-favorites.
struct ScanChoice {
    twinslim::DateRange range = twinslim::DateRange::last30Days;
    twinslim::FavFilter show = twinslim::FavFilter::all;
};
ScanChoice takeScanChoice(Arguments& arguments);

// Scans the library with the model; throws CommandFailure when it cannot be read.
void runScan(Session& session, const ScanChoice& choice);

// scan [--range R] [--show S] [--json]
int scanCommand(Arguments& arguments, Session& session);

} // namespace twinslimcli
