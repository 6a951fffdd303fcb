#pragma once

#include "platform/imaging/ExifFields.h"
#include "platform/photos/PhotoLibrary.h"

#include <QByteArray>
#include <QSize>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>
#include <vector>

namespace photolib {

enum class ExportFormat { Heic, Jpeg };

struct ExportOptions {
    ExportFormat format = ExportFormat::Heic;
    int maxSize = 0;         // longest side in pixels; 0 keeps the rendering's own size
    double quality = -1;     // 0…1; negative takes the format's default
    int thumbnailSide = 320; // HEIC only: long side of the stored thumbnail; 0 writes none
};

struct ExportFailure {
    QString assetIdentifier;
    QString name; // the original file name the item is known by
    QString reason;
};

struct ExportSummary {
    QStringList written; // paths of the files written, in album order
    std::vector<ExportFailure> failures;
};

double defaultQuality(ExportFormat format);
// "heic" or "jpeg", the format's preferred file-name extension.
QString formatExtension(ExportFormat format);
// "HEIC" or "JPEG", for messages.
QString formatName(ExportFormat format);

// The original file name an exported file is named after: the photo resource's, else the
// first resource's; empty when the asset has no resources.
QString primaryFilename(const photos::Asset& asset);
// The name without its last extension, by the usual path rules (a leading dot starts no
// extension); path separators and control characters such as newlines become "_" so the
// result is one name on one line, and leading dots go so it is not hidden; "Untitled"
// when nothing is left.
QString exportStem(const QString& originalFilename);
// "stem.ext", or "stem (n).ext" for n ≥ 1; the stem is shortened so that the name fits the
// file systems' 255 bytes.
QString numberedName(const QString& stem, int n, const QString& extension);

// EXIF of an exported picture of `pixelSize` (already upright): the creation date as
// wall-clock time of the machine's current time zone with that zone's offset, the
// location, orientation 1. No creation date, no date tags.
imaging::ExifFields exportExifFields(const photos::Asset& asset, QSize pixelSize);

// The folder to export into: an existing folder, or a new one made when its parent folder
// exists. Returns its absolute path; throws ExportError otherwise.
QString prepareExportFolder(const QString& path);

// Writes `bytes` into `folder` as `stem.ext`, or `stem (1).ext`, `stem (2).ext` … when the
// name is taken. Never replaces or truncates an existing file, and a file appears under its
// final name only once it is complete. Returns the path; throws ExportError when it cannot.
QString writeNewFile(const QString& folder, const QString& stem, const QString& extension,
                     const QByteArray& bytes);

// A failure that ends the export (folder unusable, a file that cannot be written).
class ExportError : public std::runtime_error {
public:
    explicit ExportError(const QString& message) : std::runtime_error(message.toStdString()) {}
};

// Renders `assets` with the library's image manager (the current rendering, upright, at
// most `maxSize` on the long side), encodes them in parallel on the manager's threads and
// writes them into `folder` in the given order. An item that cannot be rendered or encoded
// is reported through `onFailure` and skipped. `progress` gets (handled, total) after each
// item. Throws ExportError when a file cannot be written; files written so far stay.
ExportSummary exportAssets(const std::shared_ptr<photos::PhotoLibrary>& library,
                           const std::vector<photos::AssetPtr>& assets, const QString& folder,
                           const ExportOptions& options,
                           const std::function<void(int, int)>& progress = {},
                           const std::function<void(const ExportFailure&)>& onFailure = {});

} // namespace photolib
