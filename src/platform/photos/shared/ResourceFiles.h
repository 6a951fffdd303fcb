#pragma once

#include <QByteArray>
#include <QSet>
#include <QString>
#include <functional>

namespace photos {

// The library's stored files under resources/. Every write is flushed to disk before
// it returns, so the catalogue never refers to bytes that could still be lost.
class ResourceFiles {
public:
    explicit ResourceFiles(QString libraryPath) : m_root(std::move(libraryPath)) {}

    // A fresh relative path "resources/XX/<asset>_<n>.<ext>" for a new resource.
    QString newStoredPath(const QString& assetIdentifier, int ordinal,
                          const QString& originalFilename);
    // Whether a path has exactly the shape newStoredPath gives. A path read back from the
    // catalogue is used for nothing unless it has.
    static bool isValidStoredPath(const QString& relativePath);
    // Absolute path of a stored file for readers; empty when the path has another shape or
    // leads through a link or to something other than a plain file. A missing file is fine.
    QString readablePath(const QString& relativePath) const;
    // Both return the number of bytes written; both throw PhotoLibraryError and leave no file.
    qint64 writeData(const QString& relativePath, const QByteArray& data);
    qint64 copyFile(const QString& relativePath, const QString& sourcePath);
    // Flushes the folders that received new files; throws PhotoLibraryError when it cannot.
    void syncDirectories();
    // Removes a stored file without following links out of resources/ and flushes its folder;
    // false when the path was refused or the file may still be there after a power cut.
    bool remove(const QString& relativePath);

    // A stored file opened for reading, without following links out of resources/ and without
    // blocking on a pipe; -1 with errno set when the path has another shape, leads through a
    // link, is not a plain file or is missing (ENOENT). The caller closes it.
    int openForReading(const QString& relativePath) const;
    // Streams a stored file into a new file at `destination` (which must not exist); a partial
    // destination is removed on failure. Throws PhotoLibraryError.
    void copyOut(const QString& relativePath, const QString& destination) const;
    // The same for any file `source`.
    static void streamCopy(const QString& source, const QString& destination);
    // The file `name` of the folder open at `dirFd` (AT_FDCWD for a path) opened for reading,
    // never through a link and never blocking on a pipe; -1 with errno set when it cannot be,
    // EINVAL when it is no plain file. The caller closes it.
    static int openPlainFileAt(int dirFd, const char* name);

    // Stand-ins for fsync() of new files and folders and close() of new files, so tests can
    // make them fail.
    struct Syscalls {
        std::function<int(int)> fsync;
        std::function<int(int)> close;
    };
    static Syscalls& syscallsForTesting();

private:
    QString absolute(const QString& relativePath) const;
    // resources/XX of a valid stored path, opened without following links; -1 with errno
    // set when that cannot be done.
    int openFolder(const QString& relativePath, bool create) const;
    QString m_root;
    QSet<QString> m_touchedDirs; // XX folder names
};

// Marks one open library as alive to other processes: a lock file held with flock()
// for the library's lifetime. The kernel drops it when the process dies, which tells
// the next opener that the owner's unfinished changes can be cleaned up.
class OwnerLock {
public:
    explicit OwnerLock(const QString& libraryPath);
    ~OwnerLock();
    OwnerLock(const OwnerLock&) = delete;
    OwnerLock& operator=(const OwnerLock&) = delete;

    QString token() const { return m_token; }
    static bool isAlive(const QString& libraryPath, const QString& token);
    static void removeStaleLocks(const QString& libraryPath, const QString& selfToken);
    // Called once the lock file exists and before it is locked, so tests can act in between.
    static std::function<void()>& beforeLockForTesting();
    // Takes the way of file systems without unnamed files (O_TMPFILE), so tests can reach it.
    static bool& withoutUnnamedFilesForTesting();

private:
    QString m_token;
    QString m_path;
    int m_fd = -1;
};

} // namespace photos
