#pragma once

#include <QStringList>

namespace twinslimcli {

class Terminal;

// Runs one twinslim-cli command line (without the program name). Returns the exit status:
// 0 the operation ran, 1 something stopped it (said in one message on the terminal's error
// stream), 2 the command line is wrong.
int run(const QStringList& args, Terminal& terminal);

} // namespace twinslimcli
