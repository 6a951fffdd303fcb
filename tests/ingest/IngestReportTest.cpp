#include "ingest/IngestReport.h"

#include <gtest/gtest.h>

using twinslim::IngestReport;

namespace {

QStringList names(QChar first, int count) {
    QStringList list;
    for (int i = 0; i < count; ++i)
        list << QString(QChar(first.unicode() + i)) + ".heic";
    return list;
}

const QString recentlyDeleted =
    QStringLiteral("Originals are in Recently Deleted; space frees once it empties.");

} // namespace

TEST(IngestReport, FailuresAndUnmatchedWithAnEllipsisAndTheLog) {
    IngestReport report{4, 3, 1, names('a', 7), {}, "/Backups/Twinslim-logs/ingest-1.log"};
    EXPECT_EQ(report.summaryMessage(),
              "Replaced 3 of 4 matched files. 1 failed. 7 unmatched (no asset in export album): "
              "a.heic, b.heic, c.heic, d.heic, e.heic…. " +
                  recentlyDeleted + " Log: /Backups/Twinslim-logs/ingest-1.log");
    // The ellipsis is one character.
    EXPECT_TRUE(report.summaryMessage().contains(QStringLiteral("e.heic\u2026.")));
}

TEST(IngestReport, OneMatchedFileIsSingular) {
    IngestReport report{1, 1, 0, {}, {}, "/B/Twinslim-logs/x.log"};
    EXPECT_EQ(report.summaryMessage(),
              "Replaced 1 of 1 matched file. " + recentlyDeleted + " Log: /B/Twinslim-logs/x.log");
    // The plural follows the matched count, not the replaced one.
    EXPECT_EQ(IngestReport({1, 0, 1, {}, {}, std::nullopt}).summaryMessage(),
              "Replaced 0 of 1 matched file. 1 failed.");
}

TEST(IngestReport, NothingMatchedIsOneSentence) {
    EXPECT_EQ(IngestReport{}.summaryMessage(), "Replaced 0 of 0 matched files.");
}

TEST(IngestReport, AllFailedHasNoRecentlyDeletedSentence) {
    EXPECT_EQ(IngestReport({2, 0, 2, {}, {}, std::nullopt}).summaryMessage(),
              "Replaced 0 of 2 matched files. 2 failed.");
}

TEST(IngestReport, FiveNamesAreListedWholeSixAreCut) {
    EXPECT_EQ(IngestReport({0, 0, 0, names('a', 5), {}, std::nullopt}).summaryMessage(),
              "Replaced 0 of 0 matched files. 5 unmatched (no asset in export album): a.heic, "
              "b.heic, c.heic, d.heic, e.heic.");
    EXPECT_EQ(IngestReport({0, 0, 0, names('a', 6), {}, std::nullopt}).summaryMessage(),
              "Replaced 0 of 0 matched files. 6 unmatched (no asset in export album): a.heic, "
              "b.heic, c.heic, d.heic, e.heic….");
}

TEST(IngestReport, AmbiguousNamesFollowTheUnmatchedOnes) {
    IngestReport report{12, 12, 0, {"x 1.heic"}, names('m', 6), std::nullopt};
    EXPECT_EQ(report.summaryMessage(),
              "Replaced 12 of 12 matched files. 1 unmatched (no asset in export album): x 1.heic. "
              "6 ambiguous (skipped): m.heic, n.heic, o.heic, p.heic, q.heic…. " +
                  recentlyDeleted);
}

TEST(IngestReport, LargeCountsArePlainDecimal) {
    IngestReport report{1234567, 1234567, 0, {}, {}, std::nullopt};
    EXPECT_TRUE(report.summaryMessage().startsWith("Replaced 1234567 of 1234567 matched files."));
}
