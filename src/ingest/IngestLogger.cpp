#include "ingest/IngestLogger.h"

#include "backup/BackupFolder.h"
#include "backup/DurableFile.h"
#include "platform/system/SecurityScopedAccess.h"
#include "platform/system/SystemLog.h"

#include <QDir>
#include <QFile>
#include <QLocale>

namespace twinslim {
namespace {

// Fixed patterns are formatted with the POSIX locale, in local time.
QString formatted(const QDateTime& moment, const QString& pattern) {
    static const QLocale posix = QLocale::c();
    return posix.toString(moment.toLocalTime(), pattern);
}

QString lineStamp(const QDateTime& moment) {
    return formatted(moment, QStringLiteral("HH:mm:ss.zzz"));
}

} // namespace

IngestLogger::IngestLogger(QDateTime started, Clock clock)
    : m_started(std::move(started)), m_clock(std::move(clock)) {}

QString IngestLogger::fileName() const {
    return QStringLiteral("ingest-") + formatted(m_started, QStringLiteral("yyyyMMdd-HHmmss")) +
           QStringLiteral(".log");
}

void IngestLogger::log(const QString& message) {
    sys::SystemLog::ingest().log(message);
    const QDateTime now = m_clock ? m_clock() : QDateTime::currentDateTime();
    m_lines.append(QStringLiteral("[") + lineStamp(now) + QStringLiteral("] ") + message);
    if (m_observer)
        m_observer(m_lines.constLast());
}

void IngestLogger::setLineObserver(std::function<void(const QString& line)> observer) {
    m_observer = std::move(observer);
}

QCoro::Task<std::optional<QString>> IngestLogger::write(QPointer<BackupFolder> folder) {
    if (m_lines.isEmpty())
        co_return std::nullopt;
    const QString name = fileName();
    const QByteArray text = (m_lines.join(QLatin1Char('\n')) + QLatin1Char('\n')).toUtf8();

    if (!folder || !folder->url())
        co_return std::nullopt;
    const QString root = *folder->url();
    sys::SecurityScopedAccess access(root);

    const QString logFolder = QDir(root).filePath(logFolderName());
    if (!QDir().mkpath(logFolder))
        co_return std::nullopt;
    const QString path = QDir(logFolder).filePath(name);
    try {
        durable::writeFile(path, text);
    } catch (const std::exception&) {
        co_return std::nullopt;
    }
    co_return path;
}

} // namespace twinslim
