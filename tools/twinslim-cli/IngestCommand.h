#pragma once

namespace twinslimcli {

class Arguments;
class Session;

// ingest [--dry-run] DIR: replaces the export albums' members by their exported files,
// printing the run's log as it goes and then its report; --dry-run only shows the plan.
int ingestCommand(Arguments& arguments, Session& session);

} // namespace twinslimcli
