#include "core/FavFilter.h"

#include <QHash>

namespace twinslim {

QString identity(FavFilter filter) {
    switch (filter) {
    case FavFilter::favorites:
        return QStringLiteral("favorites");
    case FavFilter::nonFavorites:
        return QStringLiteral("nonFavorites");
    case FavFilter::all:
        break;
    }
    return QStringLiteral("all");
}

QString label(FavFilter filter) {
    switch (filter) {
    case FavFilter::favorites:
        return QStringLiteral("Favorites");
    case FavFilter::nonFavorites:
        return QStringLiteral("Non-favorites");
    case FavFilter::all:
        break;
    }
    return QStringLiteral("All");
}

std::optional<FavFilter> favFilterFromIdentity(const QString& text) {
    for (FavFilter filter : allFavFilters)
        if (identity(filter) == text)
            return filter;
    return std::nullopt;
}

size_t qHash(FavFilter filter, size_t seed) noexcept {
    return ::qHash(identity(filter), seed);
}

bool passes(FavFilter filter, const PhotoPair& pair) {
    switch (filter) {
    case FavFilter::favorites:
        return pair.isFavorite;
    case FavFilter::nonFavorites:
        return !pair.isFavorite;
    case FavFilter::all:
        break;
    }
    return true;
}

} // namespace twinslim
