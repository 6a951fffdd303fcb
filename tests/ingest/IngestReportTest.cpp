#include "ingest/IngestReport.h"

#include <gtest/gtest.h>

using twinslim::IngestReport;

TEST(IngestReport, SummaryMessages) {
    const auto names = [](char first, int count) {
        QStringList list;
        for (int i = 0; i < count; ++i)
            list << QString(QChar(first + i)) + ".heic";
        return list;
    };
    const QString deleted = "Originals are in Recently Deleted; space frees once it empties.";
    const QString cut = "a.heic, b.heic, c.heic, d.heic, e.heic\u2026."; // one-character ellipsis
    const std::vector<std::pair<IngestReport, QString>> cases = {
        {{4, 3, 1, names('a', 7), {}, "/B/Twinslim-logs/ingest-1.log", {}, {}, 0},
         "Replaced 3 of 4 matched files. 1 failed. 7 unmatched (no asset in export album): " + cut +
             " " + deleted + " Log: /B/Twinslim-logs/ingest-1.log"},
        {{1, 1, 0, {}, {}, "/B/x.log", {}, {}, 0},
         "Replaced 1 of 1 matched file. " + deleted + " Log: /B/x.log"},
        // The plural follows the matched count, not the replaced one.
        {{1, 0, 1, {}, {}, {}, {}, {}, 0}, "Replaced 0 of 1 matched file. 1 failed."},
        {{}, "Replaced 0 of 0 matched files."},
        {{2, 0, 2, {}, {}, {}, {}, {}, 0}, "Replaced 0 of 2 matched files. 2 failed."},
        {{0, 0, 0, names('a', 5), {}, {}, {}, {}, 0},
         "Replaced 0 of 0 matched files. 5 unmatched (no asset in export album): a.heic, b.heic, "
         "c.heic, d.heic, e.heic."},
        {{0, 0, 0, names('a', 6), {}, {}, {}, {}, 0},
         "Replaced 0 of 0 matched files. 6 unmatched (no asset in export album): " + cut},
        {{1234567, 1234567, 0, {"x 1.heic"}, names('a', 6), {}, {}, {}, 0},
         "Replaced 1234567 of 1234567 matched files. 1 unmatched (no asset in export album): x "
         "1.heic. 6 ambiguous (skipped): " +
             cut + " " + deleted},
        // Skipped files get their own sentences; a deletion that did not happen is not
        // reported as done, and one that half happened says both.
        {{2, 2, 0, {}, {}, {}, {"IMG_1.heic"}, {"IMG_\\xff.heic"}, 2},
         "Replaced 2 of 2 matched files. 1 already replaced by an earlier run (skipped): "
         "IMG_1.heic. 1 with a file name that is not valid UTF-8 (skipped): IMG_\\xff.heic. 2 "
         "replaced originals were not deleted; they wait in “TwinslimOriginalsToDelete” until the "
         "clean-up."},
        {{2, 2, 0, {}, {}, {}, {}, {}, 1},
         "Replaced 2 of 2 matched files. " + deleted +
             " 1 replaced original was not deleted; it waits in “TwinslimOriginalsToDelete” until "
             "the clean-up."}};
    for (const auto& [report, expected] : cases)
        EXPECT_EQ(report.summaryMessage(), expected);
}
