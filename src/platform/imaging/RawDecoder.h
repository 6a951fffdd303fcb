#pragma once

#include <QByteArray>
#include <QImage>
#include <QSize>
#include <QString>
#include <optional>

namespace imaging {

// How the caller will fit the decoded picture into its target box: whole picture inside it (Fit)
// or covering it with the overflow cropped (Fill). Decides how large the decode must be.
enum class RawTargetMode { Fit, Fill };

// Decodes a camera RAW file upright (orientation applied), large enough for `target` (a size in
// display orientation) under `mode`, but without needless work: the largest embedded preview when
// it is big enough, JPEG previews decoded at a reduced TurboJPEG scale; otherwise a full LibRaw
// decode (half size when that still covers the target). When the full decode fails (sensor data
// missing, unsupported compression) the largest preview is returned even if smaller than
// `target`. The result may be larger than `target`; the caller scales it to the exact size. An
// empty `target` asks for the largest preview at full scale, else the full decode.
// Returns a null image when nothing can be decoded (not a RAW file, truncated, corrupt).
// Thread-safe: every call has its own LibRaw instance.
QImage decodeRaw(const QString& path, QSize target, RawTargetMode mode = RawTargetMode::Fit);
QImage decodeRaw(const QByteArray& bytes, QSize target, RawTargetMode mode = RawTargetMode::Fit);

struct RawPreviewInfo {
    QSize size;      // of the largest embedded preview, in display orientation
    int orientation; // EXIF orientation 1..8 applied to it
};

// The largest embedded preview's size, from headers only (no pixels decoded); empty when the
// file has no usable preview.
std::optional<RawPreviewInfo> rawPreviewInfo(const QString& path);
std::optional<RawPreviewInfo> rawPreviewInfo(const QByteArray& bytes);

} // namespace imaging
