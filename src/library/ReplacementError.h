#pragma once

#include <QString>
#include <exception>
#include <stdexcept>
#include <string>

namespace twinslim {

// The program's own error: four cases, each with one fixed description for the user.
class ReplacementError : public std::exception {
public:
    enum class Case {
        noBackupFolder,
        resourcesNotFound,
        backupVerificationFailed,
        performChangesFailed
    };

    explicit ReplacementError(Case c) : m_case(c), m_what(description().toStdString()) {}

    Case errorCase() const { return m_case; }
    QString description() const;
    const char* what() const noexcept override { return m_what.c_str(); }
    bool operator==(const ReplacementError& other) const { return m_case == other.m_case; }

private:
    Case m_case;
    std::string m_what;
};

// A file-system operation that failed, with the system's description.
class FileSystemError : public std::runtime_error {
public:
    explicit FileSystemError(const QString& description)
        : std::runtime_error(description.toStdString()), m_description(description) {}
    QString description() const { return m_description; }

private:
    QString m_description;
};

// The description a user sees for any error this program raises or passes through:
// the program's own text, the photo library's, or the system's.
QString localizedDescription(const std::exception& error);
QString localizedDescription(std::exception_ptr error);

} // namespace twinslim
