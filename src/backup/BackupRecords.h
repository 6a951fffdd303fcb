#pragma once

#include "platform/photos/PhotoTypes.h"

#include <QHash>
#include <QString>
#include <QStringList>
#include <vector>

namespace twinslim {

// The identifiers of those `originals` that were backed up by a replacement, each with
// whether its RAW file was backed up too (only a favourite's is): a record (the
// JSON written beside the backups) in a month and status folder below `backupRoot` names
// the item, and the backup files it lists are there, not empty, and of the recorded size
// of the item's file they copy. Anything else, such as an item put into the marker album by
// hand or a new picture that took a replaced one's identifier, has no backup to stand for it.
QHash<QString, bool> originalsWithBackup(const QString& backupRoot,
                                         const std::vector<photos::AssetPtr>& originals);

// What the clean-up says of the marker album's members it leaves alone for want of a backup,
// named by `names`; empty when there are none.
QString withoutBackupNotice(const QStringList& names);

// The clean-up's offer to delete the `count` originals waiting in the marker album.
QString recoveryOffer(int count);

} // namespace twinslim
