#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <cstdint>
#include <optional>
#include <span>

// TurboJPEG helpers for embedded RAW previews.
namespace imaging::rawdetail {

// Pixel size from the JPEG header alone; empty when the data is not a JPEG TurboJPEG can decode
// (lossless JPEG, as used for DNG sensor data, is rejected here).
std::optional<QSize> jpegSize(std::span<const std::uint8_t> data);

// Decodes at the smallest TurboJPEG scaling factor (at most 1/1) whose result is at least
// `minimum` in both dimensions, or at full size when none is. An empty `minimum` decodes at the
// smallest factor. Null on a fatal error or on data that ends early (a truncated preview would
// otherwise come out with a grey band).
QImage decodeJpegScaled(std::span<const std::uint8_t> data, QSize minimum);

} // namespace imaging::rawdetail
