// Runs and sweeps without a JVM: the engine class L driven through a host of
// the core's own, on as many threads as asked.
#include <sched.h>
#include <time.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <functional>
#include <limits>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <queue>
#include <thread>
#include <vector>

#include "zarno/api.h"
#include "zarno/engine_view.h"
#include "L.h"
#include "huge_pages.h"
#include "kernels/kernels.h"

#ifndef ZARNO_VERSION
#define ZARNO_VERSION "0.0.0"
#endif

namespace zarno {

const char* const kVersion = ZARNO_VERSION;

namespace {

using Clock = std::chrono::steady_clock;

// What L::UseThreads takes.
constexpr int kMostThreadsPerRun = 256;

Refusal Refuse(Refusal::Code code, std::string text, long long gene = -1, long long sample = -1,
               double value = 0.0)
{
    Refusal r;
    r.code = code;
    r.gene = gene;
    r.sample = sample;
    r.value = value;
    r.text = std::move(text);
    return r;
}

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    char buf[512];
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

}  // namespace

// ---------------------------------------------------------------------------
// Checks

Refusal CheckShape(const Dataset& d)
{
    if (d.genes <= 0) return Refuse(Refusal::kGenes, Format("\"Na\" must be positive, not %d", d.genes));
    if (d.samples <= 0)
        return Refuse(Refusal::kSamples, Format("\"Nf\" must be positive, not %d", d.samples));
    const long long cells = static_cast<long long>(d.genes) * d.samples;
    if (cells > INT_MAX)
        return Refuse(Refusal::kCells, Format("\"Na\" x \"Nf\" = %lld does not fit 32 bits", cells));
    return Refusal();
}

Refusal CheckValues(const Dataset& d)
{
    if (d.values == nullptr) return Refuse(Refusal::kNoValues, "\"data\" is null");
    if (d.weighted && d.sigmas == nullptr) return Refuse(Refusal::kNoSigmas, "\"acc\" is null");
    for (long long g = 0; g < d.genes; g++) {
        for (long long s = 0; s < d.samples; s++) {
            const size_t e = static_cast<size_t>(g * d.samples + s);
            const double v = d.values[e];
            if (!std::isfinite(v))
                return Refuse(Refusal::kValue,
                              Format("\"data\" of gene %lld sample %lld is not finite (%g)", g, s, v),
                              g, s, v);
            if (d.weighted) {
                const double u = d.sigmas[e];
                if (!(std::isfinite(u) && u > 0.0))
                    return Refuse(Refusal::kSigma,
                                  Format("\"acc\" of gene %lld sample %lld is %g; with "
                                         "\"uncertFlag\" set every uncertainty must be positive "
                                         "and finite",
                                         g, s, u),
                                  g, s, u);
            }
        }
    }
    return Refusal();
}

Refusal CheckDataset(const Dataset& d)
{
    Refusal r = CheckShape(d);
    if (!r) r = CheckValues(d);
    return r;
}

long long CountNegative(const Dataset& d, long long* firstGene, long long* firstSample)
{
    long long count = 0;
    if (firstGene) *firstGene = -1;
    if (firstSample) *firstSample = -1;
    if (d.values == nullptr) return 0;
    const size_t n = static_cast<size_t>(d.genes) * static_cast<size_t>(d.samples);
    for (size_t e = 0; e < n; e++) {
        if (d.values[e] < 0.0) {
            if (count++ == 0) {
                if (firstGene) *firstGene = static_cast<long long>(e / d.samples);
                if (firstSample) *firstSample = static_cast<long long>(e % d.samples);
            }
        }
    }
    return count;
}

Refusal CheckJob(const Dataset& d, const JobSpec& job, Rules rules)
{
    Refusal r = CheckShape(d);
    if (r) return r;
    const bool study = rules == Rules::kStudy;
    if (study) {
        if (!d.geneNames.empty() && d.geneNames.size() != static_cast<size_t>(d.genes))
            return Refuse(Refusal::kLabels, Format("%zu gene names for %d genes",
                                                   d.geneNames.size(), d.genes));
        if (!d.sampleLabels.empty() && d.sampleLabels.size() != static_cast<size_t>(d.samples))
            return Refuse(Refusal::kLabels, Format("%zu sample labels for %d samples",
                                                   d.sampleLabels.size(), d.samples));
        if (job.run.rounds < 0)
            return Refuse(Refusal::kRounds, Format("rounds must be 0 or more, not %d", job.run.rounds));
        if (!(job.run.tolerance >= 0.0 && job.run.tolerance < 1.0))
            return Refuse(Refusal::kTolerance, Format("the tolerance must be at least 0 and below "
                                                      "1, not %g", job.run.tolerance));
        if (!(job.run.holdout >= 0.0 && job.run.holdout <= 0.9))
            return Refuse(Refusal::kHoldout, Format("the held-out fraction must be from 0 to 0.9, "
                                                    "not %g", job.run.holdout));
        if (job.run.threadsPerRun < 0 || job.run.threadsPerRun > kMostThreadsPerRun)
            return Refuse(Refusal::kThreads, Format("threads per run must be 0 (automatic) to "
                                                    "%d, not %d",
                                                    kMostThreadsPerRun, job.run.threadsPerRun));
    }
    const bool sweep = job.firstRank <= job.lastRank && job.chains >= 1;
    if (!sweep) return Refusal();
    if (job.firstRank < 1)
        return Refuse(Refusal::kFirstRank,
                      Format("\"StartRank\" must be at least 1, not %d", job.firstRank));
    if (job.firstChain < 1)
        return Refuse(Refusal::kChains, Format("the first chain must be at least 1, not %d",
                                               job.firstChain));
    const long long G = d.genes, S = d.samples, P = job.lastRank;
    if (G * P + P * S > INT_MAX)
        return Refuse(Refusal::kLastRank,
                      Format("\"EndRank\" %d makes (\"Na\" + \"Nf\") x patterns exceed 32 bits",
                             job.lastRank));
    // A run's start seeds are patterns + chain + a base of up to SeedP0, kept
    // in 32 bits (the classic result record holds them as ints).
    const long long seedRoom = INT_MAX - static_cast<long long>(SeedA0 > SeedP0 ? SeedA0 : SeedP0);
    const long long lastChain = static_cast<long long>(job.firstChain) + job.chains - 1;
    if (P + lastChain > seedRoom)
        return Refuse(Refusal::kChains,
                      job.firstChain == 1
                          ? Format("\"EndRank\" + \"Nchains\" = %lld; the start seeds allow at most %lld",
                                   P + lastChain, seedRoom)
                          : Format("\"EndRank\" + the last chain = %lld; the start seeds allow at "
                                   "most %lld",
                                   P + lastChain, seedRoom));
    if (study && (P > G || P > S))
        return Refuse(Refusal::kTooManyPatterns,
                      Format("%d patterns for %lld genes and %lld samples: a pattern count may not "
                             "exceed either",
                             job.lastRank, G, S));
    return Refusal();
}

// ---------------------------------------------------------------------------
// Planning

std::vector<RunKey> PlanRuns(const JobSpec& job)
{
    std::vector<RunKey> runs;
    if (job.chains < 1) return runs;
    for (long long p = job.firstRank; p <= job.lastRank; p++) {
        for (long long c = job.firstChain; c < static_cast<long long>(job.firstChain) + job.chains; c++) {
            const RunKey k{static_cast<int>(p), static_cast<int>(c)};
            if (job.only.empty() || std::find(job.only.begin(), job.only.end(), k) != job.only.end())
                runs.push_back(k);
        }
    }
    return runs;
}

std::vector<RunKey> WorkerShare(const std::vector<RunKey>& runs, int worker, int workers)
{
    std::vector<RunKey> mine;
    if (workers < 1 || worker < 0 || worker >= workers) return mine;
    // Longest processing time first: the costliest run goes to the worker
    // with the least work so far (the lowest number among equals). Rounds are
    // the same for every run of a job, so the cost is the pattern count. Ties
    // between runs keep job order, so every worker computes the same plan.
    std::vector<size_t> order(runs.size());
    for (size_t i = 0; i < order.size(); i++) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return runs[a].patterns > runs[b].patterns; });
    // The least-loaded worker on top, the lowest number among equals.
    typedef std::pair<long long, int> Load;
    std::priority_queue<Load, std::vector<Load>, std::greater<Load>> loads;
    for (int w = 0; w < workers; w++) loads.push(Load(0, w));
    std::vector<int> owner(runs.size(), 0);
    for (size_t i : order) {
        Load least = loads.top();
        loads.pop();
        owner[i] = least.second;
        least.first += runs[i].patterns;
        loads.push(least);
    }
    for (size_t i = 0; i < runs.size(); i++)
        if (owner[i] == worker) mine.push_back(runs[i]);
    return mine;
}

int AvailableProcessors()
{
    for (int n = 1024; n <= 1 << 16; n *= 2) {
        cpu_set_t* set = CPU_ALLOC(n);
        if (set == nullptr) break;
        const size_t size = CPU_ALLOC_SIZE(n);
        CPU_ZERO_S(size, set);
        if (sched_getaffinity(0, size, set) == 0) {
            const int count = CPU_COUNT_S(size, set);
            CPU_FREE(set);
            return count > 0 ? count : 1;
        }
        CPU_FREE(set);
        if (errno != EINVAL) break;
    }
    const unsigned hc = std::thread::hardware_concurrency();
    return hc > 0 ? static_cast<int>(hc) : 1;
}

std::size_t RunBytes(int genes, int samples, int patterns, bool weighted)
{
    (void)weighted;  // a sweep shares the scaled data (SharedBytes)
    const std::size_t G = static_cast<std::size_t>(genes), S = static_cast<std::size_t>(samples),
                      K = static_cast<std::size_t>(patterns);
    const std::size_t GS = G * S, GK = G * K, KS = K * S;
    // The engine: Mock; amplitudes and their weights (doubles) and visit
    // counts (ints); patterns, their weights and normalized copy (doubles)
    // and counts (ints); the kernels' scratch. Then the result's own copy of
    // amplitudes and patterns, and the headers of a dozen blocks.
    const std::size_t engine = 8 * GS + 20 * GK + 28 * KS +
                               8 * (3 * KS + 4 * zarno::kernels::kRows * S + 2 * zarno::kernels::kRows * K);
    return engine + 8 * (GK + KS) + 12 * 128;
}

std::size_t SharedBytes(int genes, int samples, bool weighted)
{
    const std::size_t GS = static_cast<std::size_t>(genes) * static_cast<std::size_t>(samples);
    // Values; weighted, their uncertainties and the quotients the runs share.
    return 8 * GS * (weighted ? 3 : 1);
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

bool HeldOut(long long cell, int chain, double fraction)
{
    if (!(fraction > 0.0)) return false;
    // splitmix64 of (chain, cell): uniform bits, the same on every machine.
    std::uint64_t z = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(chain)) << 40) ^
                      static_cast<std::uint64_t>(cell) ^ 0x5A524E4F484F4C44ull;
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53 < fraction;
}

namespace {

// Processor time of the calling thread: a run's own, whatever else runs.
double ThreadCpuSeconds()
{
    timespec t{};
    if (clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t) != 0) return 0.0;
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// A held-out cell's uncertainty: any data value over it, and any
// reconstruction, falls far below eps, which every sum of the engine skips.
constexpr double kHeldOutSigma = 1e300;

// The uncertainties of one chain's runs with a holdout: the data's (or 1 for
// unweighted data, which divides nothing) and kHeldOutSigma where held out.
class HoldoutSigmas {
public:
    // Points engine e at the chain's uncertainties; without a holdout, at the
    // data's. False when there is no memory for them.
    bool Prepare(L& e, const Dataset& d, const RunOptions& o, int chain, const double* shared)
    {
        if (!(o.holdout > 0.0)) {
            e.uncert = const_cast<double*>(d.sigmas);
            e.uncertFlag = d.weighted ? 1 : 0;
            e.UseScaledData(shared);
            return true;
        }
        if (chain != madeFor) {
            const size_t n = static_cast<size_t>(d.genes) * static_cast<size_t>(d.samples);
            sigmas.resize(n);
            for (size_t c = 0; c < n; c++)
                sigmas[c] = HeldOut(static_cast<long long>(c), chain, o.holdout)
                                ? kHeldOutSigma
                                : (d.weighted ? d.sigmas[c] : 1.0);
            madeFor = chain;
        }
        e.uncert = sigmas.data();
        e.uncertFlag = 1;
        e.UseScaledData(nullptr);
        return true;
    }

private:
    std::vector<double> sigmas;
    int madeFor = 0;  // chains start at 1
};

// The held-out cells' mean squared error of the final reconstruction A . P
// (the normalization moved scale, not the product), over the data's own
// uncertainties when weighted.
void HoldoutError(const L& e, const Dataset& d, double fraction, RunView& v)
{
    if (!(fraction > 0.0)) return;
    long long cells = 0;
    double sum = 0.0;
    const int S = d.samples, K = e.Npatterns;
    for (long long g = 0; g < d.genes; g++) {
        for (int s = 0; s < S; s++) {
            const long long c = g * S + s;
            if (!HeldOut(c, e.chain, fraction)) continue;
            double m = 0.0;
            for (int k = 0; k < K; k++)
                m += e.Amplitude[g * K + k] * e.Pattern[static_cast<long long>(k) * S + s];
            double r = d.values[c] - m;
            if (d.weighted) r /= d.sigmas[c];
            sum += r * r;
            cells++;
        }
    }
    v.holdoutCells = cells;
    v.holdoutError = cells > 0 ? sum / static_cast<double>(cells) : 0.0;
}

// Chi-square has stopped falling: its relative fall between fit tests has
// stayed below the tolerance for this many tests in a row.
constexpr int kQuietTests = 3;

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

    void Reset()
    {
        cancelled = sinkStopped = false;
        messages.clear();
        trace.clear();
        quiet = 0;
        lastChi = std::numeric_limits<double>::quiet_NaN();
    }

    int Message(io&, const char* text) override
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
    int RunBegin(L&) override
    {
        started = Clock::now();
        cpuStarted = ThreadCpuSeconds();
        if (control != nullptr) control->runsInFlight++;
        return 1;
    }
    void RunEnd(L&) override
    {
        if (control != nullptr) {
            control->runsInFlight--;
            control->runsDone++;
        }
        if (startedLive) sink->RunEnded();
        startedLive = false;
    }
    int RunStarted(L& run) override
    {
        if (sink == nullptr) return 1;
        startedLive = true;
        if (sink->RunStarting(ViewOfEngine(run))) return 1;
        sinkStopped = true;
        return 0;
    }
    bool WantsFitTests(L&) override { return options.trace || options.tolerance > 0.0; }
    int FitTested(L& run) override
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
    int KeepGoing(L& run) override
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
    int RunFinished(L& run) override
    {
        RunView v = ViewOfEngine(run);
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
    CoreEngine(const Dataset& d, const RunOptions& o, Control* control, JobSink* live,
               const double* sharedScaled)
        : host(d, o, control, live), data(d), options(o), shared(sharedScaled)
    {
        e.Ngenes = d.genes;
        e.Nsamples = d.samples;
        // The engine reads data and uncertainties and never writes them.
        e.data = const_cast<double*>(d.values);
        e.SimulateIterations = o.rounds;
        e.Attach(&host);
    }

    // One run; false when it did not finish (cancelled, failed, or stopped by
    // the live sink: see host).
    bool Run(int patterns, int chain)
    {
        host.Reset();
        e.Npatterns = patterns;
        e.chain = chain;
        holdout.Prepare(e, data, options, chain, shared);
        host.runThreads = host.mostThreads =
            options.threadsPerRun > 0 ? options.threadsPerRun : firstThreads;
        e.UseThreads(host.runThreads);
        const bool done = e.DoSimulation() == 1;
        // Threads that joined go back to the sweep.
        if (host.spare != nullptr && host.runThreads > 1) host.spare->fetch_add(host.runThreads - 1);
        return done;
    }

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
};

// One run on engine x into r.
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

// data / uncertainties, once for every engine of a sweep: the same division
// each engine would make for itself.
std::vector<double> Quotients(const Dataset& d)
{
    std::vector<double> q;
    if (!d.weighted) return q;
    const size_t n = static_cast<size_t>(d.genes) * static_cast<size_t>(d.samples);
    q.resize(n);
    for (size_t e = 0; e < n; e++) q[e] = d.values[e] / d.sigmas[e];
    return q;
}

}  // namespace

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
        CoreEngine x(data, options, control, nullptr, nullptr);
        // Automatic threads: a run alone has every processor.
        x.ShareThreads(nullptr, std::min(AvailableProcessors(), kMostThreadsPerRun));
        RunInto(x, patterns, chain, r);
    } catch (const std::bad_alloc&) {
        r = RunResult();
        r.patterns = patterns;
        r.chain = chain;
        r.error = "out of memory";
    }
    return r;
}

namespace {

JobOutcome Outcome(JobOutcome::Status status, std::string error, int done)
{
    JobOutcome o;
    o.status = status;
    o.error = std::move(error);
    o.runsDone = done;
    return o;
}

// Every run on the calling thread, handed to the sink live: the classic job.
JobOutcome RunSequential(const Dataset& data, const JobSpec& job, const std::vector<RunKey>& runs,
                         const double* scaled, int budget, JobSink& sink, Control* control)
{
    CoreEngine x(data, job.run, control, &sink, scaled);
    x.ShareThreads(nullptr, std::min(budget, kMostThreadsPerRun));
    int done = 0;
    for (const RunKey& k : runs) {
        if (control != nullptr && control->cancel) return Outcome(JobOutcome::kCancelled, "", done);
        if (!sink.Message(Format("Npatterns %d chain %d", k.patterns, k.chain)))
            return Outcome(JobOutcome::kStopped, "", done);
        if (!x.Run(k.patterns, k.chain)) {
            if (x.host.cancelled) return Outcome(JobOutcome::kCancelled, "", done);
            if (x.host.sinkStopped) return Outcome(JobOutcome::kStopped, "", done);
            return Outcome(JobOutcome::kFailed,
                           Format("the run of %d patterns, chain %d failed", k.patterns, k.chain),
                           done);
        }
        done++;
    }
    return Outcome(JobOutcome::kDone, "", done);
}

// Runs on worker threads, largest pattern counts first; the calling thread
// hands them to the sink (in job order when asked) and ticks.
JobOutcome RunThreaded(const Dataset& data, const JobSpec& job, const std::vector<RunKey>& runs,
                       const double* scaled, int threads, int budget, JobSink& sink,
                       Control* control)
{
    // Automatic threads per run: the budget's threads beyond one per worker,
    // and each worker's once it finds no run left, join the runs going on.
    std::atomic<int> spare{budget - threads};
    const bool joining = job.run.threadsPerRun == 0;
    Control own;
    Control& ctl = control != nullptr ? *control : own;
    const size_t n = runs.size();
    std::vector<size_t> order(n);
    for (size_t i = 0; i < n; i++) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return runs[a].patterns > runs[b].patterns; });

    std::mutex m;
    std::condition_variable cv;
    size_t next = 0;  // into order
    std::map<size_t, std::unique_ptr<RunResult>> finished;
    bool stop = false;
    bool outOfMemory = false;
    int working = threads;

    auto worker = [&]() {
        try {
            CoreEngine x(data, job.run, &ctl, nullptr, scaled);
            if (joining) x.ShareThreads(&spare, 1);
            for (;;) {
                size_t index;
                {
                    std::lock_guard<std::mutex> lock(m);
                    if (stop || next == n || ctl.cancel) break;
                    index = order[next++];
                }
                std::unique_ptr<RunResult> r(new RunResult());
                RunInto(x, runs[index].patterns, runs[index].chain, *r);
                std::lock_guard<std::mutex> lock(m);
                finished[index] = std::move(r);
                cv.notify_all();
            }
        } catch (...) {
            // Out of memory outside a run: the sweep stops, and says why.
            std::lock_guard<std::mutex> lock(m);
            stop = outOfMemory = true;
            ctl.cancel = true;
        }
        std::lock_guard<std::mutex> lock(m);
        working--;
        if (joining) spare.fetch_add(1);  // this thread is idle from now on
        cv.notify_all();
    };
    std::vector<std::thread> pool;
    pool.reserve(static_cast<size_t>(threads));
    for (int t = 0; t < threads; t++) pool.emplace_back(worker);

    JobOutcome outcome = Outcome(JobOutcome::kDone, "", 0);
    size_t delivered = 0;
    std::vector<bool> handed(n, false);
    size_t nextInOrder = 0;
    Clock::time_point lastTick = Clock::now();
    std::unique_lock<std::mutex> lock(m);
    // Once the sweep stops (a cancel, a failed run, a tick that says no), the
    // workers take no new run, and every complete run that still finishes is
    // handed over before RunJob returns: finished work is never dropped. Only
    // a sink that said stop gets nothing more.
    bool sinkSaidStop = false;
    auto stopping = [&](JobOutcome::Status why, std::string error) {
        if (outcome.status == JobOutcome::kDone) {
            outcome.status = why;
            outcome.error = std::move(error);
        }
        stop = true;
        ctl.cancel = true;
    };
    while (delivered < n && !sinkSaidStop) {
        // The next run to hand over: in job order, or any finished one.
        std::unique_ptr<RunResult> r;
        size_t index = n;
        if (job.ordered) {
            auto it = finished.find(nextInOrder);
            if (it != finished.end()) {
                index = it->first;
                r = std::move(it->second);
                finished.erase(it);
            }
        } else if (!finished.empty()) {
            auto it = finished.begin();
            index = it->first;
            r = std::move(it->second);
            finished.erase(it);
        }
        if (r) {
            lock.unlock();
            if (r->status == RunResult::kComplete) {
                const bool go = sink.Message(Format("Npatterns %d chain %d", r->patterns, r->chain)) &&
                                sink.RunFinished(ViewOf(*r));
                if (go) {
                    outcome.runsDone++;
                } else {
                    outcome.status = JobOutcome::kStopped;
                    outcome.error.clear();
                    sinkSaidStop = true;
                }
            } else if (r->status == RunResult::kFailed && outcome.status != JobOutcome::kFailed) {
                if (!r->error.empty()) sink.Message(r->error);
            }
            lock.lock();
            if (sinkSaidStop) {
                stop = true;
                ctl.cancel = true;
            } else if (r->status == RunResult::kCancelled) {
                stopping(JobOutcome::kCancelled, "");
            } else if (r->status == RunResult::kFailed) {
                // A failure outweighs a cancel that came first.
                if (outcome.status == JobOutcome::kDone || outcome.status == JobOutcome::kCancelled) {
                    outcome.status = JobOutcome::kFailed;
                    outcome.error = Format("the run of %d patterns, chain %d failed: %s",
                                           r->patterns, r->chain, r->error.c_str());
                }
                stop = true;
                ctl.cancel = true;
            }
            handed[index] = true;
            delivered++;
            while (nextInOrder < n && handed[nextInOrder]) nextInOrder++;
            continue;
        }
        if (working == 0) {
            // Nothing more will finish: the workers stopped before every run
            // was done (a stop above, a cancel from elsewhere, or no memory).
            if (outOfMemory) stopping(JobOutcome::kFailed, "out of memory");
            else stopping(ctl.cancel ? JobOutcome::kCancelled : JobOutcome::kFailed,
                          ctl.cancel ? "" : "the sweep ended early");
            break;
        }
        cv.wait_for(lock, std::chrono::milliseconds(100));
        const Clock::time_point now = Clock::now();
        if (!stop && now - lastTick >= std::chrono::milliseconds(100)) {
            lastTick = now;
            lock.unlock();
            const bool go = sink.Tick(ctl);
            lock.lock();
            if (!go) stopping(JobOutcome::kCancelled, "");
        }
        // Cancelled from elsewhere: the workers let go within a round.
        if (ctl.cancel) stopping(JobOutcome::kCancelled, "");
    }
    stop = true;
    lock.unlock();
    for (std::thread& t : pool) t.join();
    return outcome;
}

}  // namespace

JobOutcome RunJob(const Dataset& data, const JobSpec& job, JobSink& sink, Control* control)
{
    const std::vector<RunKey> runs = PlanRuns(job);
    if (runs.empty()) return Outcome(JobOutcome::kDone, "", 0);
    const int budget = job.threads > 0 ? job.threads : AvailableProcessors();
    int threads = budget;  // concurrent runs
    if (static_cast<size_t>(threads) > runs.size()) threads = static_cast<int>(runs.size());
    try {
        // Runs with a holdout scale their own data: each chain masks others.
        const std::vector<double> scaled =
            job.run.holdout > 0.0 ? std::vector<double>() : Quotients(data);
        const double* shared = scaled.empty() ? nullptr : scaled.data();
        // What every half-round streams besides Mock: the quotients and the
        // uncertainties, or the data themselves when unweighted.
        const size_t bytes = static_cast<size_t>(data.genes) * data.samples * sizeof(double);
        zarno::huge_pages::AdviseHugePages(shared, bytes);
        zarno::huge_pages::AdviseHugePages(data.weighted ? data.sigmas : data.values, bytes);
        if (threads <= 1) return RunSequential(data, job, runs, shared, budget, sink, control);
        return RunThreaded(data, job, runs, shared, threads, budget, sink, control);
    } catch (const std::bad_alloc&) {
        return Outcome(JobOutcome::kFailed, "out of memory", 0);
    }
}

}  // namespace zarno
