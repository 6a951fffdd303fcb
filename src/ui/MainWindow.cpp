#include "ui/MainWindow.h"

#include "ui/AboutWindow.h"
#include "ui/AccessGate.h"
#include "ui/ScanView.h"
#include "ui/UpdatesMenu.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
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
