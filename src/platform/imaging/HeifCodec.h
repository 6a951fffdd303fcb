#pragma once

#include "platform/imaging/DecodeTarget.h"
#include "platform/imaging/YuvImage.h"

#include <QByteArray>
#include <QImage>

namespace imaging {

// HEIC/HEIF through libheif (HEVC by libde265 and x265).
//
// Orientation: a HEIF file turns its picture by its own rotation and mirroring properties
// (irot/imir), which libheif applies while decoding; the EXIF orientation tag of a HEIF file is
// only a description of those and is never applied on top. The encoder therefore writes both:
// the EXIF block as given, and irot/imir that match its orientation tag. (libheif 1.15 writes the
// image extent, ispe, of an image turned by 90° as its upright size and reads it back the same
// way; phones write the stored size. Files meant for other software are best written upright with
// orientation 1.)
//
// Thread safety: both functions are safe to call concurrently; each call has its own libheif
// context, decoder and encoder, and libheif's process-wide set-up runs once.

// The primary image, upright. When `target` is not full size, the smallest stored thumbnail that
// satisfies it is decoded instead; a primary image larger than needed is reduced to the target
// (see DecodeTarget::reducedSize). Null for anything libheif cannot decode.
QImage decodeHeif(const QByteArray& bytes, const DecodeTarget& target = DecodeTarget::fullSize());
// Whether the primary image's pixels decode in full, checked without what a picture to show
// needs besides: no conversion to RGB, no turning. False for anything libheif cannot decode.
bool heifDecodes(const QByteArray& bytes);

// HEIC (HEVC, 4:2:0, 8 bit) of `image`, stored as given (alpha dropped). `quality` 0…1 maps onto
// libheif's 1…100 like the JPEG encoder's. x265 runs with the "faster" preset (its default would
// take seconds per camera-sized image). A non-empty `exifBlock` (as from buildExifBlock) is
// attached to the image, and its orientation tag is also written as irot/imir. A non-null
// `thumbnail` (stored pixels like `image`, usually a reduced copy) is stored as the image's
// thumbnail, its sides rounded down to even numbers. Throws ImagingError for a null image, an EXIF
// block that is not TIFF-structured, or when libheif fails.
QByteArray encodeHeic(const QImage& image, double quality, const QByteArray& exifBlock = {},
                      const QImage& thumbnail = {});
// The same from Y'CbCr planes, which go to the encoder as they are: no colour conversion, no
// copy. The planes are the same picture that encoding `image` converted to them would give.
QByteArray encodeHeic(const YuvImage& image, double quality, const QByteArray& exifBlock = {},
                      const QImage& thumbnail = {});

} // namespace imaging
