#pragma once

#include <QCoro/QCoroTask>
#include <QDateTime>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <functional>
#include <optional>

namespace twinslim {

class BackupFolder;

// The log of one ingest run: every message goes to the system log (category "ingest")
// at once and, stamped with the local time, into a list that is written as one file
// into the backup folder at the end of the run. Used on the GUI thread only.
class IngestLogger {
public:
    using Clock = std::function<QDateTime()>;

    // `started` names the log file; `clock` stamps the lines (the current time when empty).
    explicit IngestLogger(QDateTime started = QDateTime::currentDateTime(), Clock clock = {});
    IngestLogger(const IngestLogger&) = delete;
    IngestLogger& operator=(const IngestLogger&) = delete;

    static QString logFolderName() { return QStringLiteral("Twinslim-logs"); }

    QDateTime started() const { return m_started; }
    const QStringList& lines() const { return m_lines; }
    // "ingest-yyyyMMdd-HHmmss.log", from `started` in local time; another kind of run names
    // its log by its own word ("restore").
    QString fileName() const;
    void setRunName(const QString& name) { m_runName = name; }

    // Never fails; the message is kept as given, leading spaces included, but for control
    // characters, which are escaped: a file name may hold a line break.
    void log(const QString& message);
    // Called with every stamped line as it is logged (for a terminal or a live view).
    void setLineObserver(std::function<void(const QString& line)> observer);

    // Writes the lines into Twinslim-logs inside the folder and gives the file's path;
    // nothing when there are no lines, no folder, or the folder or file cannot be written.
    // Never replaces a log: a name taken already (two runs in one second) gets "-2", "-3"…
    // Never creates the backup folder itself (see BackupFolder::makeSubfolder).
    QCoro::Task<std::optional<QString>> write(QPointer<BackupFolder> folder);

private:
    QDateTime m_started;
    Clock m_clock;
    QStringList m_lines;
    QString m_runName = QStringLiteral("ingest");
    std::function<void(const QString&)> m_observer;
};

} // namespace twinslim
