#include "LibraryFixture.h"

#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "fixtures/PatternImage.h"
#include "platform/photos/ImageManager.h"

#include <QMutex>
#include <QWaitCondition>
#include <future>

using namespace photos;

namespace {

struct Answer {
    QImage image;
    ImageResultInfo info;
};

// Collects every answer of one request until its final one. The handler runs on the
// manager's threads and may still be unwinding after the waiter has returned, so all it
// touches is shared state it co-owns.
std::vector<Answer> request(ImageManager& manager, const AssetPtr& asset, QSize target,
                            ImageContentMode mode, ImageRequestOptions options) {
    struct State {
        std::mutex m;
        std::vector<Answer> answers;
        std::promise<void> finished;
    };
    auto state = std::make_shared<State>();
    auto finished = state->finished.get_future();
    manager.requestImage(asset, target, mode, options, [state](QImage image, ImageResultInfo info) {
        std::lock_guard lock(state->m);
        state->answers.push_back({image, info});
        if (!info.isDegraded)
            state->finished.set_value();
    });
    finished.wait();
    std::lock_guard lock(state->m);
    return state->answers;
}

ImageRequestOptions highQuality(ImageResizeMode resize = ImageResizeMode::Exact) {
    return {ImageDeliveryMode::HighQualityFormat, resize, true};
}

} // namespace

class ImageManagerTest : public LibraryFixture {
protected:
    QString addFiles(std::vector<std::tuple<ResourceType, QString, QByteArray>> resources) {
        NewAsset a;
        a.resources = std::move(resources);
        return add(a);
    }
};

TEST_F(ImageManagerTest, RendersTheCurrentPictureUprightAtTheAskedSize) {
    ImageManager manager(lib);
    imaging::ExifFields rotated;
    rotated.orientation = 6;
    const QString jpegOnly =
        addFiles({{ResourceType::Photo, "public.jpeg", fixtures::makeJpeg({320, 240}, rotated)}});
    auto answers =
        request(manager, asset(jpegOnly), {88, 88}, ImageContentMode::AspectFill, highQuality());
    ASSERT_EQ(answers.size(), 1u);
    const QImage thumb = answers[0].image;
    EXPECT_EQ(thumb.size(), QSize(117, 88)); // covers 88×88, aspect kept
    EXPECT_EQ(fixtures::describeQuadrants(thumb), "RG/BW");

    answers =
        request(manager, asset(jpegOnly), {100, 100}, ImageContentMode::AspectFit, highQuality());
    EXPECT_EQ(answers.at(0).image.size(), QSize(100, 75));
    answers = request(manager, asset(jpegOnly), ImageManagerMaximumSize,
                      ImageContentMode::AspectFit, highQuality(ImageResizeMode::None));
    EXPECT_EQ(answers.at(0).image.size(), QSize(320, 240));

    // An edited item shows its full-size rendering, not its photo.
    const QString edited = addFiles(
        {{ResourceType::Photo, "public.jpeg", fixtures::makeJpeg({64, 64})},
         {ResourceType::AdjustmentData, "com.adobe.xmp", "<x/>"},
         {ResourceType::FullSizePhoto, "public.heic", fixtures::makeHeic({64, 48}, {}, 0.6)}});
    answers = request(manager, asset(edited), ImageManagerMaximumSize, ImageContentMode::AspectFit,
                      highQuality());
    EXPECT_EQ(answers.at(0).image.size(), QSize(64, 48));

    // RAW only: rendered from the RAW; a RAW beside a JPEG is never the picture.
    const QString rawOnly =
        addFiles({{ResourceType::Photo, "com.adobe.raw-image", fixtures::makeDng({400, 300})}});
    answers =
        request(manager, asset(rawOnly), {88, 88}, ImageContentMode::AspectFit, highQuality());
    ASSERT_FALSE(answers.at(0).image.isNull())
        << answers[0].info.error->description().toStdString();
    EXPECT_EQ(answers[0].image.size(), QSize(88, 66));
    const QString pair = addFiles(
        {{ResourceType::AlternatePhoto, "com.adobe.raw-image", fixtures::makeDng({400, 300})},
         {ResourceType::Photo, "public.jpeg", fixtures::makeJpeg({160, 160})}});
    EXPECT_EQ(ImageManager::renderingResource(*asset(pair))->uniformTypeIdentifier, "public.jpeg");
    answers = request(manager, asset(pair), ImageManagerMaximumSize, ImageContentMode::AspectFit,
                      highQuality());
    EXPECT_EQ(answers.at(0).image.size(), QSize(160, 160));
}

TEST_F(ImageManagerTest, OpportunisticRequestsAnswerDegradedFirstOthersOnce) {
    ImageManager manager(lib);
    const QString big =
        addFiles({{ResourceType::Photo, "public.jpeg", fixtures::makeJpeg({1024, 768})}});
    ImageRequestOptions opportunistic{ImageDeliveryMode::Opportunistic, ImageResizeMode::Fast,
                                      false};
    auto answers =
        request(manager, asset(big), {800, 800}, ImageContentMode::AspectFit, opportunistic);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_TRUE(answers[0].info.isDegraded);
    EXPECT_LE(std::max(answers[0].image.width(), answers[0].image.height()), 128);
    EXPECT_FALSE(answers[1].info.isDegraded);
    // Fast: a reduced decode that still covers the target, with no costly resample.
    EXPECT_GE(answers[1].image.width(), 800);
    EXPECT_LE(answers[1].image.width(), 1024);

    EXPECT_EQ(
        request(manager, asset(big), {800, 800}, ImageContentMode::AspectFit, highQuality()).size(),
        1u);
    // Small thumbnails are cheap: answered once even when opportunistic.
    EXPECT_EQ(
        request(manager, asset(big), {88, 88}, ImageContentMode::AspectFill, opportunistic).size(),
        1u);

    lib->faults().deliverDegradedImageFirst = true;
    answers = request(manager, asset(big), ImageManagerMaximumSize, ImageContentMode::AspectFit,
                      highQuality());
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_TRUE(answers[0].info.isDegraded);
    EXPECT_EQ(answers[1].image.size(), QSize(1024, 768));
    lib->faults().deliverDegradedImageFirst = false;
}

TEST_F(ImageManagerTest, UnreadablePicturesAnswerWithAnErrorNeverACrash) {
    ImageManager manager(lib);
    QByteArray jpeg = fixtures::makeJpeg({256, 256});
    const QString corrupt = addFiles({{ResourceType::Photo, "public.jpeg", "not a jpeg at all"}});
    const QString truncated =
        addFiles({{ResourceType::Photo, "public.jpeg", jpeg.left(jpeg.size() / 3)}});
    const QString sidecarOnly = addFiles({{ResourceType::AdjustmentData, "com.adobe.xmp", "<x/>"}});
    const QString fine = addFiles({{ResourceType::Photo, "public.jpeg", jpeg}});
    for (const QString& id : {corrupt, truncated, sidecarOnly}) {
        auto answers =
            request(manager, asset(id), {88, 88}, ImageContentMode::AspectFill, highQuality());
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_TRUE(answers[0].image.isNull());
        EXPECT_TRUE(answers[0].info.error.has_value());
    }
    // A stored file that went missing.
    QFile::remove(lib->storedFilePath(asset(fine)->resources[0]));
    auto answers =
        request(manager, asset(fine), {88, 88}, ImageContentMode::AspectFill, highQuality());
    EXPECT_TRUE(answers.at(0).image.isNull());
    EXPECT_TRUE(answers[0].info.error.has_value());

    const QString good = addFiles({{ResourceType::Photo, "public.jpeg", jpeg}});
    lib->faults().answerNextImageRequestWithNothing = true;
    answers = request(manager, asset(good), {88, 88}, ImageContentMode::AspectFill, highQuality());
    EXPECT_TRUE(answers.at(0).image.isNull());
    EXPECT_FALSE(answers[0].info.error.has_value());
    answers = request(manager, asset(good), {88, 88}, ImageContentMode::AspectFill, highQuality());
    EXPECT_FALSE(answers.at(0).image.isNull());
}

// A camera JPEG's EXIF thumbnail answers fast requests it covers; exact requests and larger
// ones get the picture itself.
TEST_F(ImageManagerTest, FastRequestsTheExifThumbnailCoversAreServedFromIt) {
    ImageManager manager(lib);
    imaging::ExifFields turned;
    turned.orientation = 6;
    const QString id =
        addFiles({{ResourceType::Photo, "public.jpeg",
                   fixtures::makeJpegWithExifThumbnail({480, 320}, {160, 120}, turned)}});
    struct Case {
        QSize target;
        ImageContentMode mode;
        ImageResizeMode resize;
        QSize size;
        QString quadrants; // CM/YK: the thumbnail; RG/BW: the picture
    };
    const Case cases[] = {
        {{88, 88}, ImageContentMode::AspectFill, ImageResizeMode::Fast, {160, 106}, "CM/YK"},
        {{150, 100}, ImageContentMode::AspectFit, ImageResizeMode::Fast, {160, 106}, "CM/YK"},
        {{88, 88}, ImageContentMode::AspectFill, ImageResizeMode::Exact, {132, 88}, "RG/BW"},
        {{88, 88}, ImageContentMode::AspectFill, ImageResizeMode::None, {180, 120}, "RG/BW"},
        {{120, 120}, ImageContentMode::AspectFill, ImageResizeMode::Fast, {180, 120}, "RG/BW"},
        {{2400, 2400}, ImageContentMode::AspectFit, ImageResizeMode::Fast, {480, 320}, "RG/BW"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message()
                     << c.target.width() << " mode " << int(c.mode) << " resize " << int(c.resize));
        const auto answers = request(manager, asset(id), c.target, c.mode, highQuality(c.resize));
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].image.size(), c.size);
        EXPECT_EQ(fixtures::describeQuadrants(answers[0].image), c.quadrants);
    }
}

// Callers' callbacks run on the service's own threads: one that throws is dropped there
// instead of ending the process, and the service keeps working.
TEST_F(ImageManagerTest, CallbacksThatThrowDoNotEndTheProcess) {
    const QString id =
        addFiles({{ResourceType::Photo, "public.jpeg", fixtures::makeJpeg({64, 64})}});
    const auto thrower = [](auto&&...) { throw std::runtime_error("caller's bug"); };
    for (int round = 0; round < 2; ++round) {
        auto called = std::make_shared<std::promise<void>>();
        ImageManager manager(lib);
        manager.requestImage(asset(id), {88, 88}, ImageContentMode::AspectFill, highQuality(),
                             [called](QImage, ImageResultInfo) {
                                 called->set_value();
                                 throw std::runtime_error("caller's bug");
                             });
        called->get_future().wait();
        lib->performChanges([](ChangeRequests&) {}, thrower);
        lib->writeDataForAssetResource(asset(id)->resources[0],
                                       tmp.path() + QString("/out%1.jpg").arg(round), thrower);
    }
    add({}); // the worker still applies changes
    EXPECT_EQ(lib->fetchAssets(MediaType::Image).size(), 2u);
}

// A default manager in hand stays usable after the shared library changes under it.
TEST_F(ImageManagerTest, ADefaultManagerOutlivesAChangeOfTheSharedLibrary) {
    const QString id =
        addFiles({{ResourceType::Photo, "public.jpeg", fixtures::makeJpeg({64, 64})}});
    PhotoLibrary::setShared(lib);
    const std::shared_ptr<ImageManager> manager = ImageManager::defaultManager();
    QTemporaryDir otherDir;
    PhotoLibrary::setShared(PhotoLibrary::create(otherDir.path() + "/Other.photolibrary"));
    EXPECT_NE(ImageManager::defaultManager(), manager);
    const auto answers =
        request(*manager, asset(id), {32, 32}, ImageContentMode::AspectFit, highQuality());
    PhotoLibrary::setShared(nullptr);
    EXPECT_FALSE(answers.at(0).image.isNull());
}
