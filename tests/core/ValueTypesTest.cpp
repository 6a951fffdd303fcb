#include "core/DateRange.h"
#include "core/FavFilter.h"
#include "core/PhotoPair.h"
#include "core/TimeZoneScope.h"

#include <QSet>
#include <gtest/gtest.h>

using namespace twinslim;

namespace {

PhotoPair pairWith(bool favorite, bool edited) {
    PhotoPair pair;
    pair.id = QStringLiteral("id");
    pair.isFavorite = favorite;
    pair.isEdited = edited;
    return pair;
}

QDateTime local(int y, int m, int d, int h, int min = 0, int s = 0) {
    return QDateTime(QDate(y, m, d), QTime(h, min, s), Qt::LocalTime);
}

} // namespace

// ---- PhotoPair ----

TEST(PhotoPair, AbsentValuesFallBackForSorting) {
    PhotoPair undated;
    EXPECT_EQ(undated.sortDate(), distantPast());
    EXPECT_LT(undated.sortDate(), QDateTime(QDate(1, 1, 1), QTime(0, 0), Qt::UTC));
    EXPECT_EQ(undated.rawSize(), 0);
    EXPECT_EQ(undated.jpegSize(), 0);

    PhotoPair dated;
    dated.creationDate = QDateTime(QDate(2020, 5, 1), QTime(8, 0), Qt::UTC);
    dated.rawBytes = 30'000'000'000LL; // beyond 32 bits
    dated.jpegBytes = 0;
    EXPECT_EQ(dated.sortDate(), *dated.creationDate);
    EXPECT_EQ(dated.rawSize(), 30'000'000'000LL);
    EXPECT_EQ(dated.jpegSize(), 0);
}

TEST(PhotoPair, AlbumsTextJoinsTitlesInOrder) {
    PhotoPair pair;
    EXPECT_EQ(pair.albumsText(), QString());
    pair.albumNames = {QStringLiteral("Trip"), QStringLiteral("Twinslim Favs")};
    EXPECT_EQ(pair.albumsText(), QStringLiteral("Trip, Twinslim Favs"));
}

TEST(PhotoPair, FlagsRankOrdersFavouritesAboveEdits) {
    EXPECT_EQ(pairWith(false, false).flagsRank(), 0);
    EXPECT_EQ(pairWith(false, true).flagsRank(), 1);
    EXPECT_EQ(pairWith(true, false).flagsRank(), 2);
    EXPECT_EQ(pairWith(true, true).flagsRank(), 3);
}

// ---- FavFilter ----

TEST(FavFilter, CasesIdentitiesAndLabelsInOrder) {
    QStringList identities, labels;
    for (FavFilter filter : allFavFilters) {
        identities << identity(filter);
        labels << label(filter);
        EXPECT_EQ(favFilterFromIdentity(identity(filter)), filter);
    }
    EXPECT_EQ(identities, (QStringList{"all", "favorites", "nonFavorites"}));
    EXPECT_EQ(labels, (QStringList{"All", "Favorites", "Non-favorites"}));
    EXPECT_EQ(favFilterFromIdentity("Favorites"), std::nullopt);
    QSet<FavFilter> set(allFavFilters.begin(), allFavFilters.end());
    EXPECT_EQ(set.size(), 3);
}

TEST(FavFilter, FavouritesAndNonFavouritesSplitAllPairs) {
    for (bool favorite : {false, true}) {
        const PhotoPair pair = pairWith(favorite, false);
        EXPECT_TRUE(passes(FavFilter::all, pair));
        EXPECT_EQ(passes(FavFilter::favorites, pair), favorite);
        EXPECT_NE(passes(FavFilter::favorites, pair), passes(FavFilter::nonFavorites, pair));
    }
}

// ---- DateRange ----

TEST(DateRange, CasesIdentitiesAndLabelsInOrder) {
    QStringList identities, labels;
    for (DateRange range : allDateRanges) {
        identities << identity(range);
        labels << label(range);
        EXPECT_EQ(dateRangeFromIdentity(identity(range)), range);
    }
    EXPECT_EQ(identities, (QStringList{"last30Days", "last90Days", "oneYearToMonth", "all"}));
    EXPECT_EQ(labels, (QStringList{"Last 30 days", "Last 90 days", "1 year – 30 days", "All"}));
    EXPECT_EQ(label(DateRange::oneYearToMonth).at(7), QChar(0x2013));
    EXPECT_EQ(dateRangeFromIdentity("last365Days"), std::nullopt);
    QSet<DateRange> set(allDateRanges.begin(), allDateRanges.end());
    EXPECT_EQ(set.size(), 4);
}

TEST(DateRange, BoundsPerCase) {
    TimeZoneScope zone("UTC");
    const QDateTime now = local(2024, 6, 15, 9, 30);
    const DateBounds last30 = dateBounds(DateRange::last30Days, now);
    EXPECT_EQ(last30.newerThan, local(2024, 5, 16, 9, 30));
    EXPECT_EQ(last30.olderThan, std::nullopt);
    const DateBounds last90 = dateBounds(DateRange::last90Days, now);
    EXPECT_EQ(last90.newerThan, local(2024, 3, 17, 9, 30));
    EXPECT_EQ(last90.olderThan, std::nullopt);
    // 365 days back from a date after a leap day is not one calendar year back.
    const DateBounds year = dateBounds(DateRange::oneYearToMonth, now);
    EXPECT_EQ(year.newerThan, local(2023, 6, 16, 9, 30));
    EXPECT_EQ(year.olderThan, local(2024, 5, 16, 9, 30));
    const DateBounds all = dateBounds(DateRange::all, now);
    EXPECT_EQ(all.newerThan, std::nullopt);
    EXPECT_EQ(all.olderThan, std::nullopt);
}

TEST(DateRange, TwentyNineAndThreeHundredSixtyFourDaysAgo) {
    TimeZoneScope zone("Europe/Berlin");
    const QDateTime now = local(2024, 6, 15, 9, 30);
    const auto inRange = [](const DateBounds& b, const QDateTime& t) {
        return (!b.newerThan || t >= *b.newerThan) && (!b.olderThan || t <= *b.olderThan);
    };
    const DateBounds last30 = dateBounds(DateRange::last30Days, now);
    const DateBounds year = dateBounds(DateRange::oneYearToMonth, now);
    EXPECT_TRUE(inRange(last30, now.addDays(-29)));
    EXPECT_TRUE(inRange(last30, now.addDays(-30))); // the bound itself is inside
    EXPECT_FALSE(inRange(last30, now.addDays(-30).addSecs(-1)));
    EXPECT_FALSE(inRange(year, now.addDays(-29)));
    EXPECT_TRUE(inRange(year, now.addDays(-30)));
    EXPECT_TRUE(inRange(year, now.addDays(-364)));
    EXPECT_TRUE(inRange(year, now.addDays(-365)));
    EXPECT_FALSE(inRange(year, now.addDays(-365).addSecs(-1)));
}

TEST(DateRange, DaylightSavingChangeInsideTheWindowKeepsTheWallClockTime) {
    TimeZoneScope zone("Europe/Berlin");
    // Summer time began on 31 March 2024: 30 calendar days are one hour short of 720 hours.
    const QDateTime spring = local(2024, 4, 10, 12, 0);
    const QDateTime springBound = *dateBounds(DateRange::last30Days, spring).newerThan;
    EXPECT_EQ(springBound, local(2024, 3, 11, 12, 0));
    EXPECT_EQ(springBound.toUTC(), QDateTime(QDate(2024, 3, 11), QTime(11, 0), Qt::UTC));
    EXPECT_EQ(springBound.secsTo(spring), 30 * 86400 - 3600);

    // It ended on 27 October 2024: there the window is one hour longer.
    const QDateTime autumn = local(2024, 11, 10, 12, 0);
    const QDateTime autumnBound = *dateBounds(DateRange::last30Days, autumn).newerThan;
    EXPECT_EQ(autumnBound.toUTC(), QDateTime(QDate(2024, 10, 11), QTime(10, 0), Qt::UTC));
    EXPECT_EQ(autumnBound.secsTo(autumn), 30 * 86400 + 3600);

    // The same instant given in UTC gives the same bounds: days are counted locally.
    EXPECT_EQ(dateBounds(DateRange::last30Days, spring.toUTC()).newerThan, springBound);
}
