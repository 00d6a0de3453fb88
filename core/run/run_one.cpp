// One run without a JVM: the engine class L driven through a host of the
// core's own, and the views of its result.
#include <time.h>

#include <algorithm>
#include <cmath>
#include <new>

#include "run_private.h"
#include "zarno/engine_view.h"

#ifndef ZARNO_VERSION
#define ZARNO_VERSION "0.0.0"
#endif

namespace zarno {

const char* const kVersion = ZARNO_VERSION;

namespace detail {

namespace {

// Processor time of the calling thread: a run's own, whatever else runs.
double ThreadCpuSeconds()
{
    timespec t{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0.0;
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Chi-square has stopped falling: its relative fall between fit tests has
// stayed below the tolerance for this many tests in a row.
constexpr int kQuietTests = 3;

}  // namespace

void CoreHost::Reset()
{
    cancelled = sinkStopped = false;
    messages.clear();
    trace.clear();
    quiet = 0;
    lastChi = std::numeric_limits<double>::quiet_NaN();
}

int CoreHost::Message(io&, const char* text)
{
    if (sink != nullptr) {
        if (sink->Message(text)) return 1;
        sinkStopped = true;
        return 0;
    }
    if (!messages.empty()) messages += '\n';
    messages += text;
    return 1;
}

int CoreHost::RunBegin(L&)
{
    started = Clock::now();
    cpuStarted = ThreadCpuSeconds();
    if (control != nullptr) control->runsInFlight++;
    return 1;
}

void CoreHost::RunEnd(L&)
{
    if (control != nullptr) {
        control->runsInFlight--;
        control->runsDone++;
    }
    if (startedLive) sink->RunEnded();
    startedLive = false;
}

int CoreHost::RunStarted(L& run)
{
    if (sink == nullptr) return 1;
    startedLive = true;
    RunView v = ViewOfEngine(run);
    v.weighted = data.weighted;  // not the engine's flag: missing cells set it
    if (sink->RunStarting(v)) return 1;
    sinkStopped = true;
    return 0;
}

int CoreHost::FitTested(L& run)
{
    const double chi = run.ChiSquare;
    if (options.trace) trace.push_back(chi);
    if (!(options.tolerance > 0.0)) return 1;
    // Relative change since the previous test. A rise is movement too:
    // on a plateau of the multiplicative updates chi-square can climb
    // before it falls again. NaN never converges.
    if (std::isfinite(lastChi) && lastChi > 0.0) {
        const double change = std::fabs(lastChi - chi) / lastChi;
        quiet = change < options.tolerance ? quiet + 1 : 0;
    }
    lastChi = chi;
    return quiet >= kQuietTests ? 0 : 1;
}

int CoreHost::KeepGoing(L& run)
{
    // Threads a sweep has left idle join this run between two rounds:
    // the split changes no bit.
    if (spare != nullptr && spare->load(std::memory_order_relaxed) > 0) {
        const int more = spare->exchange(0);
        if (more > 0) {
            runThreads = std::min(runThreads + more, kMostThreadsPerRun);
            mostThreads = std::max(mostThreads, runThreads);
            run.UseThreads(runThreads);
        }
    }
    if (control != nullptr) {
        control->roundsDone.fetch_add(1, std::memory_order_relaxed);
        if (control->cancel.load(std::memory_order_relaxed)) {
            cancelled = true;
            return 0;
        }
    }
    if (sink != nullptr) {
        // The live sink's thread is this one: its ticks come from here.
        const Clock::time_point now = Clock::now();
        if (now - lastTick >= std::chrono::milliseconds(100)) {
            lastTick = now;
            static Control none;
            if (!sink->Tick(control != nullptr ? *control : none)) {
                if (control != nullptr) control->cancel = true;
                cancelled = true;
                return 0;
            }
        }
    }
    return 1;
}

int CoreHost::RunFinished(L& run)
{
    RunView v = ViewOfEngine(run);
    // The data's weighting, not the engine's flag: held-out and missing
    // cells run unweighted data on the weighted path.
    v.weighted = data.weighted;
    v.seconds = std::chrono::duration<double>(Clock::now() - started).count();
    v.cpuMinutes = (ThreadCpuSeconds() - cpuStarted) / 60.0;
    v.threads = mostThreads;
    v.trace = &trace;
    HoldoutError(run, data, options.holdout, v);
    if (sink != nullptr) {
        if (sink->RunFinished(v)) return 1;
        sinkStopped = true;
        return 0;
    }
    if (result != nullptr) *result = CopyRun(v);
    return 1;
}

CoreEngine::CoreEngine(const Dataset& d, const RunOptions& o, Control* control, JobSink* live,
                       const double* sharedScaled, const MissingCells* missingCells)
    : host(d, o, control, live), data(d), options(o), shared(sharedScaled), missing(missingCells)
{
    e.Ngenes = d.genes;
    e.Nsamples = d.samples;
    // The engine reads data and uncertainties and never writes them.
    e.data = const_cast<double*>(d.values);
    e.SimulateIterations = o.rounds;
    e.Attach(&host);
}

bool CoreEngine::Run(int patterns, int chain)
{
    host.Reset();
    e.Npatterns = patterns;
    e.chain = chain;
    holdout.Prepare(e, data, options, chain, shared, missing);
    e.UseGramForm(UsesGramForm(data, options, missing != nullptr));
    host.runThreads = host.mostThreads =
        options.threadsPerRun > 0 ? options.threadsPerRun : firstThreads;
    e.UseThreads(host.runThreads);
    const bool done = e.DoSimulation() == 1;
    // Threads that joined go back to the sweep.
    if (host.spare != nullptr && host.runThreads > 1) host.spare->fetch_add(host.runThreads - 1);
    return done;
}

void RunInto(CoreEngine& x, int patterns, int chain, RunResult& r)
{
    r = RunResult();
    r.patterns = patterns;
    r.chain = chain;
    x.host.result = &r;
    if (x.Run(patterns, chain)) return;  // r was filled by the host
    r.patterns = patterns;
    r.chain = chain;
    r.rounds = x.e.UsedRound;
    if (x.host.cancelled) {
        r.status = RunResult::kCancelled;
        r.error = "cancelled";
    } else {
        r.status = RunResult::kFailed;
        r.error = x.host.messages.empty() ? "the run failed" : x.host.messages;
    }
}

}  // namespace detail

RunResult RunOne(const Dataset& data, int patterns, int chain, const RunOptions& options,
                 Control* control)
{
    RunResult r;
    r.patterns = patterns;
    r.chain = chain;
    JobSpec job;
    job.firstRank = job.lastRank = patterns;
    job.firstChain = chain;
    job.chains = 1;
    job.run = options;
    Refusal refusal = CheckJob(data, job, Rules::kClassic);
    if (!refusal) refusal = CheckValues(data);
    if (refusal) {
        r.error = refusal.text;
        return r;
    }
    try {
        detail::MissingCells missing;
        const bool anyMissing = missing.Make(data);
        detail::CoreEngine x(data, options, control, nullptr, nullptr,
                             anyMissing ? &missing : nullptr);
        // Automatic threads: a run alone has every processor.
        x.ShareThreads(nullptr, std::min(AvailableProcessors(), detail::kMostThreadsPerRun));
        detail::RunInto(x, patterns, chain, r);
    } catch (const std::bad_alloc&) {
        r = RunResult();
        r.patterns = patterns;
        r.chain = chain;
        r.error = "out of memory";
    }
    return r;
}

RunView ViewOfEngine(const L& e)
{
    RunView v;
    v.patterns = e.Npatterns;
    v.chain = e.chain;
    v.genes = e.Ngenes;
    v.samples = e.Nsamples;
    v.weighted = e.uncertFlag != 0;
    v.amplitudes = e.Amplitude;
    v.patternRows = e.Pattern;
    v.mock = e.Mock;
    v.chiSquare = e.ChiSquare;
    v.ssr = e.rmsd;
    v.seedA = e.SeedA;
    v.seedP = e.SeedP;
    v.rounds = e.UsedRound;
    v.roundsPlanned = e.SimulateIterations;
    v.cpuMinutes = static_cast<double>(e.EndCPU - e.StartCPU) / 60000000.0;
    v.startTime = e.StartTime;
    v.endTime = e.EndTime;
    return v;
}

RunResult CopyRun(const RunView& v)
{
    RunResult r;
    r.status = RunResult::kComplete;
    r.patterns = v.patterns;
    r.chain = v.chain;
    r.genes = v.genes;
    r.samples = v.samples;
    r.weighted = v.weighted;
    const size_t GK = static_cast<size_t>(v.genes) * static_cast<size_t>(v.patterns);
    const size_t KS = static_cast<size_t>(v.patterns) * static_cast<size_t>(v.samples);
    if (v.amplitudes != nullptr) r.amplitudes.assign(v.amplitudes, v.amplitudes + GK);
    if (v.patternRows != nullptr) r.patternRows.assign(v.patternRows, v.patternRows + KS);
    r.chiSquare = v.chiSquare;
    r.ssr = v.ssr;
    r.seedA = v.seedA;
    r.seedP = v.seedP;
    r.rounds = v.rounds;
    r.roundsPlanned = v.roundsPlanned;
    r.seconds = v.seconds;
    r.cpuMinutes = v.cpuMinutes;
    r.threads = v.threads;
    if (v.trace != nullptr) r.trace = *v.trace;
    r.holdoutCells = v.holdoutCells;
    r.holdoutError = v.holdoutError;
    return r;
}

RunView ViewOf(const RunResult& r)
{
    RunView v;
    v.patterns = r.patterns;
    v.chain = r.chain;
    v.genes = r.genes;
    v.samples = r.samples;
    v.weighted = r.weighted;
    v.amplitudes = r.amplitudes.data();
    v.patternRows = r.patternRows.data();
    v.chiSquare = r.chiSquare;
    v.ssr = r.ssr;
    v.seedA = r.seedA;
    v.seedP = r.seedP;
    v.rounds = r.rounds;
    v.roundsPlanned = r.roundsPlanned;
    v.seconds = r.seconds;
    v.cpuMinutes = r.cpuMinutes;
    v.threads = r.threads;
    v.trace = &r.trace;
    v.holdoutCells = r.holdoutCells;
    v.holdoutError = r.holdoutError;
    return v;
}

}  // namespace zarno
