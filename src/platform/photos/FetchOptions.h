#pragma once

#include "platform/photos/PhotoTypes.h"

#include <QDateTime>
#include <QString>
#include <optional>
#include <variant>
#include <vector>

namespace photos {

// A typed stand-in for the platform's predicate format strings. The service
// understands exactly these: "creationDate >= t", "creationDate <= t",
// "localizedTitle == s" and the conjunction of any of them.
class Predicate {
public:
    enum class Kind { CreationDateAtLeast, CreationDateAtMost, TitleEquals, And };

    static Predicate creationDateAtLeast(const QDateTime& instant);
    static Predicate creationDateAtMost(const QDateTime& instant);
    static Predicate titleEquals(const QString& title);
    static Predicate andPredicate(std::vector<Predicate> subpredicates);

    Kind kind() const { return m_kind; }
    const QDateTime& instant() const { return m_instant; }
    const QString& text() const { return m_text; }
    const std::vector<Predicate>& subpredicates() const { return m_subpredicates; }

private:
    Kind m_kind = Kind::And;
    QDateTime m_instant;
    QString m_text;
    std::vector<Predicate> m_subpredicates;
};

struct SortDescriptor {
    QString key; // "creationDate" is the one sort key the service knows
    bool ascending = true;
};

struct FetchOptions {
    bool includeHiddenAssets = false;
    std::vector<SortDescriptor> sortDescriptors;
    std::optional<Predicate> predicate;
};

// The same rules for stores that filter in memory rather than in SQL. Each throws
// PhotoLibraryError for a predicate or sort key the service does not know, as a query would.
bool assetMatches(const Predicate& predicate, const Asset& asset);
bool titleMatches(const Predicate& predicate, const QString& title);
// Filters by media type, hidden flag and predicate, then sorts (stably, so the given order
// breaks ties; an undated item comes first in ascending order, as in SQL).
std::vector<AssetPtr> applyFetchOptions(std::vector<AssetPtr> assets, MediaType mediaType,
                                        const FetchOptions& options, bool includeHidden);

} // namespace photos
