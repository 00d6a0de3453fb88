// The flags of `zarno run`, defined once: registered on `zarno run` and (all
// but those its job scripts set) on `zarno slurm`, which hands them to every
// worker as words that `zarno run` reads with this same definition. And the
// settings of a study, once its flags and a control file are combined.
#ifndef ZARNO_CLI_RUN_OPTIONS_H
#define ZARNO_CLI_RUN_OPTIONS_H

#include <optional>
#include <string>
#include <vector>

#include "annotation_options.h"
#include "zarno/run.h"
#include "zarno/table_reader.h"

namespace CLI {
class App;
class Option;
}  // namespace CLI

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
    double tolerance = kStudyTolerance;  // > 0: convergence stop; 0: every round
    double holdout = 0.0;    // > 0: fraction of cells held out
    std::string arithmetic = "gram";  // unweighted runs: "gram" or "classic"
    bool resume = false;
    bool quiet = false;
    bool noReport = false;  // no survey and report at the end
    int threadsPerRun = 0;  // 0: idle threads join running runs
    int worker = -1, workers = 0;  // -1, 0: one machine runs everything
    AnnotationArgs annotations;    // kept in DIR for the survey; no part of the study
    // Which of the overridable settings were given as flags (a control file
    // gives the others).
    bool ranksGiven = false, chainsGiven = false, roundsGiven = false;
};

enum class RunOptionScope {
    kRun,      // every option of `zarno run`
    kWorkers,  // what `zarno slurm` passes on: not DATA, --out, --threads, --resume,
               // --worker, --workers (its array script sets those)
};

// Registers the options of `scope` on `app`, bound to `args` (which must
// outlive the parse); returns them in the order of `zarno run --help`.
std::vector<CLI::Option*> AddRunOptions(CLI::App& app, RunArgs& args, RunOptionScope scope);

// The options among `options` that a finished parse was given, as words for
// `zarno run`, in their order: the long name and the value as typed, a flag
// only when set, and a file named relative to here made absolute (workers
// start elsewhere).
std::vector<std::string> RunWords(const std::vector<CLI::Option*>& options);

// Reads `words` as `zarno run` does (the kWorkers options) into `args`.
// Throws InputError with CLI11's message for words it would refuse.
void ParseRunWords(const std::vector<std::string>& words, RunArgs* args);

// "A:B" with 1 <= A <= B; throws InputError naming `flag` and the text otherwise.
void ParseRanks(const std::string& text, const std::string& flag, int* first, int* last);

// The settings of a study once flags and a control file are combined; each
// remembers where it came from, for messages.
struct Settings {
    int firstRank = 2, lastRank = 6;
    std::string ranksFrom = "--ranks";
    int chains = 10;
    std::string chainsFrom = "--chains";
    int rounds = 2000;
    std::string roundsFrom = "--rounds";
    std::string dataPath, uncertPath;  // uncertPath "" when unweighted
    std::optional<ControlFile> control;
};

// The settings `args` make: a control file's (when DATA is one) where no flag
// overrides them. Reads the control file, not the data; throws InputError
// naming the flag or the control file's line for a setting out of range.
Settings ResolveSettings(const RunArgs& args);

}  // namespace zarno::cli

#endif
