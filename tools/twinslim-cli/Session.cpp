#include "Session.h"

#include "CommandFailure.h"
#include "LibraryAccessGate.h"
#include "Terminal.h"
#include "core/DeletionNote.h"
#include "core/LibraryModel.h"
#include "platform/photos/LibraryLocation.h"
#include "platform/photos/PhotoLibrary.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

namespace twinslimcli {

Session::Session(Terminal& terminal, std::optional<QString> libraryPath, bool assumeYes)
    : m_terminal(terminal), m_libraryPath(std::move(libraryPath)), m_assumeYes(assumeYes) {}

QString Session::libraryPath() const {
    return m_libraryPath.value_or(photos::systemLibraryPath());
}

Session::~Session() {
    m_model.reset();
    if (m_library) {
        m_library->setDeletionConfirmationHandler({});
        photos::PhotoLibrary::setShared(nullptr);
    }
}

void Session::openLibrary() {
    if (m_library)
        return;
    QString path;
    if (m_libraryPath) {
        // Any kind of library the photo library service opens: a catalogue, a folder of
        // camera files, darktable's library.db or its configuration folder.
        path = QDir::cleanPath(QFileInfo(*m_libraryPath).absoluteFilePath());
        // A mistyped path is said before access is asked for a library that is not there.
        if (!QFileInfo::exists(path))
            throw CommandFailure{QStringLiteral("There is no photo library at “%1”.").arg(path)};
    } else {
        path = photos::systemLibraryPath();
    }
    requireLibraryAccess(path, m_terminal, m_assumeYes);
    // Only the default location is made on first use; any other missing library, or one
    // named on the command line, is a mistake to report, not a new empty library.
    m_library = photos::PhotoLibrary::open(
        path, {.createWhenMissing = !m_libraryPath && photos::mayCreateSystemLibraryAt(path)});
    // Asked on the library's worker thread, which waits for the reply; the question is
    // put on the main thread, where the terminal is used.
    m_library->setDeletionConfirmationHandler([this](int count, std::function<void(bool)> reply) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [this, count, reply] { reply(confirmDeletion(count)); },
            Qt::QueuedConnection);
    });
    photos::PhotoLibrary::setShared(m_library);
}

twinslim::LibraryModel& Session::model() {
    openLibrary();
    if (!m_model)
        m_model = std::make_unique<twinslim::LibraryModel>();
    return *m_model;
}

bool Session::confirmDeletion(int count) {
    if (m_agreedDeletion == count) {
        m_agreedDeletion.reset();
        return true;
    }
    if (m_library)
        m_terminal.err() << twinslim::DeletionNote::text(*m_library,
                                                         twinslim::DeletionNote::rawWithoutBackup())
                         << "\n";
    return m_terminal.confirm(
        QStringLiteral("Delete %1 item%2?").arg(count).arg(count == 1 ? "" : "s"), m_assumeYes);
}

} // namespace twinslimcli
