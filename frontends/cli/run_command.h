// `zarno run`: a study (pattern counts x chains) on every core, into a run
// directory that survives being killed and can be extended later.
#ifndef ZARNO_CLI_RUN_COMMAND_H
#define ZARNO_CLI_RUN_COMMAND_H

#include <cstdint>
#include <string>

#include "run_options.h"

namespace zarno::cli {

// Runs a study; returns an exit code (commands.h). Messages on standard error.
int RunStudy(const RunArgs& args);

// Concurrent runs that fit `available` bytes when the sweep shares `shared`
// bytes and each run needs `perRun` more; at most `wanted`, at least 1.
int ThreadsThatFit(int wanted, std::uint64_t available, std::uint64_t shared,
                   std::uint64_t perRun);

}  // namespace zarno::cli

#endif
