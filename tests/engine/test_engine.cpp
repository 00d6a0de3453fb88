// The engine's arithmetic against a literal, loop-for-loop transcription of
// the reconstruction, the weights and the full update round. Any reordering
// of a sum shows up here as a bit difference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <limits>
#include <random>
#include <string>
#include <tuple>

#include "engine_probe.h"
#include "literal_oracle.h"

namespace {

bool Same(const double* a, const std::vector<double>& b)
{
    return std::memcmp(a, b.data(), b.size() * sizeof(double)) == 0;
}

// Bit-identical, except that any NaN matches any NaN: which operand's payload
// and sign a NaN carries through an addition is up to the compiler's operand
// order, not to the order of the sum.
bool SameUpToNaN(const double* a, const std::vector<double>& b)
{
    for (size_t k = 0; k < b.size(); k++) {
        if (std::isnan(a[k]) && std::isnan(b[k])) continue;
        if (std::memcmp(&a[k], &b[k], sizeof(double)) != 0) return false;
    }
    return true;
}

// The literal loops started from the engine's current matrices, on the data
// scaled as ScaleData scales them.
Literal Mirror(Standalone& s)
{
    const L& e = s.engine;
    const size_t GK = static_cast<size_t>(e.Ngenes) * e.Npatterns;
    const size_t KS = static_cast<size_t>(e.Npatterns) * e.Nsamples;
    Literal lit{e.Ngenes, e.Nsamples, e.Npatterns, e.uncertFlag, s.data, s.uncert,
                std::vector<double>(e.Amplitude, e.Amplitude + GK),
                std::vector<double>(e.Pattern, e.Pattern + KS),
                std::vector<double>(s.data.size()), std::vector<double>(GK),
                std::vector<double>(KS)};
    if (lit.uncertFlag != 0)
        for (size_t k = 0; k < lit.data.size(); k++) lit.data[k] = lit.data[k] / lit.uncert[k];
    return lit;
}

// The literal mirror of the engine's start, and both taken to their first
// reconstruction and weights.
Literal MirrorPrimed(Standalone& s)
{
    Literal lit = Mirror(s);
    s.probe.Scale();
    s.probe.Mock();
    s.probe.Weights();
    lit.GenerateMock();
    lit.GenerateWeights();
    return lit;
}

// Runs `rounds` rounds of engine and mirror half by half, checking after each
// half what a later operation reads: after the pattern half the patterns and
// the amplitude weights, after the amplitude half the amplitudes, Mock and
// the pattern weights.
void HalvesInLockstep(Standalone& s, Literal& lit, int rounds)
{
    L& e = s.engine;
    for (int round = 0; round < rounds; round++) {
        s.probe.HalfP();
        lit.PatternHalf();
        ASSERT_TRUE(Same(e.Pattern, lit.Pattern)) << "round " << round << " pattern half";
        ASSERT_TRUE(Same(s.probe.AW(), lit.A_Weights)) << "round " << round << " pattern half";
        s.probe.HalfA();
        lit.AmplitudeHalf();
        ASSERT_TRUE(Same(e.Amplitude, lit.Amplitude)) << "round " << round << " amplitude half";
        ASSERT_TRUE(Same(e.Mock, lit.Mock)) << "round " << round << " amplitude half";
        ASSERT_TRUE(Same(s.probe.PW(), lit.P_Weights)) << "round " << round << " amplitude half";
    }
}

// Values around the 1e-10 threshold, zeros and negatives, mixed into
// otherwise ordinary positive data.
double Tricky(std::mt19937_64& rng)
{
    static const double specials[] = {0.0, -0.0, 1e-10, 5e-11, 2e-10, -1e-10, -0.3, 1e-10 * (1 + 1e-15)};
    std::uniform_real_distribution<double> u(0.0, 1.0);
    if (u(rng) < 0.15) return specials[rng() % 8];
    return u(rng) * 10.0;
}

struct Case {
    int genes, samples, patterns, flag;
};

// Instruction sets the kernels can be held to: 0 baseline, 1 AVX2, 2 AVX-512.
bool Runnable(int simd)
{
    return simd == 0 || (simd == 1 && __builtin_cpu_supports("avx2")) ||
           (simd == 2 && __builtin_cpu_supports("avx512f"));
}

class OracleTest : public ::testing::TestWithParam<std::tuple<Case, int>> {};

// Each half is checked on what a later operation reads: after the pattern
// half the patterns and the amplitude weights (the amplitude half reads them;
// it rebuilds Mock before reading it and P_Weights are rebuilt unread), after
// the amplitude half the amplitudes, Mock and the pattern weights (the next
// pattern half rebuilds A_Weights). GenerateMock and GenerateWeights, which
// compute everything, are checked in full at the start and the end.
TEST_P(OracleTest, EveryHalfRoundIsBitIdenticalToTheLiteralLoops)
{
    const Case c = std::get<0>(GetParam());
    const int simd = std::get<1>(GetParam());
    if (!Runnable(simd)) GTEST_SKIP() << "this processor lacks instruction set " << simd;
    std::mt19937_64 rng(c.genes * 7919 + c.samples * 31 + c.patterns + c.flag);
    Standalone s(c.genes, c.samples, c.patterns, c.flag);
    s.probe.Simd(simd);
    std::uniform_real_distribution<double> u(0.05, 2.0);
    for (auto& v : s.data) v = Tricky(rng);
    for (auto& v : s.uncert) v = u(rng);
    const std::vector<double> hostData = s.data;

    ASSERT_EQ(s.probe.Allocate(), 1);
    s.probe.Start();
    // Seed the start with threshold values too.
    L& e = s.engine;
    for (int k = 0; k < c.genes * c.patterns; k += 5) e.Amplitude[k] = (k % 3 == 0) ? 1e-10 : (k % 3 == 1 ? 0.0 : 5e-11);
    for (int k = 0; k < c.patterns * c.samples; k += 7) e.Pattern[k] = (k % 2 == 0) ? 1e-10 : 0.0;

    Literal lit = Mirror(s);

    s.probe.Scale();
    ASSERT_TRUE(Same(s.probe.Work(), lit.data));
    s.probe.Mock();
    s.probe.Weights();
    lit.GenerateMock();
    lit.GenerateWeights();
    ASSERT_TRUE(Same(e.Mock, lit.Mock));
    ASSERT_TRUE(Same(s.probe.PW(), lit.P_Weights));
    ASSERT_TRUE(Same(s.probe.AW(), lit.A_Weights));

    ASSERT_NO_FATAL_FAILURE(HalvesInLockstep(s, lit, 60));
    // Updating(0) is the two halves.
    s.probe.Update(0);
    lit.PatternHalf();
    lit.AmplitudeHalf();
    EXPECT_TRUE(Same(e.Amplitude, lit.Amplitude));
    EXPECT_TRUE(Same(e.Pattern, lit.Pattern));
    EXPECT_TRUE(Same(e.Mock, lit.Mock));
    EXPECT_TRUE(Same(s.probe.PW(), lit.P_Weights));
    // The full operations on a state deep into the run.
    s.probe.Mock();
    s.probe.Weights();
    lit.GenerateMock();
    lit.GenerateWeights();
    EXPECT_TRUE(Same(e.Mock, lit.Mock));
    EXPECT_TRUE(Same(s.probe.PW(), lit.P_Weights));
    EXPECT_TRUE(Same(s.probe.AW(), lit.A_Weights));

    s.probe.DeScale();
    EXPECT_TRUE(Same(s.data.data(), hostData)) << "the host's data changed";
    s.probe.Free();
}

// Shapes cover a single element, gene counts that leave rows past the last
// block of four, sample counts that leave lanes past the last vector, and
// pattern counts that fill 1 to 4 vectors of the amplitude sums or need more.
INSTANTIATE_TEST_SUITE_P(
    Shapes, OracleTest,
    ::testing::Combine(::testing::Values(Case{1, 1, 1, 0}, Case{7, 5, 1, 1}, Case{13, 9, 3, 0},
                                         Case{13, 9, 3, 1}, Case{40, 17, 5, 1}, Case{64, 33, 4, 0},
                                         Case{101, 23, 8, 1}, Case{3, 50, 6, 1},
                                         Case{30, 14, 10, 1}, Case{37, 19, 13, 1},
                                         Case{21, 11, 17, 0}),
                       ::testing::Values(0, 1, 2)));

// ---------------------------------------------------------------------------
// One run on several threads: rows and sample columns are split, never a sum,
// so every thread count gives the literal loops' bits.

struct ThreadCase {
    Case shape;
    int threads;
};

class ThreadedOracleTest : public ::testing::TestWithParam<ThreadCase> {};

TEST_P(ThreadedOracleTest, EveryHalfRoundIsBitIdenticalToTheLiteralLoops)
{
    const Case c = GetParam().shape;
    const int threads = GetParam().threads;
    std::mt19937_64 rng(c.genes * 131 + c.samples * 17 + c.patterns + threads);
    Standalone s(c.genes, c.samples, c.patterns, c.flag);
    std::uniform_real_distribution<double> u(0.05, 2.0);
    for (auto& v : s.data) v = Tricky(rng);
    for (auto& v : s.uncert) v = u(rng);
    L& e = s.engine;
    e.UseThreads(threads);
    ASSERT_EQ(s.probe.Allocate(), 1);
    s.probe.Start();
    for (int k = 0; k < c.genes * c.patterns; k += 5) e.Amplitude[k] = (k % 2 == 0) ? 1e-10 : 0.0;
    for (int k = 0; k < c.patterns * c.samples; k += 7) e.Pattern[k] = (k % 2 == 0) ? 1e-10 : 0.0;
    Literal lit = MirrorPrimed(s);
    ASSERT_TRUE(Same(e.Mock, lit.Mock));
    ASSERT_NO_FATAL_FAILURE(HalvesInLockstep(s, lit, 25));
    // The reconstruction alone, split by rows.
    s.probe.Mock();
    lit.GenerateMock();
    EXPECT_TRUE(Same(e.Mock, lit.Mock));
    s.probe.Free();
}

std::vector<ThreadCase> ThreadCases()
{
    // Fewer rows than threads, fewer sample lines than threads, row counts
    // that leave a partial block, samples off the vector width, shapes whose
    // blocks divide evenly, and rows wide enough that the amplitude half goes
    // in column chunks (three on one thread, two on each of two).
    const Case shapes[] = {Case{1, 1, 1, 1},     Case{3, 5, 2, 1},    Case{13, 9, 3, 0},
                           Case{37, 19, 4, 1},   Case{64, 40, 3, 1},  Case{203, 45, 5, 1},
                           Case{130, 200, 8, 0}, Case{29, 23, 11, 1}, Case{17, 2100, 9, 1}};
    std::vector<ThreadCase> cases;
    for (const Case& c : shapes)
        for (int threads = 1; threads <= 4; threads++) cases.push_back({c, threads});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Shapes, ThreadedOracleTest, ::testing::ValuesIn(ThreadCases()),
                         [](const ::testing::TestParamInfo<ThreadCase>& info) {
                             const Case& c = info.param.shape;
                             return std::to_string(c.genes) + "x" + std::to_string(c.samples) +
                                    "x" + std::to_string(c.patterns) + "_u" +
                                    std::to_string(c.flag) + "_threads" +
                                    std::to_string(info.param.threads);
                         });

int TaskCount()
{
    int n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        (void)entry;
        n++;
    }
    return n;
}

// Blocks with Inf and NaN take the literal branches on each thread's range.
TEST(ThreadedRun, NonFiniteBlocksFollowTheLiteralBranches)
{
    const double inf = std::numeric_limits<double>::infinity();
    for (int threads = 2; threads <= 3; threads++) {
        SCOPED_TRACE(testing::Message() << "threads " << threads);
        const int G = 41, S = 32, K = 3;  // rows on cache lines: the columns split
        Standalone s(G, S, K, 1);
        std::mt19937_64 rng(threads);
        std::uniform_real_distribution<double> u(0.05, 2.0);
        for (auto& v : s.data) v = Tricky(rng);
        for (auto& v : s.uncert) v = u(rng);
        s.data[5 * S + 20] = inf;    // in the last thread's columns
        s.uncert[30 * S + 2] = 0.0;  // Inf scaled data and Mock, first columns
        s.engine.UseThreads(threads);
        ASSERT_EQ(s.probe.Allocate(), 1);
        s.probe.Start();
        Literal lit = MirrorPrimed(s);
        for (int round = 0; round < 3; round++) {
            s.probe.Update(0);
            lit.PatternHalf();
            lit.AmplitudeHalf();
            EXPECT_TRUE(SameUpToNaN(s.engine.Amplitude, lit.Amplitude)) << "round " << round;
            EXPECT_TRUE(SameUpToNaN(s.engine.Mock, lit.Mock)) << "round " << round;
            EXPECT_TRUE(SameUpToNaN(s.probe.PW(), lit.P_Weights)) << "round " << round;
        }
        s.probe.Free();
    }
}

// A whole run gives the same bits on any thread count; its threads start with
// the first pass and are joined when its memory is released, and a refused
// count keeps the one set before.
TEST(ThreadedRun, WholeRunSameBitsAndThreadsLiveOnlyWithTheRun)
{
    const int G = 150, S = 36, K = 4;
    std::vector<double> amplitude1, pattern1, mock1;
    const int before = TaskCount();
    for (int threads : {1, 2, 3}) {
        SCOPED_TRACE(testing::Message() << "threads " << threads);
        Standalone s(G, S, K, 1);
        std::mt19937_64 rng(77);
        std::uniform_real_distribution<double> u(0.05, 2.0);
        for (auto& v : s.data) v = u(rng);
        for (auto& v : s.uncert) v = u(rng);
        L& e = s.engine;
        e.UseThreads(threads);
        for (int wrong : {0, -3, 257}) {
            testing::internal::CaptureStdout();
            e.UseThreads(wrong);
            const std::string said = testing::internal::GetCapturedStdout();
            EXPECT_NE(said.find("threads per run must be between 1 and 256 (got " +
                                std::to_string(wrong) + "); it stays " + std::to_string(threads)),
                      std::string::npos)
                << said;
        }
        ASSERT_EQ(s.probe.Allocate(), 1);
        s.probe.Start();
        s.probe.Scale();
        EXPECT_EQ(TaskCount(), before);  // nothing started before the first pass
        e.SimulateIterations = 40;
        ASSERT_EQ(e.SA_simulation(0), 1);
        EXPECT_EQ(TaskCount(), before + threads - 1);
        std::vector<double> amplitude(e.Amplitude, e.Amplitude + G * K);
        std::vector<double> pattern(e.Pattern, e.Pattern + K * S);
        std::vector<double> mock(e.Mock, e.Mock + G * S);
        s.probe.Free();
        EXPECT_EQ(TaskCount(), before);
        if (threads == 1) {
            amplitude1 = amplitude;
            pattern1 = pattern;
            mock1 = mock;
        } else {
            EXPECT_TRUE(Same(amplitude.data(), amplitude1));
            EXPECT_TRUE(Same(pattern.data(), pattern1));
            EXPECT_TRUE(Same(mock.data(), mock1));
        }
    }
}

// Inf and NaN where the literal loops skip a term: a masked +0.0 times Inf
// would be NaN, so such blocks must follow the loops' branches. Values a host
// never sends (it refuses them) but the engine's own operations can meet.
TEST(OracleNonFinite, InfAndNaNFollowTheLiteralBranches)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    // Variant 4: Inf data where the literal loops skip every term (a row of
    // zero amplitudes, a column of zero patterns), so the weights stay finite
    // and the fast path meets +Inf in an otherwise finite block.
    for (int variant = 0; variant < 5; variant++) {
        for (int simd = 0; simd < 3; simd++) {
            if (!Runnable(simd)) continue;
            SCOPED_TRACE(testing::Message() << "variant " << variant << " simd " << simd);
            const int G = 23, S = 13, K = 4;
            Standalone s(G, S, K, 1);
            s.probe.Simd(simd);
            std::mt19937_64 rng(variant);
            std::uniform_real_distribution<double> u(0.05, 2.0);
            for (auto& v : s.data) v = Tricky(rng);
            for (auto& v : s.uncert) v = u(rng);
            if (variant == 0 || variant == 4) s.data[5 * S + 3] = inf;  // Inf data in a row block
            if (variant == 1) s.uncert[9 * S + 11] = 0.0;  // Inf scaled data and Mock
            if (variant == 1) s.uncert[2 * S + 7] = 0.0;
            ASSERT_EQ(s.probe.Allocate(), 1);
            s.probe.Start();
            L& e = s.engine;
            // Skipped terms next to the non-finite values.
            for (int k = 0; k < G * K; k += 5) e.Amplitude[k] = (k % 2 == 0) ? 0.0 : 5e-11;
            for (int k = 0; k < K * S; k += 7) e.Pattern[k] = (k % 2 == 0) ? 1e-10 : 0.0;
            if (variant == 2) e.Amplitude[6 * K + 1] = inf, e.Amplitude[13 * K + 2] = nan;
            if (variant == 3) e.Pattern[2 * S + 4] = inf;
            if (variant == 4)
                for (int k = 0; k < K; k++) e.Amplitude[5 * K + k] = e.Pattern[k * S + 3] = 0.0;
            Literal lit = MirrorPrimed(s);
            EXPECT_TRUE(SameUpToNaN(e.Mock, lit.Mock));
            EXPECT_TRUE(SameUpToNaN(s.probe.PW(), lit.P_Weights));
            EXPECT_TRUE(SameUpToNaN(s.probe.AW(), lit.A_Weights));
            for (int round = 0; round < 3; round++) {
                s.probe.HalfP();
                lit.PatternHalf();
                EXPECT_TRUE(SameUpToNaN(s.probe.AW(), lit.A_Weights)) << "round " << round;
                s.probe.HalfA();
                lit.AmplitudeHalf();
                EXPECT_TRUE(SameUpToNaN(e.Amplitude, lit.Amplitude)) << "round " << round;
                EXPECT_TRUE(SameUpToNaN(e.Mock, lit.Mock)) << "round " << round;
                EXPECT_TRUE(SameUpToNaN(s.probe.PW(), lit.P_Weights)) << "round " << round;
            }
            s.probe.Free();
        }
    }
}

// Matrices of several megabytes come from the kernel instead of the heap and
// take the streamed stores; zeroed, aligned and bit-identical all the same.
TEST(LargeRun, KernelMemoryAndStreamedStoresMatchTheLiteralLoops)
{
    const int G = 1024, S = 600, K = 3;  // Mock and the scaled data: 4.9 MB each
    Standalone s(G, S, K, 1);
    std::mt19937_64 rng(3);
    std::uniform_real_distribution<double> u(0.05, 2.0);
    for (auto& v : s.data) v = Tricky(rng);
    for (auto& v : s.uncert) v = u(rng);
    ASSERT_EQ(s.probe.Allocate(), 1);
    L& e = s.engine;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(e.Mock) % 64, 0u);
    EXPECT_EQ(*std::max_element(e.Mock, e.Mock + G * S), 0.0);
    EXPECT_EQ(*std::min_element(e.Mock, e.Mock + G * S), 0.0);
    s.probe.Start();
    Literal lit = MirrorPrimed(s);
    for (int round = 0; round < 2; round++) {
        s.probe.Update(0);
        lit.PatternHalf();
        lit.AmplitudeHalf();
    }
    EXPECT_TRUE(Same(e.Mock, lit.Mock));
    EXPECT_TRUE(Same(s.probe.PW(), lit.P_Weights));
    EXPECT_TRUE(Same(e.Amplitude, lit.Amplitude));
    s.probe.Free();
    EXPECT_EQ(e.Mock, nullptr);
}

TEST(RandomStart, SeedsFollowPatternCountAndChain)
{
    Standalone s(6, 5, 3, 0);
    s.engine.chain = 1;
    ASSERT_EQ(s.probe.Allocate(), 1);
    s.probe.Start();
    EXPECT_EQ(s.engine.SeedA, SeedA0 + 4);
    EXPECT_EQ(s.engine.SeedP, SeedP0 + 4);
    std::vector<double> p32(s.engine.Pattern, s.engine.Pattern + 15);
    for (double v : p32) {
        EXPECT_GE(v, 0.0);
        EXPECT_LE(v, 32767.0 / 32768.0);
        EXPECT_EQ(v * 32768.0, std::floor(v * 32768.0)) << "not on the 1/32768 grid";
    }
    // Same Npatterns + chain, same seeds: (3, 2) and (4, 1) share the first
    // three pattern rows.
    s.engine.chain = 2;
    s.probe.Start();
    std::vector<double> p3c2(s.engine.Pattern, s.engine.Pattern + 15);
    s.probe.Free();
    s.engine.Npatterns = 4;
    s.engine.chain = 1;
    ASSERT_EQ(s.probe.Allocate(), 1);
    s.probe.Start();
    EXPECT_EQ(s.engine.SeedP, SeedP0 + 5);
    EXPECT_EQ(std::vector<double>(s.engine.Pattern, s.engine.Pattern + 15), p3c2);
    EXPECT_NE(p3c2, p32);
    // Any id but 'A' fills pattern dimensions from the pattern seed.
    std::vector<double> other(20);
    EXPECT_EQ(s.probe.Randomize(other.data(), 'x'), SeedP0 + 5);
    EXPECT_TRUE(Same(s.engine.Pattern, other));
    s.probe.Free();
}

TEST(RandomStart, TwoEnginesDrawIndependently)
{
    // Interleaved starts on two engines give what each gives alone: there is
    // no process-wide generator on the job's path.
    Standalone a(30, 8, 4, 0), b(30, 8, 4, 0);
    a.engine.chain = 2;
    ASSERT_EQ(a.probe.Allocate(), 1);
    ASSERT_EQ(b.probe.Allocate(), 1);
    a.probe.Randomize(a.engine.Amplitude, 'A');
    b.probe.Randomize(b.engine.Amplitude, 'A');
    a.probe.Randomize(a.engine.Pattern, 'P');
    std::vector<double> interleaved(a.engine.Pattern, a.engine.Pattern + 32);
    a.probe.Start();
    EXPECT_TRUE(Same(a.engine.Pattern, interleaved));
    a.probe.Free();
    b.probe.Free();
}

TEST(Scaling, DataStayBitIdenticalAndMockReturnsToDataUnits)
{
    Standalone s(1, 2, 1, 1);
    s.data = {6.0, 0.1};
    s.uncert = {2.0, 0.3};
    s.engine.data = s.data.data();
    s.engine.uncert = s.uncert.data();
    ASSERT_EQ(s.probe.Allocate(), 1);
    EXPECT_EQ(s.probe.Scale(), 1);
    EXPECT_EQ(s.probe.Work()[0], 3.0);
    EXPECT_EQ(s.probe.Work()[1], 0.1 / 0.3);
    EXPECT_EQ(s.data[1], 0.1);
    s.engine.Mock[0] = 2.5;
    EXPECT_EQ(s.probe.DeScale(), 1);
    EXPECT_EQ(s.engine.Mock[0], 5.0);
    EXPECT_EQ(s.probe.Work(), s.data.data());
    s.engine.uncertFlag = 0;
    EXPECT_EQ(s.probe.Scale(), 0);
    EXPECT_EQ(s.probe.DeScale(), 0);
    EXPECT_EQ(s.engine.Mock[0], 5.0);
    s.probe.Free();
}

TEST(Normalization, PatternsSumToOneAndProductsStay)
{
    Standalone s(2, 2, 2, 0);
    ASSERT_EQ(s.probe.Allocate(), 1);
    L& e = s.engine;
    // Pattern 0 is (1, 3) with amplitudes (2, 4); pattern 1 is all zero.
    e.Pattern[0] = 1.0, e.Pattern[1] = 3.0, e.Pattern[2] = 0.0, e.Pattern[3] = 0.0;
    e.Amplitude[0] = 2.0, e.Amplitude[2] = 4.0, e.Amplitude[1] = 7.0, e.Amplitude[3] = 9.0;
    s.probe.Normalize();
    EXPECT_EQ(e.Pattern[0], 0.25);
    EXPECT_EQ(e.Pattern[1], 0.75);
    EXPECT_EQ(e.Amplitude[0], 8.0);
    EXPECT_EQ(e.Amplitude[2], 16.0);
    // The all-zero pattern stays zero and keeps its amplitudes, no NaN.
    EXPECT_EQ(e.Pattern[2], 0.0);
    EXPECT_EQ(e.Pattern[3], 0.0);
    EXPECT_EQ(e.Amplitude[1], 7.0);
    EXPECT_EQ(e.Amplitude[3], 9.0);
    s.probe.Free();
}

TEST(FitTest, ThresholdAndUncertaintyWeighting)
{
    Standalone s(1, 4, 1, 1);
    ASSERT_EQ(s.probe.Allocate(), 1);
    s.data = {1.0, 2.0, 5.0, 3.0};
    s.uncert = {0.5, 2.0, 1.0, 0.0};
    s.engine.data = s.data.data();
    // Squared differences: 0.25 (counted), 1e-12 (below 1e-10: skipped),
    // 4 (counted), 1 (uncertainty 0: chi-square only).
    double mock[] = {0.5, 2.0 + 1e-6, 3.0, 2.0};
    std::memcpy(s.engine.Mock, mock, sizeof mock);
    s.probe.Chi();
    EXPECT_DOUBLE_EQ(s.engine.ChiSquare, 0.25 + 4.0 + 1.0);
    EXPECT_DOUBLE_EQ(s.engine.rmsd, 0.25 * 0.25 + 4.0 * 1.0);
    s.engine.uncertFlag = 0;
    s.probe.Chi();
    EXPECT_EQ(s.engine.rmsd, s.engine.ChiSquare);
    s.probe.Free();
}

TEST(Run, StandaloneRunCountsRoundsAndReducesTheFit)
{
    // Exactly rank-3 data, which three patterns can fit.
    Standalone s(40, 12, 3, 1);
    std::mt19937_64 rng(5);
    std::uniform_real_distribution<double> u(0.1, 3.0);
    std::vector<double> a(40 * 3), p(3 * 12);
    for (auto& v : a) v = u(rng);
    for (auto& v : p) v = u(rng);
    for (int g = 0; g < 40; g++)
        for (int t = 0; t < 12; t++)
            for (int k = 0; k < 3; k++) s.data[g * 12 + t] += a[g * 3 + k] * p[k * 12 + t];
    for (auto& v : s.uncert) v = 0.1 + 0.05 * u(rng);
    const std::vector<double> host = s.data;
    L& e = s.engine;

    e.SimulateIterations = 0;
    ASSERT_EQ(e.DoSimulation(), 1);
    EXPECT_EQ(e.UsedRound, 0);
    const double startChi = e.ChiSquare;

    e.SimulateIterations = 200;
    ASSERT_EQ(e.DoSimulation(), 1);
    EXPECT_EQ(e.UsedRound, 200);
    EXPECT_LT(e.ChiSquare, startChi / 100);
    EXPECT_TRUE(Same(s.data.data(), host));
}

TEST(Sampling, AmplitudePicksCountOnlyAndPatternPicksRepairTheirColumn)
{
    Standalone s(5, 4, 2, 1);
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(0.1, 3.0);
    for (auto& v : s.data) v = u(rng);
    for (auto& v : s.uncert) v = u(rng);
    ASSERT_EQ(s.probe.Allocate(), 1);
    s.probe.Start();
    L& e = s.engine;
    s.probe.Mock();
    s.probe.Weights();
    EXPECT_EQ(e.Aspace, 10);
    EXPECT_EQ(e.TotalSpace, 18);

    const std::vector<double> A(e.Amplitude, e.Amplitude + 10), P(e.Pattern, e.Pattern + 8),
        M(e.Mock, e.Mock + 20), PW(s.probe.PW(), s.probe.PW() + 8);
    // Pattern element (1, 2) holds 0: it restarts from 1.0, so its new value is
    // its weight, and the column repair and rescaling use the old value 0.
    e.Pattern[6] = 0.0;
    s.probe.UpdateP(1, 2);
    EXPECT_EQ(e.Pattern[6], PW[6]);
    for (int g = 0; g < 5; g++) {
        const double expect = M[g * 4 + 2] + A[g * 2 + 1] * (PW[6] - 0.0) / s.uncert[g * 4 + 2];
        EXPECT_EQ(e.Mock[g * 4 + 2], expect);
        EXPECT_EQ(e.Mock[g * 4 + 1], M[g * 4 + 1]);
    }
    for (int p = 0; p < 2; p++) {
        double sum = 0.0;
        for (int g = 0; g < 5; g++) sum += (e.Mock[g * 4 + 2] - 0.0) * A[g * 2 + p];
        EXPECT_EQ(s.probe.PW()[p * 4 + 2], PW[p * 4 + 2] * sum);
        EXPECT_EQ(s.probe.PW()[p * 4 + 1], PW[p * 4 + 1]);
    }

    // Many picks: counters add up, amplitudes never change, picks stay in range.
    s.probe.SeedDraws(42);
    for (int i = 0; i < 2000; i++) s.probe.Update(i % 2 ? 1 : -1);
    long picks = 0;
    for (int k = 0; k < 10; k++) picks += e.ScannedA[k];
    for (int k = 0; k < 8; k++) picks += e.ScannedP[k];
    EXPECT_EQ(picks, 2000);
    EXPECT_TRUE(Same(e.Amplitude, A));
    EXPECT_GT(e.ScannedA[0] + e.ScannedA[9], 0);
    EXPECT_GT(e.ScannedP[7], 0);
    s.probe.Free();
}

}  // namespace
