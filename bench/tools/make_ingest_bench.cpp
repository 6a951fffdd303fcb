// Builds the input of the ingest benchmark in DIR: a library of PAIRS RAW+JPEG items of
// RAW_MB and JPEG_MB (half of them favourites) filled into the two export albums, the
// folder "export" with one exported picture per item (favourites at full size, the others
// downscaled), and "backup-sources.txt" listing the stored files an ingest backs up.
#include "support/BenchImages.h"
#include "support/BenchSmoke.h"

#include "platform/imaging/JpegCodec.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/photos/PhotoLibraryAccess.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <cstdio>

using namespace photos;

namespace {

// Incompressible bytes, different for every item, fast to make.
QByteArray noise(qint64 size, quint64 seed) {
    QByteArray data(size, Qt::Uninitialized);
    quint64 x = seed * 0x9E3779B97F4A7C15ULL + 1;
    auto* words = reinterpret_cast<quint64*>(data.data());
    for (qint64 i = 0; i < size / 8; ++i) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        words[i] = x;
    }
    return data;
}

bool writeFile(const QString& path, const QByteArray& data) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data) == data.size();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 5) {
        std::fprintf(stderr, "usage: make_ingest_bench DIR PAIRS RAW_MB JPEG_MB\n");
        return 2;
    }
    const QString dir = QDir(args[1]).absolutePath();
    const int pairs = args[2].toInt();
    const qint64 rawBytes = args[3].toLongLong() * 1000 * 1000;
    const qint64 jpegBytes = args[4].toLongLong() * 1000 * 1000;
    if (pairs < 1 || rawBytes < 1 || jpegBytes < 1 || !QDir().mkpath(dir + "/export")) {
        std::fprintf(stderr, "make_ingest_bench: bad arguments\n");
        return 2;
    }
    try {
        auto library = PhotoLibrary::create(dir + "/Bench.photolibrary");
        PhotoLibraryAccess::setStoredStatus("twinslim", AccessLevel::ReadWrite,
                                            AuthorizationStatus::Authorized);
        const QDateTime first(QDate(2024, 7, 1), QTime(10, 0), Qt::UTC);
        QStringList ids;
        // A few items per change keeps the resource bytes in memory small.
        for (int start = 0; start < pairs; start += 4) {
            library->performChangesAndWait([&](ChangeRequests& changes) {
                for (int i = start; i < std::min(pairs, start + 4); ++i) {
                    const QString stem =
                        QStringLiteral("IMG_%1").arg(i + 1, 4, 10, QLatin1Char('0'));
                    auto& request = changes.creationRequestForAsset();
                    request.addResource(ResourceType::Photo, noise(jpegBytes, 2 * i),
                                        {stem + ".JPG", "public.jpeg"});
                    request.addResource(ResourceType::AlternatePhoto, noise(rawBytes, 2 * i + 1),
                                        {stem + ".CR3", "com.canon.cr3-raw-image"});
                    request.creationDate = first.addSecs(60 * i);
                    request.favorite = i % 2 == 0;
                    ids << request.placeholderForCreatedAsset().localIdentifier;
                }
            });
        }
        const auto assets = library->fetchAssetsWithLocalIdentifiers(ids);
        std::vector<AssetPtr> favourites, others;
        QFile sources(dir + "/backup-sources.txt");
        if (!sources.open(QIODevice::WriteOnly))
            throw std::runtime_error("cannot write backup-sources.txt");
        for (const AssetPtr& asset : assets) {
            (asset->isFavorite ? favourites : others).push_back(asset);
            for (const ResourcePtr& r : asset->resources)
                if (asset->isFavorite || r->uniformTypeIdentifier == "public.jpeg")
                    sources.write(QFile::encodeName(library->storedFilePath(r)) + "\n");
        }
        library->performChangesAndWait([&](ChangeRequests& changes) {
            changes.creationRequestForAssetCollection("Twinslim Favs").addAssets(favourites);
            changes.creationRequestForAssetCollection("Twinslim NonFavs").addAssets(others);
        });

        // What the photo library application exports: full size for favourites, at most
        // 2048 pixels for the rest.
        const QImage picture =
            bench::cameraLikeImage(bench::sized(QSize(4032, 3024), QSize(403, 302)), 7);
        const QByteArray full = imaging::encodeJpeg(picture, 0.8);
        const QByteArray small =
            imaging::encodeJpeg(picture.scaled(bench::sized(QSize(2048, 1536), QSize(201, 151)),
                                               Qt::KeepAspectRatio, Qt::SmoothTransformation),
                                0.8);
        for (const AssetPtr& asset : assets) {
            const QString stem = asset->resources.front()->originalFilename.section('.', 0, 0);
            if (!writeFile(dir + "/export/" + stem + ".jpg", asset->isFavorite ? full : small))
                throw std::runtime_error("cannot write the exported pictures");
        }
        std::printf("%d pairs, exported pictures of %lld and %lld bytes\n", pairs,
                    qint64(full.size()), qint64(small.size()));
    } catch (const std::exception& e) {
        std::fprintf(stderr, "make_ingest_bench: %s\n", e.what());
        return 1;
    }
    return 0;
}
