#pragma once

#include "core/PhotoPair.h"

#include <QString>
#include <array>
#include <optional>

namespace twinslim {

// Which pairs the user sees and the selection operations work on.
enum class FavFilter { all, favorites, nonFavorites };

inline constexpr std::array<FavFilter, 3> allFavFilters = {FavFilter::all, FavFilter::favorites,
                                                           FavFilter::nonFavorites};

QString identity(FavFilter filter);
QString label(FavFilter filter);
std::optional<FavFilter> favFilterFromIdentity(const QString& identity);
size_t qHash(FavFilter filter, size_t seed = 0) noexcept;

bool passes(FavFilter filter, const PhotoPair& pair);

} // namespace twinslim
