#pragma once

#include "ingest/FileSignature.h"
#include "platform/photos/PhotoTypes.h"

#include <QDateTime>
#include <QSet>
#include <QString>
#include <optional>
#include <vector>

namespace twinslim {

// One item of the export albums, as the run matches files against it.
struct AlbumMember {
    photos::AssetPtr asset;
    QSet<QString> bases; // normalizedBase of every resource's original file name, none empty
    std::optional<QDateTime> date;
    // Replaced by an earlier run and waiting in the marker album to be deleted: it still
    // takes part in every decision, so that its own exported file finds it, but is never
    // replaced again.
    bool alreadyReplaced = false;
};

// The members of the given items, in their order (an item listed twice gives two members).
std::vector<AlbumMember> albumMembers(const std::vector<photos::AssetPtr>& items);

// What the run decided for one exported file, with the log line that says so.
struct MatchDecision {
    enum class Kind { matched, unmatched, ambiguous, alreadyReplaced };
    Kind kind = Kind::unmatched;
    photos::AssetPtr asset; // the match (also when it was replaced already)
    QString message;
};

// Finds, for each exported file in turn, the album member it was exported from: by name
// stem, and by EXIF date within two seconds when several members share the stem. A member
// matches at most once per run.
class IngestMatcher {
public:
    // `replacedEarlier` are the marker album's items: replaced by an earlier run that did not
    // get to delete them. Those among the members are flagged; the others (they left the
    // export albums when a deletion was refused) are added after them.
    IngestMatcher(std::vector<AlbumMember> members,
                  const std::vector<photos::AssetPtr>& replacedEarlier);

    // Decides for the file named `fileName`; a match is remembered at once.
    MatchDecision match(const FileSignature& signature, const QString& fileName);

    // Nearest candidate must be strictly closer than this, in seconds.
    static constexpr double dateTolerance = 2.0;

private:
    std::vector<AlbumMember> m_members;
    QSet<QString> m_matchedAssetIDs;
};

} // namespace twinslim
