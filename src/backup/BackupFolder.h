#pragma once

#include "backup/FolderChooser.h"
#include "library/ReplacementError.h"

#include <QCoro/QCoroTask>
#include <QObject>
#include <QString>
#include <functional>
#include <memory>
#include <optional>

namespace twinslim {

// The backup folder is gone or is no longer the folder a run started with (an unplugged
// disk, an unmounted share). A run that meets it stops making changes.
class BackupFolderGone : public FileSystemError {
public:
    using FileSystemError::FileSystemError;
};

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

    // Nothing when backups may go into the folder, else the message to show: a folder inside
    // the photo library (or the library's own folder) would fill the library with files it
    // does not know, and one inside the folder of exported files mixes backups with exports.
    std::optional<QString> placementProblem(const QString& libraryPath,
                                            const QString& exportFolder = {}) const;

    // Pins the folder a run writes into: from now on makeSubfolder() works in this folder,
    // even when another one is chosen meanwhile, and only while it is still this very folder
    // (same device and inode), so a disk unplugged mid-run never has its folder silently
    // re-created on the system disk. Throws BackupFolderGone when the folder is not there now.
    void pinForRun();
    void unpin() { m_pinned.reset(); }
    // Creates `relative` (one or more names joined by "/") below the folder, flushing the
    // parent of each folder it makes, and returns its absolute path. Never creates the
    // folder itself. Throws BackupFolderGone when the folder is missing or, while pinned,
    // is another folder than the pinned one; FileSystemError for other failures.
    QString makeSubfolder(const QString& relative) const;
    // The same as work for any thread, with the folder and pin of now: a new folder's flush
    // can wait on the disk, which a window's thread must not.
    std::function<QString()> subfolderMaker(const QString& relative) const;

    // The chooser `choose()` asks; without one it asks FolderChooser::shared().
    void setFolderChooser(std::shared_ptr<FolderChooser> chooser);
    static FolderChoiceRequest choiceRequest();

    // Prefix of the short-lived file checkAccess() writes.
    static QString writeTestPrefix() { return QStringLiteral(".twinslim-write-test-"); }

signals:
    void urlChanged();

private:
    struct Identity {
        QString path;
        quint64 device;
        quint64 inode;
        bool operator==(const Identity&) const = default;
    };

    static QString makeSubfolderIn(const std::optional<QString>& url,
                                   const std::optional<Identity>& pinned, const QString& relative);

    QString m_defaultsKey;
    std::optional<QString> m_url;
    std::optional<Identity> m_pinned;
    std::shared_ptr<FolderChooser> m_chooser;
};

} // namespace twinslim
