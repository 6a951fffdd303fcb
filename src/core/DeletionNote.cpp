#include "core/DeletionNote.h"

#include "platform/photos/PhotoLibrary.h"

#include <atomic>

namespace twinslim {

namespace {

std::atomic<int> noted{0};

bool toDesktopTrash(const photos::PhotoLibrary& library) {
    return !library.trashName().isEmpty();
}

} // namespace

DeletionNote::DeletionNote(int rawWithoutBackup) {
    noted = rawWithoutBackup;
}

DeletionNote::~DeletionNote() {
    noted = 0;
}

int DeletionNote::rawWithoutBackup() {
    return noted;
}

QString DeletionNote::destination(const photos::PhotoLibrary& library) {
    return toDesktopTrash(library)
               ? QStringLiteral("They move to %1.").arg(library.trashName())
               : QStringLiteral("They move to Recently Deleted, where they are kept for %1 days.")
                     .arg(photos::PhotoLibrary::trashRetentionDays);
}

QString DeletionNote::text(const photos::PhotoLibrary& library, int rawWithoutBackup) {
    QString text = destination(library);
    if (rawWithoutBackup >= 1)
        text += QStringLiteral(" %1 RAW file%2 among them %3 no backup (only a favourite’s RAW is "
                               "backed up) and %4 to %5 with the rest.")
                    .arg(rawWithoutBackup)
                    .arg(rawWithoutBackup == 1 ? QString() : QStringLiteral("s"),
                         rawWithoutBackup == 1 ? QStringLiteral("has") : QStringLiteral("have"),
                         rawWithoutBackup == 1 ? QStringLiteral("goes") : QStringLiteral("go"),
                         toDesktopTrash(library) ? library.trashName()
                                                 : QStringLiteral("Recently Deleted"));
    return text;
}

} // namespace twinslim
