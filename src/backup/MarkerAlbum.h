#pragma once

#include <QString>

namespace twinslim {

// The user album that holds replaced originals until they are deleted: the durable
// to-do list of the clean-up. Never copied to a replacement item.
inline QString markerAlbumTitle() {
    return QStringLiteral("TwinslimOriginalsToDelete");
}

} // namespace twinslim
