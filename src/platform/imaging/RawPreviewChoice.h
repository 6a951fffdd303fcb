#pragma once

#include "platform/imaging/DecodeTarget.h"

#include <QSize>
#include <cstddef>
#include <optional>
#include <vector>

namespace imaging::rawdetail {

// True when the two sizes have the same aspect within 3 % (rounding of small thumbnails).
bool sameAspect(QSize a, QSize b);

// Which previews (by their upright sizes) may serve `target`, in the order to try them. Only
// previews that satisfy the target qualify; a full-size target needs the whole `fullSize`, so
// nothing qualifies when that is unknown. First come those with the picture's own aspect (that of
// `fullSize`, else of the largest preview), smallest first: they decode fastest. Cameras letterbox
// their small thumbnails into another aspect, so those come last, largest first.
std::vector<std::size_t> previewTrialOrder(const std::vector<QSize>& uprightSizes,
                                           std::optional<QSize> fullSize,
                                           const DecodeTarget& target);

} // namespace imaging::rawdetail
