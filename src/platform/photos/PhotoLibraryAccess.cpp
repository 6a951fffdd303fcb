#include "platform/photos/PhotoLibraryAccess.h"

#include "platform/photos/LibraryLocation.h"
#include "platform/photos/PhotoLibraryError.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <mutex>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace photos {

namespace {

std::mutex consentMutex;
PhotoLibraryAccess::ConsentHandler consentHandler;

QString grantsFile() {
    return serviceConfigDir() + QStringLiteral("/access.ini");
}

QString grantKey(const QString& client, AccessLevel level) {
    // Client names are bundle identifiers or program names; keep them one key segment.
    QString safe = client;
    safe.replace(QLatin1Char('/'), QLatin1Char('_'));
    return safe + QLatin1Char('/') +
           (level == AccessLevel::ReadWrite ? QStringLiteral("readWrite")
                                            : QStringLiteral("addOnly"));
}

// Judges permission bits as they apply to this user, so that an administrator
// running the program is treated like the owner rather than let through.
bool permitsReadWrite(const struct stat& st) {
    mode_t bits;
    if (st.st_uid == geteuid())
        bits = (st.st_mode >> 6) & 7;
    else {
        bool inGroup = st.st_gid == getegid();
        if (!inGroup) {
            const int n = getgroups(0, nullptr);
            std::vector<gid_t> groups(n > 0 ? n : 0);
            if (n > 0 && getgroups(n, groups.data()) == n)
                for (gid_t g : groups)
                    inGroup = inGroup || g == st.st_gid;
        }
        bits = inGroup ? (st.st_mode >> 3) & 7 : st.st_mode & 7;
    }
    // Read, write and enter a folder; read and write a database file (a darktable library).
    const mode_t needed = S_ISDIR(st.st_mode) ? 7 : 6;
    return (bits & needed) == needed;
}

// What the library's folder alone decides: restricted on read-only media, denied
// when this user cannot read and write it; nothing when it is usable.
std::optional<AuthorizationStatus> folderVerdict(const QString& libraryPath) {
    QString probe = QDir(libraryPath).absolutePath();
    // A library that does not exist yet is judged by the folder it will be created in.
    while (!QFileInfo::exists(probe) && probe != QLatin1String("/"))
        probe = QFileInfo(probe).absolutePath();
    struct statvfs vfs {};
    if (::statvfs(QFile::encodeName(probe).constData(), &vfs) == 0 && (vfs.f_flag & ST_RDONLY))
        return AuthorizationStatus::Restricted;
    struct stat st {};
    if (::stat(QFile::encodeName(probe).constData(), &st) != 0 || !permitsReadWrite(st))
        return AuthorizationStatus::Denied;
    const QString catalog = QDir(libraryPath).filePath(QStringLiteral("catalog.sqlite"));
    if (QFileInfo::exists(catalog)) {
        struct stat cst {};
        if (::stat(QFile::encodeName(catalog).constData(), &cst) != 0 ||
            ((cst.st_mode >> 6) & 6) != 6)
            return AuthorizationStatus::Denied;
    }
    return std::nullopt;
}

std::optional<AuthorizationStatus> storedStatus(const QString& client, AccessLevel level) {
    QSettings settings(grantsFile(), QSettings::IniFormat);
    const QVariant v = settings.value(grantKey(client, level));
    if (!v.isValid())
        return std::nullopt;
    const int value = v.toInt();
    if (value < 0 || value > int(AuthorizationStatus::Limited))
        return std::nullopt;
    return AuthorizationStatus(value);
}

} // namespace

QString PhotoLibraryAccess::defaultClient() {
    const QString name = QCoreApplication::applicationName();
    return name.isEmpty() ? QStringLiteral("unknown") : name;
}

std::optional<AuthorizationStatus> PhotoLibraryAccess::folderStatus(const QString& libraryPath) {
    return folderVerdict(libraryPath.isEmpty() ? systemLibraryPath() : libraryPath);
}

AuthorizationStatus PhotoLibraryAccess::authorizationStatus(AccessLevel level,
                                                            const QString& client,
                                                            const QString& libraryPath) {
    const QString path = libraryPath.isEmpty() ? systemLibraryPath() : libraryPath;
    if (auto verdict = folderVerdict(path))
        return *verdict;
    return storedStatus(client, level).value_or(AuthorizationStatus::NotDetermined);
}

void PhotoLibraryAccess::setConsentHandler(ConsentHandler handler) {
    std::lock_guard lock(consentMutex);
    consentHandler = std::move(handler);
}

void PhotoLibraryAccess::requestAuthorization(AccessLevel level,
                                              std::function<void(AuthorizationStatus)> handler,
                                              const QString& client, const QString& libraryPath) {
    const AuthorizationStatus current = authorizationStatus(level, client, libraryPath);
    ConsentHandler ask;
    {
        std::lock_guard lock(consentMutex);
        ask = consentHandler;
    }
    if (current != AuthorizationStatus::NotDetermined || !ask) {
        // The answer always arrives later, never inside the call, as on the platform.
        std::thread([handler, current] { handler(current); }).detach();
        return;
    }
    ask(client, level, [handler, client, level](AuthorizationStatus answer) {
        // An answer that cannot be stored still holds for this request; it is asked again.
        if (answer != AuthorizationStatus::NotDetermined)
            try {
                setStoredStatus(client, level, answer);
            } catch (const PhotoLibraryError&) {
            }
        handler(answer);
    });
}

QMap<QString, AuthorizationStatus> PhotoLibraryAccess::storedGrants(AccessLevel level) {
    QMap<QString, AuthorizationStatus> result;
    QSettings settings(grantsFile(), QSettings::IniFormat);
    for (const QString& client : settings.childGroups())
        if (auto status = storedStatus(client, level))
            result.insert(client, *status);
    return result;
}

void PhotoLibraryAccess::setStoredStatus(const QString& client, AccessLevel level,
                                         AuthorizationStatus status) {
    QDir().mkpath(serviceConfigDir());
    QSettings settings(grantsFile(), QSettings::IniFormat);
    settings.setValue(grantKey(client, level), int(status));
    saveServiceSettings(settings);
}

void PhotoLibraryAccess::forget(const QString& client) {
    QSettings settings(grantsFile(), QSettings::IniFormat);
    QString safe = client;
    safe.replace(QLatin1Char('/'), QLatin1Char('_'));
    settings.remove(safe);
    saveServiceSettings(settings);
}

QString authorizationStatusName(AuthorizationStatus status) {
    switch (status) {
    case AuthorizationStatus::NotDetermined:
        return QStringLiteral("not determined");
    case AuthorizationStatus::Restricted:
        return QStringLiteral("restricted");
    case AuthorizationStatus::Denied:
        return QStringLiteral("denied");
    case AuthorizationStatus::Authorized:
        return QStringLiteral("authorized");
    case AuthorizationStatus::Limited:
        return QStringLiteral("limited");
    }
    return QStringLiteral("unknown");
}

} // namespace photos
