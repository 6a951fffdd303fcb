#pragma once

#include "platform/photos/PhotoTypes.h"

#include <QJsonObject>

namespace photos {

// An item in the trash as the darktable and digiKam stores record it in their state: its
// date, place, favourite flag and files ("date", "latitude", "longitude", "favorite",
// "resources"), read back for "Recently Deleted".
AssetPtr assetOfTrashRecord(const QString& identifier, const QJsonObject& record);

} // namespace photos
