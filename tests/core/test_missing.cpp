// Missing cells: refused where a study cannot use them, and otherwise of
// weight exactly zero. A run with missing cells must give the bits of the
// literal update loops that leave those cells out of every sum, whatever
// values the cells hold, on any number of threads.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "Common.h"
#include "zarno/api.h"
#include "zarno/cells.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Rank-3 data with noise, uncertainties, some exact zeros and about a sixth
// of the cells missing (NaN), never a whole row or column.
struct Holes {
    int genes, samples;
    std::vector<double> values, sigmas;
    std::vector<bool> missing;
    zarno::Dataset view;

    Holes(int g, int s, bool weighted, unsigned seed = 11) : genes(g), samples(s)
    {
        std::mt19937_64 rng(seed);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        values.resize(static_cast<size_t>(g) * s);
        sigmas.resize(values.size());
        missing.assign(values.size(), false);
        for (int i = 0; i < g; i++)
            for (int j = 0; j < s; j++) {
                const size_t e = static_cast<size_t>(i) * s + j;
                double x = 0;
                for (int k = 0; k < 3; k++) x += (1 + (i * 7 + k) % 5) * (0.2 + ((j + 3 * k) % 4));
                values[e] = (i + 2 * j) % 19 == 0 ? 0.0 : x * (0.9 + 0.2 * u(rng));
                sigmas[e] = 0.1 + 0.3 * u(rng);
                missing[e] = (i + j) % 3 != 0 && u(rng) < 0.25;
                if (missing[e]) values[e] = kNaN;
            }
        view.genes = g;
        view.samples = s;
        view.values = values.data();
        view.sigmas = sigmas.data();
        view.weighted = weighted;
        view.allowMissing = true;
    }
};

// The update round as literal loops over the observed cells only: every sum
// of the engine, with a missing cell's term left out rather than weighed.
struct MaskedLiteral {
    int G, S, K;
    bool weighted;
    std::vector<double> D, sigma, A, P, M;
    std::vector<bool> missing;
    double chi = 0.0, ssr = 0.0;

    MaskedLiteral(const Holes& h, int patterns, int chain)
        : G(h.genes), S(h.samples), K(patterns), weighted(h.view.weighted), D(h.values.size()),
          sigma(h.values.size(), 1.0), A(static_cast<size_t>(G) * K), P(static_cast<size_t>(K) * S),
          M(h.values.size()), missing(h.missing)
    {
        for (size_t e = 0; e < D.size(); e++) {
            if (weighted) sigma[e] = h.sigmas[e];
            if (!missing[e]) D[e] = weighted ? h.values[e] / sigma[e] : h.values[e];
        }
        // The engine's seeded start.
        Rand15 rng;
        rng.Seed(static_cast<unsigned>(K + chain + SeedA0));
        for (double& a : A) a = rng.Next() / 32768.0;
        rng.Seed(static_cast<unsigned>(K + chain + SeedP0));
        for (double& p : P) p = rng.Next() / 32768.0;
    }

    void Mock()
    {
        for (int g = 0; g < G; g++)
            for (int s = 0; s < S; s++) {
                double m = 0.0;
                for (int k = 0; k < K; k++)
                    if (!(A[g * K + k] < eps) && !(P[k * S + s] < eps)) m += A[g * K + k] * P[k * S + s];
                M[g * S + s] = weighted ? m / sigma[g * S + s] : m;
            }
    }
    std::vector<double> PatternWeights() const
    {
        std::vector<double> w(P.size());
        for (int k = 0; k < K; k++)
            for (int s = 0; s < S; s++) {
                double up = 0.0, lp = 0.0;
                for (int g = 0; g < G; g++) {
                    const double a = A[g * K + k];
                    if (!(a > eps) || missing[g * S + s]) continue;
                    if (D[g * S + s] > eps) up += a * D[g * S + s];
                    if (M[g * S + s] > eps) lp += a * M[g * S + s];
                }
                w[k * S + s] = lp < eps ? 1.0 : up / lp;
            }
        return w;
    }
    std::vector<double> AmplitudeWeights() const
    {
        std::vector<double> w(A.size());
        for (int g = 0; g < G; g++)
            for (int k = 0; k < K; k++) {
                double ua = 0.0, la = 0.0;
                for (int s = 0; s < S; s++) {
                    const double b = P[k * S + s];
                    if (!(b > eps) || missing[g * S + s]) continue;
                    if (D[g * S + s] > eps) ua += D[g * S + s] * b;
                    if (M[g * S + s] > eps) la += M[g * S + s] * b;
                }
                w[g * K + k] = la < eps ? 1.0 : ua / la;
            }
        return w;
    }
    void Run(int rounds)
    {
        Mock();
        std::vector<double> pw = PatternWeights();
        for (int i = 0; i < rounds; i++) {
            for (size_t k = 0; k < P.size(); k++) P[k] = P[k] * pw[k];
            Mock();
            const std::vector<double> aw = AmplitudeWeights();
            for (size_t k = 0; k < A.size(); k++) A[k] = A[k] * aw[k];
            Mock();
            pw = PatternWeights();
        }
        chi = ssr = 0.0;
        for (size_t e = 0; e < D.size(); e++) {
            if (missing[e]) continue;
            const double d = (D[e] - M[e]) * (D[e] - M[e]);
            if (d < eps) continue;
            chi += d;
            if (weighted) ssr += d * (sigma[e] * sigma[e]);
        }
        if (!weighted) ssr = chi;
        for (int k = 0; k < K; k++) {
            double norm = 0.0;
            for (int s = 0; s < S; s++) norm += P[k * S + s];
            if (norm == 0.0) continue;
            for (int s = 0; s < S; s++) P[k * S + s] /= norm;
            for (int g = 0; g < G; g++) A[g * K + k] *= norm;
        }
    }
};

bool SameBits(const std::vector<double>& a, const std::vector<double>& b)
{
    return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

void ExpectSameBits(const zarno::RunResult& a, const zarno::RunResult& b)
{
    ASSERT_TRUE(a.complete()) << a.error;
    ASSERT_TRUE(b.complete()) << b.error;
    EXPECT_TRUE(SameBits(a.amplitudes, b.amplitudes));
    EXPECT_TRUE(SameBits(a.patternRows, b.patternRows));
    EXPECT_EQ(std::memcmp(&a.chiSquare, &b.chiSquare, 8), 0);
    EXPECT_EQ(std::memcmp(&a.ssr, &b.ssr, 8), 0);
}

class Collect : public zarno::JobSink {
public:
    std::vector<zarno::RunResult> runs;
    bool RunFinished(const zarno::RunView& v) override
    {
        runs.push_back(zarno::CopyRun(v));
        return true;
    }
};

struct Shape {
    int genes, samples, patterns;
    bool weighted;
};

class MissingRun : public ::testing::TestWithParam<Shape> {};

TEST_P(MissingRun, GivesTheBitsOfLiteralLoopsThatLeaveTheCellsOut)
{
    const Shape sh = GetParam();
    const Holes h(sh.genes, sh.samples, sh.weighted);
    zarno::RunOptions o;
    o.rounds = 40;
    o.threadsPerRun = 1;
    const zarno::RunResult r = zarno::RunOne(h.view, sh.patterns, 2, o);
    ASSERT_TRUE(r.complete()) << r.error;
    EXPECT_EQ(r.weighted, sh.weighted);  // the data's weighting, whatever path ran
    MaskedLiteral lit(h, sh.patterns, 2);
    lit.Run(o.rounds);
    EXPECT_TRUE(SameBits(r.amplitudes, lit.A));
    EXPECT_TRUE(SameBits(r.patternRows, lit.P));
    EXPECT_EQ(std::memcmp(&r.chiSquare, &lit.chi, 8), 0) << r.chiSquare << " " << lit.chi;
    EXPECT_EQ(std::memcmp(&r.ssr, &lit.ssr, 8), 0) << r.ssr << " " << lit.ssr;
}

TEST_P(MissingRun, NeverReadsAMissingValueAndGivesTheSameBitsOnThreads)
{
    const Shape sh = GetParam();
    Holes h(sh.genes, sh.samples, sh.weighted);
    zarno::RunOptions o;
    o.rounds = 30;
    o.threadsPerRun = 1;
    const zarno::RunResult base = zarno::RunOne(h.view, sh.patterns, 1, o);
    // A missing uncertainty makes a cell missing as well as a missing value.
    Holes other(sh.genes, sh.samples, sh.weighted);
    for (size_t e = 0; e < other.values.size(); e++)
        if (other.missing[e] && sh.weighted && e % 2 == 0) other.values[e] = 1e300, other.sigmas[e] = kNaN;
    ExpectSameBits(zarno::RunOne(other.view, sh.patterns, 1, o), base);

    zarno::JobSpec job;
    job.firstRank = job.lastRank = sh.patterns;
    job.firstChain = 1;
    job.chains = 2;
    job.run = o;
    for (int threads : {1, 2}) {
        job.threads = threads;
        job.run.threadsPerRun = 3 - threads;
        Collect c;
        ASSERT_EQ(zarno::RunJob(h.view, job, c).status, zarno::JobOutcome::kDone);
        ASSERT_EQ(c.runs.size(), 2u);
        ExpectSameBits(c.runs[0], base);
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, MissingRun,
                         ::testing::Values(Shape{37, 13, 3, true}, Shape{37, 13, 3, false},
                                           Shape{48, 24, 5, true}, Shape{48, 24, 5, false}));

TEST(MissingCells, NothingMissingLeavesEveryBitAsItWas)
{
    // allowMissing without a missing cell changes nothing.
    Holes h(30, 10, true);
    for (size_t e = 0; e < h.values.size(); e++)
        if (h.missing[e]) h.values[e] = 1.5;
    zarno::RunOptions o;
    o.rounds = 20;
    const zarno::RunResult allowed = zarno::RunOne(h.view, 3, 1, o);
    h.view.allowMissing = false;
    ExpectSameBits(allowed, zarno::RunOne(h.view, 3, 1, o));
}

TEST(MissingCells, AHoldoutDrawsItsCellsFromTheObservedOnes)
{
    for (bool weighted : {true, false}) {
        const Holes h(40, 16, weighted);
        zarno::RunOptions o;
        o.rounds = 20;
        o.holdout = 0.2;
        const zarno::RunResult r = zarno::RunOne(h.view, 3, 4, o);
        ASSERT_TRUE(r.complete()) << r.error;
        EXPECT_EQ(r.weighted, weighted);
        long long held = 0;
        for (size_t e = 0; e < h.values.size(); e++) held += zarno::HeldOut(e, 4, 0.2) && !h.missing[e];
        EXPECT_EQ(r.holdoutCells, held);
        EXPECT_TRUE(std::isfinite(r.holdoutError));
        EXPECT_TRUE(std::isfinite(r.chiSquare));
    }
}

TEST(MissingCells, AreCountedWithTheRowsAndColumnsTheyEmpty)
{
    Holes h(6, 5, true);
    std::fill(h.values.begin(), h.values.end(), 1.0);
    for (int s = 0; s < 5; s++) h.values[2 * 5 + s] = 0.0;  // gene 2: all zero
    for (int g = 0; g < 6; g++) h.values[g * 5 + 4] = 0.0;  // sample 4: all zero
    h.values[0] = kNaN;
    h.sigmas[1] = kNaN;  // missing by its uncertainty
    zarno::CellCounts c = zarno::CountCells(h.view);
    EXPECT_EQ(c.missing, 2);
    EXPECT_EQ(c.Observed(), 28);
    EXPECT_EQ(c.zeroGenes, 1);
    EXPECT_EQ(c.firstZeroGene, 2);
    EXPECT_EQ(c.zeroSamples, 1);
    EXPECT_EQ(c.firstZeroSample, 4);
    EXPECT_EQ(c.emptyGenes + c.emptySamples, 0);
    EXPECT_TRUE(c.anyAboveZero);
    h.view.allowMissing = false;  // then nothing is missing: NaN is a fault
    EXPECT_EQ(zarno::CountCells(h.view).missing, 0);
    EXPECT_EQ(zarno::CheckValues(h.view).code, zarno::Refusal::kValue);
}

TEST(MissingCells, ChecksRefuseWhatCannotBeFitted)
{
    using zarno::Refusal;
    Holes h(6, 5, false);
    std::fill(h.values.begin(), h.values.end(), 2.0);
    EXPECT_FALSE(zarno::CheckDataset(h.view));
    h.values[7] = std::numeric_limits<double>::infinity();  // Inf is never missing
    EXPECT_EQ(zarno::CheckDataset(h.view).code, Refusal::kValue);
    h.values[7] = kNaN;
    EXPECT_FALSE(zarno::CheckDataset(h.view));

    // Every cell of gene 3 missing: named, with the count.
    h.view.geneNames = {"a", "b", "c", "d", "e", "f"};
    for (int s = 0; s < 5; s++) h.values[3 * 5 + s] = kNaN;
    Refusal r = zarno::CheckDataset(h.view);
    EXPECT_EQ(r.code, Refusal::kNoObserved);
    EXPECT_EQ(r.gene, 3);
    EXPECT_NE(r.text.find("gene 3 (\"d\")"), std::string::npos) << r.text;
    EXPECT_NE(r.text.find("1 gene without one"), std::string::npos) << r.text;
    std::fill(h.values.begin(), h.values.end(), 2.0);
    for (int g = 0; g < 6; g++) h.values[g * 5 + 1] = h.values[g * 5 + 3] = kNaN;
    r = zarno::CheckDataset(h.view);
    EXPECT_EQ(r.code, Refusal::kNoObserved);
    EXPECT_EQ(r.sample, 1);
    EXPECT_NE(r.text.find("2 samples without one"), std::string::npos) << r.text;

    // Fewer observed cells than parameters at the largest count.
    std::fill(h.values.begin(), h.values.end(), 2.0);
    for (int e = 0; e < 12; e++) h.values[(e / 2) * 5 + (e + e / 2) % 5] = kNaN;  // 2 per gene
    ASSERT_FALSE(zarno::CheckDataset(h.view));
    zarno::JobSpec job;
    job.firstRank = 1;
    job.lastRank = 2;  // 2 x (6 + 5 - 1) = 20 parameters, 18 cells
    r = zarno::CheckJob(h.view, job);
    EXPECT_EQ(r.code, Refusal::kTooFewObserved);
    EXPECT_NE(r.text.find("18 observed cells (12 missing) for 20 free parameters"), std::string::npos)
        << r.text;
    job.lastRank = 1;
    EXPECT_FALSE(zarno::CheckJob(h.view, job));
    // The classic rules neither count cells nor refuse this.
    job.lastRank = 2;
    EXPECT_FALSE(zarno::CheckJob(h.view, job, zarno::Rules::kClassic));
}

TEST(Checks, DataWithNothingAboveZeroAreNoStudy)
{
    Holes h(5, 4, false);
    std::fill(h.values.begin(), h.values.end(), 0.0);
    h.view.allowMissing = false;
    const zarno::Refusal r = zarno::CheckDataset(h.view);
    EXPECT_EQ(r.code, zarno::Refusal::kNothingAbove);
    EXPECT_NE(r.text.find("nothing to factorize"), std::string::npos);
    EXPECT_FALSE(zarno::CheckValues(h.view));  // the classic entry's check runs them
    h.values[5] = -1.0;
    EXPECT_EQ(zarno::CheckDataset(h.view).code, zarno::Refusal::kNothingAbove);
    h.values[6] = 1e-300;
    EXPECT_FALSE(zarno::CheckDataset(h.view));
}

TEST(RunFault, NamesWhatIsNotFinite)
{
    std::vector<double> a = {1.0, 2.0, 3.0, 4.0}, p = {0.5, 0.5, 0.25, 0.75};
    zarno::RunView v;
    v.genes = 2, v.samples = 2, v.patterns = 2;
    v.amplitudes = a.data();
    v.patternRows = p.data();
    v.chiSquare = 3.0, v.ssr = 4.0;
    EXPECT_EQ(zarno::RunFault(v), "");
    a[3] = std::numeric_limits<double>::infinity();
    a[2] = kNaN;
    EXPECT_EQ(zarno::RunFault(v), "2 of the amplitudes are not finite (gene 2, pattern 1: NaN)");
    a[2] = a[3] = 1.0;
    p[1] = -std::numeric_limits<double>::infinity();
    EXPECT_EQ(zarno::RunFault(v), "1 of the pattern values are not finite (pattern 1, sample 2: -inf)");
    v.ssr = std::numeric_limits<double>::infinity();
    EXPECT_EQ(zarno::RunFault(v), "the residual sum is inf");
    v.chiSquare = kNaN;
    EXPECT_EQ(zarno::RunFault(v), "chi-square is NaN");
}

}  // namespace
