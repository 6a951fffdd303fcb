#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Internal to the imaging library: LibRaw as a last source of a RAW file's capture time.
namespace imaging::detail {

// LibRaw's capture time of a RAW file (from `bytes` when not null, else the file at `path`), as
// EXIF date-time text. Only LibRaw's metadata pass runs; pixel data is never unpacked. Empty when
// LibRaw finds no time. Thread-safe (one LibRaw object per call, libraw_r).
std::optional<QString> libRawCaptureTime(const QString& path, const QByteArray* bytes);

} // namespace imaging::detail
