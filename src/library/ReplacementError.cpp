#include "library/ReplacementError.h"

#include "platform/photos/PhotoLibraryError.h"

namespace twinslim {

QString ReplacementError::description() const {
    switch (m_case) {
    case Case::noBackupFolder:
        return QStringLiteral("No backup folder selected.");
    case Case::resourcesNotFound:
        return QStringLiteral("Could not find the RAW/JPEG resources.");
    case Case::backupVerificationFailed:
        return QStringLiteral("RAW backup could not be verified on disk.");
    case Case::performChangesFailed:
        return QStringLiteral("The Photos library change failed.");
    }
    return {};
}

QString localizedDescription(const std::exception& error) {
    if (auto* e = dynamic_cast<const ReplacementError*>(&error))
        return e->description();
    if (auto* e = dynamic_cast<const photos::PhotoLibraryError*>(&error))
        return e->description();
    if (auto* e = dynamic_cast<const FileSystemError*>(&error))
        return e->description();
    return QString::fromUtf8(error.what());
}

QString localizedDescription(std::exception_ptr error) {
    try {
        if (error)
            std::rethrow_exception(error);
    } catch (const std::exception& e) {
        return localizedDescription(e);
    } catch (...) {
    }
    return QStringLiteral("An unknown error occurred.");
}

} // namespace twinslim
