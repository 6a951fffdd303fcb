#include "LibraryFixture.h"

#include "fixtures/DngFixture.h"
#include "fixtures/ImageFixtures.h"
#include "fixtures/PatternImage.h"

using namespace photos;

class ImageManagerTest : public LibraryContract {
protected:
    QString addFiles(std::vector<std::tuple<ResourceType, QString, QByteArray>> resources) {
        NewAsset a;
        a.resources = std::move(resources);
        return add(a);
    }
};
LIBRARY_CONTRACT(ImageManagerTest);

// The current picture, upright, at the size asked: an edited item's full-size rendering, a RAW
// only when there is no JPEG, and a camera JPEG's EXIF thumbnail for the fast requests it covers.
TEST_P(ImageManagerTest, RendersTheCurrentPictureUprightAtTheAskedSize) {
    ImageManager manager(lib);
    imaging::ExifFields turned;
    turned.orientation = 6;
    const QString jpegOnly =
        addFiles({{ResourceType::Photo, "public.jpeg", fixtures::makeJpeg({320, 240}, turned)}});
    std::vector<std::tuple<ResourceType, QString, QByteArray>> editedFiles = {
        {ResourceType::Photo, "public.jpeg", fixtures::makeJpeg({64, 64})},
        {ResourceType::AdjustmentData, "com.adobe.xmp", "<x/>"},
        {ResourceType::FullSizePhoto, "public.heic", fixtures::makeHeic({64, 48}, {}, 0.6)}};
    // Shotwell keeps its edits to itself and shows no HEIC: its item is the picture alone.
    if (GetParam() == LibraryKind::Shotwell)
        editedFiles.resize(1);
    const QString edited = addFiles(editedFiles);
    const QString rawOnly =
        addFiles({{ResourceType::Photo, "com.adobe.raw-image", fixtures::makeDng({400, 300})}});
    const QString pair = addFiles(
        {{ResourceType::AlternatePhoto, "com.adobe.raw-image", fixtures::makeDng({400, 300})},
         {ResourceType::Photo, "public.jpeg", fixtures::makeJpeg({160, 160})}});
    const QString camera =
        addFiles({{ResourceType::Photo, "public.jpeg",
                   fixtures::makeJpegWithExifThumbnail({480, 320}, {160, 120}, turned)}});
    using Mode = ImageContentMode;
    using Resize = ImageResizeMode;
    const QSize max = ImageManagerMaximumSize;
    const struct {
        QString id;
        QSize target;
        Mode mode;
        Resize resize;
        QSize size;
        QString quadrants; // CM/YK: the EXIF thumbnail; RG/BW: the picture
    } cases[] = {
        {jpegOnly, {88, 88}, Mode::AspectFill, Resize::Exact, {117, 88}, "RG/BW"},
        {jpegOnly, max, Mode::AspectFit, Resize::None, {320, 240}, "RG/BW"},
        // A folder or darktable keeps no rendered edit: edits live in sidecars for their program.
        {edited, max, Mode::AspectFit, Resize::Exact,
         GetParam() == LibraryKind::Catalogue ? QSize(64, 48) : QSize(64, 64), "RG/BW"},
        {rawOnly, {88, 88}, Mode::AspectFit, Resize::Exact, {88, 66}, "RG/BW"},
        {pair, max, Mode::AspectFit, Resize::Exact, {160, 160}, "RG/BW"},
        {camera, {88, 88}, Mode::AspectFill, Resize::Fast, {160, 106}, "CM/YK"},
        {camera, {88, 88}, Mode::AspectFill, Resize::Exact, {132, 88}, "RG/BW"},
        {camera, {88, 88}, Mode::AspectFill, Resize::None, {180, 120}, "RG/BW"},
        {camera, {120, 120}, Mode::AspectFill, Resize::Fast, {180, 120}, "RG/BW"},
        {camera, {2400, 2400}, Mode::AspectFit, Resize::Fast, {480, 320}, "RG/BW"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.id.toStdString() << " " << c.target.width() << " mode "
                                        << int(c.mode) << " resize " << int(c.resize));
        const auto answers = request(manager, asset(c.id), c.target, c.mode, highQuality(c.resize));
        ASSERT_EQ(answers.size(), 1u);
        EXPECT_EQ(answers[0].image.size(), c.size);
        EXPECT_EQ(fixtures::describeQuadrants(answers[0].image), c.quadrants);
    }
}
