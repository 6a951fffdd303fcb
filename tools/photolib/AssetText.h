#pragma once

#include "platform/photos/PhotoLibrary.h"

#include <QJsonObject>
#include <QString>

namespace photolib {

// "2024-05-01T14:03:22+02:00": the instant at the offset it was captured at.
QString isoDate(const photos::Asset& asset);
bool isRawJpegPair(const photos::Asset& asset);
QJsonObject assetJson(const photos::PhotoLibrary& library, const photos::AssetPtr& asset);
// One line for `list`: identifier, date, flags, file names.
QString assetLine(const photos::AssetPtr& asset);

} // namespace photolib
