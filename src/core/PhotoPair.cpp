#include "core/PhotoPair.h"

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

QString PhotoPair::albumsText() const {
    return albumNames.join(QStringLiteral(", "));
}

} // namespace twinslim
