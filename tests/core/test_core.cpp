// The core API: a (patterns, chain) run gives the same bits alone, in a sweep
// on any number of threads, and as the engine's own run; cancels, stops and
// refusals are never mistaken for results.
#include <gtest/gtest.h>

#include <sched.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>
#include <thread>
#include <vector>

#include "zarno/api.h"
#include "engine_probe.h"

namespace {

// Rank-3 data with noise and uncertainties; a few exact zeros.
struct Data {
    int genes, samples;
    std::vector<double> values, sigmas;
    zarno::Dataset view;

    Data(int g, int s, bool weighted, unsigned seed = 7) : genes(g), samples(s)
    {
        std::mt19937_64 rng(seed);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        std::vector<double> a(static_cast<size_t>(g) * 3), p(3 * static_cast<size_t>(s));
        for (auto& v : a) v = u(rng) * 3;
        for (auto& v : p) v = u(rng);
        values.assign(static_cast<size_t>(g) * s, 0.0);
        sigmas.assign(values.size(), 0.0);
        for (int i = 0; i < g; i++)
            for (int j = 0; j < s; j++) {
                double x = 0;
                for (int k = 0; k < 3; k++) x += a[i * 3 + k] * p[k * s + j];
                x += 0.05 * (u(rng) - 0.5);
                values[static_cast<size_t>(i) * s + j] = (i + j) % 17 == 0 ? 0.0 : std::max(x, 0.0);
                sigmas[static_cast<size_t>(i) * s + j] = 0.05 + 0.1 * u(rng);
            }
        view.genes = g;
        view.samples = s;
        view.values = values.data();
        view.sigmas = sigmas.data();
        view.weighted = weighted;
    }
};

bool SameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0);
}

void ExpectSameRun(const zarno::RunResult& a, const zarno::RunResult& b)
{
    EXPECT_EQ(a.patterns, b.patterns);
    EXPECT_EQ(a.chain, b.chain);
    EXPECT_TRUE(SameBits(a.amplitudes, b.amplitudes)) << a.patterns << "/" << a.chain;
    EXPECT_TRUE(SameBits(a.patternRows, b.patternRows)) << a.patterns << "/" << a.chain;
    EXPECT_EQ(std::memcmp(&a.chiSquare, &b.chiSquare, 8), 0);
    EXPECT_EQ(std::memcmp(&a.ssr, &b.ssr, 8), 0);
    EXPECT_EQ(a.seedA, b.seedA);
    EXPECT_EQ(a.seedP, b.seedP);
    EXPECT_EQ(a.rounds, b.rounds);
}

// Keeps copies of what a sweep hands over, and checks its calls pair up.
class Collector : public zarno::JobSink {
public:
    std::vector<zarno::RunResult> runs;
    std::vector<std::string> messages;
    int starts = 0, ends = 0, ticks = 0;
    int stopAfter = -1;  // RunFinished returns false on this run (0-based)

    bool Message(const std::string& text) override
    {
        messages.push_back(text);
        return true;
    }
    bool RunStarting(const zarno::RunView&) override
    {
        starts++;
        return true;
    }
    void RunEnded() override { ends++; }
    bool Tick(const zarno::Control&) override
    {
        ticks++;
        return true;
    }
    bool RunFinished(const zarno::RunView& v) override
    {
        runs.push_back(zarno::CopyRun(v));
        return stopAfter < 0 || static_cast<int>(runs.size()) <= stopAfter;
    }
};

zarno::JobSpec Sweep(int first, int last, int chains, int rounds, int threads)
{
    zarno::JobSpec job;
    job.firstRank = first;
    job.lastRank = last;
    job.chains = chains;
    job.run.rounds = rounds;
    job.threads = threads;
    return job;
}

}  // namespace

TEST(CoreRun, EqualsTheEnginesOwnRunBitForBit)
{
    for (int weighted = 0; weighted <= 1; weighted++) {
        Data d(37, 11, weighted);
        zarno::RunOptions o;
        o.rounds = 45;
        const zarno::RunResult r = zarno::RunOne(d.view, 3, 2, o);
        ASSERT_TRUE(r.complete()) << r.error;

        // The same run through the engine alone, as the classic job makes it.
        Standalone s(37, 11, 3, weighted);
        s.data = d.values;
        s.uncert = d.sigmas;
        s.engine.data = s.data.data();
        s.engine.uncert = s.uncert.data();
        s.engine.chain = 2;
        s.engine.SimulateIterations = 45;
        ASSERT_EQ(s.probe.Allocate(), 1);
        s.probe.Start();
        ASSERT_EQ(s.engine.SA_simulation(), 1);
        zarno::RunResult e;
        e.patterns = 3;
        e.chain = 2;
        e.amplitudes.assign(s.engine.Amplitude, s.engine.Amplitude + 37 * 3);
        e.patternRows.assign(s.engine.Pattern, s.engine.Pattern + 3 * 11);
        e.chiSquare = s.engine.ChiSquare;
        e.ssr = s.engine.rmsd;
        e.seedA = s.engine.SeedA;
        e.seedP = s.engine.SeedP;
        e.rounds = s.engine.UsedRound;
        ExpectSameRun(r, e);
        EXPECT_EQ(r.seedA, 3 + 2 + SeedA0);
        EXPECT_EQ(r.seedP, 3 + 2 + SeedP0);
        for (int k = 0; k < 3; k++) {
            double sum = 0;
            for (int j = 0; j < 11; j++) sum += r.patternRows[k * 11 + j];
            EXPECT_NEAR(sum, 1.0, 1e-12);
        }
        // The caller's arrays are never written.
        Data fresh(37, 11, weighted);
        EXPECT_TRUE(SameBits(d.values, fresh.values));
        EXPECT_TRUE(SameBits(d.sigmas, fresh.sigmas));
    }
}

TEST(CoreSweep, EveryThreadCountGivesTheSameBitsInJobOrder)
{
    for (int weighted = 0; weighted <= 1; weighted++) {
        Data d(53, 9, weighted, 11 + weighted);
        std::map<std::pair<int, int>, zarno::RunResult> alone;
        zarno::RunOptions o;
        o.rounds = 30;
        o.trace = true;
        for (int p = 1; p <= 4; p++)
            for (int c = 2; c <= 4; c++) alone[{p, c}] = zarno::RunOne(d.view, p, c, o);

        for (int threads : {1, 2, 4}) {
            zarno::JobSpec job = Sweep(1, 4, 3, 30, threads);
            job.firstChain = 2;
            job.run.trace = true;
            Collector sink;
            const zarno::JobOutcome out = zarno::RunJob(d.view, job, sink);
            ASSERT_EQ(out.status, zarno::JobOutcome::kDone) << out.error;
            ASSERT_EQ(sink.runs.size(), 12u);
            std::vector<std::string> expected;
            for (size_t i = 0; i < sink.runs.size(); i++) {
                const zarno::RunResult& r = sink.runs[i];
                EXPECT_EQ(r.patterns, 1 + static_cast<int>(i) / 3) << "job order";
                EXPECT_EQ(r.chain, 2 + static_cast<int>(i) % 3) << "job order";
                ExpectSameRun(r, alone[{r.patterns, r.chain}]);
                EXPECT_TRUE(SameBits(r.trace, alone[{r.patterns, r.chain}].trace));
                expected.push_back("Npatterns " + std::to_string(r.patterns) + " chain " +
                                   std::to_string(r.chain));
            }
            EXPECT_EQ(sink.messages, expected);
            // Only a single-thread sweep shows the random starts, each paired.
            EXPECT_EQ(sink.starts, threads == 1 ? 12 : 0);
            EXPECT_EQ(sink.ends, sink.starts);
        }
    }
}

TEST(CoreSweep, UnorderedDeliveryHandsOverEveryRunOnce)
{
    Data d(40, 8, true);
    zarno::JobSpec job = Sweep(2, 5, 2, 12, 2);
    job.ordered = false;
    Collector sink;
    ASSERT_EQ(zarno::RunJob(d.view, job, sink).status, zarno::JobOutcome::kDone);
    std::set<std::pair<int, int>> seen;
    for (const auto& r : sink.runs) {
        EXPECT_TRUE(seen.insert({r.patterns, r.chain}).second);
        ExpectSameRun(r, zarno::RunOne(d.view, r.patterns, r.chain, job.run));
    }
    EXPECT_EQ(seen.size(), 8u);
}

TEST(CoreSweep, OnlyTheListedRunsAndAnEmptySweep)
{
    Data d(30, 7, false);
    zarno::JobSpec job = Sweep(2, 4, 3, 5, 2);
    job.only = {{4, 1}, {2, 3}, {9, 9}};
    const std::vector<zarno::RunKey> plan = zarno::PlanRuns(job);
    ASSERT_EQ(plan.size(), 2u);
    EXPECT_TRUE((plan[0] == zarno::RunKey{2, 3}));
    EXPECT_TRUE((plan[1] == zarno::RunKey{4, 1}));

    Collector sink;
    EXPECT_EQ(zarno::RunJob(d.view, Sweep(3, 2, 3, 5, 2), sink).status, zarno::JobOutcome::kDone);
    EXPECT_EQ(zarno::RunJob(d.view, Sweep(2, 3, 0, 5, 2), sink).status, zarno::JobOutcome::kDone);
    EXPECT_TRUE(sink.runs.empty());
    EXPECT_TRUE(sink.messages.empty());
}

TEST(CoreSweep, ASinkThatSaysStopEndsTheSweep)
{
    Data d(30, 7, true);
    for (int threads : {1, 2}) {
        Collector sink;
        sink.stopAfter = 2;
        const zarno::JobOutcome out = zarno::RunJob(d.view, Sweep(2, 4, 3, 5, threads), sink);
        EXPECT_EQ(out.status, zarno::JobOutcome::kStopped);
        EXPECT_EQ(sink.runs.size(), 3u);
        EXPECT_EQ(sink.ends, sink.starts);
    }
}

TEST(CoreCancel, ARunStopsWithinOneRoundAndIsNeverComplete)
{
    Data d(60, 12, true);
    zarno::RunOptions o;
    o.rounds = 1000000;  // would take minutes
    zarno::Control control;
    std::thread canceller([&] {
        while (control.roundsDone.load() < 50) std::this_thread::yield();
        control.cancel = true;
    });
    const zarno::RunResult r = zarno::RunOne(d.view, 3, 1, o, &control);
    canceller.join();
    EXPECT_EQ(r.status, zarno::RunResult::kCancelled);
    EXPECT_FALSE(r.complete());
    EXPECT_TRUE(r.amplitudes.empty());
    // Stopped within one round of the request: the counter moves once a round.
    EXPECT_LE(r.rounds, control.roundsDone.load());
    EXPECT_LT(r.rounds, 1000000);
    EXPECT_EQ(control.runsInFlight.load(), 0);
}

TEST(CoreCancel, ASweepOnThreadsStopsAndHandsOverNoCancelledRun)
{
    Data d(60, 12, true);
    for (int threads : {1, 2}) {
        zarno::Control control;
        zarno::JobSpec job = Sweep(2, 5, 4, 1000000, threads);
        Collector sink;
        std::thread canceller([&] {
            while (control.roundsDone.load() < 200) std::this_thread::yield();
            control.cancel = true;
        });
        const zarno::JobOutcome out = zarno::RunJob(d.view, job, sink, &control);
        canceller.join();
        EXPECT_EQ(out.status, zarno::JobOutcome::kCancelled);
        EXPECT_TRUE(sink.runs.empty());
        EXPECT_EQ(control.runsInFlight.load(), 0);
    }
}

TEST(CoreCancel, ATickThatSaysNoCancels)
{
    struct NoMore : Collector {
        bool Tick(const zarno::Control&) override { return false; }
    };
    Data d(60, 12, false);
    for (int threads : {1, 2}) {
        NoMore sink;
        const zarno::JobOutcome out = zarno::RunJob(d.view, Sweep(2, 3, 2, 1000000, threads), sink);
        EXPECT_EQ(out.status, zarno::JobOutcome::kCancelled);
        EXPECT_TRUE(sink.runs.empty());
    }
}

TEST(CoreTrace, EveryTenRoundsWithoutChangingABit)
{
    Data d(45, 10, true);
    zarno::RunOptions plain;
    plain.rounds = 60;
    zarno::RunOptions traced = plain;
    traced.trace = true;
    const zarno::RunResult a = zarno::RunOne(d.view, 3, 1, plain);
    const zarno::RunResult b = zarno::RunOne(d.view, 3, 1, traced);
    ExpectSameRun(a, b);
    EXPECT_TRUE(a.trace.empty());
    ASSERT_EQ(b.trace.size(), 7u);  // rounds 0, 10, ..., 60
    // The last test is the final fit; on the whole the fit falls.
    EXPECT_EQ(b.trace.back(), b.chiSquare);
    EXPECT_LT(b.trace.back(), b.trace.front());
}

TEST(CoreTolerance, StopsOnceTheFitIsFlatAndIsDeterministic)
{
    Data d(45, 10, true);
    zarno::RunOptions o;
    o.rounds = 20000;
    o.tolerance = 1e-4;
    o.trace = true;
    const zarno::RunResult a = zarno::RunOne(d.view, 3, 1, o);
    ASSERT_TRUE(a.complete());
    EXPECT_LT(a.rounds, 20000);
    EXPECT_EQ(a.rounds % 10, 0);
    // Stopped at the third quiet test in a row.
    const size_t n = a.trace.size();
    ASSERT_GE(n, 4u);
    for (size_t i = n - 3; i < n; i++)
        EXPECT_LT(std::fabs(a.trace[i - 1] - a.trace[i]) / a.trace[i - 1], 1e-4);
    // ... and not before.
    int quiet = 0;
    for (size_t i = 1; i + 1 < n; i++) {
        quiet = std::fabs(a.trace[i - 1] - a.trace[i]) / a.trace[i - 1] < 1e-4 ? quiet + 1 : 0;
        EXPECT_LT(quiet, 3) << "round " << 10 * i;
    }
    ExpectSameRun(a, zarno::RunOne(d.view, 3, 1, o));
    // The same rounds without a tolerance give the same bits.
    zarno::RunOptions fixed;
    fixed.rounds = a.rounds;
    ExpectSameRun(a, zarno::RunOne(d.view, 3, 1, fixed));
}

TEST(CoreChecks, EachBadFieldIsRefusedWithTheClassicWords)
{
    Data d(20, 6, true);
    struct Case {
        const char* name;
        std::function<void(zarno::Dataset&, zarno::JobSpec&)> change;
        zarno::Refusal::Code code;
        const char* words;
    };
    const std::vector<Case> cases = {
        {"genes", [](zarno::Dataset& x, zarno::JobSpec&) { x.genes = 0; }, zarno::Refusal::kGenes,
         "\"Na\" must be positive, not 0"},
        {"samples", [](zarno::Dataset& x, zarno::JobSpec&) { x.samples = -2; },
         zarno::Refusal::kSamples, "\"Nf\" must be positive, not -2"},
        {"cells", [](zarno::Dataset& x, zarno::JobSpec&) { x.genes = x.samples = 50000; },
         zarno::Refusal::kCells, "\"Na\" x \"Nf\" = 2500000000 does not fit 32 bits"},
        {"first", [](zarno::Dataset&, zarno::JobSpec& j) { j.firstRank = 0; },
         zarno::Refusal::kFirstRank, "\"StartRank\" must be at least 1, not 0"},
        {"wide", [](zarno::Dataset&, zarno::JobSpec& j) { j.lastRank = 7; },
         zarno::Refusal::kTooManyPatterns, "7 patterns for 20 genes and 6 samples"},
        {"chain", [](zarno::Dataset&, zarno::JobSpec& j) { j.firstChain = 0; },
         zarno::Refusal::kChains, "the first chain must be at least 1"},
        {"seeds", [](zarno::Dataset&, zarno::JobSpec& j) { j.chains = INT_MAX - SeedP0; },
         zarno::Refusal::kChains, "the start seeds allow at most"},
        {"rounds", [](zarno::Dataset&, zarno::JobSpec& j) { j.run.rounds = -1; },
         zarno::Refusal::kRounds, "rounds must be 0 or more"},
        {"labels", [](zarno::Dataset& x, zarno::JobSpec&) { x.sampleLabels = {"a", "b"}; },
         zarno::Refusal::kLabels, "2 sample labels for 6 samples"},
        {"tolerance", [](zarno::Dataset&, zarno::JobSpec& j) { j.run.tolerance = NAN; },
         zarno::Refusal::kTolerance, "the tolerance must be at least 0 and below 1"},
        {"holdout", [](zarno::Dataset&, zarno::JobSpec& j) { j.run.holdout = 0.95; },
         zarno::Refusal::kHoldout, "the held-out fraction must be from 0 to 0.9, not 0.95"},
    };
    for (const Case& c : cases) {
        zarno::Dataset data = d.view;
        zarno::JobSpec job = Sweep(2, 4, 3, 10, 1);
        c.change(data, job);
        const zarno::Refusal r = zarno::CheckJob(data, job);
        EXPECT_EQ(r.code, c.code) << c.name;
        EXPECT_NE(r.text.find(c.words), std::string::npos) << c.name << ": " << r.text;
    }
    // The classic rules let wide pattern counts and negative rounds through.
    zarno::JobSpec wide = Sweep(2, 7, 3, -5, 1);
    EXPECT_FALSE(zarno::CheckJob(d.view, wide, zarno::Rules::kClassic));
    // An empty sweep needs no valid bounds.
    EXPECT_FALSE(zarno::CheckJob(d.view, Sweep(0, -1, 3, 10, 1)));

    // Values: the first fault in row-major order, located.
    std::vector<double> v = d.values, s = d.sigmas;
    zarno::Dataset bad = d.view;
    bad.values = v.data();
    bad.sigmas = s.data();
    s[2 * 6 + 5] = 0.0;
    v[3 * 6 + 1] = NAN;
    zarno::Refusal r = zarno::CheckDataset(bad);
    EXPECT_EQ(r.code, zarno::Refusal::kSigma);
    EXPECT_EQ(r.gene, 2);
    EXPECT_EQ(r.sample, 5);
    EXPECT_EQ(r.text, "\"acc\" of gene 2 sample 5 is 0; with \"uncertFlag\" set every uncertainty "
                      "must be positive and finite");
    bad.weighted = false;  // unweighted: uncertainties are not looked at
    r = zarno::CheckDataset(bad);
    EXPECT_EQ(r.code, zarno::Refusal::kValue);
    EXPECT_EQ(r.text, "\"data\" of gene 3 sample 1 is not finite (nan)");
    // A refused run comes back failed, never complete.
    const zarno::RunResult failed = zarno::RunOne(bad, 2, 1, zarno::RunOptions());
    EXPECT_EQ(failed.status, zarno::RunResult::kFailed);
    EXPECT_EQ(failed.error, r.text);
}

TEST(CoreChecks, NegativeValuesAreCountedAndTheFirstNamed)
{
    Data d(10, 4, false);
    long long g, s;
    EXPECT_EQ(zarno::CountNegative(d.view, &g, &s), 0);
    EXPECT_EQ(g, -1);
    d.values[2 * 4 + 3] = -1.5;
    d.values[7 * 4 + 0] = -0.1;
    EXPECT_EQ(zarno::CountNegative(d.view, &g, &s), 2);
    EXPECT_EQ(g, 2);
    EXPECT_EQ(s, 3);
}

TEST(CoreWorkers, SharesAreDisjointCompleteBalancedAndRepeatable)
{
    zarno::JobSpec job = Sweep(2, 20, 50, 2000, 1);
    const std::vector<zarno::RunKey> runs = zarno::PlanRuns(job);
    for (int workers : {1, 3, 7, 64, 2000}) {
        std::set<std::pair<int, int>> all;
        long long most = 0, least = LLONG_MAX;
        for (int w = 0; w < workers; w++) {
            const std::vector<zarno::RunKey> mine = zarno::WorkerShare(runs, w, workers);
            EXPECT_TRUE(std::is_sorted(mine.begin(), mine.end())) << "job order";
            long long load = 0;
            for (const auto& k : mine) {
                EXPECT_TRUE(all.insert({k.patterns, k.chain}).second);
                load += k.patterns;
            }
            most = std::max(most, load);
            least = std::min(least, load);
            EXPECT_EQ(mine.size(), zarno::WorkerShare(runs, w, workers).size());
        }
        EXPECT_EQ(all.size(), runs.size());
        // Greedy by cost: no worker carries more than one run beyond another.
        EXPECT_LE(most - least, 20) << workers << " workers";
    }
    EXPECT_TRUE(zarno::WorkerShare(runs, 3, 3).empty());
    EXPECT_TRUE(zarno::WorkerShare(runs, -1, 3).empty());
}

TEST(CoreResources, ProcessorsFromTheAffinityMaskAndMemoryPerRun)
{
    EXPECT_GE(zarno::AvailableProcessors(), 1);
    cpu_set_t one;
    CPU_ZERO(&one);
    cpu_set_t old;
    ASSERT_EQ(sched_getaffinity(0, sizeof old, &old), 0);
    int first = 0;
    while (!CPU_ISSET(first, &old)) first++;
    CPU_SET(first, &one);
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(zarno::AvailableProcessors(), 1);
    ASSERT_EQ(sched_setaffinity(0, sizeof old, &old), 0);

    // A run's memory grows with its matrices; sharing is counted once.
    const size_t small = zarno::RunBytes(1000, 100, 3, true);
    const size_t big = zarno::RunBytes(20000, 200, 8, true);
    EXPECT_GT(big, 20000u * 200 * 8);  // the reconstruction at least
    EXPECT_LT(big, 20000u * 200 * 8 * 2);
    EXPECT_GT(big, small);
    EXPECT_EQ(zarno::SharedBytes(20000, 200, true), 3u * 20000 * 200 * 8);
    EXPECT_EQ(zarno::SharedBytes(20000, 200, false), 1u * 20000 * 200 * 8);
}

TEST(CoreHoldout, HeldOutCellsWeighNothingAndTheirErrorIsMeasured)
{
    for (int weighted = 0; weighted <= 1; weighted++) {
        Data d(50, 12, weighted);
        zarno::RunOptions o;
        o.rounds = 40;
        o.holdout = 0.1;
        const zarno::RunResult a = zarno::RunOne(d.view, 3, 2, o);
        ASSERT_TRUE(a.complete()) << a.error;

        // The mask: about a tenth of the cells, fixed by the chain alone.
        long long held = 0;
        for (long long c = 0; c < 600; c++) held += zarno::HeldOut(c, 2, 0.1);
        EXPECT_EQ(a.holdoutCells, held);
        EXPECT_GT(held, 30);
        EXPECT_LT(held, 95);
        bool differs = false;
        for (long long c = 0; c < 600; c++)
            differs = differs || zarno::HeldOut(c, 2, 0.1) != zarno::HeldOut(c, 3, 0.1);
        EXPECT_TRUE(differs);

        // Whatever the held-out cells hold, the run does not see it.
        Data changed(50, 12, weighted);
        for (long long c = 0; c < 600; c++)
            if (zarno::HeldOut(c, 2, 0.1)) changed.values[static_cast<size_t>(c)] += 100.0;
        const zarno::RunResult b = zarno::RunOne(changed.view, 3, 2, o);
        EXPECT_TRUE(SameBits(a.amplitudes, b.amplitudes));
        EXPECT_TRUE(SameBits(a.patternRows, b.patternRows));
        EXPECT_EQ(a.chiSquare, b.chiSquare);
        EXPECT_GT(b.holdoutError, a.holdoutError * 100);

        // The error, recomputed from the run's own matrices.
        double sum = 0;
        for (int g = 0; g < 50; g++)
            for (int s = 0; s < 12; s++) {
                if (!zarno::HeldOut(g * 12 + s, 2, 0.1)) continue;
                double m = 0;
                for (int k = 0; k < 3; k++) m += a.amplitudes[g * 3 + k] * a.patternRows[k * 12 + s];
                double r = d.values[g * 12 + s] - m;
                if (weighted) r /= d.sigmas[g * 12 + s];
                sum += r * r;
            }
        EXPECT_NEAR(a.holdoutError, sum / static_cast<double>(held), 1e-9 * sum);

        // A mask that holds nothing out gives the plain run's bits, weighted
        // or not, and the sweep gives RunOne's.
        zarno::RunOptions none = o;
        none.holdout = 1e-30;
        zarno::RunOptions plain = o;
        plain.holdout = 0.0;
        ExpectSameRun(zarno::RunOne(d.view, 3, 2, none), zarno::RunOne(d.view, 3, 2, plain));
        zarno::JobSpec job = Sweep(3, 3, 2, 40, 2);
        job.firstChain = 1;
        job.run = o;
        Collector sink;
        ASSERT_EQ(zarno::RunJob(d.view, job, sink).status, zarno::JobOutcome::kDone);
        ASSERT_EQ(sink.runs.size(), 2u);
        ExpectSameRun(sink.runs[1], a);
        EXPECT_EQ(sink.runs[1].holdoutError, a.holdoutError);
    }
}

TEST(CoreThreads, ThreadsPerRunAndIdleThreadsJoiningChangeNoBit)
{
    Data d(300, 24, true, 5);
    std::map<std::pair<int, int>, zarno::RunResult> alone;
    zarno::RunOptions one;
    one.rounds = 40;
    for (int p = 2; p <= 4; p++) alone[{p, 1}] = zarno::RunOne(d.view, p, 1, one);
    int joined = 0;
    for (int perRun : {0, 1, 2, 3}) {
        for (int threads : {1, 2, 4}) {
            zarno::JobSpec job = Sweep(2, 4, 1, 40, threads);
            job.run.threadsPerRun = perRun;
            Collector sink;
            ASSERT_EQ(zarno::RunJob(d.view, job, sink).status, zarno::JobOutcome::kDone);
            ASSERT_EQ(sink.runs.size(), 3u);
            for (const auto& r : sink.runs) {
                ExpectSameRun(r, alone[{r.patterns, 1}]);
                if (perRun > 0) {
                    EXPECT_EQ(r.threads, perRun);
                } else {
                    EXPECT_LE(r.threads, threads);
                    joined += r.threads > 1;
                }
            }
        }
    }
    // Four threads for three runs: the spare one joins a run.
    EXPECT_GT(joined, 0);
    zarno::RunOptions all = one;
    all.threadsPerRun = 0;
    ExpectSameRun(zarno::RunOne(d.view, 3, 1, all), alone[{3, 1}]);
    zarno::JobSpec bad = Sweep(2, 4, 1, 40, 1);
    bad.run.threadsPerRun = 257;
    EXPECT_EQ(zarno::CheckJob(d.view, bad).code, zarno::Refusal::kThreads);
}
