// `zarno run`: a study (pattern counts x chains) on every core, into a run
// directory that survives being killed and can be extended later.
#ifndef ZARNO_CLI_RUN_CMD_H
#define ZARNO_CLI_RUN_CMD_H

#include <cstdint>
#include <string>

namespace zarno::cli {

struct RunArgs {
    std::string data;
    std::string out;
    std::string uncert;  // "" when not given
    std::string ranks = "2:6";
    int chains = 10;
    int firstChain = 1;
    int rounds = 2000;
    int threads = 0;  // 0: the processors this process may use
    bool trace = false;
    double tolerance = 0.0;  // > 0: convergence stop
    double holdout = 0.0;    // > 0: fraction of cells held out
    bool resume = false;
    bool quiet = false;
    bool noReport = false;  // no survey and report at the end
    int threadsPerRun = 0;  // 0: idle threads join running runs
    int worker = -1, workers = 0;  // -1, 0: one machine runs everything
    // Which of the overridable settings were given as flags (a control file
    // gives the others).
    bool ranksGiven = false, chainsGiven = false, roundsGiven = false;
};

// Runs a study; returns an exit code (commands.h). Messages on standard error.
int RunStudy(const RunArgs& args);

// "A:B" with 1 <= A <= B; throws InputError naming `flag` otherwise.
void ParseRanks(const std::string& text, const std::string& flag, int* first, int* last);

// Concurrent runs that fit `available` bytes when the sweep shares `shared`
// bytes and each run needs `perRun` more; at most `wanted`, at least 1.
int ThreadsThatFit(int wanted, std::uint64_t available, std::uint64_t shared,
                   std::uint64_t perRun);

}  // namespace zarno::cli

#endif
