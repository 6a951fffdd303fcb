// 88 × 88 aspect-fill thumbnails, the size the pair table shows: of a 24-megapixel camera
// JPEG (decoded at a reduced TurboJPEG scale, then scaled and cropped) and of a RAW from its
// embedded preview. Each iteration reads the file as the image manager does. The
// BM_JpegExifThumbnail… ones serve the same picture from the 160 × 120 thumbnail a camera
// stores in its EXIF block. The BM_ImageManager… ones ask the image manager itself, thread
// hand-over included.
#include "support/BenchImages.h"
#include "support/BenchSmoke.h"

#include "platform/imaging/DecodeTarget.h"
#include "platform/imaging/DngWriter.h"
#include "platform/imaging/ExifFields.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/imaging/RawDecoder.h"
#include "platform/photos/ImageManager.h"
#include "platform/photos/PhotoLibrary.h"

#include <QCoreApplication>
#include <QFile>
#include <QPainter>
#include <QTemporaryDir>
#include <benchmark/benchmark.h>
#include <future>

namespace {

constexpr int side = 88;
QString jpegPath;
QString exifThumbnailJpegPath;
QString rawPath;
std::shared_ptr<photos::PhotoLibrary> library;
photos::AssetPtr jpegAsset;
photos::AssetPtr exifThumbnailJpegAsset;
photos::AssetPtr rawAsset;

QByteArray readAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll();
}

// Covers the square, then keeps its middle.
QImage aspectFill(const QImage& decoded) {
    const QImage scaled =
        decoded.scaled(side, side, Qt::KeepAspectRatioByExpanding, Qt::SmoothTransformation);
    return scaled.copy((scaled.width() - side) / 2, (scaled.height() - side) / 2, side, side);
}

void checkThumbnail(benchmark::State& state, const QImage& thumbnail) {
    if (thumbnail.size() != QSize(side, side))
        state.SkipWithError("no thumbnail");
}

void BM_JpegThumbnail24MP(benchmark::State& state) {
    for (auto _ : state) {
        const QImage decoded =
            imaging::decodeJpeg(readAll(jpegPath), imaging::DecodeTarget::fill({side, side}));
        const QImage thumbnail = aspectFill(decoded);
        checkThumbnail(state, thumbnail);
        benchmark::DoNotOptimize(thumbnail.constBits());
    }
}

// The same without the file read and the final scaling: what the decoder alone costs.
void BM_JpegDecodeOnly24MP(benchmark::State& state) {
    const QByteArray bytes = readAll(jpegPath);
    for (auto _ : state)
        benchmark::DoNotOptimize(
            imaging::decodeJpeg(bytes, imaging::DecodeTarget::fill({side, side})).constBits());
}

// A real camera file when the sample folder is there: an 18 MP Canon DSLR JPEG.
QString canonSample;
void BM_JpegThumbnailCanonSample18MP(benchmark::State& state) {
    for (auto _ : state) {
        const QImage thumbnail = aspectFill(
            imaging::decodeJpeg(readAll(canonSample), imaging::DecodeTarget::fill({side, side})));
        checkThumbnail(state, thumbnail);
        benchmark::DoNotOptimize(thumbnail.constBits());
    }
}

// The file mapped, as the image manager reads it, and only the EXIF thumbnail decoded.
void BM_JpegExifThumbnail24MP(benchmark::State& state) {
    for (auto _ : state) {
        QFile f(exifThumbnailJpegPath);
        if (!f.open(QIODevice::ReadOnly))
            return state.SkipWithError("cannot open the JPEG");
        uchar* mapped = f.map(0, f.size());
        const QImage decoded = imaging::decodeJpegExifThumbnail(
            QByteArrayView(mapped, static_cast<qsizetype>(f.size())),
            imaging::DecodeTarget::fill({side, side}));
        f.unmap(mapped);
        const QImage thumbnail = aspectFill(decoded);
        checkThumbnail(state, thumbnail);
        benchmark::DoNotOptimize(thumbnail.constBits());
    }
}

void BM_RawPreviewThumbnail(benchmark::State& state) {
    for (auto _ : state) {
        const QImage decoded =
            imaging::decodeRaw(rawPath, imaging::DecodeTarget::fill({side, side}));
        const QImage thumbnail = aspectFill(decoded);
        checkThumbnail(state, thumbnail);
        benchmark::DoNotOptimize(thumbnail.constBits());
    }
}

void requestThumbnail(benchmark::State& state, const photos::AssetPtr& asset,
                      photos::ImageResizeMode resize = photos::ImageResizeMode::Exact) {
    photos::ImageManager manager(library);
    photos::ImageRequestOptions options;
    options.deliveryMode = photos::ImageDeliveryMode::HighQualityFormat;
    options.resizeMode = resize;
    for (auto _ : state) {
        std::promise<QImage> answer;
        manager.requestImage(asset, QSize(side, side), photos::ImageContentMode::AspectFill,
                             options, [&answer](QImage image, photos::ImageResultInfo) {
                                 answer.set_value(std::move(image));
                             });
        const QImage image = answer.get_future().get();
        // Exact gives the covering size; fast may leave up to twice that for the view to scale.
        const int shortSide = std::min(image.width(), image.height());
        if (image.isNull() || shortSide < side ||
            (resize == photos::ImageResizeMode::Exact && shortSide != side))
            state.SkipWithError("no thumbnail from the image manager");
    }
}

void BM_ImageManagerJpeg24MP(benchmark::State& state) {
    requestThumbnail(state, jpegAsset);
}
void BM_ImageManagerRawPreview(benchmark::State& state) {
    requestThumbnail(state, rawAsset);
}
// What the pair table asks for: fast resize, answered from the EXIF thumbnail.
void BM_ImageManagerJpegExifThumbnail(benchmark::State& state) {
    requestThumbnail(state, exifThumbnailJpegAsset, photos::ImageResizeMode::Fast);
}

BENCHMARK(BM_JpegThumbnail24MP)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(bench::sized(5, 1))
    ->DisplayAggregatesOnly();
BENCHMARK(BM_JpegDecodeOnly24MP)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(bench::sized(5, 1))
    ->DisplayAggregatesOnly();
BENCHMARK(BM_JpegExifThumbnail24MP)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(bench::sized(5, 1))
    ->DisplayAggregatesOnly();
BENCHMARK(BM_RawPreviewThumbnail)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(bench::sized(5, 1))
    ->DisplayAggregatesOnly();
BENCHMARK(BM_ImageManagerJpeg24MP)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(bench::sized(5, 1))
    ->DisplayAggregatesOnly();
BENCHMARK(BM_ImageManagerRawPreview)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(bench::sized(5, 1))
    ->DisplayAggregatesOnly();
BENCHMARK(BM_ImageManagerJpegExifThumbnail)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->Repetitions(bench::sized(5, 1))
    ->DisplayAggregatesOnly();

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    QTemporaryDir dir;

    // A 24 MP camera picture: a 6000 × 4000 JPEG at quality 0.9 with the usual EXIF, and a
    // DNG of the same picture whose embedded preview is 1620 pixels long, like a camera's.
    const QImage picture =
        bench::cameraLikeImage(bench::sized(QSize(6000, 4000), QSize(600, 400)), 24);
    imaging::ExifFields exif;
    exif.dateTimeOriginal = QStringLiteral("2024:07:14 10:22:33");
    exif.offsetTimeOriginal = QStringLiteral("+02:00");
    exif.pixelWidth = picture.width();
    exif.pixelHeight = picture.height();
    const QByteArray jpeg = imaging::encodeJpeg(picture, 0.9, imaging::buildExifBlock(exif));
    imaging::DngOptions dng;
    dng.previewLongSide = bench::sized(1620, 300);
    dng.dateTimeOriginal = *exif.dateTimeOriginal;
    dng.offsetTimeOriginal = *exif.offsetTimeOriginal;
    const QByteArray raw = imaging::writeDng(picture, dng);
    // The same picture as a camera writes it: a 160 × 120 thumbnail in the EXIF block, the 3:2
    // picture between black bars.
    QImage cameraThumbnail(160, 120, QImage::Format_RGB32);
    cameraThumbnail.fill(Qt::black);
    {
        const QImage small =
            picture.scaled(160, 120, Qt::KeepAspectRatio, Qt::SmoothTransformation);
        QPainter painter(&cameraThumbnail);
        painter.drawImage(0, (120 - small.height()) / 2, small);
    }
    imaging::ExifFields withThumbnail = exif;
    withThumbnail.thumbnailJpeg = imaging::encodeJpeg(cameraThumbnail, 0.85);
    const QByteArray jpegWithThumbnail =
        imaging::encodeJpeg(picture, 0.9, imaging::buildExifBlock(withThumbnail));
    jpegPath = dir.path() + "/IMG_0001.JPG";
    rawPath = dir.path() + "/IMG_0001.DNG";
    writeFile(jpegPath, jpeg);
    writeFile(rawPath, raw);
    exifThumbnailJpegPath = dir.path() + "/IMG_0002.JPG";
    writeFile(exifThumbnailJpegPath, jpegWithThumbnail);
    fprintf(stderr, "JPEG %.1f MB, DNG %.1f MB\n", jpeg.size() / 1e6, raw.size() / 1e6);

    library = photos::PhotoLibrary::create(dir.path() + "/Bench.photolibrary");
    QString jpegId, rawId, exifThumbnailJpegId;
    library->performChangesAndWait([&](photos::ChangeRequests& c) {
        auto& a = c.creationRequestForAsset();
        a.addResource(photos::ResourceType::Photo, jpegPath, {"IMG_0001.JPG", "public.jpeg"});
        jpegId = a.placeholderForCreatedAsset().localIdentifier;
        auto& b = c.creationRequestForAsset();
        b.addResource(photos::ResourceType::Photo, rawPath,
                      {"IMG_0001.DNG", "com.adobe.raw-image"});
        rawId = b.placeholderForCreatedAsset().localIdentifier;
        auto& t = c.creationRequestForAsset();
        t.addResource(photos::ResourceType::Photo, exifThumbnailJpegPath,
                      {"IMG_0002.JPG", "public.jpeg"});
        exifThumbnailJpegId = t.placeholderForCreatedAsset().localIdentifier;
    });
    jpegAsset = library->fetchAssetsWithLocalIdentifiers({jpegId}).at(0);
    rawAsset = library->fetchAssetsWithLocalIdentifiers({rawId}).at(0);
    exifThumbnailJpegAsset = library->fetchAssetsWithLocalIdentifiers({exifThumbnailJpegId}).at(0);

    const QString samples =
        qEnvironmentVariable("TWINSLIM_SAMPLES", QStringLiteral(TWINSLIM_SAMPLES_DIR));
    canonSample = samples + "/jpeg/exifr__canon-dslr.jpg";
    if (QFile::exists(canonSample))
        benchmark::RegisterBenchmark("BM_JpegThumbnailCanonSample18MP",
                                     BM_JpegThumbnailCanonSample18MP)
            ->Unit(benchmark::kMillisecond)
            ->Repetitions(bench::sized(5, 1))
            ->DisplayAggregatesOnly();

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    jpegAsset.reset();
    exifThumbnailJpegAsset.reset();
    rawAsset.reset();
    library.reset();
    return 0;
}
