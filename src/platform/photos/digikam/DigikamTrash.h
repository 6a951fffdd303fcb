#pragma once

#include <QDateTime>
#include <QString>

namespace photos {

// digiKam's own trash of a collection, COLLECTION/.dtrash: a deleted file lies in files/
// under a fresh name, and a JSON record in info/ says where it came from, when, and which
// image it was. digiKam lists these in its Trash view and can put them back.
struct DtrashEntry {
    QString collection; // the collection's folder, holding .dtrash
    QString name;       // the record's name without ".dtrashinfo"; the file's adds its suffix
    QString fileName;   // the file's name under files/
    QString originalPath;
    qint64 imageId = -1;
};

class DigikamTrash {
public:
    // Takes a fresh name for `path` in its collection's trash and writes the record there,
    // flushed; the file itself stays. Throws PhotoLibraryError.
    static DtrashEntry claim(const QString& collection, const QString& path, qint64 imageId,
                             const QDateTime& when);
    // Moves the claimed file into the trash; a file already there is left. Throws
    // PhotoLibraryError.
    static void moveClaimed(const DtrashEntry& entry);
    // Gives a claim up: its record goes, and the file when it had moved is put back.
    static void unclaim(const DtrashEntry& entry);
    // Puts a file back where it was (never over another) and removes its record. Throws
    // PhotoLibraryError.
    static void restore(const DtrashEntry& entry);
    // Removes a file and its record for good, as emptying digiKam's trash does.
    static void erase(const DtrashEntry& entry);
    // Whether the file lies in the trash.
    static bool contains(const DtrashEntry& entry);
    static QString folderOf(const QString& collection);
};

} // namespace photos
