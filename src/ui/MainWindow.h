#pragma once

#include "platform/photos/PhotoTypes.h"

#include <QMainWindow>
#include <QSize>

class QMenu;

namespace twinslim {

class AccessGate;

// The application's main window: "Twinslim", its content the access gate (which
// becomes the scan window once access is granted), resizable down to 820 × 520
// of content. Its Help menu holds "About Twinslim" and then "Check for
// Updates…".
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

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void setUp();

    AccessGate* m_gate = nullptr;
    QMenu* m_helpMenu = nullptr;
};

} // namespace twinslim
