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
        {{4, 3, 1, names('a', 7), {}, "/B/Twinslim-logs/ingest-1.log"},
         "Replaced 3 of 4 matched files. 1 failed. 7 unmatched (no asset in export album): " + cut +
             " " + deleted + " Log: /B/Twinslim-logs/ingest-1.log"},
        {{1, 1, 0, {}, {}, "/B/x.log"},
         "Replaced 1 of 1 matched file. " + deleted + " Log: /B/x.log"},
        // The plural follows the matched count, not the replaced one.
        {{1, 0, 1, {}, {}, {}}, "Replaced 0 of 1 matched file. 1 failed."},
        {{}, "Replaced 0 of 0 matched files."},
        {{2, 0, 2, {}, {}, {}}, "Replaced 0 of 2 matched files. 2 failed."},
        {{0, 0, 0, names('a', 5), {}, {}},
         "Replaced 0 of 0 matched files. 5 unmatched (no asset in export album): a.heic, b.heic, "
         "c.heic, d.heic, e.heic."},
        {{0, 0, 0, names('a', 6), {}, {}},
         "Replaced 0 of 0 matched files. 6 unmatched (no asset in export album): " + cut},
        {{1234567, 1234567, 0, {"x 1.heic"}, names('a', 6), {}},
         "Replaced 1234567 of 1234567 matched files. 1 unmatched (no asset in export album): x "
         "1.heic. 6 ambiguous (skipped): " +
             cut + " " + deleted}};
    for (const auto& [report, expected] : cases)
        EXPECT_EQ(report.summaryMessage(), expected);
}
