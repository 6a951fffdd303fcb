#include "platform/photos/FetchOptions.h"

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

} // namespace photos
