#include "ui/MainWindow.h"

#include "backup/FolderChooser.h"
#include "core/LibraryModel.h"
#include "platform/photos/LibraryLocation.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/photos/PhotoLibraryError.h"
#include "ui/AboutWindow.h"
#include "ui/AccessGate.h"
#include "ui/Alerts.h"
#include "ui/KeyRepeatGuard.h"
#include "ui/RestoreDialog.h"
#include "ui/ScanView.h"
#include "ui/UpdatesMenu.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>
#include <QSettings>
#include <QStatusBar>
#include <QTimer>

namespace twinslim {

namespace {

// The window's size and position, kept in the application's settings between starts.
const QString geometryKey = QStringLiteral("window/geometry");

QSettings preferences() {
    return QSettings(QStringLiteral("Twinslim"), QStringLiteral("Twinslim"));
}

} // namespace

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent) {
    m_gate = new AccessGate(this);
    setUp();
}

MainWindow::MainWindow(photos::AuthorizationStatus status, QWidget* parent) : QMainWindow(parent) {
    m_gate = new AccessGate(status, this);
    setUp();
}

MainWindow::~MainWindow() = default;

void MainWindow::setUp() {
    setWindowTitle(QStringLiteral("Twinslim"));
    setObjectName(QStringLiteral("mainWindow"));
    m_gate->setMinimumSize(minimumContentSize());
    setCentralWidget(m_gate);
    if (!restoreGeometry(preferences().value(geometryKey).toByteArray()))
        resize(1060, 700);
    KeyRepeatGuard::install();

    // Linux desktops keep the application's own entries in a Help menu; "Quit"
    // sits in File, where they look for it.
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    m_openLibrary = file->addAction(QStringLiteral("&Open Library…"));
    m_openLibrary->setObjectName(QStringLiteral("openLibraryAction"));
    m_openLibrary->setShortcut(QKeySequence::Open);
    connect(m_openLibrary, &QAction::triggered, this, &MainWindow::chooseLibrary);
    m_restoreOriginals = file->addAction(QStringLiteral("&Restore Originals…"));
    m_restoreOriginals->setObjectName(QStringLiteral("restoreOriginalsAction"));
    m_restoreOriginals->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_R));
    const QString restoreTip = QStringLiteral(
        "Puts replaced pairs back: their originals return from the trash or the backup folder, "
        "and their replacements are deleted");
    m_restoreOriginals->setToolTip(restoreTip);
    m_restoreOriginals->setStatusTip(restoreTip);
    connect(m_restoreOriginals, &QAction::triggered, this, &MainWindow::showRestoreDialog);
    file->addSeparator();
    QAction* quit = file->addAction(QStringLiteral("&Quit"));
    // Some platform themes bind nothing to the standard Quit sequence; Ctrl+Q always quits.
    QList<QKeySequence> quitKeys = QKeySequence::keyBindings(QKeySequence::Quit);
    if (const QKeySequence ctrlQ(Qt::CTRL | Qt::Key_Q); !quitKeys.contains(ctrlQ))
        quitKeys.append(ctrlQ);
    quit->setShortcuts(quitKeys);
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, qApp, &QApplication::closeAllWindows);

    m_helpMenu = menuBar()->addMenu(QStringLiteral("&Help"));
    m_helpMenu->addAction(makeAboutAction(m_helpMenu));
    m_helpMenu->addAction(makeCheckForUpdatesAction(m_helpMenu));

    m_libraryLabel = new QLabel(statusBar());
    m_libraryLabel->setObjectName(QStringLiteral("libraryLabel"));
    m_libraryLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    statusBar()->addWidget(m_libraryLabel, 1);
    showLibraryPath();
    watchScans();
}

namespace {

QString shownPath(const QString& path) {
    const QString home = QDir::homePath();
    return path.startsWith(home + QLatin1Char('/')) ? QLatin1Char('~') + path.mid(home.size())
                                                    : path;
}

} // namespace

void MainWindow::showLibraryPath() {
    QString text = QStringLiteral("Library: %1").arg(shownPath(photos::systemLibraryPath()));
    // Asked only once a scan has the library open, so the label never opens it by itself.
    if (m_gate->scanView()) {
        std::shared_ptr<photos::PhotoLibrary> library;
        try {
            library = photos::PhotoLibrary::shared();
        } catch (const photos::PhotoLibraryError&) {
        }
        if (library && !library->safetyCopyPath().isEmpty())
            text += QStringLiteral(" · Copy from before Twinslim’s changes: %1")
                        .arg(shownPath(library->safetyCopyPath()));
    }
    m_libraryLabel->setText(text);
}

void MainWindow::watchScans() {
    // A darktable library is copied before its first change, which Step 1 or an ingest
    // makes; both end by saying so through the model.
    auto watch = [this](ScanView* view) {
        for (auto signal : {&LibraryModel::isRunningChanged, &LibraryModel::infoMessageChanged})
            connect(view->model(), signal, this, &MainWindow::showLibraryPath);
        // Another library cannot be opened while an ingest runs in this one, nor originals
        // restored.
        connect(view->model(), &LibraryModel::isRunningChanged, m_openLibrary,
                [this, model = view->model()] { m_openLibrary->setEnabled(!model->isRunning()); });
        connect(view->model(), &LibraryModel::isRunningChanged, this,
                &MainWindow::updateRestoreAction);
        updateRestoreAction();
    };
    m_openLibrary->setEnabled(true); // a new gate has no run yet
    updateRestoreAction();
    if (m_gate->scanView()) // access granted earlier: the gate opened its scan at once
        watch(m_gate->scanView());
    connect(m_gate, &AccessGate::scanViewShown, this, watch);
    connect(m_gate, &AccessGate::libraryUnavailable, this, &MainWindow::showLibraryProblem);
    if (const QString problem = m_gate->libraryProblem(); !problem.isEmpty())
        // Once the window is up, so that the alert sits on it.
        QTimer::singleShot(0, this, [this, problem] { showLibraryProblem(problem); });
}

void MainWindow::updateRestoreAction() {
    // The library and the backup folder are the scan window's: there are none before access.
    const ScanView* scan = m_gate->scanView();
    m_restoreOriginals->setEnabled(scan && !scan->model()->isRunning());
}

RestoreDialog* MainWindow::showRestoreDialog() {
    ScanView* scan = m_gate->scanView();
    if (!scan || scan->model()->isRunning())
        return nullptr;
    if (m_restoreDialog) {
        m_restoreDialog->raise();
        m_restoreDialog->activateWindow();
        return m_restoreDialog;
    }
    auto* dialog = new RestoreDialog(scan->model()->backup(), this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // Restored pairs are pairs to scan again; the replacements are gone. A scan under way
    // read the library before the change: the new one follows it.
    connect(dialog, &RestoreDialog::libraryChanged, scan, [scan] {
        LibraryModel* model = scan->model();
        if (!model->isScanning()) {
            scan->startScan();
            return;
        }
        auto* after = new QObject(scan);
        connect(model, &LibraryModel::isScanningChanged, after, [scan, model, after] {
            if (model->isScanning())
                return;
            after->deleteLater();
            scan->startScan();
        });
    });
    m_restoreDialog = dialog;
    dialog->open();
    return dialog;
}

void MainWindow::showLibraryProblem(const QString& reason) {
    QMessageBox* box = alert(
        this, QStringLiteral("libraryUnavailableAlert"),
        QStringLiteral("The library cannot be opened"),
        reason + QStringLiteral("\n\nChoose another library, or make this one available (connect "
                                "its disk, for instance) and start Twinslim again."));
    QPushButton* choose =
        box->addButton(QStringLiteral("Choose Another Library…"), QMessageBox::AcceptRole);
    box->addButton(QMessageBox::Close);
    box->setDefaultButton(choose);
    connect(box, &QMessageBox::buttonClicked, this, [this, choose](QAbstractButton* clicked) {
        if (clicked == choose)
            QTimer::singleShot(0, this, &MainWindow::chooseLibrary);
    });
    box->open();
}

void MainWindow::chooseLibrary() {
    // A catalogue, a folder of camera files and darktable's configuration folder are folders;
    // darktable's library.db is a file. File choosers pick one or the other, so the kind of
    // choice comes first.
    QMessageBox* box = alert(
        this, QStringLiteral("openLibraryChoice"), QStringLiteral("Open Library"),
        QStringLiteral("Choose a folder: a Twinslim catalogue (NAME.photolibrary), a folder of "
                       "camera files, or darktable’s configuration folder. Or choose the file of "
                       "a darktable library, its library.db."));
    QPushButton* folder = box->addButton(QStringLiteral("Choose Folder…"), QMessageBox::AcceptRole);
    QPushButton* file =
        box->addButton(QStringLiteral("Choose library.db…"), QMessageBox::AcceptRole);
    box->addButton(QMessageBox::Cancel);
    box->setDefaultButton(folder);
    connect(box, &QMessageBox::buttonClicked, this, [this, folder, file](QAbstractButton* b) {
        if (b == folder || b == file)
            QTimer::singleShot(0, this, [this, file = b == file] { askForLibrary(file); });
    });
    box->open();
}

void MainWindow::askForLibrary(bool file) {
    const std::shared_ptr<FolderChooser> chooser = FolderChooser::shared();
    if (!chooser)
        return;
    FolderChoiceRequest request;
    request.prompt = QStringLiteral("Open");
    request.message = file ? QStringLiteral("Choose darktable’s library.db")
                           : QStringLiteral("Choose the folder of a library");
    request.canChooseDirectories = !file;
    request.canChooseFiles = file;
    QPointer<MainWindow> self(this);
    chooser->chooseFolder(request, [self](std::optional<QString> path) {
        if (self && path && !path->isEmpty())
            self->openLibrary(*path);
    });
}

bool MainWindow::openLibrary(const QString& path) {
    if (ScanView* scan = m_gate->scanView(); scan && scan->model()->isRunning()) {
        alert(this, QStringLiteral("openLibraryAlert"), QStringLiteral("An ingest is running"),
              QStringLiteral("Open another library once the ingest has finished."))
            ->open();
        return false;
    }
    if (m_restoreDialog && m_restoreDialog->isRestoring()) {
        alert(this, QStringLiteral("openLibraryAlert"),
              QStringLiteral("Originals are being restored"),
              QStringLiteral("Open another library once the restore has finished."))
            ->open();
        return false;
    }
    std::shared_ptr<photos::PhotoLibrary> library;
    try {
        library = photos::PhotoLibrary::open(path, {.createWhenMissing = false});
        photos::setChosenLibraryPath(library->path());
    } catch (const photos::PhotoLibraryError& e) {
        alert(this, QStringLiteral("openLibraryAlert"),
              QStringLiteral("The library cannot be opened"), QString::fromUtf8(e.what()))
            ->open();
        return false;
    }
    // A library named in the environment would otherwise win over the user's choice.
    if (qEnvironmentVariableIsSet("PHOTOLIB_LIBRARY"))
        qputenv("PHOTOLIB_LIBRARY", QFile::encodeName(library->path()));
    if (m_restoreDialog)
        m_restoreDialog->close(); // it lists this library's pairs
    photos::PhotoLibrary::setShared(library);
    m_gate = new AccessGate(this);
    m_gate->setMinimumSize(minimumContentSize());
    setCentralWidget(m_gate); // the previous gate and its scan go with it
    showLibraryPath();
    watchScans();
    return true;
}

void MainWindow::closeEvent(QCloseEvent* event) {
    if (ScanView* scan = m_gate->scanView(); scan && !scan->mayClose()) {
        event->ignore();
        return;
    }
    // A restore ends by itself, its replacements deleted and its log written.
    if (m_restoreDialog && m_restoreDialog->isRestoring()) {
        event->ignore();
        return;
    }
    // The About window is a window of its own; left open it would keep the program running.
    if (AboutWindow* about = AboutWindow::shared())
        about->close();
    preferences().setValue(geometryKey, saveGeometry());
    QMainWindow::closeEvent(event);
}

} // namespace twinslim
