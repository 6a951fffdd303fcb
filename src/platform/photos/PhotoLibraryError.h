#pragma once

#include <QString>
#include <exception>
#include <string>

namespace photos {

// The photo library service's own error. Its description is meant for the user.
class PhotoLibraryError : public std::exception {
public:
    enum class Code {
        UserCancelled = 3072, // the user refused the deletion prompt
        InvalidResource = 3300,
        NotFound = 3301,
        AccessDenied = 3311,
        InvalidRequest = 3302,
        StorageFailed = 3303,
        CatalogFailed = 3304,
        NewerCatalog = 3305,
        AlreadyExists = 3306, // a unique album's title is taken
        AlreadyMember = 3307, // an item to be added as a new member is one already
        Injected = 3399,      // a failure asked for by a test
    };

    PhotoLibraryError(Code code, QString description)
        : m_code(code), m_description(std::move(description)), m_what(m_description.toStdString()) {
    }

    Code code() const { return m_code; }
    QString description() const { return m_description; }
    const char* what() const noexcept override { return m_what.c_str(); }

private:
    Code m_code;
    QString m_description;
    std::string m_what;
};

} // namespace photos
