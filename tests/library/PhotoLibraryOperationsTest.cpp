#include "library/PhotoLibraryOperations.h"

#include "core/TestLibrary.h"
#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "library/ReplacementError.h"
#include "platform/imaging/JpegCodec.h"
#include "support/AwaitTask.h"

using namespace twinslim;
using namespace photos;
using testsupport::awaitTask;

namespace {

template <typename F> std::exception_ptr failure(F&& f) {
    try {
        f();
    } catch (...) {
        return std::current_exception();
    }
    return nullptr;
}

bool isCase(std::exception_ptr e, ReplacementError::Case c) {
    try {
        if (e)
            std::rethrow_exception(e);
    } catch (const ReplacementError& r) {
        return r.errorCase() == c;
    } catch (...) {
    }
    return false;
}

} // namespace

class OperationsTest : public ::testing::Test {
protected:
    // An undated asset of these resources, named F0, F1, … in order.
    AssetPtr add(std::vector<std::tuple<ResourceType, QString, QByteArray>> resources) {
        TestLibrary::NewAsset asset;
        for (const auto& [type, uti, data] : resources)
            asset.resources.push_back(
                {type, uti, QString("F%1").arg(asset.resources.size()), 0, data});
        return library.asset(library.add(asset));
    }
    AssetPtr addJpeg() { return library.addPhoto(fixtures::makeJpeg({64, 48})); }

    TestLibrary library;
    PhotoLibrary* lib = &library.library();
};

TEST_F(OperationsTest, ResourceChoicePrefersPhotoJpegThenAlternate) {
    auto both = add({{ResourceType::AlternatePhoto, "public.jpeg", "alt"},
                     {ResourceType::Photo, "public.jpeg", "photo"},
                     {ResourceType::AlternatePhoto, "com.sony.arw-raw-image", "raw1"},
                     {ResourceType::Photo, "com.canon.cr3-raw-image", "raw2"}});
    EXPECT_EQ(jpegResource(both)->type, ResourceType::Photo);
    EXPECT_EQ(rawResource(both)->uniformTypeIdentifier, "com.sony.arw-raw-image");
    auto altOnly = add({{ResourceType::Photo, "com.adobe.raw-image", "raw"},
                        {ResourceType::AlternatePhoto, "public.jpeg", "alt"}});
    EXPECT_EQ(jpegResource(altOnly)->type, ResourceType::AlternatePhoto);
    auto rendered = add({{ResourceType::FullSizePhoto, "public.jpeg", "full"},
                         {ResourceType::Photo, "public.heic", "heic"}});
    EXPECT_EQ(jpegResource(rendered)->type, ResourceType::FullSizePhoto);
    auto rawOnly = add({{ResourceType::Photo, "com.adobe.raw-image", "raw"},
                        {ResourceType::Photo, "com.example.unknown", "?"}});
    EXPECT_EQ(jpegResource(rawOnly), nullptr);
    EXPECT_EQ(rawResource(rawOnly)->originalFilename, "F0");
    EXPECT_EQ(rawResource(addJpeg()), nullptr);
    EXPECT_EQ(jpegResource(nullptr), nullptr);
}

TEST_F(OperationsTest, RequestImageIgnoresDegradedAnswersAndRendersJpeg) {
    auto a = add({{ResourceType::Photo, "public.jpeg", fixtures::makeJpeg({640, 480})}});
    lib->faults().deliverDegradedImageFirst = true;
    QImage image =
        awaitTask(requestImage(a, {ImageDeliveryMode::Opportunistic, ImageResizeMode::None, true}));
    EXPECT_EQ(image.size(), QSize(640, 480)); // not the small degraded one
    lib->faults().deliverDegradedImageFirst = false;

    lib->faults().answerNextImageRequestWithNothing = true;
    auto e = failure([&] { awaitTask(requestImage(a, {})); });
    EXPECT_TRUE(isCase(e, ReplacementError::Case::resourcesNotFound));

    auto broken = add({{ResourceType::Photo, "public.jpeg", "garbage"}});
    e = failure([&] { awaitTask(renderedJPEGData(broken, 0.9)); });
    ASSERT_NE(e, nullptr);
    EXPECT_FALSE(isCase(e, ReplacementError::Case::resourcesNotFound)); // the library's own error
    EXPECT_TRUE(localizedDescription(e).contains("could not be read"));

    // RAW only: the rendering comes from the RAW, encoded at the quality asked.
    auto raw = add({{ResourceType::Photo, "com.adobe.raw-image", fixtures::makeDng({600, 400})}});
    const QByteArray high = awaitTask(renderedJPEGData(raw, 0.9));
    const QByteArray low = awaitTask(renderedJPEGData(raw, 0.1));
    EXPECT_TRUE(high.startsWith("\xFF\xD8"));
    EXPECT_LT(low.size(), high.size());
    EXPECT_EQ(imaging::decodeJpeg(high).size(), QSize(600, 400));
}
