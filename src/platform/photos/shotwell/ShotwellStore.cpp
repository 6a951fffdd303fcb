#include "platform/photos/shotwell/ShotwellStore.h"
#include "platform/photos/shotwell/ShotwellSnapshot.h"

#include "platform/photos/PhotoLibraryError.h"
#include "platform/photos/shared/ChangeLock.h"
#include "platform/photos/shared/OpenFileHolders.h"
#include "platform/photos/shared/SqliteDatabase.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QUuid>

namespace photos {

using namespace shotwell;

namespace {

PhotoLibraryError notAShotwellLibrary(const QString& path) {
    return PhotoLibraryError(PhotoLibraryError::Code::InvalidRequest,
                             QStringLiteral("“%1” is not a Shotwell library.").arg(path));
}

} // namespace

// ---- Opening ----

bool ShotwellStore::isShotwellDatabase(const QString& path) {
    return isSqliteFileWithTables(path,
                                  {QStringLiteral("PhotoTable"),
                                   QStringLiteral("BackingPhotoTable"), QStringLiteral("TagTable"),
                                   QStringLiteral("EventTable"), QStringLiteral("VersionTable")});
}

QString ShotwellStore::databaseFor(const QString& path) {
    const QFileInfo info(path);
    if (info.isDir()) {
        // Shotwell's data folder keeps its database in data/; the folder of the file will do.
        for (const QString& inside : {QStringLiteral("data/photo.db"), QStringLiteral("photo.db")})
            if (isShotwellDatabase(QDir(path).filePath(inside)))
                return QDir(path).filePath(inside);
        return {};
    }
    return info.isFile() && isShotwellDatabase(path) ? path : QString();
}

QString ShotwellStore::stateFolderOf(const QString& database) {
    const QFileInfo info(database);
    return info.absolutePath() + QStringLiteral("/.") + info.fileName() +
           QStringLiteral(".twinslim");
}

ShotwellStore::ShotwellStore(const QString& database) : m_database(database) {
    if (!isShotwellDatabase(database))
        throw notAShotwellLibrary(database);
    m_db = std::make_unique<SqliteDatabase>(database);
    auto version = m_db->statement("SELECT schema_version, app_version FROM VersionTable "
                                   "ORDER BY id LIMIT 1");
    if (!version.step())
        throw notAShotwellLibrary(database);
    if (version.int64(0) != schemaVersion)
        throw PhotoLibraryError(
            PhotoLibraryError::Code::NewerCatalog,
            QStringLiteral("The Shotwell library “%1” has schema version %2 (Shotwell %3); "
                           "Twinslim has been tested with Shotwell 0.30 libraries (version %4) "
                           "only and leaves this one alone.")
                .arg(database)
                .arg(version.int64(0))
                .arg(version.text(1).isEmpty() ? QStringLiteral("unknown") : version.text(1))
                .arg(schemaVersion));
    const QString state = stateFolder();
    if (!QDir().mkpath(state + QStringLiteral("/locks")))
        throw PhotoLibraryError(
            PhotoLibraryError::Code::AccessDenied,
            QStringLiteral("The photo library’s own folder “%1” cannot be made.").arg(state));
    m_db->statement("ATTACH DATABASE ? AS state")
        .bind(1, state + QStringLiteral("/state.sqlite"))
        .run();
    // A commit spanning Shotwell's database and the state must be atomic: both with a
    // rollback journal, fully synced.
    m_db->exec("PRAGMA state.journal_mode = DELETE");
    m_db->exec("PRAGMA synchronous = FULL");
    m_db->exec("CREATE TABLE IF NOT EXISTS state.identity (id INTEGER PRIMARY KEY CHECK (id = 1), "
               "value TEXT NOT NULL);"
               "CREATE TABLE IF NOT EXISTS state.journal (id INTEGER PRIMARY KEY, state TEXT NOT "
               "NULL, operations TEXT NOT NULL);"
               "CREATE TABLE IF NOT EXISTS state.identities (photo INTEGER PRIMARY KEY, "
               "identifier TEXT NOT NULL);"
               "CREATE TABLE IF NOT EXISTS state.album_identities (name TEXT PRIMARY KEY, "
               "identifier TEXT NOT NULL);"
               "CREATE TABLE IF NOT EXISTS state.trashed (photo INTEGER PRIMARY KEY, trashed_at "
               "INTEGER NOT NULL, event INTEGER, tags TEXT NOT NULL);"
               "CREATE TABLE IF NOT EXISTS state.file_facts (path TEXT PRIMARY KEY, size INTEGER "
               "NOT NULL, mtime_ns INTEGER NOT NULL, offset INTEGER, latitude REAL, longitude "
               "REAL);");
    // Shotwell keeps no identity of its library: the store gives it one, and mixes in the
    // path too, so that a copy of a library never shares an identifier with it.
    m_db->statement("INSERT OR IGNORE INTO state.identity (id, value) VALUES (1, ?)")
        .bind(1, QUuid::createUuid().toString(QUuid::WithoutBraces))
        .run();
    auto identity = m_db->statement("SELECT value FROM state.identity WHERE id = 1");
    identity.step();
    m_identity = identity.text(0) + QLatin1Char('\n') + QFileInfo(database).absoluteFilePath();
    const QByteArray digest =
        QCryptographicHash::hash(m_identity.toUtf8(), QCryptographicHash::Sha1).toHex().toUpper();
    m_idPrefix =
        QStringLiteral("%1-%2-5%3-9%4-")
            .arg(QString::fromLatin1(digest.mid(0, 8)), QString::fromLatin1(digest.mid(8, 4)),
                 QString::fromLatin1(digest.mid(12, 3)), QString::fromLatin1(digest.mid(15, 3)));
    if (!processHoldingOpen(m_database)) {
        ChangeLock changeLock(state); // whoever holds it is still applying its change
        recoverInterruptedChanges();
    }
}

ShotwellStore::~ShotwellStore() = default;

std::shared_ptr<const ShotwellStore::Snapshot> ShotwellStore::current() const {
    std::lock_guard lock(m_dbMutex);
    // Shotwell's commits change the data version; it is asked at most every 0.2 s, so that a
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

template class SnapshotStore<ShotwellStore>;

void ShotwellStore::refuseWhileShotwellRuns() const {
    if (const auto holder = processHoldingOpen(m_database))
        throw PhotoLibraryError(
            PhotoLibraryError::Code::AccessDenied,
            QStringLiteral("Shotwell (%1, process %2) has the library “%3” open: close Shotwell, "
                           "then try again. Nothing was changed.")
                .arg(holder->command.isEmpty() ? QStringLiteral("a program") : holder->command)
                .arg(holder->pid)
                .arg(m_database));
}

QString ShotwellStore::safetyCopyPath() const {
    std::lock_guard lock(m_dbMutex);
    return m_safetyCopy;
}

// ---- Integrity ----

QStringList ShotwellStore::check() const {
    const auto snapshot = current();
    std::lock_guard lock(m_dbMutex);
    QStringList problems;
    auto st = m_db->statement("PRAGMA integrity_check");
    while (st.step())
        if (st.text(0) != QLatin1String("ok"))
            problems << st.text(0);
    auto journal = m_db->statement("SELECT id FROM state.journal");
    while (journal.step())
        problems
            << QStringLiteral("interrupted change %1 waits to be undone").arg(journal.int64(0));
    for (const auto& item : snapshot->items)
        for (const ResourcePtr& r : item->asset->resources)
            if (!QFileInfo(r->storedPath).isFile())
                problems << QStringLiteral("%1 of %2 is missing")
                                .arg(r->storedPath, item->asset->localIdentifier);
    return problems;
}

} // namespace photos
