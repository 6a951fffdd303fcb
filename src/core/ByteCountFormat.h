#pragma once

#include <QString>

namespace twinslim {

// A byte count the way file sizes are shown to the user: decimal units (1 kB = 1000 bytes),
// numbers in the user's locale, no fraction digits for kB, one for MB, two from GB up,
// trailing zeros dropped ("12.3 MB", "2 GB", "999 bytes"). Negative counts keep their sign.
QString formatByteCount(qint64 bytes);

} // namespace twinslim
