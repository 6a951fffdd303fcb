#include "ingest/IngestLogger.h"

#include "backup/BackupFolder.h"
#include "backup/DurableFile.h"
#include "core/OffThread.h"
#include "ingest/FileSignature.h"
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
    return m_runName + QLatin1Char('-') + formatted(m_started, QStringLiteral("yyyyMMdd-HHmmss")) +
           QStringLiteral(".log");
}

void IngestLogger::log(const QString& rawMessage) {
    const QString message = escapedControlCharacters(rawMessage);
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

    QString logFolder;
    try {
        auto making = offThread(folder->subfolderMaker(logFolderName()));
        logFolder = co_await making;
    } catch (const std::exception&) {
        co_return std::nullopt;
    }
    const QString stem = name.chopped(4); // without ".log"
    auto writing = offThread([logFolder, name, stem, text]() -> std::optional<QString> {
        try {
            for (int n = 1; n < 1000; ++n) {
                const QString candidate = QDir(logFolder).filePath(
                    n == 1 ? name
                           : stem + QLatin1Char('-') + QString::number(n) + QStringLiteral(".log"));
                if (durable::writeNewFile(candidate, text))
                    return candidate;
            }
        } catch (const std::exception&) {
        }
        return std::nullopt;
    });
    co_return co_await writing;
}

} // namespace twinslim
