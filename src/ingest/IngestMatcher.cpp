#include "ingest/IngestMatcher.h"

#include "backup/MarkerAlbum.h"

#include <QLocale>
#include <algorithm>
#include <cmath>
#include <limits>

namespace twinslim {

std::vector<AlbumMember> albumMembers(const std::vector<photos::AssetPtr>& items) {
    std::vector<AlbumMember> members;
    members.reserve(items.size());
    for (const photos::AssetPtr& item : items) {
        if (!item)
            continue;
        AlbumMember member{item, {}, item->creationDate};
        for (const photos::ResourcePtr& resource : item->resources) {
            const QString base = normalizedBase(resource->originalFilename);
            if (!base.isEmpty())
                member.bases.insert(base);
        }
        members.push_back(std::move(member));
    }
    return members;
}

IngestMatcher::IngestMatcher(std::vector<AlbumMember> members,
                             const std::vector<photos::AssetPtr>& replacedEarlier)
    : m_members(std::move(members)) {
    QSet<QString> waiting;
    for (const photos::AssetPtr& item : replacedEarlier)
        if (item)
            waiting.insert(item->localIdentifier);
    QSet<QString> listed;
    for (AlbumMember& member : m_members) {
        listed.insert(member.asset->localIdentifier);
        member.alreadyReplaced = waiting.contains(member.asset->localIdentifier);
    }
    for (AlbumMember& member : albumMembers(replacedEarlier)) {
        if (listed.contains(member.asset->localIdentifier))
            continue;
        listed.insert(member.asset->localIdentifier);
        member.alreadyReplaced = true;
        m_members.push_back(std::move(member));
    }
}

namespace {

QString quotedBase(const QString& base) {
    return QStringLiteral("base=\"") + base + QLatin1Char('"');
}

QString utcText(const QDateTime& moment) {
    return QLocale::c().toString(moment.toUTC(), QStringLiteral("yyyy-MM-dd HH:mm:ss")) +
           QStringLiteral(" +0000");
}

} // namespace

MatchDecision IngestMatcher::match(const FileSignature& signature, const QString& fileName) {
    std::vector<const AlbumMember*> candidates;
    for (const AlbumMember& member : m_members)
        if (member.bases.contains(signature.base) &&
            !m_matchedAssetIDs.contains(member.asset->localIdentifier))
            candidates.push_back(&member);
    const qsizetype k = qsizetype(candidates.size());

    if (k == 0)
        return {MatchDecision::Kind::unmatched, nullptr,
                QStringLiteral("UNMATCHED ") + fileName + QStringLiteral(": ") +
                    quotedBase(signature.base) +
                    QStringLiteral(" not found among any album member's resource names")};

    const AlbumMember* chosen = nullptr;
    if (k == 1) {
        chosen = candidates.front();
    } else if (!signature.date) {
        return {MatchDecision::Kind::ambiguous, nullptr,
                QStringLiteral("AMBIGUOUS ") + fileName + QStringLiteral(": ") +
                    quotedBase(signature.base) + QStringLiteral(" matched ") + QString::number(k) +
                    QStringLiteral(" assets and file has no EXIF date to disambiguate")};
    } else {
        // Undated members count as the distant past, so they sort last.
        const auto distance = [&](const AlbumMember* member) {
            if (!member->date || !member->date->isValid())
                return std::numeric_limits<double>::infinity();
            return std::abs(double(member->date->msecsTo(*signature.date)) / 1000.0);
        };
        std::stable_sort(
            candidates.begin(), candidates.end(),
            [&](const AlbumMember* a, const AlbumMember* b) { return distance(a) < distance(b); });
        if (distance(candidates.front()) < dateTolerance)
            chosen = candidates.front();
        else
            return {MatchDecision::Kind::ambiguous, nullptr,
                    QStringLiteral("AMBIGUOUS ") + fileName + QStringLiteral(": ") +
                        quotedBase(signature.base) + QStringLiteral(" matched ") +
                        QString::number(k) + QStringLiteral(" assets, none within 2s of EXIF ") +
                        utcText(*signature.date)};
    }

    m_matchedAssetIDs.insert(chosen->asset->localIdentifier);
    if (chosen->alreadyReplaced)
        return {MatchDecision::Kind::alreadyReplaced, chosen->asset,
                QStringLiteral("SKIPPED ") + fileName + QStringLiteral(" → asset ") +
                    chosen->asset->localIdentifier +
                    QStringLiteral(": replaced by an earlier run; the original waits in “%1” to "
                                   "be deleted")
                        .arg(markerAlbumTitle())};
    return {MatchDecision::Kind::matched, chosen->asset,
            QStringLiteral("MATCH ") + fileName + QStringLiteral(" → asset ") +
                chosen->asset->localIdentifier + QStringLiteral(" [") +
                (chosen->asset->isFavorite ? QStringLiteral("fav") : QStringLiteral("non-fav")) +
                QLatin1Char(']')};
}

} // namespace twinslim
