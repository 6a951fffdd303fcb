#pragma once

#include <Qt>

namespace twinslim {

// Item data roles of the pair table that its delegates read.
enum PairRole { AssetRole = Qt::UserRole + 1, SortRole };

} // namespace twinslim
