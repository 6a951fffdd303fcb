#pragma once

namespace twinslimcli {

class Arguments;
class Session;

// cleanup: offers to delete the originals an earlier run replaced but did not delete.
int cleanupCommand(Arguments& arguments, Session& session);

} // namespace twinslimcli
