#pragma once

#include <QString>
#include <memory>
#include <optional>

namespace photos {
class PhotoLibrary;
}
namespace twinslim {
class LibraryModel;
}

namespace twinslimcli {

class Terminal;

// One run of the program: the terminal, the photo library (opened once access is
// granted) and the model that works on it. Deletions the library asks to confirm are put
// to the user on the terminal, one question per library change.
class Session {
public:
    // `libraryPath` chooses a library other than the system library; it must exist.
    Session(Terminal& terminal, std::optional<QString> libraryPath, bool assumeYes);
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    Terminal& terminal() { return m_terminal; }
    // The library this session works on, whether opened yet or not.
    QString libraryPath() const;
    bool assumeYes() const { return m_assumeYes; }

    // The model, on the library it opens first (after checking this program's access
    // grant); the model's operations use that library. Throws CommandFailure.
    twinslim::LibraryModel& model();

    // The user already agreed to delete `count` items: a deletion of that many is not
    // asked about again.
    void agreeToDeletion(int count) { m_agreedDeletion = count; }

private:
    void openLibrary();
    bool confirmDeletion(int count);

    Terminal& m_terminal;
    std::optional<QString> m_libraryPath;
    bool m_assumeYes;
    std::optional<int> m_agreedDeletion;
    std::shared_ptr<photos::PhotoLibrary> m_library;
    std::unique_ptr<twinslim::LibraryModel> m_model;
};

} // namespace twinslimcli
