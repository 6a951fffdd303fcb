#include "platform/photos/shared/TrashRecord.h"

#include <QJsonArray>

namespace photos {

AssetPtr assetOfTrashRecord(const QString& identifier, const QJsonObject& json) {
    auto asset = std::make_shared<Asset>();
    asset->localIdentifier = identifier;
    if (json.value(QStringLiteral("date")).isDouble())
        asset->creationDate = QDateTime::fromMSecsSinceEpoch(
            qint64(json.value(QStringLiteral("date")).toDouble()), Qt::UTC);
    if (json.value(QStringLiteral("latitude")).isDouble())
        asset->location = Location{json.value(QStringLiteral("latitude")).toDouble(),
                                   json.value(QStringLiteral("longitude")).toDouble()};
    asset->isFavorite = json.value(QStringLiteral("favorite")).toBool();
    int ordinal = 0;
    for (const QJsonValue& v : json.value(QStringLiteral("resources")).toArray()) {
        const QJsonObject o = v.toObject();
        auto r = std::make_shared<AssetResource>();
        r->assetLocalIdentifier = identifier;
        r->ordinal = ordinal++;
        r->type = ResourceType(o.value(QStringLiteral("type")).toInt());
        r->uniformTypeIdentifier = o.value(QStringLiteral("uti")).toString();
        r->originalFilename = o.value(QStringLiteral("name")).toString();
        if (o.value(QStringLiteral("size")).isDouble())
            r->fileSize = qint64(o.value(QStringLiteral("size")).toDouble());
        asset->resources.push_back(std::move(r));
    }
    return asset;
}

} // namespace photos
