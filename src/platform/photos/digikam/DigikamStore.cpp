#include "platform/photos/digikam/DigikamStore.h"
#include "platform/photos/digikam/DigikamSnapshot.h"

#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/digikam/DigikamTrash.h"
#include "platform/photos/shared/ChangeLock.h"
#include "platform/photos/shared/OpenFileHolders.h"
#include "platform/photos/shared/ResourceFiles.h"
#include "platform/photos/shared/SnapshotFetches.h"
#include "platform/photos/shared/SqliteDatabase.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <fcntl.h>
#include <sys/stat.h>

namespace photos {

using namespace digikam;

namespace {

PhotoLibraryError notADigikamLibrary(const QString& path) {
    return PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                             QStringLiteral("“%1” is not a digiKam library.").arg(path));
}

} // namespace

// ---- Opening ----

bool DigikamStore::isDigikamDatabase(const QString& path) {
    return isSqliteFileWithTables(path,
                                  {QStringLiteral("Images"), QStringLiteral("Albums"),
                                   QStringLiteral("AlbumRoots"), QStringLiteral("ImageInformation"),
                                   QStringLiteral("Tags"), QStringLiteral("Settings")});
}

QString DigikamStore::databaseFor(const QString& path) {
    const QFileInfo info(path);
    if (info.isDir()) {
        const QString inside = QDir(path).filePath(QStringLiteral("digikam4.db"));
        return isDigikamDatabase(inside) ? inside : QString();
    }
    if (!info.isFile())
        return {};
    if (isDigikamDatabase(path))
        return path;
    if (info.fileName() != QLatin1String("digikamrc"))
        return {};
    // digiKam's configuration names the folder its databases are in, and their kind.
    const QSettings rc(path, QSettings::IniFormat);
    const QString type = rc.value(QStringLiteral("Database Settings/Database Type")).toString();
    const QString folder = rc.value(QStringLiteral("Database Settings/Database Name")).toString();
    if (!type.isEmpty() && type != QLatin1String("QSQLITE"))
        throw PhotoLibraryError(
            PhotoLibraryError::Code::InvalidRequest,
            QStringLiteral("The digiKam set up by “%1” keeps its library in a database server "
                           "(%2), not in a digikam4.db file: Twinslim opens digiKam libraries "
                           "kept in SQLite only.")
                .arg(path,
                     type == QLatin1String("QMYSQL") ? QStringLiteral("MySQL or MariaDB") : type));
    if (folder.isEmpty())
        throw PhotoLibraryError(
            PhotoLibraryError::Code::NotFound,
            QStringLiteral("digiKam’s configuration “%1” names no library: start digiKam once "
                           "to set one up.")
                .arg(path));
    const QString database = QDir(folder).filePath(QStringLiteral("digikam4.db"));
    if (!isDigikamDatabase(database))
        throw PhotoLibraryError(
            PhotoLibraryError::Code::NotFound,
            QStringLiteral("digiKam’s configuration “%1” names the library “%2”, which is not "
                           "there.")
                .arg(path, database));
    return database;
}

QString DigikamStore::stateFolderOf(const QString& database) {
    const QFileInfo info(database);
    return info.absolutePath() + QStringLiteral("/.") + info.fileName() +
           QStringLiteral(".twinslim");
}

DigikamStore::DigikamStore(const QString& database, const QString& configuration)
    : m_database(database), m_configuration(configuration) {
    if (!isDigikamDatabase(database))
        throw notADigikamLibrary(database);
    m_db = std::make_unique<SqliteDatabase>(database);
    const auto setting = [&](const char* key) {
        auto st = m_db->statement("SELECT value FROM Settings WHERE keyword = ?");
        st.bind(1, QString::fromLatin1(key));
        return st.step() ? st.text(0) : QString();
    };
    bool numeric = false;
    const int version = setting("DBVersion").toInt(&numeric);
    if (!numeric)
        throw notADigikamLibrary(database);
    if (version != schemaVersion)
        throw PhotoLibraryError(
            PhotoLibraryError::Code::NewerCatalog,
            QStringLiteral("The digiKam library “%1” has schema version %2; Twinslim has been "
                           "tested with digiKam 7.9 libraries (version %3) only and leaves this "
                           "one alone.")
                .arg(database)
                .arg(version)
                .arg(schemaVersion));
    // digiKam gives each library a random identity; a copy of a library keeps it, so its path
    // is mixed in too: two libraries never share an identifier.
    m_identity =
        setting("databaseUUID") + QLatin1Char('\n') + QFileInfo(database).absoluteFilePath();
    const QByteArray digest =
        QCryptographicHash::hash(m_identity.toUtf8(), QCryptographicHash::Sha1).toHex().toUpper();
    m_idPrefix =
        QStringLiteral("%1-%2-5%3-9%4-")
            .arg(QString::fromLatin1(digest.mid(0, 8)), QString::fromLatin1(digest.mid(8, 4)),
                 QString::fromLatin1(digest.mid(12, 3)), QString::fromLatin1(digest.mid(15, 3)));
    const QString state = stateFolder();
    if (!QDir().mkpath(state + QStringLiteral("/locks")))
        throw PhotoLibraryError(
            PhotoLibraryError::Code::AccessDenied,
            QStringLiteral("The photo library’s own folder “%1” cannot be made.").arg(state));
    m_db->statement("ATTACH DATABASE ? AS state")
        .bind(1, state + QStringLiteral("/state.sqlite"))
        .run();
    // A commit spanning digiKam's database and the state must be atomic: both with a
    // rollback journal, fully synced.
    m_db->exec("PRAGMA state.journal_mode = DELETE");
    m_db->exec("PRAGMA synchronous = FULL");
    m_db->exec("CREATE TABLE IF NOT EXISTS state.journal (id INTEGER PRIMARY KEY, state TEXT NOT "
               "NULL, operations TEXT NOT NULL);"
               "CREATE TABLE IF NOT EXISTS state.identities (image INTEGER PRIMARY KEY, "
               "identifier TEXT NOT NULL);"
               "CREATE TABLE IF NOT EXISTS state.album_identities (path TEXT PRIMARY KEY, "
               "identifier TEXT NOT NULL);"
               "CREATE TABLE IF NOT EXISTS state.trashed (identifier TEXT PRIMARY KEY, "
               "trashed_at INTEGER NOT NULL, asset TEXT NOT NULL);");
    if (!processHoldingOpen(m_database)) {
        ChangeLock changeLock(state); // whoever holds it is still applying its change
        recoverInterruptedChanges();
    }
}

DigikamStore::~DigikamStore() = default;

std::shared_ptr<const DigikamStore::Snapshot> DigikamStore::current() const {
    std::lock_guard lock(m_dbMutex);
    // digiKam's commits change the data version; it is asked at most every 0.2 s, so that a
    // scan's many fetches read one snapshot.
    if (m_snapshot && m_checked.isValid() && m_checked.elapsed() < 200)
        return m_snapshot;
    m_checked.start();
    auto st = m_db->statement("PRAGMA data_version");
    const qint64 version = st.step() ? st.int64(0) : 0;
    if (!m_snapshot || version != m_snapshotVersion) {
        m_snapshot = load();
        m_snapshotVersion = version;
    }
    return m_snapshot;
}

template class SnapshotStore<DigikamStore>;

// ---- Integrity ----

QStringList DigikamStore::check() const {
    const auto snapshot = current();
    std::lock_guard lock(m_dbMutex);
    QStringList problems;
    auto st = m_db->statement("PRAGMA integrity_check");
    while (st.step())
        if (st.text(0) != QLatin1String("ok"))
            problems << st.text(0);
    auto journal = m_db->statement("SELECT id, state FROM state.journal");
    while (journal.step())
        problems << (journal.text(1) == QLatin1String("committed")
                         ? QStringLiteral("interrupted change %1 waits to be finished")
                         : QStringLiteral("interrupted change %1 waits to be undone"))
                        .arg(journal.int64(0));
    for (const QString& root : snapshot->unreachableRoots)
        problems << QStringLiteral("the collection %1 cannot be reached").arg(root);
    for (const auto& item : snapshot->items)
        for (const ResourcePtr& r : item->asset->resources)
            if (!QFileInfo(r->storedPath).isFile())
                problems << QStringLiteral("%1 of %2 is missing")
                                .arg(r->storedPath, item->asset->localIdentifier);
    return problems;
}

} // namespace photos
