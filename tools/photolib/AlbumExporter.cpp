#include "AlbumExporter.h"

#include "platform/imaging/ExifDate.h"
#include "platform/imaging/FileRead.h"
#include "platform/imaging/HeifCodec.h"
#include "platform/imaging/JpegCodec.h"
#include "platform/photos/ImageManager.h"
#include "platform/types/UTType.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QThread>
#include <QThreadPool>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <future>
#include <unistd.h>

namespace photolib {

using namespace photos;

namespace {

QString systemError(int error) {
    return QString::fromLocal8Bit(std::strerror(error));
}

// What a worker hands back for one item: the encoded file, or why there is none.
struct Encoded {
    QByteArray bytes;
    QString failure;
};

// An item ready for its encoder: everything but the encoding itself is done on the decoding
// threads, so that the encoder stage (one HEIC at a time) does nothing else.
struct Prepared {
    QImage image; // in the pixel format the encoder takes, so it copies nothing
    // A JPEG's own Y'CbCr samples, which the HEIC encoder takes as they are; when set, `image`
    // is null.
    imaging::YuvImage planes;
    QImage thumbnail;
    QByteArray exif;
};

// The long side of a HEIC's stored thumbnail for a picture whose long side is `longSide`, or 0
// for none. A thumbnail lets viewers (and our own image manager) show small sizes without
// decoding the whole picture; it only pays off for pictures well above its size.
int thumbnailSideFor(int longSide, const ExportOptions& options) {
    const int side = options.thumbnailSide;
    return options.format == ExportFormat::Heic && side > 0 && longSide >= 2 * side ? side : 0;
}

Prepared prepare(const Asset& asset, QImage image, const ExportOptions& options) {
    if (options.maxSize > 0 && std::max(image.width(), image.height()) > options.maxSize)
        image = image.scaled(options.maxSize, options.maxSize, Qt::KeepAspectRatio,
                             Qt::SmoothTransformation);
    Prepared p;
    p.exif = imaging::buildExifBlock(exportExifFields(asset, image.size()));
    const int longSide = std::max(image.width(), image.height());
    if (const int side = thumbnailSideFor(longSide, options)) {
        // Smooth scaling reads every source pixel; a quick cut to four times the size first
        // keeps a camera-sized picture from costing more than the thumbnail is worth.
        const QImage reduced =
            longSide > 8 * side
                ? image.scaled(4 * side, 4 * side, Qt::KeepAspectRatio, Qt::FastTransformation)
                : image;
        p.thumbnail = reduced.scaled(side, side, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                          .convertToFormat(QImage::Format_RGB888);
    }
    p.image = image.convertToFormat(options.format == ExportFormat::Heic ? QImage::Format_RGB888
                                                                         : QImage::Format_RGBX8888);
    return p;
}

// A full-size HEIC export of a JPEG: the JPEG's samples go to the encoder as Y'CbCr planes,
// with no RGB in between; the thumbnail comes from a decode at a reduced scale, which costs a
// small part of a full one. Null when the JPEG does not decode that way or must be made smaller
// first: the image manager renders those as it does everything else.
std::shared_ptr<Prepared> prepareFromJpeg(const Asset& asset, const QByteArray& jpeg,
                                          const ExportOptions& options) {
    imaging::YuvImage planes = imaging::decodeJpegYuv420(jpeg, std::max(0, options.maxSize));
    if (planes.isNull())
        return nullptr;
    auto p = std::make_shared<Prepared>();
    p->exif = imaging::buildExifBlock(exportExifFields(asset, planes.size()));
    if (const int side = thumbnailSideFor(std::max(planes.width(), planes.height()), options)) {
        // Exactly the size the thumbnail of the full picture has.
        const QSize size = planes.size().scaled(side, side, Qt::KeepAspectRatio);
        const QImage reduced = imaging::decodeJpeg(jpeg, imaging::DecodeTarget::longSide(side));
        if (reduced.isNull())
            return nullptr;
        p->thumbnail = reduced.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation)
                           .convertToFormat(QImage::Format_RGB888);
    }
    p->planes = std::move(planes);
    return p;
}

QByteArray encode(const Prepared& p, const ExportOptions& options) {
    const double quality = options.quality < 0 ? defaultQuality(options.format) : options.quality;
    if (!p.planes.isNull())
        return imaging::encodeHeic(p.planes, quality, p.exif, p.thumbnail);
    return options.format == ExportFormat::Jpeg
               ? imaging::encodeJpeg(p.image, quality, p.exif)
               : imaging::encodeHeic(p.image, quality, p.exif, p.thumbnail);
}

// Runs `work` and turns whatever it throws into a failure text: the writer waits for exactly
// one answer per item, so no exception may escape a worker thread.
template <typename Work> QString failureOf(Work&& work) {
    try {
        work();
        return {};
    } catch (const std::exception& e) {
        return QString::fromUtf8(e.what());
    } catch (...) {
        return QStringLiteral("the picture could not be encoded");
    }
}

bool writeAll(int fd, const QByteArray& bytes) {
    const char* data = bytes.constData();
    qsizetype left = bytes.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, data, static_cast<size_t>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data += n;
        left -= n;
    }
    return true;
}

// Creates `path` only when nothing is there and writes the bytes; removes what it created
// when the write fails. Returns 0, or the error of creating the file (EEXIST: name taken).
int createExclusively(const QString& path, const QByteArray& bytes) {
    const QByteArray native = QFile::encodeName(path);
    const int fd = ::open(native.constData(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0)
        return errno;
    const bool ok = writeAll(fd, bytes) && ::fdatasync(fd) == 0;
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && ok)
        error = errno;
    if (error != 0) {
        ::unlink(native.constData());
        throw ExportError(QStringLiteral("cannot write “%1”: %2")
                              .arg(QDir::toNativeSeparators(path), systemError(error)));
    }
    return 0;
}

// Flushes the folder's entries, so that the exported names survive a power cut.
void syncFolder(const QString& folder) {
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    int error = fd < 0 ? errno : 0;
    // Some file systems cannot flush a folder (EINVAL); there is nothing more to do there.
    if (fd >= 0 && ::fsync(fd) != 0 && errno != EINVAL)
        error = errno;
    if (fd >= 0)
        ::close(fd);
    if (error != 0)
        throw ExportError(QStringLiteral("cannot flush the folder “%1”: %2")
                              .arg(QDir::toNativeSeparators(folder), systemError(error)));
}

} // namespace

double defaultQuality(ExportFormat format) {
    // HEIC 0.5 is libheif's own default (x265 CRF 25): about half the size of a camera JPEG at
    // no visible loss. Higher values quickly make files larger than the JPEG they replace.
    return format == ExportFormat::Heic ? 0.5 : 0.9;
}

QString formatExtension(ExportFormat format) {
    return format == ExportFormat::Heic ? uti::UTType::heic().preferredFilenameExtension()
                                        : uti::UTType::jpeg().preferredFilenameExtension();
}

QString formatName(ExportFormat format) {
    return format == ExportFormat::Heic ? QStringLiteral("HEIC") : QStringLiteral("JPEG");
}

QString primaryFilename(const Asset& asset) {
    for (const ResourcePtr& r : asset.resources)
        if (r->type == ResourceType::Photo)
            return r->originalFilename;
    return asset.resources.empty() ? QString() : asset.resources.front()->originalFilename;
}

QString exportStem(const QString& originalFilename) {
    QString name = originalFilename;
    for (QChar& c : name)
        if (c == QLatin1Char('/') || c.category() == QChar::Other_Control)
            c = QLatin1Char('_'); // one name, on one line
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot > 0)
        name.truncate(dot);
    // A leading dot would hide the file.
    qsizetype dots = 0;
    while (dots < name.size() && name[dots] == QLatin1Char('.'))
        ++dots;
    name.remove(0, dots);
    return name.isEmpty() ? QStringLiteral("Untitled") : name;
}

QString numberedName(const QString& stem, int n, const QString& extension) {
    const QString suffix =
        (n == 0 ? QString() : QStringLiteral(" (%1)").arg(n)) + QLatin1Char('.') + extension;
    // File systems take at most 255 bytes per name; a long stem is cut to fit, never
    // between the two halves of a character.
    constexpr qsizetype maxNameBytes = 255;
    const qsizetype room = maxNameBytes - QFile::encodeName(suffix).size();
    QString name = stem;
    while (!name.isEmpty() && QFile::encodeName(name).size() > room)
        name.chop(name.size() >= 2 && name.back().isLowSurrogate() ? 2 : 1);
    return name + suffix;
}

imaging::ExifFields exportExifFields(const Asset& asset, QSize pixelSize) {
    imaging::ExifFields f;
    f.orientation = 1; // the pixels are stored upright
    f.pixelWidth = pixelSize.width();
    f.pixelHeight = pixelSize.height();
    if (asset.creationDate && asset.creationDate->isValid()) {
        // The wall-clock time where the picture was taken, as the camera wrote it: readers
        // show DateTimeOriginal as it stands. An item whose zone is unknown was read as this
        // machine's time, and gets no offset it never had.
        if (asset.creationOffsetSeconds) {
            f.dateTimeOriginal = imaging::formatExifDateTime(
                asset.creationDate->toOffsetFromUtc(*asset.creationOffsetSeconds));
            f.offsetTimeOriginal = imaging::formatExifOffset(*asset.creationOffsetSeconds);
        } else {
            f.dateTimeOriginal = imaging::formatExifDateTime(asset.creationDate->toLocalTime());
        }
    }
    if (asset.location && std::isfinite(asset.location->latitude) &&
        std::isfinite(asset.location->longitude) && std::fabs(asset.location->latitude) <= 90 &&
        std::fabs(asset.location->longitude) <= 180) {
        f.latitude = asset.location->latitude;
        f.longitude = asset.location->longitude;
    }
    return f;
}

QString prepareExportFolder(const QString& path) {
    const QFileInfo info(path);
    const QString shown = QDir::toNativeSeparators(path);
    if (info.exists()) {
        if (!info.isDir())
            throw ExportError(QStringLiteral("“%1” is not a folder.").arg(shown));
        return info.absoluteFilePath();
    }
    const QFileInfo parent(info.absolutePath());
    if (!parent.isDir())
        throw ExportError(QStringLiteral("“%1” does not exist.")
                              .arg(QDir::toNativeSeparators(parent.absoluteFilePath())));
    if (!QDir().mkdir(info.absoluteFilePath()))
        throw ExportError(QStringLiteral("cannot create the folder “%1”.").arg(shown));
    return info.absoluteFilePath();
}

QString writeNewFile(const QString& folder, const QString& stem, const QString& extension,
                     const QByteArray& bytes) {
    // The bytes go into an unnamed file in the folder first, which is then linked under the
    // first free name: linking never replaces an existing file, and the name appears only once
    // the file is complete, so nobody sees half a picture and nothing is left behind when the
    // program is stopped. File systems without unnamed files get a plain exclusive create.
    const int fd =
        ::open(QFile::encodeName(folder).constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0)
                ::close(fd);
        }
    } closer{fd};
    bool linkable = fd >= 0;
    const QByteArray temp = "/proc/self/fd/" + QByteArray::number(fd); // the unnamed file
    if (linkable && (!writeAll(fd, bytes) || ::fdatasync(fd) != 0)) {
        const int error = errno;
        throw ExportError(QStringLiteral("cannot write into “%1”: %2")
                              .arg(QDir::toNativeSeparators(folder), systemError(error)));
    }
    constexpr int attempts = 10000;
    for (int n = 0; n < attempts; ++n) {
        const QString path = folder + QLatin1Char('/') + numberedName(stem, n, extension);
        const QByteArray native = QFile::encodeName(path);
        if (linkable) {
            const int error = ::linkat(AT_FDCWD, temp.constData(), AT_FDCWD, native.constData(),
                                       AT_SYMLINK_FOLLOW) == 0
                                  ? 0
                                  : errno;
            if (error == 0)
                return path;
            if (error == EEXIST)
                continue;
            linkable = false;
            // Some file systems (FAT, some network shares) have no hard links.
            if (error != EPERM && error != EOPNOTSUPP && error != ENOSYS && error != EMLINK)
                throw ExportError(QStringLiteral("cannot write “%1”: %2")
                                      .arg(QDir::toNativeSeparators(path), systemError(error)));
        }
        const int error = createExclusively(path, bytes);
        if (error == 0)
            return path;
        if (error != EEXIST)
            throw ExportError(QStringLiteral("cannot write “%1”: %2")
                                  .arg(QDir::toNativeSeparators(path), systemError(error)));
    }
    throw ExportError(QStringLiteral("no free name for “%1” in “%2”.")
                          .arg(numberedName(stem, 0, extension), QDir::toNativeSeparators(folder)));
}

ExportSummary exportAssets(const std::shared_ptr<PhotoLibrary>& library,
                           const std::vector<AssetPtr>& assets, const QString& folder,
                           const ExportOptions& options,
                           const std::function<void(int, int)>& progress,
                           const std::function<void(const ExportFailure&)>& onFailure) {
    ExportSummary summary;
    const QString extension = formatExtension(options.format);
    const QSize target =
        options.maxSize > 0 ? QSize(options.maxSize, options.maxSize) : ImageManagerMaximumSize;
    ImageRequestOptions request;
    request.deliveryMode = ImageDeliveryMode::HighQualityFormat;
    request.resizeMode = ImageResizeMode::Exact;

    // A JPEG bound for HEIC at full size is read and decoded to planes on a pool of its own;
    // everything else is rendered by the manager on its pool (one thread per core) and prepared
    // there too (scaled, converted, its thumbnail and EXIF made). The encoder pool, one thread per
    // core, then only encodes. x265 spreads one HEIC over the cores already, but two
    // at a time still fill the gaps of each other's serial parts (measured: about 4 % faster
    // than one at a time). Results are taken in album order, with few items in flight so that
    // memory stays bounded.
    QThreadPool encoders;
    encoders.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
    ImageManager manager(library);
    // Reads and decodes the JPEGs that go to HEIC as planes; declared after what its tasks use,
    // so that it is done with them before those go.
    QThreadPool jpegDecoders;
    jpegDecoders.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
    const size_t window = size_t(std::max(2, QThread::idealThreadCount()) * 2);
    std::deque<std::future<Encoded>> inFlight;
    size_t submitted = 0;
    auto encodeLater = [&encoders, options](std::shared_ptr<std::promise<Encoded>> promise,
                                            std::shared_ptr<Prepared> prepared) {
        encoders.start([promise, prepared, options] {
            Encoded result;
            result.failure = failureOf([&] { result.bytes = encode(*prepared, options); });
            promise->set_value(std::move(result));
        });
    };
    auto render = [&manager, target, request, options, encodeLater](
                      const AssetPtr& asset, std::shared_ptr<std::promise<Encoded>> promise) {
        manager.requestImage(
            asset, target, ImageContentMode::AspectFit, request,
            [promise, asset, options, encodeLater](QImage image, ImageResultInfo info) {
                if (info.isDegraded)
                    return;
                if (image.isNull()) {
                    promise->set_value({{},
                                        info.error
                                            ? info.error->description()
                                            : QStringLiteral("the picture could not be rendered")});
                    return;
                }
                auto prepared = std::make_shared<Prepared>();
                const QString failure =
                    failureOf([&] { *prepared = prepare(*asset, std::move(image), options); });
                if (!failure.isEmpty()) {
                    promise->set_value({{}, failure});
                    return;
                }
                encodeLater(promise, prepared);
            });
    };
    auto submit = [&] {
        const AssetPtr asset = assets[submitted++];
        auto promise = std::make_shared<std::promise<Encoded>>();
        inFlight.push_back(promise->get_future());
        const ResourcePtr resource = ImageManager::renderingResource(*asset);
        if (options.format != ExportFormat::Heic || !resource ||
            !uti::conformsToJpeg(resource->uniformTypeIdentifier))
            return render(asset, promise);
        jpegDecoders.start([asset, resource, promise, options, &library, render, encodeLater] {
            std::shared_ptr<Prepared> prepared;
            // Read without following links out of the library, as the image manager does.
            if (const int fd = library->openStoredFile(resource); fd >= 0) {
                const QByteArray jpeg = imaging::detail::readFileBytes(fd);
                ::close(fd);
                failureOf([&] { prepared = prepareFromJpeg(*asset, jpeg, options); });
            }
            if (prepared)
                encodeLater(promise, prepared);
            else // not a JPEG after all, unreadable, or to be reduced: rendered the usual way
                render(asset, promise);
        });
    };

    for (size_t i = 0; i < assets.size(); ++i) {
        while (submitted < assets.size() && inFlight.size() < window)
            submit();
        Encoded result = inFlight.front().get();
        inFlight.pop_front();
        const Asset& asset = *assets[i];
        if (result.failure.isEmpty()) {
            summary.written << writeNewFile(folder, exportStem(primaryFilename(asset)), extension,
                                            result.bytes);
        } else {
            ExportFailure failure{asset.localIdentifier, primaryFilename(asset), result.failure};
            if (onFailure)
                onFailure(failure);
            summary.failures.push_back(std::move(failure));
        }
        if (progress)
            progress(int(i + 1), int(assets.size()));
    }
    if (!summary.written.isEmpty())
        syncFolder(folder);
    return summary;
}

} // namespace photolib
