#pragma once

#include "platform/photos/PhotoTypes.h"

#include <QMainWindow>
#include <QPointer>
#include <QSize>

class QAction;
class QLabel;
class QMenu;

namespace twinslim {

class AccessGate;
class RestoreDialog;

// The application's main window: "Twinslim", its content the access gate (which
// becomes the scan window once access is granted), resizable down to 820 × 520
// of content. Its Help menu holds "About Twinslim" and then "Check for
// Updates…". File › Open Library… switches to another library (a folder of pictures, a
// catalogue, or darktable's library.db), remembered for the next start; the status bar names
// the library in use and, once a darktable library has been changed, the copy of it taken
// before the first change. File › Restore Originals… lists the replaced pairs of the library
// and puts the chosen ones' originals back, the window rescanning after. A library that cannot be
// opened when the scan window takes over is said in an alert that offers to choose another. Its
// size and position are kept for the next start.
class MainWindow : public QMainWindow {
    Q_OBJECT
public:
    // Reads the photo library authorization from the service.
    explicit MainWindow(QWidget* parent = nullptr);
    // With a given authorization status.
    explicit MainWindow(photos::AuthorizationStatus status, QWidget* parent = nullptr);
    ~MainWindow() override;

    AccessGate* gate() const { return m_gate; }
    QMenu* helpMenu() const { return m_helpMenu; }

    static QSize minimumContentSize() { return {820, 520}; }

    // Opens the library at `path` in place of the current one and remembers the choice.
    // Says why in an alert and keeps the current library when it cannot be opened, or while
    // an ingest runs. Returns whether it switched.
    bool openLibrary(const QString& path);
    QLabel* libraryLabel() const { return m_libraryLabel; }
    QAction* restoreOriginalsAction() const { return m_restoreOriginals; }
    // Opens the restore dialog (or raises the one that is open) and gives it; none without a
    // scan window to take the library and backup folder from.
    RestoreDialog* showRestoreDialog();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void setUp();
    void chooseLibrary();
    void askForLibrary(bool file);
    void showLibraryPath();
    void watchScans();
    void showLibraryProblem(const QString& reason);
    void updateRestoreAction();

    AccessGate* m_gate = nullptr;
    QMenu* m_helpMenu = nullptr;
    QLabel* m_libraryLabel = nullptr;
    QAction* m_openLibrary = nullptr;
    QAction* m_restoreOriginals = nullptr;
    QPointer<RestoreDialog> m_restoreDialog;
};

} // namespace twinslim
