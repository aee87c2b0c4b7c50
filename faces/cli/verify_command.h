// `verify` and `copies`: the commands that look and never write.
#pragma once

#include <optional>
#include <string>

#include "faces/cli/commands.h"

namespace qks::cli {

// The device's flash against what a recovery would leave, or against the
// saved copy `against`: 0 equal, 1 not.
int VerifyCommand(const GlobalOptions& global, const std::optional<std::string>& against,
                  bool json, Console& console, const CliEnvironment& environment);
// The saved copies and unfinished writes, per enclosure, newest first; no
// device is asked.
int CopiesCommand(const GlobalOptions& global, bool json, Console& console,
                  const CliEnvironment& environment);

}  // namespace qks::cli
