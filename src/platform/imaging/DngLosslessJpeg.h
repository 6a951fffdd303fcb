#pragma once

#include <QByteArray>
#include <cstdint>
#include <span>

// Lossless JPEG (ITU T.81 process 14, SOF3), the compression DNG uses for sensor data.
namespace imaging::rawdetail {

// Encodes `samples` (width × height pixels of `components` interleaved 8-bit samples) with
// predictor 1 and one Huffman table fitted to the data. Throws std::invalid_argument when the
// sizes do not match or are out of range (sides 1..65535, 1..4 components).
QByteArray encodeLosslessJpeg(std::span<const std::uint8_t> samples, int width, int height,
                              int components);

} // namespace imaging::rawdetail
