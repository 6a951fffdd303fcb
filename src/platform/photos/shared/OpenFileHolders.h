#pragma once

#include <QString>
#include <optional>

namespace photos {

// Another program that has a file open, found through /proc: the way to tell that a program
// which keeps no lock file (digiKam, Shotwell) is running on its library.
struct OpenFileHolder {
    qint64 pid = 0;
    QString command; // the program's name, as the system lists it
};

// The first process other than this one that holds `path` open (or its SQLite journal or
// write-ahead log); empty when none does. Processes of other users that cannot be looked at
// are not seen.
std::optional<OpenFileHolder> processHoldingOpen(const QString& path);

} // namespace photos
