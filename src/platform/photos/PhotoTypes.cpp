#include "platform/photos/PhotoTypes.h"

#include <QUuid>

namespace photos {

static QString newIdentifier(const char* suffix) {
    return QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper() + QLatin1String(suffix);
}

QString newAssetIdentifier() {
    return newIdentifier("/L0/001");
}
QString newCollectionIdentifier() {
    return newIdentifier("/L0/040");
}

} // namespace photos
