#include "ui/MainWindow.h"

#include "ui/AccessGate.h"
#include "ui/UpdatesMenu.h"

#include <QAction>
#include <QApplication>
#include <QKeySequence>
#include <QMenu>
#include <QMenuBar>

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
    QAction* quit = file->addAction(QStringLiteral("&Quit"));
    quit->setShortcut(QKeySequence::Quit);
    quit->setMenuRole(QAction::QuitRole);
    connect(quit, &QAction::triggered, qApp, &QApplication::closeAllWindows);

    m_helpMenu = menuBar()->addMenu(QStringLiteral("&Help"));
    m_helpMenu->addAction(makeAboutAction(m_helpMenu));
    m_helpMenu->addAction(makeCheckForUpdatesAction(m_helpMenu));
}

} // namespace twinslim
