// Sweeps: a job's runs over pattern counts and chains, its plan and checks,
// the processors and memory it needs, and the sink its runs go to.
#ifndef ZARNO_CORE_SWEEP_H
#define ZARNO_CORE_SWEEP_H

#include <cstddef>
#include <string>
#include <vector>

#include "zarno/run.h"

namespace zarno {

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
// labels that do not match the dimensions, and, with cells missing, fewer
// observed cells than free parameters at the last pattern count.
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
// sweep shares once (values, uncertainties and, weighted, the scaled data;
// with missing cells, their own uncertainties and scaled data). A run in Gram
// form (UsesGramForm) keeps no genes x samples matrix: its bytes grow with
// (genes + samples) x patterns only.
std::size_t RunBytes(int genes, int samples, int patterns, bool weighted, bool gram = false);
std::size_t SharedBytes(int genes, int samples, bool weighted, bool missing = false);

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
