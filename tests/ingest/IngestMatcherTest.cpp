#include "ingest/IngestMatcher.h"

#include <gtest/gtest.h>

using namespace twinslim;

namespace {

const QDateTime t0(QDate(2023, 7, 14), QTime(8, 22, 33), Qt::UTC);

photos::AssetPtr item(const QString& id, std::optional<QDateTime> date, bool favourite = false,
                      QStringList names = {"IMG_1.CR3", "IMG_1.JPG"}) {
    auto asset = std::make_shared<photos::Asset>();
    asset->localIdentifier = id;
    asset->creationDate = date;
    asset->isFavorite = favourite;
    for (const QString& name : names) {
        auto r = std::make_shared<photos::AssetResource>();
        r->originalFilename = name;
        asset->resources.push_back(r);
    }
    return asset;
}

FileSignature file(const QString& name, std::optional<QDateTime> date) {
    return {"/x/" + name, normalizedBase(name), date, 0, 0};
}

} // namespace

TEST(IngestMatcher, NameFirstThenTheNearestDateStrictlyWithinTwoSeconds) {
    const auto at = [](double seconds) { return t0.addMSecs(qint64(seconds * 1000)); };
    const auto a = item("A/L0/001", at(1.5), true), b = item("B/L0/001", at(-3));
    const struct {
        const char* name;
        std::vector<photos::AssetPtr> members;
        std::optional<QDateTime> fileDate;
        QString expected; // matched id, or the log line
    } cases[] = {
        {"one candidate, an hour off", {item("C/L0/001", t0.addSecs(3600))}, t0, "C/L0/001"},
        {"one candidate, no dates", {item("C/L0/001", std::nullopt)}, std::nullopt, "C/L0/001"},
        {"1.5 s beats 3 s", {b, a}, t0, "A/L0/001"},
        {"both within, nearer wins",
         {item("N/L0/001", at(1.9)), item("M/L0/001", at(0.4))},
         t0,
         "M/L0/001"},
        {"equally near, member order",
         {item("P/L0/001", at(-1)), item("Q/L0/001", at(1))},
         t0,
         "P/L0/001"},
        {"exactly 2 s",
         {item("P/L0/001", at(2)), item("Q/L0/001", at(-2.5))},
         t0,
         "AMBIGUOUS IMG_1 (2).heic: base=\"img_1\" matched 2 assets, none within 2s of EXIF "
         "2023-07-14 08:22:33 +0000"},
        {"undated candidates",
         {item("P/L0/001", std::nullopt), item("Q/L0/001", std::nullopt)},
         t0,
         "AMBIGUOUS IMG_1 (2).heic: base=\"img_1\" matched 2 assets, none within 2s of EXIF "
         "2023-07-14 08:22:33 +0000"},
        {"undated file",
         {a, b},
         std::nullopt,
         "AMBIGUOUS IMG_1 (2).heic: base=\"img_1\" matched 2 assets and file has no EXIF date "
         "to disambiguate"},
        {"in both albums, dated", {a, b, a}, at(1), "A/L0/001"},
        {"in both albums, undated",
         {a, a},
         std::nullopt,
         "AMBIGUOUS IMG_1 (2).heic: base=\"img_1\" matched 2 assets and file has no EXIF date "
         "to disambiguate"},
        {"no such name",
         {item("P/L0/001", t0, false, {"DSC_1.NEF", "DSC_1.JPG"})},
         t0,
         "UNMATCHED IMG_1 (2).heic: base=\"img_1\" not found among any album member's resource "
         "names"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        IngestMatcher matcher(albumMembers(c.members), {});
        const MatchDecision d = matcher.match(file("IMG_1 (2).heic", c.fileDate), "IMG_1 (2).heic");
        if (d.kind == MatchDecision::Kind::matched) {
            EXPECT_EQ(d.asset->localIdentifier, c.expected);
            EXPECT_EQ(d.message, "MATCH IMG_1 (2).heic → asset " + c.expected +
                                     (d.asset->isFavorite ? " [fav]" : " [non-fav]"));
        } else {
            EXPECT_EQ(d.message, c.expected);
            EXPECT_FALSE(d.asset);
        }
    }
}

TEST(IngestMatcher, AMemberMatchesOnceAndEarlierReplacementsNever) {
    const auto a = item("A/L0/001", t0), b = item("B/L0/001", t0, false, {"IMG_2.JPG"});
    IngestMatcher matcher(albumMembers({a, b}), {b});
    EXPECT_EQ(matcher.match(file("IMG_1.heic", t0), "IMG_1.heic").kind,
              MatchDecision::Kind::matched);
    EXPECT_EQ(matcher.match(file("IMG_1 (1).heic", t0), "IMG_1 (1).heic").kind,
              MatchDecision::Kind::unmatched);
    const MatchDecision again = matcher.match(file("IMG_2.heic", t0), "IMG_2.heic");
    EXPECT_EQ(again.kind, MatchDecision::Kind::alreadyReplaced);
    EXPECT_EQ(again.message, "SKIPPED IMG_2.heic → asset B/L0/001: replaced by an earlier run; "
                             "the original waits in “TwinslimOriginalsToDelete” to be deleted");
    // Empty stems are dropped from the members, so an empty file stem never matches.
    const auto odd = item("O/L0/001", t0, false, {"(3).JPG"});
    EXPECT_TRUE(albumMembers({odd}).front().bases.isEmpty());
}

// Two camera folders, one name: A's original was replaced by an earlier run (in the marker
// album, whether or not still in an export album); its file must find A and be skipped, and
// never take B's place, and B's file must still find B by its date.
TEST(IngestMatcher, AnEarlierReplacementStaysACandidateForTheDateDecision) {
    const auto a = item("A/L0/001", t0), b = item("B/L0/001", t0.addDays(30));
    for (const bool stillInExportAlbum : {true, false}) {
        SCOPED_TRACE(stillInExportAlbum);
        IngestMatcher matcher(albumMembers(stillInExportAlbum ? std::vector{a, b} : std::vector{b}),
                              {a});
        const MatchDecision first = matcher.match(file("IMG_1.heic", t0), "IMG_1.heic");
        EXPECT_EQ(first.kind, MatchDecision::Kind::alreadyReplaced);
        EXPECT_EQ(first.asset, a);
        const MatchDecision second =
            matcher.match(file("IMG_1 (1).heic", t0.addDays(30)), "IMG_1 (1).heic");
        EXPECT_EQ(second.kind, MatchDecision::Kind::matched);
        EXPECT_EQ(second.asset, b);
    }
    // Without a date to decide, the earlier replacement still counts: ambiguous, not B.
    IngestMatcher undated(albumMembers({b}), {a});
    EXPECT_EQ(undated.match(file("IMG_1.heic", std::nullopt), "IMG_1.heic").kind,
              MatchDecision::Kind::ambiguous);
}
