#include "core/EventLoop.h"
#include "core/TestLibrary.h"
#include "fixtures/ImageFixtures.h"
#include "fixtures/PatternImage.h"
#include "ui/ThumbnailProvider.h"

#include <QSignalSpy>
#include <gtest/gtest.h>

using namespace twinslim;

namespace {

// Records the provider's requests and passes them on to the real image manager.
struct RecordingRequester {
    std::shared_ptr<QStringList> ids = std::make_shared<QStringList>();

    void install(ThumbnailProvider& provider) {
        provider.setRequester([ids = ids](const photos::AssetPtr& asset, QSize size,
                                          photos::ImageContentMode mode,
                                          const photos::ImageRequestOptions& options,
                                          photos::ImageManager::ResultHandler handler) {
            ids->push_back(asset->localIdentifier);
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
    EXPECT_EQ(requests.ids->size(), 1);
}

// An answer asked for before a clear() is dropped: the picture may be out of date. A picture
// smaller than the thumbnail on one side is cut to its middle square, never blown up.
TEST(ThumbnailProvider, AnAnswerFromBeforeAClearIsNotKeptAndASmallPictureIsOnlyCut) {
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
    handlers.at(0)(fixtures::makePattern({88, 88}), {});
    testloop::drain();
    EXPECT_EQ(ready.count(), 0);
    EXPECT_TRUE(provider.thumbnail(asset).isNull()); // asked again
    ASSERT_EQ(handlers.size(), 2u);

    handlers.at(1)(fixtures::makePattern({200, 40}), {});
    ASSERT_TRUE(testloop::spinUntil([&] { return ready.count() == 1; }));
    EXPECT_EQ(provider.thumbnail(asset).size(), QSize(40, 40));
}
