#pragma once

namespace twinslimcli {

class Arguments;
class Session;

// restore: lists the replaced pairs whose originals can come back, and puts them back.
int restoreCommand(Arguments& arguments, Session& session);

} // namespace twinslimcli
