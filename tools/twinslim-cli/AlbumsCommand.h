#pragma once

namespace twinslimcli {

class Arguments;
class Session;

// albums [--range R] [--show S] (--all | --first N | --ids ID…): scans, selects and fills
// the two export albums with the selection.
int albumsCommand(Arguments& arguments, Session& session);

} // namespace twinslimcli
