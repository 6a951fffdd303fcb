#include "ui/MainWindow.h"

#include "core/LibraryModel.h"
#include "platform/photos/LibraryLocation.h"
#include "platform/photos/PhotoLibrary.h"
#include "platform/photos/PhotoLibraryError.h"
#include "ui/AboutWindow.h"
#include "ui/AccessGate.h"
#include "ui/Alerts.h"
#include "ui/ScanView.h"
#include "ui/UpdatesMenu.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QDir>
#include <QFileDialog>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QStatusBar>

namespace twinslim {

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
    resize(1060, 700);

    // Linux desktops keep the application's own entries in a Help menu; "Quit"
    // sits in File, where they look for it.
    QMenu* file = menuBar()->addMenu(QStringLiteral("&File"));
    QAction* open = file->addAction(QStringLiteral("&Open Library…"));
    open->setObjectName(QStringLiteral("openLibraryAction"));
    open->setShortcut(QKeySequence::Open);
    connect(open, &QAction::triggered, this, &MainWindow::chooseLibrary);
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
    };
    if (m_gate->scanView()) // access granted earlier: the gate opened its scan at once
        watch(m_gate->scanView());
    connect(m_gate, &AccessGate::scanViewShown, this, watch);
}

void MainWindow::chooseLibrary() {
    // A catalogue library is a folder too, and so is darktable's configuration folder holding
    // its library, so one folder chooser serves every kind.
    const QString path = QFileDialog::getExistingDirectory(this, QStringLiteral("Open Library"),
                                                           photos::systemLibraryPath());
    if (!path.isEmpty())
        openLibrary(path);
}

bool MainWindow::openLibrary(const QString& path) {
    if (ScanView* scan = m_gate->scanView(); scan && scan->model()->isRunning()) {
        alert(this, QStringLiteral("openLibraryAlert"), QStringLiteral("An ingest is running"),
              QStringLiteral("Open another library once the ingest has finished."))
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
    // The About window is a window of its own; left open it would keep the program running.
    if (AboutWindow* about = AboutWindow::shared())
        about->close();
    QMainWindow::closeEvent(event);
}

} // namespace twinslim
