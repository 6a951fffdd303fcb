#pragma once

#include "backup/FolderChooser.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>
#include <memory>
#include <optional>

namespace twinslim {

// The folder, chosen by the user, that receives backed-up originals and ingest logs.
// The choice is kept under `defaultsKey` in the application's preferences as the
// folder's absolute path, and restored when the object is created.
class BackupFolder : public QObject {
    Q_OBJECT
public:
    // The key of the program's one backup folder.
    static QString bookmarkKey() { return QStringLiteral("backupFolderBookmark"); }

    explicit BackupFolder(QString defaultsKey, QObject* parent = nullptr);

    QString defaultsKey() const { return m_defaultsKey; }

    // Absolute path of the folder; none until chosen or restored.
    const std::optional<QString>& url() const { return m_url; }
    void setUrl(std::optional<QString> url);

    // Fills `url` from the stored bookmark, if there is a usable one; refreshes a stale one.
    void restore();
    // Asks the folder chooser; a confirmed choice is stored and becomes `url`.
    QCoro::Task<> choose();
    // Stores a bookmark of `folder`; a failure goes to the system log only.
    void saveBookmark(const QString& folder);
    // Nothing when the folder can be used, else the message to show the user.
    std::optional<QString> checkAccess() const;

    // The chooser `choose()` asks; without one it asks FolderChooser::shared().
    void setFolderChooser(std::shared_ptr<FolderChooser> chooser);
    static FolderChoiceRequest choiceRequest();

    // Prefix of the short-lived file checkAccess() writes.
    static QString writeTestPrefix() { return QStringLiteral(".twinslim-write-test-"); }

signals:
    void urlChanged();

private:
    QString m_defaultsKey;
    std::optional<QString> m_url;
    std::shared_ptr<FolderChooser> m_chooser;
};

} // namespace twinslim
