#pragma once

namespace twinslimcli {

class Arguments;
class Session;

// __complete pairs [--range R] [--show S] | __complete replaced
// The words the shell completion offers, one per line: the identifiers of the RAW+JPEG pairs
// "albums --ids" takes, or of the replaced pairs "restore" takes. Never asks anything and
// never makes a library: without a grant or a library it prints nothing.
int completeCommand(Arguments& arguments, Session& session);

} // namespace twinslimcli
