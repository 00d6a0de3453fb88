// `zarno slurm`: a study as a Slurm job array, one array task per worker, plus a
// combine job that runs when the array has ended.
//
// The command writes DIR/slurm/array.sbatch and DIR/slurm/combine.sbatch and, with
// --submit, hands them to sbatch. Every array task runs
//     zarno run DATA --out DIR <run flags> --worker $SLURM_ARRAY_TASK_ID --workers N
//               --resume --threads $SLURM_CPUS_PER_TASK
// so the tasks share DIR, each computes its own share of the runs, and re-submitting
// the array completes a study without recomputing finished runs. The combine job
// runs `zarno survey DIR` and `zarno report DIR`.
//
// `zarno slurm` takes every flag of `zarno run` but those the array script sets
// (one definition, run_options.h), so a new run flag needs no change here.
//
// Exit codes: 0 scripts written (and submitted with --submit); 1 submission failed
// (no sbatch on this machine, or sbatch refused a job; the scripts are still written)
// or the scripts could not be written; 2 bad input or usage (nothing written).
#ifndef ZARNO_CLI_SLURM_COMMAND_H
#define ZARNO_CLI_SLURM_COMMAND_H

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace zarno::cli {

struct SlurmOptions {
    std::string data;                   // DATA, as given
    std::string out;                    // --out DIR, shared by all workers
    int workers = 0;                    // --workers N: array tasks 0 .. N-1
    // Flags handed unchanged to every worker's `zarno run` (paths already
    // absolute), e.g. {"--ranks", "2:5", "--chains", "3"}, and read here as
    // `zarno run` reads them. Never --out, --worker, --workers, --resume or
    // --threads: the scripts set those.
    std::vector<std::string> runArgs;
    std::string partition;              // empty: the cluster's default partition
    std::string time;                   // empty: the partition's default limit
    std::string mem;                    // empty: from the memory of a worker's runs
    int cpusPerTask = 1;                // also each worker's --threads
    bool submit = false;
    std::string program;                // absolute path of the zarno the tasks run
};

// Validates, writes the scripts, submits them when asked; messages to out and
// err. Returns the exit code (commands.h).
int RunSlurm(const SlurmOptions& options, std::ostream& out, std::ostream& err);

// --- Pieces of RunSlurm, exposed for tests ------------------------------------

// The --mem default, in MiB, for a worker of `threads` concurrent runs of at most
// `patterns` patterns, whose input files take `inputBytes` once read: the core's
// memory formula (zarno::SharedBytes once, zarno::RunBytes per run in flight) plus
// a quarter, the input text and a floor for the program itself.
std::uint64_t DefaultMemMiB(std::int64_t genes, std::int64_t samples, int patterns,
                            bool weighted, int threads, std::uint64_t inputBytes);

}  // namespace zarno::cli

#endif
