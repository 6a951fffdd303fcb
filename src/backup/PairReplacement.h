#pragma once

#include <QString>
#include <optional>

// The checks that decide whether a backup file on disk can stand for an original.
namespace twinslim {

// True when the file's attributes can be read and it holds at least one byte.
bool hasNonEmptyFile(const QString& path);

// A complete backup: a non-empty file whose size is the library's recorded size of the
// resource, where the library knows it. Whether a file already at a backup name can stand
// for the original is decided by its content, never by this.
bool hasCompleteBackup(const QString& path, std::optional<qint64> recordedSize);

// Throws backupVerificationFailed unless hasCompleteBackup.
void verifyBackup(const QString& path, std::optional<qint64> recordedSize);

} // namespace twinslim
