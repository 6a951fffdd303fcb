#include "platform/photos/FetchOptions.h"

#include "platform/photos/PhotoLibraryError.h"

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace photos {

Predicate Predicate::creationDateAtLeast(const QDateTime& instant) {
    Predicate p;
    p.m_kind = Kind::CreationDateAtLeast;
    p.m_instant = instant;
    return p;
}

Predicate Predicate::creationDateAtMost(const QDateTime& instant) {
    Predicate p;
    p.m_kind = Kind::CreationDateAtMost;
    p.m_instant = instant;
    return p;
}

Predicate Predicate::titleEquals(const QString& title) {
    Predicate p;
    p.m_kind = Kind::TitleEquals;
    p.m_text = title;
    return p;
}

Predicate Predicate::andPredicate(std::vector<Predicate> subpredicates) {
    Predicate p;
    p.m_kind = Kind::And;
    p.m_subpredicates = std::move(subpredicates);
    return p;
}

bool assetMatches(const Predicate& predicate, const Asset& asset) {
    const bool dated = asset.creationDate && asset.creationDate->isValid();
    switch (predicate.kind()) {
    case Predicate::Kind::CreationDateAtLeast:
        return dated && *asset.creationDate >= predicate.instant();
    case Predicate::Kind::CreationDateAtMost:
        return dated && *asset.creationDate <= predicate.instant();
    case Predicate::Kind::TitleEquals:
        throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                QStringLiteral("Assets cannot be fetched by title."));
    case Predicate::Kind::And:
        return std::all_of(predicate.subpredicates().begin(), predicate.subpredicates().end(),
                           [&](const Predicate& sub) { return assetMatches(sub, asset); });
    }
    return false;
}

bool titleMatches(const Predicate& predicate, const QString& title) {
    switch (predicate.kind()) {
    case Predicate::Kind::TitleEquals:
        return title == predicate.text();
    case Predicate::Kind::And:
        return std::all_of(predicate.subpredicates().begin(), predicate.subpredicates().end(),
                           [&](const Predicate& sub) { return titleMatches(sub, title); });
    default:
        throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                QStringLiteral("Albums can only be fetched by title."));
    }
}

std::vector<AssetPtr> applyFetchOptions(std::vector<AssetPtr> assets, MediaType mediaType,
                                        const FetchOptions& options, bool includeHidden) {
    for (const SortDescriptor& s : options.sortDescriptors)
        if (s.key != QLatin1String("creationDate"))
            throw PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                                    QStringLiteral("Unknown sort key %1.").arg(s.key));
    std::erase_if(assets, [&](const AssetPtr& a) {
        return a->mediaType != mediaType || (a->isHidden && !includeHidden) ||
               (options.predicate && !assetMatches(*options.predicate, *a));
    });
    if (!options.sortDescriptors.empty()) {
        const bool ascending = options.sortDescriptors.front().ascending;
        // Each asset's key is read once, not at each of the sort's comparisons: a scan sorts
        // tens of thousands.
        std::vector<std::pair<std::optional<qint64>, size_t>> keyed;
        keyed.reserve(assets.size());
        for (size_t i = 0; i < assets.size(); ++i) {
            const Asset& a = *assets[i];
            keyed.emplace_back(a.creationDate && a.creationDate->isValid()
                                   ? std::optional(a.creationDate->toMSecsSinceEpoch())
                                   : std::nullopt,
                               i);
        }
        std::stable_sort(keyed.begin(), keyed.end(), [&](const auto& x, const auto& y) {
            return ascending ? x.first < y.first : y.first < x.first;
        });
        std::vector<AssetPtr> sorted;
        sorted.reserve(assets.size());
        for (const auto& [key, i] : keyed)
            sorted.push_back(std::move(assets[i]));
        return sorted;
    }
    return assets;
}

} // namespace photos
