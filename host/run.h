#pragma once
// The host program's run: devices created from the plug-in, their rounds,
// then every device deleted and the plug-in unloaded.

#include "options.h"

namespace host {

// Returns the exit status (0 done, 1 a device, the plug-in or an output
// failed, 128 + signal when stopped by SIGINT or SIGTERM); throws BadInput
// or Failure for a run that cannot start.
int Run(const Options& options);

}  // namespace host
