#pragma once

#include "platform/imaging/DecodeTarget.h"
#include "platform/imaging/YuvImage.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QImage>

namespace imaging {

// JPEG through TurboJPEG.
//
// Thread safety: all functions are safe to call concurrently; each call creates its own
// TurboJPEG handle and shares nothing.

// Decodes at the smallest TurboJPEG scaling factor (1/8 … 1) whose result satisfies `target`,
// then turns the picture upright by its EXIF orientation. Null for anything that is not a JPEG
// TurboJPEG can decode: empty, corrupt or truncated data (data that ends early would come out
// with a grey band), CMYK JPEGs. Minor defects libjpeg only warns about are tolerated.
QImage decodeJpeg(const QByteArray& bytes, const DecodeTarget& target = DecodeTarget::fullSize());

// The full-size picture as Y'CbCr 4:2:0 planes made from the JPEG's own samples, never
// converted to RGB, turned upright by its EXIF orientation: the input the HEIC encoder takes.
// Chroma stored at a higher resolution (4:2:2, 4:4:0, 4:4:4) is averaged down; a grey picture
// gets neutral chroma. Null wherever decodeJpeg is null, and for files whose samples are not
// Y'CbCr or grey (CMYK, YCCK, RGB) or whose chroma is 4:1:1: those need decodeJpeg. Null too,
// found from the header before anything is decoded, when `maxLongSide` is positive and the
// picture's long side is over it: planes are never reduced.
YuvImage decodeJpegYuv420(const QByteArray& bytes, int maxLongSide = 0);

// The thumbnail a camera stores in the EXIF block of `jpeg`, cropped to the picture's aspect
// (cameras pad it with black bars) and turned upright by the picture's orientation; null when
// there is none, it cannot be decoded, or it does not satisfy `target` (a full-size target never
// is). Only the marker segments and the thumbnail are read, so `jpeg` may be a mapped file.
QImage decodeJpegExifThumbnail(QByteArrayView jpeg, const DecodeTarget& target);

// Baseline 4:2:0 JPEG of `image` (alpha dropped). `quality` 0…1 maps linearly onto libjpeg's
// 1…100, clamped (NaN counts as 0). A non-empty `exifBlock` (TIFF-structured, as from
// buildExifBlock, with or without an "Exif\0\0" prefix) is stored as the APP1 segment; the pixels
// are stored as given, so its orientation tag tells viewers how to turn them.
// Throws ImagingError for a null image, an EXIF block that is not TIFF-structured or too large
// for one segment (64 KB), or when TurboJPEG fails.
QByteArray encodeJpeg(const QImage& image, double quality, const QByteArray& exifBlock = {});

// libjpeg quality 1…100 for a 0…1 quality (shared with the HEIC encoder).
int qualityPercent(double quality);

} // namespace imaging
