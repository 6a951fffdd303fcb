#include "ui/PairTableModel.h"
#include "core/LibraryModel.h"
#include "core/TestLibrary.h"
#include "ui/PairFlagsDelegate.h"
#include "ui/Symbols.h"

#include <QApplication>
#include <QPainter>
#include <QSignalSpy>
#include <algorithm>
#include <gtest/gtest.h>

using namespace twinslim;

namespace {

using Column = PairTableModel::Column;

struct PairSpec {
    QString id;
    std::optional<QDateTime> date;
    bool favorite = false;
    bool edited = false;
    QStringList albums = {};
    QString rawUTI = QStringLiteral("com.canon.cr3-raw-image");
    QString rawName = QStringLiteral("IMG.CR3");
    std::optional<qint64> rawBytes = {};
    std::optional<qint64> jpegBytes = {};
};

PhotoPair makePair(const PairSpec& s) {
    PhotoPair pair;
    auto asset = std::make_shared<photos::Asset>();
    asset->localIdentifier = s.id;
    pair.asset = asset;
    pair.id = s.id;
    pair.creationDate = s.date;
    pair.isFavorite = s.favorite;
    pair.isEdited = s.edited;
    pair.albumNames = s.albums;
    pair.rawUTI = s.rawUTI;
    pair.jpegUTI = QStringLiteral("public.jpeg");
    pair.rawFilename = s.rawName;
    pair.jpegFilename = QStringLiteral("IMG.JPG");
    pair.rawBytes = s.rawBytes;
    pair.jpegBytes = s.jpegBytes;
    return pair;
}

QDateTime day(int d, int hour = 8) {
    return QDateTime(QDate(2024, 6, d), QTime(hour, 0), Qt::UTC);
}

QStringList rowIds(const PairTableModel& table) {
    QStringList ids;
    for (int row = 0; row < table.rowCount(); ++row)
        ids << table.index(row, 0).data(PairTableModel::IdRole).toString();
    return ids;
}

// Five pairs with no two equal in any sortable column, given in the library model's order.
std::vector<PhotoPair> distinctPairs() {
    return {
        makePair(
            {"a", day(3), true, false, {"Trip 10"}, "com.sony.arw-raw-image", "Z.ARW", 300, 40}),
        makePair({"b", day(5), false, true, {"Trip 2"}, "com.adobe.raw-image", "A.DNG", 500, 10}),
        makePair({"c", std::nullopt, false, false, {}, "com.nikon.raw-image", "M.NEF", {}, 30}),
        makePair({"d", day(1), true, true, {"Birds"}, "com.canon.cr3-raw-image", "B.CR3", 100, {}}),
        makePair(
            {"e", day(4), false, false, {"Zoo, trip 3"}, "com.fuji.raw-image", "Q.RAF", 200, 20}),
    };
}

class PairTableModelTest : public ::testing::Test {
protected:
    void SetUp() override { QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates)); }
    void TearDown() override { QLocale::setDefault(QLocale::system()); }
    LibraryModel model;
};

} // namespace

// The cells' texts, an absent value as an em dash; the sort keys are the raw values, an undated
// pair's the distant past.
TEST_F(PairTableModelTest, CellTexts) {
    model.setPairs({makePair({"dated",
                              day(10),
                              true,
                              true,
                              {"Birds", "Trip 2"},
                              "com.canon.cr3-raw-image",
                              "IMG_1.CR3",
                              25'000'000,
                              8'400'000}),
                    makePair({"undated", std::nullopt})});
    PairTableModel table(&model);
    ASSERT_EQ(table.rowCount(), 2);
    const auto cell = [&](int row, Column column, int role = Qt::DisplayRole) {
        return table.index(row, column).data(role);
    };
    EXPECT_EQ(cell(0, Column::DateColumn).toString(), table.dateText(day(10)));
    EXPECT_EQ(cell(0, Column::AlbumsColumn).toString(), "Birds, Trip 2");
    EXPECT_EQ(cell(0, Column::RawColumn).toString(), "IMG_1.CR3");
    EXPECT_EQ(cell(0, Column::RawSizeColumn).toString(), "25 MB");
    EXPECT_EQ(cell(0, Column::JpegSizeColumn).toString(), "8.4 MB");
    EXPECT_EQ(cell(0, Column::QuickLookColumn, AssetRole).value<photos::AssetPtr>(),
              model.pairs()[0].asset);
    for (const Column column : {Column::DateColumn, Column::RawSizeColumn, Column::JpegSizeColumn})
        EXPECT_EQ(cell(1, column).toString(), "\u2014") << column;
    EXPECT_EQ(cell(1, Column::AlbumsColumn).toString(), "");
    EXPECT_EQ(cell(0, Column::RawSizeColumn, SortRole).toLongLong(), 25'000'000);
    EXPECT_EQ(cell(0, Column::JpegSizeColumn, SortRole).toLongLong(), 8'400'000);
    EXPECT_EQ(cell(1, Column::DateColumn, SortRole).toDateTime(), distantPast());
}

TEST_F(PairTableModelTest, DateTextFollowsTheUsersLocale) {
    QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
    PairTableModel table(&model);
    EXPECT_EQ(table.dateText(day(10)), "10. Juni 2024, 10:00");
    EXPECT_EQ(table.dateText(std::nullopt), "\u2014");
    // The C locale's short time has seconds; the cell's has not.
    QLocale::setDefault(QLocale::c());
    EXPECT_EQ(PairTableModel(&model).dateText(day(10, 14)), "10 Jun 2024, 16:00");
}

// Newest first with the undated last at the start; a header click sorts ascending, the next
// reverses, the third ascends again.
TEST_F(PairTableModelTest, HeaderClicksSortAscendingThenReverse) {
    model.setPairs(distinctPairs());
    EXPECT_EQ(rowIds(PairTableModel(&model)), (QStringList{"b", "e", "a", "d", "c"}));
    EXPECT_EQ(PairTableModel(&model).sortOrder(),
              (std::vector<PairTableModel::SortKey>{{Column::DateColumn, Qt::DescendingOrder}}));
    const std::pair<Column, QStringList> cases[] = {
        {Column::DateColumn, {"c", "d", "a", "e", "b"}},
        {Column::AlbumsColumn, {"c", "d", "b", "a", "e"}}, // "Trip 2" before "Trip 10"
        {Column::RawColumn, {"b", "d", "e", "c", "a"}},    // by type identifier, not file name
        {Column::RawSizeColumn, {"c", "d", "e", "a", "b"}},
        {Column::JpegSizeColumn, {"d", "b", "e", "c", "a"}},
    };
    for (const auto& [column, ascending] : cases) {
        PairTableModel table(&model);
        table.sortByHeaderClick(column);
        EXPECT_EQ(rowIds(table), ascending) << column;
        EXPECT_EQ(table.sortOrder().front(), (PairTableModel::SortKey{column, Qt::AscendingOrder}));
        table.sortByHeaderClick(column);
        QStringList descending = ascending;
        std::reverse(descending.begin(), descending.end());
        EXPECT_EQ(rowIds(table), descending) << column;
        table.sortByHeaderClick(column);
        EXPECT_EQ(rowIds(table), ascending) << column;
    }
    // Flag ranks 0 (c, e), 1 (b), 2 (a), 3 (d): the ties are broken by the date, the earlier
    // first comparator, still newest first.
    PairTableModel table(&model);
    table.sortByHeaderClick(Column::FlagsColumn);
    EXPECT_EQ(rowIds(table), (QStringList{"e", "c", "b", "a", "d"}));
    table.sortByHeaderClick(Column::FlagsColumn);
    EXPECT_EQ(rowIds(table), (QStringList{"d", "a", "b", "e", "c"}));
}

TEST_F(PairTableModelTest, EarlierComparatorsBreakTiesAndUnsortableColumnsIgnoreClicks) {
    // Sizes tie in pairs; the favourite flag, clicked before, breaks the ties.
    model.setPairs({makePair({"p", day(1), false, false, {}, "x", "x", 10}),
                    makePair({"q", day(2), true, false, {}, "x", "x", 20}),
                    makePair({"r", day(3), true, false, {}, "x", "x", 10}),
                    makePair({"s", day(4), false, false, {}, "x", "x", 20})});
    PairTableModel table(&model);
    table.sortByHeaderClick(Column::FlagsColumn);
    table.sortByHeaderClick(Column::FlagsColumn); // favourites first
    table.sortByHeaderClick(Column::RawSizeColumn);
    EXPECT_EQ(rowIds(table), (QStringList{"r", "p", "q", "s"}));
    table.sortByHeaderClick(Column::RawSizeColumn);
    EXPECT_EQ(rowIds(table), (QStringList{"q", "s", "r", "p"}));
    // A column clicked again after another one comes back to the front, once.
    table.sortByHeaderClick(Column::FlagsColumn);
    EXPECT_EQ(table.sortOrder().size(), 3u);
    EXPECT_EQ(table.sortOrder().front(),
              (PairTableModel::SortKey{Column::FlagsColumn, Qt::AscendingOrder}));
    EXPECT_EQ(rowIds(table), (QStringList{"s", "p", "q", "r"}));

    const auto before = table.sortOrder();
    QSignalSpy layout(&table, &QAbstractItemModel::layoutChanged);
    table.sortByHeaderClick(Column::SelectionColumn);
    table.sortByHeaderClick(Column::QuickLookColumn);
    EXPECT_EQ(table.sortOrder(), before);
    EXPECT_EQ(layout.count(), 0);
}

// The "★ ✎" column: a yellow star for a favourite and, right of it, a blue pencil for an edit.
TEST_F(PairTableModelTest, FlagsColumnDrawsTheStarForFavouritesAndThePencilForEdits) {
    model.setPairs(distinctPairs());
    PairTableModel table(&model);
    PairFlagsDelegate delegate;
    // Where the cell of `id` is yellow at its rightmost and blue at its leftmost; -1 for none.
    const auto marks = [&](const QString& id) {
        const int row = int(rowIds(table).indexOf(id));
        QImage image(48, 20, QImage::Format_ARGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        QStyleOptionViewItem option;
        option.rect = image.rect();
        option.font = QApplication::font();
        delegate.paint(&painter, option, table.index(row, Column::FlagsColumn));
        painter.end();
        int yellow = -1, blue = -1;
        for (int y = 0; y < image.height(); ++y)
            for (int x = 0; x < image.width(); ++x) {
                const QColor c = image.pixelColor(x, y);
                if (c.red() > 200 && c.green() > 150 && c.blue() < 120)
                    yellow = std::max(yellow, x);
                else if (c.blue() > 200 && c.red() < 120 && (blue < 0 || x < blue))
                    blue = x;
            }
        return std::pair{yellow, blue};
    };
    const auto [favouriteStar, favouritePencil] = marks("a");
    EXPECT_GE(favouriteStar, 0);
    EXPECT_LT(favouritePencil, 0);
    const auto [editedStar, editedPencil] = marks("b");
    EXPECT_LT(editedStar, 0);
    EXPECT_GE(editedPencil, 0);
    EXPECT_EQ(marks("c"), std::pair(-1, -1));
    const auto [bothStar, bothPencil] = marks("d");
    EXPECT_GE(bothStar, 0);
    EXPECT_GT(bothPencil, bothStar);
}

// The rows point into the library model's own list, never a copy, and follow every change of
// it, of the filter and of the order; a row found by id is always the row showing it.
TEST_F(PairTableModelTest, RowsShareTheLibraryModelsPairsAndFollowEachChange) {
    model.setPairs(distinctPairs());
    PairTableModel table(&model);
    const auto shared = [&](int row) {
        const PhotoPair* pair = &table.pairAt(row);
        return pair >= model.pairs().data() && pair < model.pairs().data() + model.pairs().size();
    };
    EXPECT_TRUE(shared(0) && shared(4));
    EXPECT_EQ(table.rowOf("b"), 0);
    table.sortByHeaderClick(Column::RawSizeColumn);
    EXPECT_EQ(table.rowOf("b"), 4);
    EXPECT_EQ(table.rowOf("c"), 0);
    model.setFavFilter(FavFilter::favorites);
    EXPECT_EQ(rowIds(table), (QStringList{"d", "a"}));
    EXPECT_TRUE(table.rowOf("b") < 0 && table.rowOf("a") == 1);
    std::vector<PhotoPair> fewer = distinctPairs();
    fewer.erase(fewer.begin()); // "a" replaced
    model.setPairs(std::move(fewer));
    EXPECT_EQ(rowIds(table), QStringList{"d"});
    EXPECT_TRUE(shared(0) && table.rowOf("a") < 0 && table.rowOf("d") == 0);
}

// A mark is drawn once per look and then reused; another colour is another drawing.
TEST(Symbols, PixmapsAreMadeOncePerLook) {
    const QPixmap red = symbolPixmap("circle", 16, Qt::red, 1.0);
    ASSERT_FALSE(red.isNull());
    EXPECT_EQ(symbolPixmap("circle", 16, Qt::red, 1.0).cacheKey(), red.cacheKey());
    const QPixmap blue = symbolPixmap("circle", 16, Qt::blue, 1.0);
    EXPECT_NE(blue.cacheKey(), red.cacheKey());
    EXPECT_NE(blue.toImage(), red.toImage());
    EXPECT_NE(symbolPixmap("circle", 20, Qt::red, 1.0).size(), red.size());
}
