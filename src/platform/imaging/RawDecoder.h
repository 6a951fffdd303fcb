#pragma once

#include "platform/imaging/DecodeTarget.h"

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <optional>

namespace imaging {

// Decodes a camera RAW file upright (orientation applied) and large enough for `target`, without
// needless work: the largest embedded preview that satisfies the target, JPEG previews decoded at
// a reduced TurboJPEG scale; otherwise a full LibRaw decode (half size when that still satisfies
// the target). A full-size target is served by a preview only when the preview is as large as the
// full picture. When the full decode fails (sensor data missing or cut short, a compression
// LibRaw does not know) the largest preview is returned even though it falls short of `target`.
// The result may be larger than `target`; the caller scales it to the exact size.
// Returns a null image when nothing can be decoded (not a RAW file, truncated, corrupt).
// Thread-safe: every call has its own LibRaw instance.
// A file is read with pread, never mapped (a disk that goes away must fail a read, not kill the
// process), and only as far as needed: the headers and the chosen preview, all of it only for a
// decode of the sensor data. A file cut short while it is read gives no picture or a correct one.
QImage decodeRaw(const QString& path, const DecodeTarget& target = DecodeTarget::fullSize());
// The regular file open as `fd` (its offset is left alone).
QImage decodeRaw(int fd, const DecodeTarget& target = DecodeTarget::fullSize());
QImage decodeRaw(const QByteArray& bytes, const DecodeTarget& target = DecodeTarget::fullSize());

struct RawPreviewInfo {
    QSize size;      // of the largest embedded preview, upright
    int orientation; // EXIF orientation 1..8 applied to it
};

// The largest embedded preview's size, from headers only (no pixels decoded); empty when the
// file has no usable preview.
std::optional<RawPreviewInfo> rawPreviewInfo(const QString& path);
std::optional<RawPreviewInfo> rawPreviewInfo(int fd);
std::optional<RawPreviewInfo> rawPreviewInfo(const QByteArray& bytes);

} // namespace imaging
