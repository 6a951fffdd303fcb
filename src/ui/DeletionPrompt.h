#pragma once

#include <QString>

class QWidget;

namespace photos {
class PhotoLibrary;
}

namespace twinslim {

// The question the photo library asks before it deletes anything: "Delete N items?" in a
// message box over the main window. The library asks on its worker thread and waits; the
// box opens on the GUI thread with open(), so the window keeps running, and its answer is
// the reply. A box that goes away unanswered counts as "Cancel".
class DeletionPrompt {
public:
    // Installs the prompt as `library`'s deletion confirmation, shown over `window` (a
    // window of its own when that is gone).
    static void install(photos::PhotoLibrary& library, QWidget* window);
    // The same for whatever library is opened as the shared one from now on, so a library
    // that could not be opened at first still asks once it can be.
    static void installForShared(QWidget* window);

    // Marks `dialog` as one that waits for a deletion it started: a prompt that comes while it
    // is in front opens over it, where it would otherwise wait for it to close.
    static void showOver(QWidget* dialog);

    static QString question(int count);
    static QString objectName() { return QStringLiteral("deletionPrompt"); }
};

} // namespace twinslim
