// One run: its options, its result, the view of it a sink is handed, and the
// holdout mask.
#ifndef ZARNO_CORE_RUN_H
#define ZARNO_CORE_RUN_H

#include <atomic>
#include <string>
#include <vector>

#include "zarno/dataset.h"

namespace zarno {

// The version written into results.
extern const char* const kVersion;

// How an unweighted run computes its rounds. kClassic: the weighted round
// with every weight one (the classic entry's arithmetic and bits). kGram: the
// Gram form (engine/kernels/gram.h): the same update rule from A^T X, X P^T
// and the patterns x patterns products, about a third of the arithmetic and
// no genes x samples matrix per run; results equal to rounding, not in bits.
// Weighted runs, and runs with cells of weight zero, always take the
// weighted round (see UsesGramForm).
enum class Arithmetic { kClassic, kGram };

// The convergence stop of a study unless its caller says otherwise: the
// command's --tolerance, and the default the kit and the Python package take.
// The largest tolerance that kept every accuracy figure of the survey's
// evaluation at its fixed-round level (docs/survey.md, "The default stop").
// RunOptions keeps 0, all rounds: the classic entry's runs never stop early.
constexpr double kStudyTolerance = 1e-6;

struct RunOptions {
    int rounds = 2000;       // full update rounds
    bool trace = false;      // chi-square at round 0 and every 10 rounds (a pass each)
    // Threads inside one run; results are the same bits for every count. 0:
    // automatic, threads a sweep has left idle join its running runs (a run
    // alone takes every processor).
    int threadsPerRun = 1;
    double tolerance = 0.0;  // > 0: stop once chi-square stops falling (see RunOne)
    double holdout = 0.0;    // > 0: this fraction of cells held out (see HeldOut)
    Arithmetic arithmetic = Arithmetic::kClassic;  // unweighted runs (see UsesGramForm)
};

// Whether runs of `data` with `options` take the Gram form: asked for, and
// every cell weighing the same (no uncertainties, no cell held out, none
// missing: `missingCells` says whether any is, as CountCells counts them). The
// one place that decides; front ends ask it to plan memory and to record what
// ran.
bool UsesGramForm(const Dataset& data, const RunOptions& options, bool missingCells);

// "classic" or "gram", as job.json and the command's flag name them; and
// back (false for another word).
const char* ArithmeticName(Arithmetic a);
bool ParseArithmetic(const std::string& word, Arithmetic* a);

// Whether cell `cell` (row-major) is held out of the runs of `chain` when a
// fraction `fraction` is: a fixed speckled mask seeded from the chain alone,
// the same for every pattern count, so their held-out errors compare. A held
// out cell weighs nothing in the run: it is given an uncertainty so large
// that its scaled data and reconstruction fall below the engine's eps.
bool HeldOut(long long cell, int chain, double fraction);

// Shared between a caller and the runs it started: cancellation and progress.
// Every member may be read or written from any thread.
struct Control {
    std::atomic<bool> cancel{false};         // set to stop every run within one round
    std::atomic<long long> roundsDone{0};    // rounds completed by all runs
    std::atomic<int> runsDone{0};            // runs finished (complete or failed)
    std::atomic<int> runsInFlight{0};        // runs started and not finished
};

// One finished (or stopped) run, owning its results.
struct RunResult {
    enum Status { kComplete, kCancelled, kFailed };
    Status status = kFailed;
    std::string error;  // why it failed
    int patterns = 0, chain = 0, genes = 0, samples = 0;
    bool weighted = false;
    std::vector<double> amplitudes;  // genes x patterns, row-major
    std::vector<double> patternRows;  // patterns x samples, each row summing to 1
    double chiSquare = 0.0;          // weighted fit (plain when unweighted)
    double ssr = 0.0;                // plain sum of squared residuals
    int seedA = 0, seedP = 0;        // seeds of the random start
    int rounds = 0;                  // rounds done
    int roundsPlanned = 0;
    double seconds = 0.0;            // wall time of the run
    double cpuMinutes = 0.0;         // processor time of the run's thread
    int threads = 1;                 // the most threads the run had at once
    std::vector<double> trace;       // chi-square at rounds 0, 10, 20, ...
    // With a holdout: the cells held out, and their mean squared error of the
    // final reconstruction, each divided by its uncertainty when weighted.
    long long holdoutCells = 0;
    double holdoutError = 0.0;
    bool complete() const { return status == kComplete; }
};

// One run from its seeded random start. A cancelled run (control->cancel)
// stops within one round and comes back with status kCancelled, never as
// complete. With options.tolerance > 0 the run ends early once the relative
// change of chi-square between fit tests (every 10 rounds), fall or rise, has
// stayed below the tolerance for three tests in a row; `rounds` then says how
// many it used.
RunResult RunOne(const Dataset& data, int patterns, int chain, const RunOptions& options,
                 Control* control = nullptr);

// What a finished run looks like while it is handed to a sink: pointers into
// memory that stays valid only during the call.
struct RunView {
    int patterns = 0, chain = 0, genes = 0, samples = 0;
    bool weighted = false;
    const double* amplitudes = nullptr;   // genes x patterns
    const double* patternRows = nullptr;  // patterns x samples
    const double* mock = nullptr;  // the reconstruction; only on single-thread sweeps (NaN
                                   // where a cell is missing)
    double chiSquare = 0.0, ssr = 0.0;
    int seedA = 0, seedP = 0, rounds = 0, roundsPlanned = 0;
    double seconds = 0.0;        // wall time
    double cpuMinutes = 0.0;     // processor time of the run's first thread
    int threads = 1;             // the most threads the run had at once
    std::string startTime, endTime;  // ctime texts
    const std::vector<double>* trace = nullptr;
    long long holdoutCells = 0;
    double holdoutError = 0.0;
};

// A complete run's view copied into a result of its own, and the other way.
RunResult CopyRun(const RunView& view);
RunView ViewOf(const RunResult& run);

// Why a finished run cannot be used: "" when its chi-square, residual sum,
// amplitudes and patterns are all finite, else which of them is not (data
// whose magnitude overflows a round's sums end so). A front end reports such
// a run as failed, and the survey leaves it out.
std::string RunFault(const RunView& run);

}  // namespace zarno

#endif
