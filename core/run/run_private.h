// What the run sources share (private to core/run/): the core's host of an
// engine, the engine it drives run after run, the held-out uncertainties and
// the printf-style wording of refusals and messages.
#ifndef ZARNO_CORE_RUN_PRIVATE_H
#define ZARNO_CORE_RUN_PRIVATE_H

#include <atomic>
#include <chrono>
#include <limits>
#include <string>
#include <vector>

#include "L.h"
#include "zarno/sweep.h"

namespace zarno {
namespace detail {

using Clock = std::chrono::steady_clock;

// What L::UseThreads takes.
constexpr int kMostThreadsPerRun = 256;

// printf into a string of up to 511 characters.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Missing cells weighed out of every run, exactly: an infinite uncertainty
// (a reconstruction over it is +0.0 whatever the amplitudes) and data of
// +0.0, so that no weight of either half, no chi-square and no residual sum
// takes anything from them; every test of the engine skips what is not above
// eps. Their values are never read. Unweighted data with missing cells run
// on the weighted path, with uncertainties of 1 elsewhere, which divide
// nothing: the same bits as the unweighted arithmetic over the observed cells.
class MissingCells {
public:
    // Makes the arrays when d has a missing cell; false (and none made) when
    // it has none.
    bool Make(const Dataset& d);

    std::vector<double> sigmas;  // +Inf where missing, else the data's (1 unweighted)
    std::vector<double> scaled;  // +0.0 where missing, else value / uncertainty
};

// The uncertainties of one chain's runs with a holdout: the data's (or 1 for
// unweighted data, which divides nothing) and a huge one where held out;
// missing cells stay missing, so the held-out cells are observed ones.
class HoldoutSigmas {
public:
    // Points engine e at the chain's uncertainties and data; without a
    // holdout, at the data's (or those of `missing`, when not null). False
    // when there is no memory for them.
    bool Prepare(L& e, const Dataset& d, const RunOptions& o, int chain, const double* shared,
                 const MissingCells* missing);

private:
    std::vector<double> sigmas;
    std::vector<double> scaled;  // with missing cells: the chain's quotients
    int madeFor = 0;  // chains start at 1
};

// The held-out (observed) cells' mean squared error of e's final
// reconstruction into v (nothing without a holdout).
void HoldoutError(const L& e, const Dataset& d, double fraction, RunView& v);

// The core's end of an engine: progress and cancel through Control, fit
// tests for traces and the convergence stop, and the run either handed live
// to a sink (single-thread sweeps) or copied into a RunResult.
class CoreHost : public EngineHost {
public:
    CoreHost(const Dataset& d, const RunOptions& o, Control* c, JobSink* live)
        : data(d), options(o), control(c), sink(live)
    {
    }

    RunResult* result = nullptr;  // where a finished run goes when there is no live sink
    std::atomic<int>* spare = nullptr;  // a sweep's idle threads, to join (automatic mode)
    int runThreads = 1;                 // threads of the run going on
    int mostThreads = 1;                // and the most it had
    bool cancelled = false;       // the run was cancelled
    bool sinkStopped = false;     // the live sink asked to stop
    std::string messages;         // the engine's own messages, without a live sink

    void Reset();

    int Message(io&, const char* text) override;
    int RunBegin(L&) override;
    void RunEnd(L&) override;
    int RunStarted(L& run) override;
    bool WantsFitTests(L&) override { return options.trace || options.tolerance > 0.0; }
    int FitTested(L& run) override;
    int KeepGoing(L& run) override;
    int RunFinished(L& run) override;

private:
    const Dataset& data;
    const RunOptions& options;
    Control* control;
    JobSink* sink;
    bool startedLive = false;
    Clock::time_point started{}, lastTick = Clock::now();
    double cpuStarted = 0.0;
    std::vector<double> trace;
    int quiet = 0;
    double lastChi = std::numeric_limits<double>::quiet_NaN();
};

// An engine of the core's, with its host: configured for a data set and
// options, run after run.
class CoreEngine {
public:
    // `missing`: the data's missing cells (MissingCells::Make), null when none.
    CoreEngine(const Dataset& d, const RunOptions& o, Control* control, JobSink* live,
               const double* sharedScaled, const MissingCells* missing = nullptr);

    // One run; false when it did not finish (cancelled, failed, or stopped by
    // the live sink: see host).
    bool Run(int patterns, int chain);

    // Automatic threads per run: a run starts on `first` threads and takes
    // those `spare` gets while it goes on.
    void ShareThreads(std::atomic<int>* spare, int first)
    {
        host.spare = spare;
        firstThreads = first;
    }

    L e;
    CoreHost host;

private:
    HoldoutSigmas holdout;
    int firstThreads = 1;
    const Dataset& data;
    const RunOptions& options;
    const double* shared;
    const MissingCells* missing;
};

// One run on engine x into r: complete, or cancelled or failed with why.
void RunInto(CoreEngine& x, int patterns, int chain, RunResult& r);

}  // namespace detail
}  // namespace zarno

#endif
