#pragma once

#include "platform/photos/PhotoTypes.h"

#include <QCoro/QCoroTask>
#include <QString>
#include <QWidget>

class QLabel;
class QPushButton;

namespace twinslim {

class ScanView;

// The main window's content. Until the user has given full read-write access to
// the photo library it shows the gate: the app's symbol, name and tagline and a
// block that depends on the authorization status. Once access is authorized it
// gives itself over to a ScanView for good. The status is read once, when the
// gate is made, and afterwards changes only by the answer to the access
// request: a grant changed elsewhere while the window lives shows at the next
// start.
class AccessGate : public QWidget {
    Q_OBJECT
public:
    // Reads the status of client "twinslim" for the system library from the
    // service.
    explicit AccessGate(QWidget* parent = nullptr);
    // With a given status; values the gate does not know show the unknown text.
    explicit AccessGate(photos::AuthorizationStatus status, QWidget* parent = nullptr);
    ~AccessGate() override;

    photos::AuthorizationStatus status() const { return m_status; }

    // The scan window once access is authorized; none while the gate shows.
    ScanView* scanView() const { return m_scanView; }
    // The parts of the gate, none where the status does not show them.
    QPushButton* grantButton() const { return m_grantButton; }
    QLabel* statusTitle() const { return m_statusTitle; }
    QLabel* statusCaption() const { return m_statusCaption; }

    static QString tagline();

    // Why the library could not be opened when the scan window took over; empty when it opened.
    QString libraryProblem() const { return m_libraryProblem; }

signals:
    void statusChanged(photos::AuthorizationStatus status);
    // The scan window has taken over the window.
    void scanViewShown(twinslim::ScanView* view);
    // The scan window took over but the library cannot be opened, for `reason`.
    void libraryUnavailable(const QString& reason);

private:
    void setStatus(photos::AuthorizationStatus status);
    void showGate();
    void showScanView();
    QCoro::Task<> requestAccess();

    photos::AuthorizationStatus m_status;
    QString m_libraryPath;
    QString m_libraryProblem;
    QWidget* m_gatePage = nullptr;
    QPushButton* m_grantButton = nullptr;
    QLabel* m_statusTitle = nullptr;
    QLabel* m_statusCaption = nullptr;
    ScanView* m_scanView = nullptr;
};

} // namespace twinslim
