#pragma once

namespace twinslimcli {

class Arguments;
class Session;

// backup-folder [PATH]: shows or sets the remembered backup folder, the window's setting.
int backupFolderCommand(Arguments& arguments, Session& session);

} // namespace twinslimcli
