#include "AssetText.h"

#include "platform/types/UTType.h"

#include <QJsonArray>
#include <QTimeZone>

namespace photolib {

using namespace photos;

QString isoDate(const Asset& asset) {
    if (!asset.creationDate)
        return {};
    const int offset = asset.creationOffsetSeconds.value_or(
        QTimeZone::systemTimeZone().offsetFromUtc(*asset.creationDate));
    const QDateTime local = asset.creationDate->toUTC().addSecs(offset);
    const int minutes = std::abs(offset) / 60;
    return local.toString(QStringLiteral("yyyy-MM-ddTHH:mm:ss")) +
           (offset < 0 ? QLatin1Char('-') : QLatin1Char('+')) +
           QStringLiteral("%1:%2")
               .arg(minutes / 60, 2, 10, QLatin1Char('0'))
               .arg(minutes % 60, 2, 10, QLatin1Char('0'));
}

bool isRawJpegPair(const Asset& asset) {
    bool raw = false, jpeg = false;
    for (const ResourcePtr& r : asset.resources) {
        raw = raw || uti::conformsToRaw(r->uniformTypeIdentifier);
        jpeg = jpeg || uti::conformsToJpeg(r->uniformTypeIdentifier);
    }
    return raw && jpeg;
}

QJsonObject assetJson(const PhotoLibrary& library, const AssetPtr& asset) {
    QJsonObject o;
    o.insert(QStringLiteral("localIdentifier"), asset->localIdentifier);
    o.insert(QStringLiteral("creationDate"),
             asset->creationDate ? QJsonValue(isoDate(*asset)) : QJsonValue(QJsonValue::Null));
    o.insert(QStringLiteral("isFavorite"), asset->isFavorite);
    o.insert(QStringLiteral("isHidden"), asset->isHidden);
    if (asset->location)
        o.insert(QStringLiteral("location"),
                 QJsonObject{{QStringLiteral("latitude"), asset->location->latitude},
                             {QStringLiteral("longitude"), asset->location->longitude}});
    else
        o.insert(QStringLiteral("location"), QJsonValue(QJsonValue::Null));
    QJsonArray albums;
    for (const CollectionPtr& c :
         library.fetchAssetCollectionsContainingAsset(asset, CollectionType::Album))
        if (c->localizedTitle)
            albums.append(*c->localizedTitle);
    o.insert(QStringLiteral("albums"), albums);
    QJsonArray resources;
    for (const ResourcePtr& r : asset->resources) {
        QJsonObject ro{{QStringLiteral("type"), int(r->type)},
                       {QStringLiteral("uniformTypeIdentifier"), r->uniformTypeIdentifier},
                       {QStringLiteral("originalFilename"), r->originalFilename}};
        ro.insert(QStringLiteral("fileSize"),
                  r->fileSize ? QJsonValue(double(*r->fileSize)) : QJsonValue(QJsonValue::Null));
        resources.append(ro);
    }
    o.insert(QStringLiteral("resources"), resources);
    return o;
}

QString assetLine(const AssetPtr& asset) {
    QStringList names;
    for (const ResourcePtr& r : asset->resources)
        names << r->originalFilename;
    QString flags;
    flags += asset->isFavorite ? QLatin1Char('F') : QLatin1Char('-');
    flags += asset->isHidden ? QLatin1Char('H') : QLatin1Char('-');
    const QString date = asset->creationDate ? isoDate(*asset) : QStringLiteral("(no date)");
    return QStringLiteral("%1  %2  %3  %4")
        .arg(asset->localIdentifier, date.leftJustified(25), flags,
             names.join(QLatin1String(", ")));
}

} // namespace photolib
