#pragma once

#include <QByteArray>
#include <QString>
#include <optional>

// Internal to the imaging library: LibRaw as a last source of a RAW file's capture time.
namespace imaging::detail {

// LibRaw's capture time of the RAW file in `bytes`, as EXIF date-time text. Only LibRaw's
// metadata pass runs, within a bounded amount of reading; pixel data is never unpacked. Empty when
// LibRaw finds no time. Thread-safe (one LibRaw object per call, libraw_r).
std::optional<QString> libRawCaptureTime(const QByteArray& bytes);

} // namespace imaging::detail
