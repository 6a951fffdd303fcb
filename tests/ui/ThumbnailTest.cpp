#include "core/EventLoop.h"
#include "core/TestLibrary.h"
#include "fixtures/ImageFixtures.h"
#include "fixtures/PatternImage.h"
#include "ui/PairRoles.h"
#include "ui/PairThumbnailDelegate.h"
#include "ui/ThumbnailProvider.h"

#include <QHeaderView>
#include <QPainter>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QTableView>
#include <gtest/gtest.h>

using namespace twinslim;

namespace {

// Counts and records the provider's requests, passing them on to the real image manager
// unless told to keep them.
struct RecordingRequester {
    struct Call {
        QString id;
        QSize size;
        photos::ImageContentMode mode;
        photos::ImageRequestOptions options;
    };
    std::shared_ptr<std::vector<Call>> calls = std::make_shared<std::vector<Call>>();
    bool forward = true;

    void install(ThumbnailProvider& provider) {
        provider.setRequester(
            [calls = calls, forward = forward](const photos::AssetPtr& asset, QSize size,
                                               photos::ImageContentMode mode,
                                               const photos::ImageRequestOptions& options,
                                               photos::ImageManager::ResultHandler handler) {
                calls->push_back({asset->localIdentifier, size, mode, options});
                if (forward)
                    photos::ImageManager::defaultManager()->requestImage(asset, size, mode, options,
                                                                         std::move(handler));
            });
    }
};

// An asset the library does not have, for requests that are never answered.
photos::AssetPtr fakeAsset(int n) {
    auto asset = std::make_shared<photos::Asset>();
    asset->localIdentifier = QStringLiteral("FAKE-%1/L0/001").arg(n);
    return asset;
}

} // namespace

TEST(ThumbnailProvider, OneRequestPerAssetThenTheCacheAnswers) {
    TestLibrary library;
    const auto asset = library.addPhoto(fixtures::makeJpeg({320, 240}));
    ThumbnailProvider provider;
    RecordingRequester requests;
    requests.install(provider);
    QSignalSpy ready(&provider, &ThumbnailProvider::thumbnailReady);

    EXPECT_TRUE(provider.thumbnail(asset).isNull());
    EXPECT_TRUE(provider.thumbnail(asset).isNull()); // still on its way: not asked again
    ASSERT_TRUE(testloop::spinUntil([&] { return ready.count() == 1; }));
    EXPECT_EQ(ready.at(0).at(0).toString(), asset->localIdentifier);

    const QImage thumbnail = provider.thumbnail(asset);
    EXPECT_EQ(thumbnail.size(), QSize(88, 88));
    EXPECT_EQ(fixtures::describeQuadrants(thumbnail), "RG/BW");
    EXPECT_EQ(provider.thumbnail(asset).cacheKey(), thumbnail.cacheKey());
    ASSERT_EQ(requests.calls->size(), 1u);
    const auto& call = requests.calls->front();
    EXPECT_EQ(call.size, QSize(88, 88));
    EXPECT_EQ(call.mode, photos::ImageContentMode::AspectFill);
    EXPECT_EQ(call.options.deliveryMode, photos::ImageDeliveryMode::HighQualityFormat);
    EXPECT_EQ(call.options.resizeMode, photos::ImageResizeMode::Fast);
    EXPECT_TRUE(call.options.networkAccessAllowed);
    EXPECT_EQ(provider.pendingCount(), 0);

    // Forgetting asks again; nothing delivered keeps the placeholder and is not asked again.
    provider.clear();
    library.library().faults().answerNextImageRequestWithNothing = true;
    EXPECT_TRUE(provider.thumbnail(asset).isNull());
    EXPECT_EQ(requests.calls->size(), 2u);
    ASSERT_TRUE(testloop::spinUntil([&] { return provider.pendingCount() == 0; }));
    for (int i = 0; i < 3; ++i)
        EXPECT_TRUE(provider.thumbnail(asset).isNull());
    testloop::drain();
    EXPECT_EQ(ready.count(), 1);
    EXPECT_EQ(requests.calls->size(), 2u);
}

// An answer asked for before a clear() is dropped: the picture may be out of date.
TEST(ThumbnailProvider, AnAnswerFromBeforeAClearIsNotKept) {
    ThumbnailProvider provider;
    std::vector<photos::ImageManager::ResultHandler> handlers;
    provider.setRequester([&](const photos::AssetPtr&, QSize, photos::ImageContentMode,
                              const photos::ImageRequestOptions&,
                              photos::ImageManager::ResultHandler handler) {
        handlers.push_back(std::move(handler));
    });
    QSignalSpy ready(&provider, &ThumbnailProvider::thumbnailReady);
    const auto asset = fakeAsset(1);
    EXPECT_TRUE(provider.thumbnail(asset).isNull());
    provider.clear();
    QImage picture(88, 88, QImage::Format_RGB32);
    picture.fill(Qt::red);
    handlers.at(0)(picture, {});
    testloop::drain();
    EXPECT_EQ(ready.count(), 0);
    EXPECT_TRUE(provider.thumbnail(asset).isNull()); // asked again
    EXPECT_EQ(handlers.size(), 2u);
}

// The cell drawn into an image: the picture filling a 44 × 44 rounded square, or the grey
// placeholder, in the middle of the cell.
TEST(PairThumbnailDelegate, DrawsThePictureOrThePlaceholderInARoundedSquare) {
    TestLibrary library;
    // Quadrants red, green / blue, white.
    const auto asset = library.addPhoto(fixtures::makeJpeg({320, 320}));
    ThumbnailProvider provider;
    QTableView view;
    PairThumbnailDelegate delegate(&provider, &view);
    QStandardItemModel model(1, 1);
    model.setData(model.index(0, 0), QVariant::fromValue(asset), AssetRole);

    const QRect cell(0, 0, 60, 52);
    const QPoint frame(8, 4); // the square's top-left corner in the cell
    auto render = [&] {
        QImage image(cell.size(), QImage::Format_ARGB32);
        image.fill(Qt::white);
        QPainter painter(&image);
        QStyleOptionViewItem option;
        option.initFrom(&view);
        option.rect = cell;
        option.widget = &view;
        option.state &= ~QStyle::State_Selected;
        delegate.paint(&painter, option, model.index(0, 0));
        return image;
    };

    const QImage placeholder = render();
    const QColor grey = placeholder.pixelColor(frame + QPoint(22, 22));
    EXPECT_NE(grey, QColor(Qt::white));
    EXPECT_EQ(grey.red(), grey.green());
    EXPECT_EQ(grey.green(), grey.blue());
    EXPECT_EQ(placeholder.pixelColor(frame + QPoint(43, 21)), grey); // right edge, inside
    EXPECT_EQ(placeholder.pixelColor(frame + QPoint(44, 21)), QColor(Qt::white)); // outside
    EXPECT_EQ(placeholder.pixelColor(frame), QColor(Qt::white));                  // rounded corner
    EXPECT_EQ(placeholder.pixelColor(frame + QPoint(43, 43)), QColor(Qt::white));

    QSignalSpy ready(&provider, &ThumbnailProvider::thumbnailReady);
    ASSERT_TRUE(testloop::spinUntil([&] { return ready.count() == 1; }));
    const QImage picture = render();
    auto near = [](QColor c, QColor expected) {
        return std::abs(c.red() - expected.red()) < 40 &&
               std::abs(c.green() - expected.green()) < 40 &&
               std::abs(c.blue() - expected.blue()) < 40;
    };
    EXPECT_TRUE(near(picture.pixelColor(frame + QPoint(11, 11)), Qt::red));
    EXPECT_TRUE(near(picture.pixelColor(frame + QPoint(33, 11)), Qt::green));
    EXPECT_TRUE(near(picture.pixelColor(frame + QPoint(11, 33)), Qt::blue));
    EXPECT_TRUE(near(picture.pixelColor(frame + QPoint(33, 33)), Qt::white));
    EXPECT_EQ(picture.pixelColor(frame), QColor(Qt::white)); // rounded corner: clipped
    EXPECT_EQ(picture.pixelColor(frame + QPoint(0, 43)), QColor(Qt::white));
}

// A table of 500 rows asks only for the thumbnails of the rows on screen.
TEST(PairThumbnailDelegate, OnlyCellsOnScreenAskForThumbnails) {
    ThumbnailProvider provider;
    RecordingRequester requests;
    requests.forward = false;
    requests.install(provider);
    QStandardItemModel model(500, 2);
    for (int row = 0; row < 500; ++row)
        model.setData(model.index(row, 1), QVariant::fromValue(fakeAsset(row)), AssetRole);
    QTableView view;
    view.setModel(&model);
    view.setItemDelegateForColumn(1, new PairThumbnailDelegate(&provider, &view));
    view.verticalHeader()->setDefaultSectionSize(48);
    view.resize(400, 480);
    view.show();
    ASSERT_TRUE(testloop::spinUntil([&] { return !requests.calls->empty(); }));
    testloop::drain(50);
    const auto shownFirst = requests.calls->size();
    EXPECT_GE(shownFirst, 5u);
    EXPECT_LE(shownFirst, 12u); // 480 pixels of 48-pixel rows
    EXPECT_EQ(requests.calls->front().id, fakeAsset(0)->localIdentifier);

    view.scrollToBottom();
    ASSERT_TRUE(testloop::spinUntil([&] { return requests.calls->size() > shownFirst; }));
    testloop::drain(50);
    EXPECT_LE(requests.calls->size(), 2 * shownFirst + 2);
    EXPECT_EQ(requests.calls->back().id.left(9), QStringLiteral("FAKE-499/"));
}
