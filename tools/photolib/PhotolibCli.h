#pragma once

#include <QStringList>
#include <QTextStream>
#include <functional>

namespace photolib {

// Runs one photolib command line (without the program name). Returns the exit status:
// 0 success, 1 failure, 2 bad usage. Output goes to `out`, messages to `err`.
int run(const QStringList& args, QTextStream& out, QTextStream& err);

} // namespace photolib
