#include "ingest/IngestPlan.h"

#include <algorithm>

namespace twinslim {

qint64 IngestPlan::count(Entry::Outcome outcome) const {
    return std::count_if(entries.begin(), entries.end(),
                         [outcome](const Entry& e) { return e.outcome == outcome; });
}

qint64 IngestPlan::reclaimedBytes() const {
    qint64 bytes = 0;
    for (const Entry& e : entries)
        if (e.outcome == Entry::Outcome::matched)
            bytes += e.originalBytes - e.fileBytes;
    return bytes;
}

} // namespace twinslim
