#include "backup/BackupFolder.h"

#include "backup/DurableFile.h"

#include "platform/system/SecurityScopedAccess.h"
#include "platform/system/SystemLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QPointer>
#include <QSettings>
#include <QUuid>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace twinslim {
namespace {

QSettings preferences() {
    return QSettings(QStringLiteral("Twinslim"), QStringLiteral("Twinslim"));
}

// A bookmark here is the folder's absolute path. It resolves when it is an absolute
// path; one that is not in clean form (trailing slash, "." or "..") is stale.
std::optional<QString> resolveBookmark(const QVariant& stored, bool* isStale) {
    if (stored.typeId() != QMetaType::QString)
        return std::nullopt;
    const QString text = stored.toString();
    if (text.isEmpty() || !QDir::isAbsolutePath(text))
        return std::nullopt;
    const QString resolved = QDir::cleanPath(text);
    *isStale = resolved != text;
    return resolved;
}

// Like the platform's bookmarks, one can only be made of an existing folder.
std::optional<QString> makeBookmark(const QString& folder, QString* error) {
    if (folder.isEmpty() || !QDir::isAbsolutePath(folder)) {
        *error = QStringLiteral("“%1” is not an absolute folder path.").arg(folder);
        return std::nullopt;
    }
    const QFileInfo info(folder);
    if (!info.isDir()) {
        *error = QStringLiteral("The folder “%1” doesn’t exist.").arg(folder);
        return std::nullopt;
    }
    return QDir::cleanPath(info.absoluteFilePath());
}

} // namespace

BackupFolder::BackupFolder(QString defaultsKey, QObject* parent)
    : QObject(parent), m_defaultsKey(std::move(defaultsKey)) {
    restore();
}

void BackupFolder::setUrl(std::optional<QString> url) {
    if (m_url == url)
        return;
    m_url = std::move(url);
    emit urlChanged();
}

void BackupFolder::restore() {
    const QVariant stored = preferences().value(m_defaultsKey);
    if (!stored.isValid())
        return;
    bool isStale = false;
    const std::optional<QString> resolved = resolveBookmark(stored, &isStale);
    if (!resolved)
        return; // left as stored: a later choice overwrites it
    setUrl(*resolved);
    if (isStale)
        saveBookmark(*resolved);
}

void BackupFolder::saveBookmark(const QString& folder) {
    QString error;
    const std::optional<QString> bookmark = makeBookmark(folder, &error);
    if (bookmark) {
        QSettings settings = preferences();
        settings.setValue(m_defaultsKey, *bookmark);
        settings.sync();
        if (settings.status() == QSettings::NoError)
            return;
        error = QStringLiteral("The preferences file “%1” couldn’t be written.")
                    .arg(settings.fileName());
    }
    sys::SystemLog::general().log(QStringLiteral("Twinslim: failed to save backup bookmark: ") +
                                  error);
}

FolderChoiceRequest BackupFolder::choiceRequest() {
    FolderChoiceRequest request;
    request.prompt = QStringLiteral("Choose");
    // Only a favourite's RAW is kept: the message must not promise more.
    request.message = QStringLiteral(
        "Choose a folder for the backups of replaced pictures: the JPEG of each, and the RAW "
        "of favourites only.");
    request.canChooseDirectories = true;
    request.canChooseFiles = false;
    request.allowsMultipleSelection = false;
    return request;
}

void BackupFolder::setFolderChooser(std::shared_ptr<FolderChooser> chooser) {
    m_chooser = std::move(chooser);
}

QCoro::Task<> BackupFolder::choose() {
    QPointer<BackupFolder> self(this);
    auto asking = askForFolder(m_chooser ? m_chooser : FolderChooser::shared(), choiceRequest());
    const std::optional<QString> chosen = co_await asking;
    if (!self || !chosen)
        co_return;
    const QString folder = QDir::cleanPath(QFileInfo(*chosen).absoluteFilePath());
    // Taken even when the bookmark could not be stored; it then lasts until quit.
    self->saveBookmark(folder);
    self->setUrl(folder);
}

namespace {

[[noreturn]] void gone(const QString& path) {
    throw BackupFolderGone(
        QStringLiteral("The backup folder “%1” is gone or is no longer the folder this run "
                       "started with (an unplugged disk or an unmounted share?). Nothing more "
                       "is changed in this run.")
            .arg(path));
}

// Closes on every path.
struct Descriptor {
    int fd = -1;
    ~Descriptor() {
        if (fd >= 0)
            ::close(fd);
    }
};

} // namespace

namespace {

// Whether `inner` is `outer` or lies below it, links resolved.
bool isWithin(const QString& inner, const QString& outer) {
    if (inner.isEmpty() || outer.isEmpty())
        return false;
    const QString a = QFileInfo(inner).canonicalFilePath();
    const QString b = QFileInfo(outer).canonicalFilePath();
    if (a.isEmpty() || b.isEmpty())
        return false;
    return a == b || a.startsWith(b.endsWith(QLatin1Char('/')) ? b : b + QLatin1Char('/'));
}

} // namespace

std::optional<QString> BackupFolder::placementProblem(const QString& libraryPath,
                                                      const QString& exportFolder) const {
    if (!m_url)
        return std::nullopt;
    if (isWithin(*m_url, libraryPath))
        return QStringLiteral("The backup folder is inside the photo library:\n") + *m_url +
               QStringLiteral("\n\nBackups must live outside “%1”. Choose another folder.")
                   .arg(libraryPath);
    if (isWithin(*m_url, exportFolder))
        return QStringLiteral("The backup folder is inside the folder of exported files:\n") +
               *m_url +
               QStringLiteral("\n\nBackups must live outside “%1”. Choose another folder.")
                   .arg(exportFolder);
    return std::nullopt;
}

void BackupFolder::pinForRun() {
    m_pinned.reset();
    if (!m_url)
        throw BackupFolderGone(QStringLiteral("No backup folder is selected. Choose one first."));
    struct stat info {};
    if (::stat(QFile::encodeName(*m_url).constData(), &info) != 0 || !S_ISDIR(info.st_mode))
        gone(*m_url);
    m_pinned = Identity{*m_url, quint64(info.st_dev), quint64(info.st_ino)};
}

QString BackupFolder::makeSubfolder(const QString& relative) const {
    return makeSubfolderIn(m_url, m_pinned, relative);
}

std::function<QString()> BackupFolder::subfolderMaker(const QString& relative) const {
    return [url = m_url, pinned = m_pinned, relative] {
        return makeSubfolderIn(url, pinned, relative);
    };
}

QString BackupFolder::makeSubfolderIn(const std::optional<QString>& url,
                                      const std::optional<Identity>& pinned,
                                      const QString& relative) {
    if (!pinned && !url)
        throw BackupFolderGone(QStringLiteral("No backup folder is selected. Choose one first."));
    const QString root = pinned ? pinned->path : *url;
    Descriptor current;
    current.fd = ::open(QFile::encodeName(root).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (current.fd < 0)
        gone(root);
    struct stat info {};
    if (::fstat(current.fd, &info) != 0 ||
        (pinned && !(*pinned == Identity{root, quint64(info.st_dev), quint64(info.st_ino)})))
        gone(root);
    QString path = root;
    for (const QString& name : relative.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        const QByteArray encoded = QFile::encodeName(name);
        path += QLatin1Char('/') + name;
        if (::mkdirat(current.fd, encoded.constData(), 0777) == 0) {
            // The new entry must outlive a power cut as much as the files put into it.
            if (durable::flush(current.fd, path) != 0 && errno != EINVAL && errno != EROFS)
                throw FileSystemError(QStringLiteral("Could not flush the folder “%1”: %2.")
                                          .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        } else if (errno != EEXIST) {
            throw FileSystemError(QStringLiteral("Could not create the folder “%1”: %2.")
                                      .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        }
        Descriptor next;
        next.fd = ::openat(current.fd, encoded.constData(),
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next.fd < 0)
            throw FileSystemError(QStringLiteral("Could not open the folder “%1”: %2.")
                                      .arg(path, QString::fromLocal8Bit(std::strerror(errno))));
        std::swap(current.fd, next.fd);
    }
    return path;
}

std::optional<QString> BackupFolder::checkAccess() const {
    if (!m_url)
        return QStringLiteral("No backup folder is selected. Choose one first.");
    const QString path = *m_url;
    sys::SecurityScopedAccess access(path);

    const QFileInfo info(path);
    if (!info.exists() || !info.isDir())
        return QStringLiteral("The backup folder isn’t reachable:\n") + path +
               QStringLiteral("\n\nIf it’s on a network share, mount it first — or choose a "
                              "local folder.");

    const QString probePath = QDir(path).filePath(
        writeTestPrefix() + QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper());
    QFile probe(probePath);
    QString failure;
    if (!probe.open(QIODevice::WriteOnly)) {
        failure = probe.errorString();
    } else {
        const bool written = probe.write(QByteArray(1, '\0')) == 1 && probe.flush();
        if (!written)
            failure = probe.errorString();
        probe.close();
        if (failure.isEmpty() && probe.error() != QFileDevice::NoError)
            failure = probe.errorString();
    }
    // Removed also after a partial write, so no test file is left behind; a removal
    // failure is of no consequence to the check.
    QFile::remove(probePath);
    if (!failure.isEmpty())
        return QStringLiteral("The backup folder isn’t writable:\n") + path +
               QStringLiteral("\n\n") + failure;
    return std::nullopt;
}

} // namespace twinslim
