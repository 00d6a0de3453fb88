// The arithmetic switch of the core: which runs take the Gram form, that
// they keep their bits across threads and sweeps, agree with the classic
// round to rounding, and that their memory does not grow with the data.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "zarno/api.h"

namespace {

// Near rank-3 unweighted data, one cell in nine zero.
struct Table {
    std::vector<double> values, sigmas;
    zarno::Dataset set;
    Table(int genes, int samples)
    {
        std::mt19937_64 rng(genes * 31 + samples);
        std::gamma_distribution<double> gamma(0.8, 1.0);
        std::vector<double> a(genes * 3), p(3 * samples);
        for (double& v : a) v = gamma(rng);
        for (double& v : p) v = gamma(rng);
        for (int g = 0; g < genes; g++)
            for (int s = 0; s < samples; s++) {
                double x = 0.0;
                for (int k = 0; k < 3; k++) x += a[g * 3 + k] * p[k * samples + s];
                values.push_back((g * samples + s) % 9 == 4 ? 0.0 : x * (0.9 + 0.2 * gamma(rng) / 4));
                sigmas.push_back(0.1 + 0.05 * x);
            }
        set.genes = genes;
        set.samples = samples;
        set.values = values.data();
        set.sigmas = sigmas.data();
    }
};

class Keep : public zarno::JobSink {
public:
    std::vector<zarno::RunResult> runs;
    bool RunFinished(const zarno::RunView& v) override
    {
        runs.push_back(zarno::CopyRun(v));
        return true;
    }
};

std::vector<zarno::RunResult> Study(const zarno::Dataset& d, zarno::Arithmetic how, int threads,
                                    int perRun, double tolerance = 0.0)
{
    zarno::JobSpec job;
    job.firstRank = 2;
    job.lastRank = 4;
    job.chains = 2;
    job.threads = threads;
    job.run.rounds = 120;
    job.run.threadsPerRun = perRun;
    job.run.tolerance = tolerance;
    job.run.trace = tolerance > 0.0;
    job.run.arithmetic = how;
    Keep keep;
    EXPECT_EQ(zarno::RunJob(d, job, keep).status, zarno::JobOutcome::kDone);
    return keep.runs;
}

bool SameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * 8) == 0;
}

TEST(Arithmetic, OnlyUnweightedRunsWithEveryCellTakeTheGramForm)
{
    Table t(10, 6);
    zarno::RunOptions o;
    EXPECT_FALSE(zarno::UsesGramForm(t.set, o, false));  // the core's default: classic
    o.arithmetic = zarno::Arithmetic::kGram;
    EXPECT_TRUE(zarno::UsesGramForm(t.set, o, false));
    o.holdout = 0.1;  // held-out cells weigh nothing: the weighted round
    EXPECT_FALSE(zarno::UsesGramForm(t.set, o, false));
    o.holdout = 0.0;
    EXPECT_FALSE(zarno::UsesGramForm(t.set, o, true));  // missing cells weigh nothing too
    t.set.weighted = true;
    EXPECT_FALSE(zarno::UsesGramForm(t.set, o, false));

    zarno::Arithmetic a = zarno::Arithmetic::kClassic;
    EXPECT_TRUE(zarno::ParseArithmetic("gram", &a));
    EXPECT_EQ(a, zarno::Arithmetic::kGram);
    EXPECT_STREQ(zarno::ArithmeticName(a), "gram");
    EXPECT_TRUE(zarno::ParseArithmetic("classic", &a));
    EXPECT_STREQ(zarno::ArithmeticName(a), "classic");
    EXPECT_FALSE(zarno::ParseArithmetic("Gram", &a));
    EXPECT_EQ(a, zarno::Arithmetic::kClassic);
}

// One run's bits whoever computes it: alone, in a sweep on 1 or 2 threads,
// on 1 to 3 threads of its own; and to rounding the classic round's.
TEST(Arithmetic, GramRunsKeepTheirBitsOnEveryThreadCountAndMatchClassicToRounding)
{
    Table t(150, 21);
    const auto one = Study(t.set, zarno::Arithmetic::kGram, 1, 1);
    ASSERT_EQ(one.size(), 6u);
    for (const auto& [threads, perRun] : {std::pair{2, 1}, std::pair{1, 3}, std::pair{2, 0}}) {
        const auto other = Study(t.set, zarno::Arithmetic::kGram, threads, perRun);
        ASSERT_EQ(other.size(), one.size());
        for (size_t i = 0; i < one.size(); i++) {
            EXPECT_TRUE(SameBits(one[i].amplitudes, other[i].amplitudes)) << threads << perRun;
            EXPECT_TRUE(SameBits(one[i].patternRows, other[i].patternRows)) << threads << perRun;
            EXPECT_EQ(std::memcmp(&one[i].chiSquare, &other[i].chiSquare, 8), 0);
        }
    }
    zarno::RunOptions o;
    o.rounds = 120;
    o.arithmetic = zarno::Arithmetic::kGram;
    const zarno::RunResult alone = zarno::RunOne(t.set, 3, 2, o);
    ASSERT_TRUE(alone.complete()) << alone.error;
    EXPECT_TRUE(SameBits(alone.amplitudes, one[3].amplitudes));

    const auto classic = Study(t.set, zarno::Arithmetic::kClassic, 1, 1);
    bool anyBitDiffers = false;
    for (size_t i = 0; i < one.size(); i++) {
        EXPECT_NEAR(one[i].chiSquare, classic[i].chiSquare, 1e-8 * classic[i].chiSquare);
        EXPECT_EQ(one[i].ssr, one[i].chiSquare);  // unweighted: the same sum
        for (size_t k = 0; k < one[i].patternRows.size(); k++)
            EXPECT_NEAR(one[i].patternRows[k], classic[i].patternRows[k], 1e-8);
        anyBitDiffers |= !SameBits(one[i].patternRows, classic[i].patternRows);
    }
    EXPECT_TRUE(anyBitDiffers) << "the switch changed nothing";
}

// The convergence stop reads the Gram form's own fit tests: the same stop
// and trace on any thread count, and a weighted study ignores the switch.
TEST(Arithmetic, FitTestsAndWeightedStudies)
{
    Table t(80, 17);
    const auto a = Study(t.set, zarno::Arithmetic::kGram, 1, 1, 1e-3);
    const auto b = Study(t.set, zarno::Arithmetic::kGram, 2, 2, 1e-3);
    ASSERT_EQ(a.size(), b.size());
    bool stopped = false;
    for (size_t i = 0; i < a.size(); i++) {
        EXPECT_EQ(a[i].rounds, b[i].rounds);
        EXPECT_TRUE(SameBits(a[i].trace, b[i].trace));
        ASSERT_FALSE(a[i].trace.empty());
        EXPECT_EQ(a[i].trace.back(), a[i].chiSquare);  // the stop's test is the final fit
        stopped |= a[i].rounds < 120;
    }
    EXPECT_TRUE(stopped);

    t.set.weighted = true;
    const auto wc = Study(t.set, zarno::Arithmetic::kClassic, 1, 1);
    const auto wg = Study(t.set, zarno::Arithmetic::kGram, 1, 1);
    for (size_t i = 0; i < wc.size(); i++) EXPECT_TRUE(SameBits(wc[i].amplitudes, wg[i].amplitudes));
}

TEST(Arithmetic, AGramRunsMemoryDoesNotGrowWithGenesTimesSamples)
{
    // A single-cell-sized table: 2000 genes x 100000 cells, 10 patterns.
    const size_t gram = zarno::RunBytes(2000, 100000, 10, false, true);
    const size_t classic = zarno::RunBytes(2000, 100000, 10, false);
    EXPECT_GT(classic, 2000u * 100000 * 8);  // the reconstruction
    EXPECT_LT(gram, 20u * (2000 + 100000) * 10 * 8);
    EXPECT_GT(gram, 4u * 100000 * 10 * 8);  // its patterns' arrays at least
    // Twice the genes at the same samples add genes x patterns, not a table.
    const size_t taller = zarno::RunBytes(4000, 100000, 10, false, true);
    EXPECT_LT(taller - gram, 100u * 2000 * 10);
}

}  // namespace
