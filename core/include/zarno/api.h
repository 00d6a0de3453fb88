// The engine without a JVM: data sets, single runs, sweeps on threads.
//
// Everything here is plain C++ over the engine class L. The classic JNI entry,
// the Java kit and the `zarno` command are thin front ends over this header;
// none of it includes or calls JNI.
//
// A run is identified by its pattern count and chain alone: its random start
// is seeded from the two, so a (patterns, chain) run gives the same bits
// whoever computes it, alone or inside a sweep, on any thread count.
#ifndef ZARNO_CORE_API_H
#define ZARNO_CORE_API_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace zarno {

// The version written into results.
extern const char* const kVersion;

// ---------------------------------------------------------------------------
// Data sets

// A genes x samples matrix, row-major, with optional uncertainties of the same
// shape. A view: the arrays belong to the caller and must outlive every run
// that reads them; nothing here writes to them.
struct Dataset {
    int genes = 0;
    int samples = 0;
    const double* values = nullptr;
    const double* sigmas = nullptr;  // needed when weighted
    bool weighted = false;           // divide data and reconstruction by sigmas
    std::vector<std::string> geneNames;     // empty, or one per gene
    std::vector<std::string> sampleLabels;  // empty, or one per sample
};

// Why a job was refused. `text` is the wording of the classic host entry
// (field names as the host knows them), so every front end can show the same
// refusal; `gene` and `sample` locate a bad value (from 0), -1 elsewhere.
struct Refusal {
    enum Code {
        kNone,
        kGenes,          // genes < 1
        kSamples,        // samples < 1
        kCells,          // genes x samples beyond 32 bits
        kNoValues,       // a null array
        kNoSigmas,
        kValue,          // a value that is not finite
        kSigma,          // weighted, and an uncertainty not positive and finite
        kFirstRank,  // first pattern count < 1
        kLastRank,   // (genes + samples) x patterns beyond 32 bits
        kTooManyPatterns,  // more patterns than samples or genes (command and kit)
        kChains,           // first chain < 1, or seeds beyond 32 bits
        kRounds,           // negative rounds
        kLabels,           // label count differs from the dimension
        kTolerance,        // tolerance not in [0, 1)
        kHoldout,          // held-out fraction not in [0, 0.9]
        kThreads,          // negative threads per run
    };
    Code code = kNone;
    long long gene = -1;
    long long sample = -1;
    double value = 0.0;
    std::string text;
    explicit operator bool() const { return code != kNone; }
};

// The classic entry's checks of the data: dimensions and 32-bit sizes
// (CheckShape), then finite values and, when weighted, positive finite
// uncertainties (CheckValues, the first fault in row-major order).
Refusal CheckShape(const Dataset& data);
Refusal CheckValues(const Dataset& data);
Refusal CheckDataset(const Dataset& data);

// Counts values below zero (the engine runs them as they are; a log
// transform left in the data is a common mistake). firstGene/firstSample
// locate the first, -1 when there is none.
long long CountNegative(const Dataset& data, long long* firstGene, long long* firstSample);

// ---------------------------------------------------------------------------
// Runs

struct RunOptions {
    int rounds = 2000;       // full update rounds
    bool trace = false;      // chi-square at round 0 and every 10 rounds (a pass each)
    // Threads inside one run; results are the same bits for every count. 0:
    // automatic, threads a sweep has left idle join its running runs (a run
    // alone takes every processor).
    int threadsPerRun = 1;
    double tolerance = 0.0;  // > 0: stop once chi-square stops falling (see RunOne)
    double holdout = 0.0;    // > 0: this fraction of cells held out (see HeldOut)
};

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

// ---------------------------------------------------------------------------
// Sweeps

struct RunKey {
    int patterns = 0;
    int chain = 0;
    bool operator==(const RunKey& o) const { return patterns == o.patterns && chain == o.chain; }
    bool operator<(const RunKey& o) const
    {
        return patterns != o.patterns ? patterns < o.patterns : chain < o.chain;
    }
};

struct JobSpec {
    int firstRank = 2, lastRank = 6;
    int firstChain = 1, chains = 10;  // chains firstChain .. firstChain + chains - 1
    RunOptions run;
    // Concurrent runs; 0: the processors this process may use. With
    // run.threadsPerRun 0 this is the sweep's thread budget: once fewer runs
    // are left than threads, the idle ones join the runs still going.
    int threads = 0;
    std::vector<RunKey> only;   // when not empty: just these runs (resume, workers)
    bool ordered = true;        // hand runs over in job order; false: as they finish
};

// Checks the sweep's bounds against the data: pattern counts from 1 and
// within 32-bit sizes, chains from 1 and seeds within 32 bits. An empty sweep
// (last < first, or no chains) is valid. The classic rules stop there; a
// study also refuses more patterns than samples or genes, negative rounds,
// and labels that do not match the dimensions.
enum class Rules { kClassic, kStudy };
Refusal CheckJob(const Dataset& data, const JobSpec& job, Rules rules = Rules::kStudy);

// The job's runs in job order: pattern counts outer, chains inner; filtered by
// job.only when given.
std::vector<RunKey> PlanRuns(const JobSpec& job);

// Worker `worker` (from 0) of `workers`: its share of the runs, balanced by
// cost (pattern count x rounds) and the same for every worker that computes it.
std::vector<RunKey> WorkerShare(const std::vector<RunKey>& runs, int worker, int workers);

// The processors this process may run on (its affinity mask: honours a
// cluster's allocation, taskset and containers), at least 1.
int AvailableProcessors();

// Bytes of memory one run in flight needs beyond the shared data, and what a
// sweep shares once (values, uncertainties and, weighted, the scaled data).
std::size_t RunBytes(int genes, int samples, int patterns, bool weighted);
std::size_t SharedBytes(int genes, int samples, bool weighted);

// What a finished run looks like while it is handed to a sink: pointers into
// memory that stays valid only during the call.
struct RunView {
    int patterns = 0, chain = 0, genes = 0, samples = 0;
    bool weighted = false;
    const double* amplitudes = nullptr;   // genes x patterns
    const double* patternRows = nullptr;  // patterns x samples
    const double* mock = nullptr;  // the reconstruction; only on single-thread sweeps
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

// The caller's end of a sweep. Every call comes on the thread that called
// RunJob, in job order; returning false stops the sweep.
class JobSink {
public:
    virtual ~JobSink() = default;
    // Messages: "Npatterns %d chain %d" before each run, and the engine's own.
    virtual bool Message(const std::string& text) { (void)text; return true; }
    // The random start of a run; only single-thread sweeps show it.
    virtual bool RunStarting(const RunView& start) { (void)start; return true; }
    // A complete run.
    virtual bool RunFinished(const RunView& run) = 0;
    // After every RunStarting, whatever it returned and became of the run.
    virtual void RunEnded() {}
    // At most every 100 ms while runs go on; false cancels the sweep.
    virtual bool Tick(const Control& progress) { (void)progress; return true; }
};

struct JobOutcome {
    enum Status {
        kDone,       // every run complete
        kStopped,    // the sink returned false
        kCancelled,  // control->cancel or Tick
        kFailed,     // a run failed (error says which and why)
    };
    Status status = kDone;
    std::string error;
    int runsDone = 0;
};

// Runs the job's runs on job.threads threads (pattern counts largest first,
// the scaled data built once and shared read-only) and hands each complete
// run to the sink in job order. Every run gives the bits RunOne gives it.
// It asks the system to back the arrays every round streams (the
// uncertainties, or the values when unweighted) with huge pages: advice that
// leaves their contents as they are.
JobOutcome RunJob(const Dataset& data, const JobSpec& job, JobSink& sink,
                  Control* control = nullptr);

}  // namespace zarno

#endif
