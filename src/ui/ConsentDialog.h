#pragma once

#include "platform/photos/PhotoTypes.h"

#include <QDialog>
#include <QString>

class QPushButton;

namespace twinslim {

// The photo library's consent prompt, shown the first time a program asks for read-write
// access: allow full access, limit access or don't allow. The service stores the answer,
// so each program is asked once. Opened with open(); answered() comes exactly once, with
// not determined when the dialog is closed without a choice.
class ConsentDialog : public QDialog {
    Q_OBJECT
public:
    ConsentDialog(const QString& client, const QString& libraryPath, QWidget* parent = nullptr);
    ~ConsentDialog() override;

    QString client() const { return m_client; }
    QPushButton* allowFullAccessButton() const { return m_allowFull; }
    QPushButton* limitAccessButton() const { return m_limit; }
    QPushButton* dontAllowButton() const { return m_dontAllow; }

    // Makes this dialog the service's consent handler. Requests may come from any thread;
    // the dialog opens on the GUI thread over `window` (the active window when none), and a
    // second request of a client whose dialog is open gets that dialog's answer.
    static void install(QWidget* window = nullptr);
    // Removes the handler: requests then stay not determined.
    static void uninstall();

signals:
    void answered(photos::AuthorizationStatus status);

protected:
    void done(int result) override;

private:
    QString m_client;
    QPushButton* m_allowFull = nullptr;
    QPushButton* m_limit = nullptr;
    QPushButton* m_dontAllow = nullptr;
    photos::AuthorizationStatus m_choice = photos::AuthorizationStatus::NotDetermined;
    bool m_answered = false;
};

} // namespace twinslim
