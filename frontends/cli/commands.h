// The subcommands of `zarno`.
//
// Each subcommand lives in its own <name>_cmd.cpp and is registered in
// main.cpp by an Add<Name>Command(CLI::App&), which adds the subcommand, its
// options and a callback. A callback ends with its exit code by throwing
// CLI::RuntimeError(code) (one of ExitCode); returning normally means 0.
// Messages go to standard error, results to files (or standard output when
// that is the result).
#ifndef ZARNO_CLI_COMMANDS_H
#define ZARNO_CLI_COMMANDS_H

#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace zarno::cli {

// Exit codes of every subcommand (also in `zarno --help` and README).
enum ExitCode {
    kExitDone = 0,          // everything asked was done
    kExitRunFailed = 1,     // a run failed (or its results could not be written)
    kExitBadInput = 2,      // bad input or usage; nothing was computed or written
    kExitInterrupted = 130  // SIGINT or SIGTERM; finished work is kept
};

// The command line as typed, for messages that tell how to go on.
void SetCommandLine(int argc, char** argv);
const std::vector<std::string>& CommandLine();
// The words joined, quoted for a POSIX shell where needed.
std::string ShellJoin(const std::vector<std::string>& words);

void AddRunCommand(CLI::App& app);
void AddSurveyCommand(CLI::App& app);  // survey_cli.cpp
void AddReportCommand(CLI::App& app);  // survey_cli.cpp

}  // namespace zarno::cli

#endif
