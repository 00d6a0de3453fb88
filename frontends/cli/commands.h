// The subcommands of `zarno`.
//
// Each subcommand lives in its own <name>_command.cpp and is registered in
// main.cpp by an Add<Name>Command(CLI::App&), which adds the subcommand, its
// options and a callback made by Callback(): the subcommand's work returns an
// exit code or throws, and ExitCodeOf turns either into the code, here and
// nowhere else. Messages go to standard error, results to files (or standard
// output when that is the result).
#ifndef ZARNO_CLI_COMMANDS_H
#define ZARNO_CLI_COMMANDS_H

#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace CLI {
class App;
}

namespace zarno::cli {

// Exit codes of every subcommand (also in `zarno --help` and docs/command.md).
enum ExitCode {
    kExitDone = 0,          // everything asked was done
    kExitRunFailed = 1,     // a run failed (or its results could not be written)
    kExitBadInput = 2,      // bad input or usage; nothing was computed or written
    kExitInterrupted = 130  // SIGINT or SIGTERM; finished work is kept
};

// Runs a subcommand's `work` and gives its exit code: the code it returns, or
// for what it throws
//   zarno::InputError                kExitBadInput
//   std::bad_alloc                   kExitRunFailed, "out of memory"
//   any other std::exception         kExitRunFailed (std::system_error: a disk, a pipe)
// with the message on `err` after `prefix` (the subcommand's own, e.g.
// "zarno slurm: ").
int ExitCodeOf(const std::function<int()>& work, const std::string& prefix, std::ostream& err);

// A subcommand's callback: `work` through ExitCodeOf (messages on standard
// error); a code other than 0 ends the parse as CLI::RuntimeError(code).
std::function<void()> Callback(std::string prefix, std::function<int()> work);

// Parses the command line and runs the subcommand it names; returns the exit
// code (usage errors kExitBadInput, --help and --version kExitDone).
int Execute(CLI::App& app, int argc, char** argv);

// The command line as typed, for messages that tell how to go on.
void SetCommandLine(int argc, char** argv);
const std::vector<std::string>& CommandLine();

// A word for a POSIX shell: as it is when it needs no quoting, else in single
// quotes.
std::string ShellQuote(const std::string& word);
// The words quoted so, joined by spaces.
std::string ShellJoin(const std::vector<std::string>& words);

void AddRunCommand(CLI::App& app);     // run_command.cpp
void AddSurveyCommand(CLI::App& app);  // survey_command.cpp
void AddReportCommand(CLI::App& app);  // survey_command.cpp
void AddSlurmCommand(CLI::App& app);   // slurm_command.cpp

// `zarno survey DIR` (with `report`, `zarno report DIR`): the survey's files,
// its table on standard output unless `quiet`; returns the exit code.
int SurveyCommand(const std::string& dir, bool quiet, bool report);

}  // namespace zarno::cli

#endif
