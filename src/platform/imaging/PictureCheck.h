#pragma once

#include <QByteArray>

namespace imaging {

// Whether `data` is a JPEG or HEIF picture whose pixels decode in full: a file cut off after
// intact headers, or damaged inside, does not. Never throws; thread-safe.
bool decodesAsPicture(const QByteArray& data);

} // namespace imaging
