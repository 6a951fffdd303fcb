#pragma once

#include <QString>

namespace sys {

// Access to a folder the user chose. Linux decides file access by permissions alone, so
// starting always succeeds and changes nothing; code touching user-chosen folders still
// starts and stops access so it keeps one shape on every platform.
inline bool startAccessingSecurityScopedResource(const QString& /*path*/) {
    return true;
}
inline void stopAccessingSecurityScopedResource(const QString& /*path*/) {}

// Starts access for a scope and stops it on every way out, when it was started.
class SecurityScopedAccess {
public:
    explicit SecurityScopedAccess(QString path)
        : m_path(std::move(path)), m_started(startAccessingSecurityScopedResource(m_path)) {}
    ~SecurityScopedAccess() {
        if (m_started)
            stopAccessingSecurityScopedResource(m_path);
    }
    SecurityScopedAccess(const SecurityScopedAccess&) = delete;
    SecurityScopedAccess& operator=(const SecurityScopedAccess&) = delete;

    bool started() const { return m_started; }

private:
    QString m_path;
    bool m_started;
};

} // namespace sys
