#include "core/PhotoPair.h"

#include "backup/MarkerAlbum.h"

#include <limits>

namespace twinslim {

QDateTime distantPast() {
    static const QDateTime past =
        QDateTime::fromMSecsSinceEpoch(std::numeric_limits<qint64>::min(), Qt::UTC);
    return past;
}

QDateTime PhotoPair::sortDate() const {
    return creationDate.value_or(distantPast());
}

bool PhotoPair::awaitsDeletion() const {
    return albumNames.contains(markerAlbumTitle());
}

QString PhotoPair::albumsText() const {
    return albumNames.join(QStringLiteral(", "));
}

} // namespace twinslim
