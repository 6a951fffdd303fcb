#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <optional>

// Internal to the imaging library: just enough TIFF reading to find the orientation and the
// embedded thumbnail without handing the whole file to Exiv2, which decoders would pay for on
// every thumbnail.
namespace imaging::detail {

// The TIFF-structured payload of a JPEG's first "Exif\0\0" APP1 segment (a view into `jpeg`);
// empty when there is none before the image data.
QByteArrayView jpegExifPayload(QByteArrayView jpeg);

// The start of the TIFF structure in an EXIF block: the block itself, or what follows an
// "Exif\0\0" prefix. Empty when neither starts with a TIFF header.
QByteArrayView tiffStart(QByteArrayView block);

// The IFD0 Orientation tag of a TIFF-structured EXIF block; empty when absent or unreadable.
std::optional<int> tiffOrientation(QByteArrayView tiff);

// The JPEG thumbnail that IFD1 of a TIFF-structured EXIF block points at (a view into `tiff`);
// empty when there is none or its offset and length do not lie inside the block.
QByteArrayView tiffJpegThumbnail(QByteArrayView tiff);

} // namespace imaging::detail
