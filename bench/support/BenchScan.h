#pragma once

#include "platform/photos/FetchOptions.h"

namespace photos {
class PhotoLibrary;
}

namespace bench {

// What the scan does over a library: fetch the items `options` select, find each one's first
// RAW and first JPEG by type identifier, and list the albums holding each pair. Returns the
// number of pairs.
int scanPattern(const photos::PhotoLibrary& lib, const photos::FetchOptions& options);

} // namespace bench
