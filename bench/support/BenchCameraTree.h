#pragma once

#include <QString>

namespace bench {

// Writes a tree of camera folders as photographers keep them: `pairs` RAW+JPEG pairs (small
// DNG and JPEG with EXIF dates, a GPS fix on every tenth), a quarter as many lone JPEGs and an
// XMP sidecar for every fourth pair, rated 5 or 3 and with a keyword (so 40,000 pairs make
// 100,000 files), 500 shots a folder in year/camera folders. The pictures are small; what a
// benchmark measures is the work per file. Returns false when a file cannot be written.
bool writeCameraTree(const QString& root, int pairs);

} // namespace bench
