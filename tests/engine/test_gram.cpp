// The unweighted round in Gram form against its literal loops
// (gram_oracle.h), bit for bit, on every instruction set and thread count;
// and what it shares with the weighted round: zero genes and samples, and
// results equal to rounding.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "engine_probe.h"
#include "gram_oracle.h"

namespace {

bool Same(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Values around the 1e-10 threshold, zeros and negatives among ordinary ones.
double Tricky(std::mt19937_64& rng)
{
    static const double specials[] = {0.0, -0.0, 1e-10, 5e-11, 2e-10, -1e-10, -0.3, 1e-10 * (1 + 1e-15)};
    std::uniform_real_distribution<double> u(0.0, 1.0);
    if (u(rng) < 0.15) return specials[rng() % 8];
    return u(rng) * 10.0;
}

bool Runnable(int simd)
{
    return simd == 0 || (simd == 1 && __builtin_cpu_supports("avx2")) ||
           (simd == 2 && __builtin_cpu_supports("avx512f"));
}

struct Shape {
    int genes, samples, patterns;
};

// An unweighted engine in Gram form on tricky data, started, with threshold
// values in its start, and the literal loops on the same start.
struct GramCase {
    Standalone s;
    GramLiteral lit;
    explicit GramCase(const Shape& c, int simd, int threads)
        : s(c.genes, c.samples, c.patterns, 0),
          lit{c.genes, c.samples, c.patterns, {}, {}, {}, {}, {}}
    {
        std::mt19937_64 rng(c.genes * 7919 + c.samples * 31 + c.patterns);
        for (auto& v : s.data) v = Tricky(rng);
        L& e = s.engine;
        e.UseGramForm(true);
        e.UseThreads(threads);
        s.probe.Simd(simd);
        if (s.probe.Allocate() != 1) std::abort();
        s.probe.Start();
        for (int k = 0; k < c.genes * c.patterns; k += 5)
            e.Amplitude[k] = (k % 3 == 0) ? 1e-10 : (k % 3 == 1 ? 0.0 : 5e-11);
        for (int k = 0; k < c.patterns * c.samples; k += 7) e.Pattern[k] = (k % 2 == 0) ? 1e-10 : 0.0;
        const size_t GK = static_cast<size_t>(c.genes) * c.patterns;
        const size_t KS = static_cast<size_t>(c.patterns) * c.samples;
        lit.data = s.data;
        lit.A.assign(e.Amplitude, e.Amplitude + GK);
        lit.P.assign(e.Pattern, e.Pattern + KS);
        lit.AW.assign(GK, 0.0);
        lit.PW.assign(KS, 0.0);
    }
    ~GramCase() { s.probe.Free(); }

    // What a later pass reads, and chi-square when it was taken.
    void Expect(const std::string& when, bool fit, bool amplitudeWeights)
    {
        L& e = s.engine;
        const int G = lit.G, S = lit.S, K = lit.K, S8 = (S + 7) / 8 * 8;
        int bad = 0;
        for (int i = 0; i < G * K && bad < 3; i++) {
            if (!Same(e.Amplitude[i], lit.A[i])) bad++, ADD_FAILURE() << when << ": amplitude " << i;
            if (amplitudeWeights && !Same(s.probe.AW()[i], lit.AW[i]))
                bad++, ADD_FAILURE() << when << ": amplitude weight " << i;
        }
        for (int k = 0; k < K && bad < 3; k++)
            for (int t = 0; t < S; t++) {
                if (!Same(e.Pattern[k * S + t], lit.P[k * S + t]))
                    bad++, ADD_FAILURE() << when << ": pattern " << k << "," << t;
                if (!Same(s.probe.GramPW()[k * S8 + t], lit.PW[k * S + t]))
                    bad++, ADD_FAILURE() << when << ": pattern weight " << k << "," << t << " "
                                         << s.probe.GramPW()[k * S8 + t] << " against "
                                         << lit.PW[k * S + t];
            }
        EXPECT_EQ(s.probe.GramChiFresh(), fit) << when;
        if (fit) {
            EXPECT_TRUE(Same(s.probe.GramChi(), lit.chi))
                << when << ": " << s.probe.GramChi() << " against " << lit.chi;
        }
        if (bad > 0) FAIL() << when;
    }

    // The start, then `rounds` rounds, a fit test every third.
    void Lockstep(int rounds)
    {
        s.probe.Gram(false, true);
        lit.Start(true);
        ASSERT_NO_FATAL_FAILURE(Expect("start", true, false));
        for (int r = 0; r < rounds; r++) {
            const bool fit = r % 3 == 0;
            s.probe.Gram(true, fit);
            lit.Round(fit);
            ASSERT_NO_FATAL_FAILURE(Expect("round " + std::to_string(r), fit, true));
        }
        // A test taken after a round without one: a residual pass of its own.
        s.probe.Chi();
        lit.ChiSquare();
        EXPECT_TRUE(Same(s.engine.ChiSquare, lit.chi));
        EXPECT_TRUE(Same(s.engine.rmsd, lit.chi));
    }
};

class GramOracleTest : public ::testing::TestWithParam<std::tuple<Shape, int>> {};

TEST_P(GramOracleTest, EveryRoundIsBitIdenticalToTheLiteralGramLoops)
{
    const int simd = std::get<1>(GetParam());
    if (!Runnable(simd)) GTEST_SKIP() << "this processor lacks instruction set " << simd;
    GramCase c(std::get<0>(GetParam()), simd, 1);
    EXPECT_EQ(c.s.engine.Mock, nullptr) << "the Gram form keeps no reconstruction";
    c.Lockstep(25);
}

// A single element; rows past the last block of the sample sums and of the
// column sums; samples past the last strand and the last vector; pattern
// counts of one, of a full block of the sample sums and past it; rows of
// several panels (300 x 200), and rows wider than a chunk (20 x 1000 x 9,
// 6 x 4100 x 2), which take the two-pass round even on one thread.
INSTANTIATE_TEST_SUITE_P(
    Shapes, GramOracleTest,
    ::testing::Combine(::testing::Values(Shape{1, 1, 1}, Shape{7, 5, 1}, Shape{13, 9, 3},
                                         Shape{40, 17, 5}, Shape{64, 33, 4}, Shape{101, 23, 8},
                                         Shape{3, 50, 6}, Shape{30, 14, 10}, Shape{37, 19, 13},
                                         Shape{21, 11, 17}, Shape{300, 200, 8},
                                         Shape{20, 1000, 9}, Shape{6, 4100, 2}),
                       ::testing::Values(0, 1, 2)));

struct GramThreads {
    Shape shape;
    int threads;
};

class GramThreadTest : public ::testing::TestWithParam<GramThreads> {};

TEST_P(GramThreadTest, EveryThreadCountGivesTheLiteralBits)
{
    GramCase c(GetParam().shape, 2, GetParam().threads);
    c.Lockstep(12);
}

std::vector<GramThreads> ThreadCases()
{
    // Fewer rows or strands of samples than threads, shares that split
    // unevenly, and wide rows.
    const Shape shapes[] = {Shape{1, 1, 1}, Shape{3, 5, 2}, Shape{37, 19, 4}, Shape{203, 45, 5},
                            Shape{130, 200, 8}, Shape{17, 2100, 9}};
    std::vector<GramThreads> cases;
    for (const Shape& c : shapes)
        for (int threads = 1; threads <= 4; threads++) cases.push_back({c, threads});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Shapes, GramThreadTest, ::testing::ValuesIn(ThreadCases()),
                         [](const ::testing::TestParamInfo<GramThreads>& info) {
                             const Shape& c = info.param.shape;
                             return std::to_string(c.genes) + "x" + std::to_string(c.samples) +
                                    "x" + std::to_string(c.patterns) + "_threads" +
                                    std::to_string(info.param.threads);
                         });

// Rank-3 data with noise; `zeroGene` and `zeroSample` (when >= 0) all zero.
void RankThree(Standalone& s, int zeroGene, int zeroSample)
{
    const int G = s.engine.Ngenes, S = s.engine.Nsamples;
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(0.1, 3.0);
    std::vector<double> a(G * 3), p(3 * S);
    for (auto& v : a) v = u(rng);
    for (auto& v : p) v = u(rng);
    for (int g = 0; g < G; g++)
        for (int t = 0; t < S; t++) {
            double x = 0.0;
            for (int k = 0; k < 3; k++) x += a[g * 3 + k] * p[k * S + t];
            s.data[g * S + t] = (g == zeroGene || t == zeroSample) ? 0.0 : x * (0.9 + 0.2 * u(rng) / 3.0);
        }
}

struct Finished {
    std::vector<double> a, p;
    double chi;
};

Finished WholeRun(bool gram, int zeroGene, int zeroSample, int rounds, int threads = 1)
{
    const int G = 45, S = 19, K = 3;
    Standalone s(G, S, K, 0);
    RankThree(s, zeroGene, zeroSample);
    s.engine.UseGramForm(gram);
    s.engine.UseThreads(threads);
    s.engine.SimulateIterations = rounds;
    EXPECT_EQ(s.probe.Allocate(), 1);
    s.probe.Start();
    EXPECT_EQ(s.engine.SA_simulation(), 1);
    Finished f{{s.engine.Amplitude, s.engine.Amplitude + G * K},
               {s.engine.Pattern, s.engine.Pattern + K * S},
               s.engine.ChiSquare};
    s.probe.Free();
    return f;
}

// A gene or a sample of zeros: its numerators vanish, its weights go to 0 in
// the first half that meets them and stay there (the denominators below eps
// give 1.0 from then on), as in the weighted round; nothing turns NaN.
TEST(GramRun, ZeroGeneAndZeroSampleEndAsInTheWeightedRound)
{
    const int G = 45, S = 19, K = 3, gene = 4, sample = 7;
    for (int rounds : {1, 2, 150}) {
        SCOPED_TRACE(testing::Message() << "rounds " << rounds);
        const Finished gram = WholeRun(true, gene, sample, rounds);
        const Finished classic = WholeRun(false, gene, sample, rounds);
        for (const Finished* f : {&gram, &classic}) {
            for (double v : f->a) ASSERT_TRUE(std::isfinite(v));
            for (double v : f->p) ASSERT_TRUE(std::isfinite(v));
            ASSERT_TRUE(std::isfinite(f->chi));
            for (int k = 0; k < K; k++) {
                EXPECT_EQ(f->a[gene * K + k], 0.0) << (f == &gram ? "gram" : "classic");
                EXPECT_EQ(f->p[k * S + sample], 0.0) << (f == &gram ? "gram" : "classic");
            }
        }
        EXPECT_NEAR(gram.chi, classic.chi, 1e-9 * classic.chi);
        (void)G;
    }
}

// The two arithmetics make the same update: from the same start they part
// by rounding only (and the reconstruction's cells below eps, which these
// data do not have).
TEST(GramRun, AgreesWithTheWeightedRoundToRounding)
{
    const Finished gram = WholeRun(true, -1, -1, 300);
    const Finished classic = WholeRun(false, -1, -1, 300);
    EXPECT_NEAR(gram.chi, classic.chi, 1e-9 * classic.chi);
    for (size_t i = 0; i < gram.p.size(); i++) EXPECT_NEAR(gram.p[i], classic.p[i], 1e-9);
    for (size_t i = 0; i < gram.a.size(); i++)
        EXPECT_NEAR(gram.a[i], classic.a[i], 1e-9 * (1.0 + std::fabs(classic.a[i])));
    // And a whole run on several threads is the run on one, bit for bit.
    for (int threads : {2, 3}) {
        const Finished t = WholeRun(true, -1, -1, 300, threads);
        EXPECT_EQ(std::memcmp(t.a.data(), gram.a.data(), gram.a.size() * 8), 0) << threads;
        EXPECT_EQ(std::memcmp(t.p.data(), gram.p.data(), gram.p.size() * 8), 0) << threads;
        EXPECT_TRUE(Same(t.chi, gram.chi)) << threads;
    }
}

// A weighted run ignores the switch: the weighted round's bits.
TEST(GramRun, WeightedRunsKeepTheWeightedRound)
{
    std::vector<double> first;
    for (bool gram : {false, true}) {
        Standalone s(30, 12, 3, 1);
        RankThree(s, -1, -1);
        for (size_t i = 0; i < s.uncert.size(); i++) s.uncert[i] = 0.5 + 0.01 * static_cast<double>(i % 7);
        s.engine.UseGramForm(gram);
        s.engine.SimulateIterations = 40;
        ASSERT_EQ(s.probe.Allocate(), 1);
        EXPECT_NE(s.engine.Mock, nullptr);
        s.probe.Start();
        ASSERT_EQ(s.engine.SA_simulation(), 1);
        std::vector<double> a(s.engine.Amplitude, s.engine.Amplitude + 90);
        a.push_back(s.engine.ChiSquare);
        s.probe.Free();
        if (!gram) first = a;
        else EXPECT_EQ(std::memcmp(a.data(), first.data(), a.size() * 8), 0);
    }
}

}  // namespace
