// HEIC exports of JPEGs of every shape: the ones whose samples go to the encoder as planes and the
// ones that are rendered through RGB must come out alike, upright, complete and with their data.
#include "PhotolibTestSupport.h"

#include "fixtures/ImageFixtures.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/ImageMetadata.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/photos/PhotoLibrary.h"

#include <QDir>
#include <cmath>
#include <libheif/heif.h>
#include <turbojpeg.h>

using fixtures::meanDifference;
using photos::ResourceType;

namespace {

// Smooth colour with the four quadrant colours laid over it, so that a picture shows both which
// way up it is and whether its colours are right.
QImage picture(QSize size) {
    QImage image = fixtures::makePattern(size);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x) {
            const QRgb c = image.pixel(x, y);
            image.setPixel(x, y,
                           qRgb(qRed(c) * 3 / 4 + 60 * x / size.width(),
                                qGreen(c) * 3 / 4 + 60 * y / size.height(), qBlue(c) * 3 / 4 + 20));
        }
    return image;
}

// The stored pixels of `upright` for EXIF `orientation` 1, 6 or 8.
QImage stored(const QImage& upright, int orientation) {
    if (orientation == 1)
        return upright;
    return upright.transformed(QTransform().rotate(orientation == 6 ? -90 : 90));
}

// The sizes of the stored thumbnails of a HEIC's primary image.
std::vector<QSize> thumbnailSizes(const QByteArray& heic) {
    std::vector<QSize> sizes;
    heif_context* context = heif_context_alloc();
    heif_image_handle* primary = nullptr;
    if (heif_context_read_from_memory_without_copy(context, heic.constData(), size_t(heic.size()),
                                                   nullptr)
                .code == heif_error_Ok &&
        heif_context_get_primary_image_handle(context, &primary).code == heif_error_Ok) {
        const int count = heif_image_handle_get_number_of_thumbnails(primary);
        std::vector<heif_item_id> ids(size_t(std::max(count, 0)));
        heif_image_handle_get_list_of_thumbnail_IDs(primary, ids.data(), count);
        for (heif_item_id id : ids) {
            heif_image_handle* thumbnail = nullptr;
            if (heif_image_handle_get_thumbnail(primary, id, &thumbnail).code != heif_error_Ok)
                continue;
            sizes.emplace_back(heif_image_handle_get_width(thumbnail),
                               heif_image_handle_get_height(thumbnail));
            heif_image_handle_release(thumbnail);
        }
        heif_image_handle_release(primary);
    }
    heif_context_free(context);
    return sizes;
}

} // namespace

class ExportDecodeTest : public PhotolibTest {
protected:
    QString add(const QString& name, const QByteArray& jpeg) {
        auto lib = photos::PhotoLibrary::open(library);
        QString id;
        lib->performChangesAndWait([&](photos::ChangeRequests& c) {
            auto& req = c.creationRequestForAsset();
            req.addResource(ResourceType::Photo, jpeg, {name, "public.jpeg"});
            req.creationDate = QDateTime::fromString("2024-06-01T08:00:00Z", Qt::ISODate);
            req.creationOffsetSeconds = 7200;
            req.location = photos::Location{45.5, -73.5};
            id = req.placeholderForCreatedAsset().localIdentifier;
        });
        return id;
    }
};

TEST_F(ExportDecodeTest, EveryJpegLayoutComesOutUprightInItsColoursWithItsData) {
    struct Case {
        QString name;
        int subsampling;
        int orientation;
        QSize upright;
    };
    // Odd sides, turned pictures, chroma at every resolution, grey, and 4:1:1, which cannot go
    // to the encoder as it is stored.
    const std::vector<Case> cases = {
        {"Plain420", TJSAMP_420, 1, {800, 600}}, {"Turned422", TJSAMP_422, 6, {481, 641}},
        {"Left444", TJSAMP_444, 8, {657, 333}},  {"Grey", TJSAMP_GRAY, 1, {701, 499}},
        {"Wide411", TJSAMP_411, 6, {480, 648}},
    };
    QStringList ids;
    std::map<QString, QByteArray> sources;
    for (const Case& c : cases) {
        imaging::ExifFields exif;
        exif.orientation = c.orientation;
        QImage pixels = stored(picture(c.upright), c.orientation);
        if (c.subsampling == TJSAMP_GRAY)
            pixels = pixels.convertToFormat(QImage::Format_Grayscale8);
        sources[c.name] = fixtures::makeJpegWithSampling(pixels, c.subsampling, exif);
        ids << add(c.name + ".JPG", sources[c.name]);
    }
    // A CMYK JPEG cannot be rendered at all: reported, the rest still exported.
    ids << add("Cmyk.JPG",
               fixtures::makeJpegWithSampling(picture({640, 480}), TJSAMP_444, {}, true));
    ASSERT_EQ(photolib(QStringList{"album", "create", "Shapes"}).status, 0);
    ASSERT_EQ(photolib(QStringList{"album", "add", "Shapes"} + ids).status, 0);

    const QString out = tmp.path() + "/out";
    Result r = photolib({"export", "--album", "Shapes", "--format", "heic", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Exported 5 of 6 items as HEIC to " + out + "; 1 failed.\n");
    EXPECT_TRUE(r.err.startsWith("photolib: cannot export “Cmyk.JPG”")) << r.err.toStdString();
    EXPECT_EQ(QDir(out).entryList(QDir::Files).size(), 5);

    for (const Case& c : cases) {
        SCOPED_TRACE(c.name.toStdString());
        const QByteArray heic = testsupport::readFile(out + "/" + c.name + ".heic");
        const QImage exported = imaging::decodeHeif(heic);
        const QImage source = imaging::decodeJpeg(sources[c.name]);
        ASSERT_EQ(exported.size(), c.upright);
        ASSERT_EQ(source.size(), c.upright);
        if (c.subsampling != TJSAMP_GRAY) {
            EXPECT_EQ(fixtures::describeQuadrants(exported), "RG/BW");
        }
        // What x265 loses at the default quality, and no more: the colours are the JPEG's.
        EXPECT_LT(meanDifference(exported, source), 3.0);
        // The same as encoding the RGB rendering, the way every other picture goes.
        const QImage viaRgb = imaging::decodeHeif(imaging::encodeHeic(source, 0.5));
        EXPECT_LT(meanDifference(exported, viaRgb), 2.0);

        const imaging::ImageMetadata meta = imaging::readImageMetadata(heic);
        EXPECT_EQ(meta.dateTimeOriginal.value_or(""), "2024:06:01 10:00:00");
        EXPECT_EQ(meta.offsetSeconds.value_or(-1), 7200);
        EXPECT_NEAR(meta.latitude.value_or(0), 45.5, 1e-6);
        EXPECT_NEAR(meta.longitude.value_or(0), -73.5, 1e-6);
        EXPECT_EQ(meta.orientation, 1); // written upright
        // A thumbnail of the upright picture, 320 on its long side, sides rounded down to even.
        const QSize thumbnail = c.upright.scaled(320, 320, Qt::KeepAspectRatio);
        EXPECT_EQ(thumbnailSizes(heic),
                  std::vector<QSize>{QSize(thumbnail.width() & ~1, thumbnail.height() & ~1)});
    }

    // Reduced exports are rendered through RGB; the same pictures, smaller.
    const QString small = tmp.path() + "/small";
    r = photolib({"export", "--album", "Shapes", "--format", "heic", "--max-size", "400", small});
    EXPECT_EQ(r.status, 1);
    for (const Case& c : cases) {
        const QImage exported =
            imaging::decodeHeif(testsupport::readFile(small + "/" + c.name + ".heic"));
        // The rendering path sizes to within a pixel of the limit.
        const QSize expected = c.upright.scaled(400, 400, Qt::KeepAspectRatio);
        EXPECT_LE(std::abs(exported.width() - expected.width()), 1) << c.name.toStdString();
        EXPECT_LE(std::abs(exported.height() - expected.height()), 1) << c.name.toStdString();
        EXPECT_LE(std::max(exported.width(), exported.height()), 400) << c.name.toStdString();
        if (c.subsampling != TJSAMP_GRAY) {
            EXPECT_EQ(fixtures::describeQuadrants(exported), "RG/BW") << c.name.toStdString();
        }
    }
}
