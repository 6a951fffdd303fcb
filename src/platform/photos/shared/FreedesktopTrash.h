#pragma once

#include <QDateTime>
#include <QString>
#include <functional>
#include <vector>

namespace photos {

// One file in a freedesktop.org trash: TRASH/files/NAME with TRASH/info/NAME.trashinfo.
struct TrashEntry {
    QString trashFolder;  // the trash, e.g. ~/.local/share/Trash or /media/disk/.Trash-1000
    QString name;         // the file's name under files/
    QString originalPath; // absolute path it had before
};

// The desktop's trash, as file managers and trash-cli see it: the home trash
// ($XDG_DATA_HOME/Trash) for files on the home file system, else $topdir/.Trash-$uid on the
// file's own file system, so a move to the trash is always a rename, never a copy.
class FreedesktopTrash {
public:
    // Moves a file (never following a link) to the trash. The .trashinfo is written and
    // flushed under an exclusively created name first, then the file is renamed into files/,
    // so a crash leaves the file where it was or a complete entry. `claimed`, when given, is
    // called with the entry once its .trashinfo is written and before the file moves, so a
    // caller can journal the move before it can have happened; if it throws, nothing moves.
    // Throws PhotoLibraryError.
    static TrashEntry moveToTrash(const QString& path, const QDateTime& deletionDate,
                                  const std::function<void(const TrashEntry&)>& claimed = {});
    // moveToTrash in two halves, for a caller that commits something between them: `claim`
    // checks that the file can move and writes the .trashinfo that takes its name in the
    // trash, the file staying where it is; `moveClaimed` then moves it there (throwing, the
    // claim kept, when it cannot). A claim that is not to be moved is withdrawn by `unclaim`.
    static TrashEntry claim(const QString& path, const QDateTime& deletionDate);
    static void moveClaimed(const TrashEntry& entry);
    static void unclaim(const TrashEntry& entry);
    // Whether the entry's .trashinfo is there, its file moved or not.
    static bool isClaimed(const TrashEntry& entry);
    // Puts a trashed file back where it was; throws when that place is taken or the entry is
    // gone, and changes nothing then.
    static void restore(const TrashEntry& entry);
    // Puts back, the last moved first, what a change that failed had moved; one that cannot
    // go back stays in the trash, where the user still finds it.
    static void restoreAll(const std::vector<TrashEntry>& moved);
    // Removes a trashed file and its .trashinfo for good; a missing one is no error.
    static void erase(const TrashEntry& entry);
    // Whether the entry's file is still in the trash.
    static bool contains(const TrashEntry& entry);
    // The trash that receives files of the folder `folder`.
    static QString trashFolderFor(const QString& folder);
    // Removes the .trashinfo files of moves that were interrupted between the .trashinfo and
    // the rename: those whose file never arrived and that name a file below `folder`.
    // Returns how many went.
    static int removeHalfMadeEntries(const QString& folder);
};

} // namespace photos
