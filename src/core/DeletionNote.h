#pragma once

#include <QString>

namespace photos {
class PhotoLibrary;
}

namespace twinslim {

// What goes with the question the photo library asks before a deletion the program started:
// where the deleted items go, and how many RAW files among them have no backup (only a
// favourite's RAW is backed up). The number is set for one deletion by whoever starts it and
// read by whoever asks the question, on any thread.
class DeletionNote {
public:
    // Sets the number for as long as the object lives.
    explicit DeletionNote(int rawWithoutBackup);
    ~DeletionNote();
    DeletionNote(const DeletionNote&) = delete;
    DeletionNote& operator=(const DeletionNote&) = delete;

    // The number of the deletion under way; 0 when none is noted.
    static int rawWithoutBackup();

    // "They move to the Trash." for a folder or darktable library, whose deleted files go to
    // the desktop's trash; the catalogue's Recently Deleted otherwise.
    static QString destination(const photos::PhotoLibrary& library);
    // That sentence, and one about the RAW files without a backup when there are any.
    static QString text(const photos::PhotoLibrary& library, int rawWithoutBackup);
};

} // namespace twinslim
