#pragma once

#include <Qt>

namespace twinslim {

// Item data roles of the pair table that its delegates read.
// AwaitsDeletionRole: the row's original was replaced already and waits for its deletion.
enum PairRole { AssetRole = Qt::UserRole + 1, SortRole, AwaitsDeletionRole };

} // namespace twinslim
