#pragma once

#include "core/PhotoPair.h"

#include <QByteArray>
#include <QString>
#include <vector>

namespace twinslimcli {

// The pairs as the window's table shows them, one row each in the given order: id, date
// in the user's locale, ★ for a favourite, ✎ for an edited item, albums, RAW file name and
// type, RAW and JPEG size ("—" for what is absent). Empty for no pairs.
QString pairTable(const std::vector<twinslim::PhotoPair>& pairs);

// The same fields as a JSON array: sizes as plain numbers, dates in ISO 8601 UTC, null
// for what is absent.
QByteArray pairJson(const std::vector<twinslim::PhotoPair>& pairs);

// "N pairs · SIZE reclaimable", the scan's status line.
QString scanStatus(qsizetype pairCount, qint64 reclaimableBytes);

} // namespace twinslimcli
