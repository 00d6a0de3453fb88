// The rank survey's numbers on cases that can be checked by hand, and its
// degenerate cases.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <random>

#include "Common.h"
#include "zarno/survey.h"

using zarno::CountSurvey;
using zarno::Survey;
using zarno::SurveyData;
using zarno::SurveyRun;
namespace sv = zarno::survey;

namespace {

// Three well-separated patterns over 9 samples (each owns three samples) and
// amplitudes of 12 genes, every gene strongest in one pattern.
struct Truth {
    int G = 12, S = 9, P = 3;
    std::vector<double> A, Prow;
    Truth() : A(12 * 3), Prow(3 * 9, 0.0)
    {
        for (int p = 0; p < P; p++) {
            double sum = 0.0;
            for (int s = 0; s < S; s++) {
                const double v = s / 3 == p ? 1.0 + 0.1 * s : 0.01 * (s + 1);
                Prow[p * S + s] = v;
                sum += v;
            }
            for (int s = 0; s < S; s++) Prow[p * S + s] /= sum;
        }
        for (int g = 0; g < G; g++)
            for (int p = 0; p < P; p++) A[g * P + p] = g % P == p ? 5.0 + g : 0.5 + 0.1 * g;
    }
    SurveyData Data() const
    {
        SurveyData d;
        d.genes = G;
        d.samples = S;
        d.cells = G * S;
        return d;
    }
    // A run of chain c holding the truth with its patterns in the order perm
    // (perm[k] = which true pattern is the run's pattern k), optionally jittered.
    SurveyRun Run(int chain, std::vector<int> perm, double jitter = 0.0, unsigned seed = 1) const
    {
        SurveyRun r;
        r.patterns = P;
        r.chain = chain;
        r.weighted = true;
        r.chiSquare = 100.0 + chain;
        r.ssr = 10.0 + chain;
        r.amplitudes.resize(G * P);
        r.patternRows.resize(P * S);
        std::mt19937 rng(seed);
        std::uniform_real_distribution<double> u(1.0 - jitter, 1.0 + jitter);
        for (int k = 0; k < P; k++) {
            double sum = 0.0;
            for (int s = 0; s < S; s++) sum += r.patternRows[k * S + s] = Prow[perm[k] * S + s] * u(rng);
            for (int s = 0; s < S; s++) r.patternRows[k * S + s] /= sum;
            for (int g = 0; g < G; g++) r.amplitudes[g * P + k] = A[g * P + perm[k]];
        }
        return r;
    }
};

const CountSurvey& Count(const Survey& s, int P)
{
    for (const auto& c : s.counts)
        if (c.patterns == P) return c;
    throw std::runtime_error("no such count");
}

}  // namespace

TEST(SurveyBlocks, AssignmentIsTheBestOfAllPermutations)
{
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> u(-1.0, 1.0);
    for (int n = 1; n <= 6; n++)
        for (int trial = 0; trial < 20; trial++) {
            std::vector<double> cost(n * n);
            for (double& c : cost) c = u(rng);
            const std::vector<int> a = sv::Assign(cost, n);
            std::vector<int> seen(a);
            std::sort(seen.begin(), seen.end());
            for (int i = 0; i < n; i++) ASSERT_EQ(seen[i], i) << "not a permutation";
            double got = 0.0;
            for (int i = 0; i < n; i++) got += cost[i * n + a[i]];
            std::vector<int> perm(n);
            std::iota(perm.begin(), perm.end(), 0);
            double best = 1e300;
            do {
                double t = 0.0;
                for (int i = 0; i < n; i++) t += cost[i * n + perm[i]];
                best = std::min(best, t);
            } while (std::next_permutation(perm.begin(), perm.end()));
            EXPECT_NEAR(got, best, 1e-12) << "n " << n << " trial " << trial;
        }
}

TEST(SurveyBlocks, AverageLinkageMergeHeightsAndCorrelation)
{
    // Pairs {0,1} at 1 and {2,3} at 2 merge first; the two pairs then join at
    // the mean of their four cross distances, (6 + 7 + 8 + 9) / 4 = 7.5.
    const std::vector<double> d = {0, 1, 6, 7,  //
                                   1, 0, 8, 9,  //
                                   6, 8, 0, 2,  //
                                   7, 9, 2, 0};
    std::vector<double> coph;
    std::vector<int> order;
    sv::AverageLinkage(d, 4, &coph, &order);
    EXPECT_EQ(coph[0 * 4 + 1], 1.0);
    EXPECT_EQ(coph[2 * 4 + 3], 2.0);
    for (int i : {0, 1})
        for (int j : {2, 3}) EXPECT_EQ(coph[i * 4 + j], 7.5);
    ASSERT_EQ(order.size(), 4u);
    // The leaves of each pair stay next to each other.
    const auto at = [&](int leaf) { return std::find(order.begin(), order.end(), leaf) - order.begin(); };
    EXPECT_EQ(std::abs(at(0) - at(1)), 1);
    EXPECT_EQ(std::abs(at(2) - at(3)), 1);
    // The correlation is below 1 (the tree flattens 6..9 to 7.5) and exactly 1
    // against itself; a constant matrix has none.
    const auto r = sv::UpperCorrelation(d, coph, 4);
    ASSERT_TRUE(r.has_value());
    EXPECT_LT(*r, 1.0);
    EXPECT_GT(*r, 0.9);
    EXPECT_DOUBLE_EQ(*sv::UpperCorrelation(coph, coph, 4), 1.0);
    EXPECT_FALSE(sv::UpperCorrelation(std::vector<double>(16, 0.5), coph, 4).has_value());
}

TEST(SurveyBlocks, AverageLinkageEqualsTheTextbookMerging)
{
    // The textbook loop: merge the closest pair of clusters by the mean of
    // all member distances, every step searched afresh.
    std::mt19937 rng(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int n : {2, 3, 7, 30}) {
        std::vector<double> d(n * n, 0.0);
        for (int i = 0; i < n; i++)
            for (int j = i + 1; j < n; j++) d[i * n + j] = d[j * n + i] = u(rng);
        std::vector<std::vector<int>> cl;
        for (int i = 0; i < n; i++) cl.push_back({i});
        std::vector<double> want(n * n, 0.0);
        while (cl.size() > 1) {
            size_t a = 0, b = 1;
            double best = 1e300;
            for (size_t x = 0; x < cl.size(); x++)
                for (size_t y = x + 1; y < cl.size(); y++) {
                    double m = 0.0;
                    for (int i : cl[x])
                        for (int j : cl[y]) m += d[i * n + j];
                    m /= static_cast<double>(cl[x].size() * cl[y].size());
                    if (m < best) best = m, a = x, b = y;
                }
            for (int i : cl[a])
                for (int j : cl[b]) want[i * n + j] = want[j * n + i] = best;
            cl[a].insert(cl[a].end(), cl[b].begin(), cl[b].end());
            cl.erase(cl.begin() + b);
        }
        std::vector<double> coph;
        std::vector<int> order;
        sv::AverageLinkage(d, n, &coph, &order);
        for (int i = 0; i < n * n; i++) EXPECT_NEAR(coph[i], want[i], 1e-12) << "n " << n << " cell " << i;
        std::sort(order.begin(), order.end());
        for (int i = 0; i < n; i++) EXPECT_EQ(order[i], i);
    }
}

TEST(SurveyBlocks, CosineOfZeroVectorIsZeroNotNaN)
{
    const double z[3] = {0, 0, 0}, x[3] = {1, 2, 3}, y[3] = {2, 4, 6};
    EXPECT_EQ(sv::Cosine(z, x, 3), 0.0);
    EXPECT_NEAR(sv::Cosine(x, y, 3), 1.0, 1e-15);
}

TEST(Survey, IdenticalChainsAreFullyStableAndTwoCleanGroupsHaveCopheneticOne)
{
    Truth t;
    std::vector<SurveyRun> runs;
    for (int c = 1; c <= 4; c++) runs.push_back(t.Run(c, {0, 1, 2}));
    const Survey s = zarno::RunSurvey(t.Data(), runs);
    const CountSurvey& k = Count(s, 3);
    ASSERT_EQ(k.chains.size(), 4u);
    EXPECT_NEAR(*k.meanStability, 1.0, 1e-12);
    EXPECT_NEAR(*k.minStability, 1.0, 1e-12);
    EXPECT_NEAR(*k.minMatch, 1.0, 1e-12);
    // Every chain puts samples 0-2, 3-5, 6-8 together: consensus 0 or 1.
    for (int i = 0; i < 9; i++)
        for (int j = 0; j < 9; j++) EXPECT_EQ(k.consensus[i * 9 + j], i / 3 == j / 3 ? 1.0 : 0.0);
    EXPECT_DOUBLE_EQ(*k.cophenetic, 1.0);
    EXPECT_DOUBLE_EQ(*k.dispersion, 1.0);
    EXPECT_EQ(*k.pac, 0.0);
    EXPECT_EQ(k.chainsUsed, 4);
    EXPECT_TRUE(k.hasSd);
    for (int p = 0; p < 3; p++)
        for (int s2 = 0; s2 < 9; s2++) {
            EXPECT_NEAR(k.patternMean[p * 9 + s2], t.Prow[p * 9 + s2], 1e-15);
            EXPECT_EQ(k.patternSd[p * 9 + s2], 0.0);
        }
    EXPECT_EQ(k.Status(), "ok");
}

TEST(Survey, PermutedChainsMatchBackAndTheConsensusIsOrderedByPeak)
{
    Truth t;
    std::vector<SurveyRun> runs = {t.Run(1, {2, 0, 1}, 0.02, 1), t.Run(2, {0, 1, 2}, 0.02, 2),
                                   t.Run(3, {1, 2, 0}, 0.02, 3), t.Run(4, {2, 1, 0}, 0.02, 4)};
    const Survey s = zarno::RunSurvey(t.Data(), runs);
    const CountSurvey& k = Count(s, 3);
    // Groups are ordered by peak sample, so group g is true pattern g, and
    // each chain's assignment finds the run pattern holding it.
    const std::vector<std::vector<int>> perms = {{2, 0, 1}, {0, 1, 2}, {1, 2, 0}, {2, 1, 0}};
    for (int c = 0; c < 4; c++)
        for (int g = 0; g < 3; g++) EXPECT_EQ(perms[c][k.assignment[c][g]], g) << "chain " << c;
    EXPECT_GT(*k.minStability, 0.95);
    for (int g = 0; g < 3; g++)
        for (int gene = 0; gene < t.G; gene++)
            EXPECT_DOUBLE_EQ(k.amplitudeMean[gene * 3 + g], t.A[gene * 3 + g]);
    for (bool o : k.outlier) EXPECT_FALSE(o);
}

TEST(Survey, AnOddChainIsFlaggedLeftOutAndNeverEmptiesAGroup)
{
    Truth t;
    std::vector<SurveyRun> runs;
    for (int c = 1; c <= 6; c++) runs.push_back(t.Run(c, {0, 1, 2}, 0.01, c));
    // Chain 7: flat patterns, unlike any group.
    SurveyRun odd = t.Run(7, {0, 1, 2});
    std::mt19937 rng(3);
    std::uniform_real_distribution<double> u(0.5, 1.5);
    for (int p = 0; p < 3; p++) {
        double sum = 0.0;
        for (int s = 0; s < 9; s++) sum += odd.patternRows[p * 9 + s] = u(rng);
        for (int s = 0; s < 9; s++) odd.patternRows[p * 9 + s] /= sum;
    }
    runs.push_back(odd);
    const Survey s = zarno::RunSurvey(t.Data(), runs);
    const CountSurvey& k = Count(s, 3);
    ASSERT_EQ(k.outlier.size(), 7u);
    for (int c = 0; c < 6; c++) EXPECT_FALSE(k.outlier[c]) << c;
    EXPECT_TRUE(k.outlier[6]);
    EXPECT_EQ(k.chainsUsed, 6);
    EXPECT_NE(k.Status().find("outlier chain left out of the consensus: 7"), std::string::npos);
    // The consensus is the six good chains' mean, close to the truth.
    for (int i = 0; i < 27; i++) EXPECT_NEAR(k.patternMean[i], t.Prow[i], 0.01);

    // Two chains cannot outvote each other: nothing is flagged.
    const Survey two = zarno::RunSurvey(t.Data(), {runs[0], odd});
    for (bool o : Count(two, 3).outlier) EXPECT_FALSE(o);
    EXPECT_EQ(Count(two, 3).chainsUsed, 2);
}

TEST(Survey, OneChainGivesNoStabilityAndNoSuggestion)
{
    Truth t;
    const Survey s = zarno::RunSurvey(t.Data(), {t.Run(1, {0, 1, 2})});
    const CountSurvey& k = Count(s, 3);
    EXPECT_FALSE(k.meanStability.has_value());
    EXPECT_FALSE(k.minStability.has_value());
    EXPECT_FALSE(k.stable.has_value());
    EXPECT_FALSE(k.hasSd);
    EXPECT_FALSE(k.minMatch.has_value());
    EXPECT_FALSE(k.cophenetic.has_value());
    EXPECT_FALSE(k.dispersion.has_value());
    EXPECT_FALSE(k.pac.has_value());
    EXPECT_EQ(k.consensus.size(), 81u);
    EXPECT_NE(k.Status().find("one chain"), std::string::npos);
    EXPECT_FALSE(s.suggested.has_value());
    EXPECT_NE(s.note.find("one chain"), std::string::npos);
}

TEST(Survey, AllSamplesInOneGroupIsReportedNotANumber)
{
    Truth t;
    std::vector<SurveyRun> runs;
    for (int c = 1; c <= 3; c++) {
        SurveyRun r = t.Run(c, {0, 1, 2});
        // Pattern 1 dominates every sample through its amplitude column.
        for (int g = 0; g < t.G; g++) r.amplitudes[g * 3 + 0] = 1e6;
        runs.push_back(r);
    }
    const Survey s = zarno::RunSurvey(t.Data(), runs);
    const CountSurvey& k = Count(s, 3);
    for (double m : k.consensus) EXPECT_EQ(m, 1.0);
    EXPECT_FALSE(k.cophenetic.has_value());
    EXPECT_NE(k.Status().find("all samples in one group"), std::string::npos);
    EXPECT_DOUBLE_EQ(*k.dispersion, 1.0);
    EXPECT_EQ(*k.pac, 0.0);
}

TEST(Survey, DispersionAndPacOfAnAmbiguousSample)
{
    // Chains 1-3 put sample 3 with samples 0-2, chain 4 with 4-5 (P = 2, six samples).
    SurveyData d;
    d.genes = 1;
    d.samples = 6;
    d.cells = 6;
    std::vector<SurveyRun> runs;
    for (int c = 1; c <= 4; c++) {
        SurveyRun r;
        r.patterns = 2;
        r.chain = c;
        r.amplitudes = {1.0, 1.0};
        const bool with = c <= 3;
        r.patternRows = {0.3, 0.3, 0.3, with ? 0.1 : 0.0, 0.0, 0.0,  //
                         0.0, 0.0, 0.0, with ? 0.0 : 0.1, 0.45, 0.45};
        runs.push_back(r);
    }
    const Survey s = zarno::RunSurvey(d, runs);
    const CountSurvey& k = Count(s, 2);
    EXPECT_EQ(k.consensus[0 * 6 + 3], 0.75);
    EXPECT_EQ(k.consensus[3 * 6 + 4], 0.25);
    // Pairs strictly between 0.1 and 0.9: sample 3 with 0, 1, 2, 4, 5 -> 5 of 15.
    EXPECT_DOUBLE_EQ(*k.pac, 5.0 / 15.0);
    // Dispersion: 26 cells at 0 or 1 contribute 1, 10 cells at 0.75 or 0.25 contribute 0.25.
    EXPECT_DOUBLE_EQ(*k.dispersion, (26.0 + 10 * 0.25) / 36.0);
    ASSERT_TRUE(k.cophenetic.has_value());
    EXPECT_LT(*k.cophenetic, 1.0);
    EXPECT_GT(*k.cophenetic, 0.8);
}

// The survey of two identical chains holding amplitudes `a` (genes x P) and
// patterns that peak in order, one sample each, so groups keep their order.
Survey SurveyOfAmplitudes(int genes, int P, const std::vector<double>& a)
{
    SurveyData d;
    d.genes = genes;
    d.samples = P + 1;
    d.cells = static_cast<long long>(genes) * d.samples;
    std::vector<SurveyRun> runs;
    for (int c = 1; c <= 2; c++) {
        SurveyRun r;
        r.patterns = P;
        r.chain = c;
        r.amplitudes = a;
        r.patternRows.assign(static_cast<size_t>(P) * d.samples, 0.1 / P);
        for (int p = 0; p < P; p++) r.patternRows[static_cast<size_t>(p) * d.samples + p] = 0.9;
        runs.push_back(r);
    }
    return zarno::RunSurvey(d, runs);
}

TEST(Survey, TopGenesAreRankedByShareTimesRelativeAmplitude)
{
    Truth t;
    std::vector<SurveyRun> runs;
    for (int c = 1; c <= 2; c++) runs.push_back(t.Run(c, {0, 1, 2}));
    // Gene 11 equal in every pattern: its largest share is in all three.
    for (auto& r : runs)
        for (int p = 0; p < 3; p++) r.amplitudes[11 * 3 + p] = 2.0;
    zarno::SurveyOptions o;
    o.topGenes = 12;
    const Survey s = zarno::RunSurvey(t.Data(), runs, o);
    const CountSurvey& k = Count(s, 3);
    for (int g = 0; g < 3; g++) {
        double largest = 0.0;
        for (int gene = 0; gene < 12; gene++) largest = std::max(largest, k.amplitudeMean[gene * 3 + g]);
        // The three genes strongest here, then gene 11, which every pattern shares.
        ASSERT_EQ(k.topGenes[g].size(), g == 2 ? 4u : 5u);
        double previous = 2.0;
        for (const auto& top : k.topGenes[g]) {
            const double* a = &k.amplitudeMean[top.gene * 3];
            EXPECT_TRUE(top.gene % 3 == g || top.gene == 11) << top.gene;
            EXPECT_EQ(top.amplitude, a[g]);
            EXPECT_EQ(top.share, a[g] / (a[0] + a[1] + a[2]));
            EXPECT_EQ(top.score, top.share * (a[g] / largest));
            EXPECT_LE(top.score, previous);
            previous = top.score;
        }
        EXPECT_EQ(k.topGenes[g].back().gene, 11);
        EXPECT_EQ(k.Status().find("no top genes"), std::string::npos);
        EXPECT_EQ(k.topGenes[g].front().gene, g == 2 ? 8 : 9 + g);  // the largest of each
    }
}
TEST(Survey, TopGenesOfTwoPatternsAreThePatternsOwnByScore)
{
    // With two patterns every gene's z-scores were +-1/sqrt(2): the score
    // orders the genes of a pattern, and lists none of the other's.
    SurveyData d;
    d.genes = 30;
    d.samples = 4;
    d.cells = 120;
    std::vector<SurveyRun> runs;
    for (int c = 1; c <= 2; c++) {
        SurveyRun r;
        r.patterns = 2;
        r.chain = c;
        r.patternRows = {0.5, 0.5, 0.0, 0.0, 0.0, 0.0, 0.5, 0.5};
        for (int g = 0; g < 30; g++) {
            const double big = 1.0 + 0.37 * ((g * 7) % 30), small = 0.1 + 0.013 * ((g * 11) % 17);
            r.amplitudes.push_back(g % 2 == 0 ? big : small);
            r.amplitudes.push_back(g % 2 == 0 ? small : big);
        }
        runs.push_back(r);
    }
    const Survey s = zarno::RunSurvey(d, runs);
    const CountSurvey& k = Count(s, 2);
    for (int p = 0; p < 2; p++) {
        ASSERT_EQ(k.topGenes[p].size(), 15u);
        for (int r = 0; r < 15; r++) {
            EXPECT_EQ(k.topGenes[p][r].gene % 2, p) << "rank " << r;
            if (r > 0) {
                EXPECT_GT(k.topGenes[p][r - 1].score, k.topGenes[p][r].score) << r;
            }
        }
    }
}

TEST(Survey, OfTwoGenesFoundInOnePatternOnlyTheLargerRanksFirst)
{
    // Three patterns: genes 0 and 1 are found in pattern 1 only (gene 0 with
    // a trace elsewhere), gene 2 in pattern 2, gene 3 in pattern 3. A
    // z-score across the patterns is 1.1547 for genes 0 and 1 alike (gene 0
    // a hair lower) and would rank the small gene 1 first.
    const std::vector<double> a = {10.0, 0.02, 0.01,  //
                                   2.0,  0.0,  0.0,   //
                                   0.0,  4.0,  0.0,   //
                                   0.0,  0.0,  3.0};
    const Survey s = SurveyOfAmplitudes(4, 3, a);
    const CountSurvey& k = Count(s, 3);
    ASSERT_EQ(k.topGenes[0].size(), 2u);
    EXPECT_EQ(k.topGenes[0][0].gene, 0);
    EXPECT_EQ(k.topGenes[0][1].gene, 1);
    EXPECT_GT(k.topGenes[0][0].score, 0.99);
    EXPECT_DOUBLE_EQ(k.topGenes[0][1].score, 0.2);  // share 1, a fifth of the largest
    EXPECT_EQ(k.topGenes[0][1].share, 1.0);
    EXPECT_EQ(k.topGenes[1][0].score, 1.0);
}

TEST(Survey, APatternThatNoGenePrefersHasNoTopGenesAndSaysSo)
{
    // Four patterns; every gene has its largest share in one of the first
    // three, the fourth is a little of everything. Ranked by a z-score it
    // would list genes of negative scores.
    std::vector<double> a;
    for (int g = 0; g < 9; g++)
        for (int p = 0; p < 4; p++) a.push_back(p == g % 3 ? 3.0 + g : p == 3 ? 0.5 + 0.1 * g : 0.1);
    const Survey s = SurveyOfAmplitudes(9, 4, a);
    const CountSurvey& k = Count(s, 4);
    for (int p = 0; p < 3; p++) {
        ASSERT_EQ(k.topGenes[p].size(), 3u);
        for (const auto& t : k.topGenes[p]) {
            EXPECT_EQ(t.gene % 3, p);
            EXPECT_GT(t.score, 0.0);
        }
    }
    EXPECT_TRUE(k.topGenes[3].empty());
    EXPECT_NE(k.Status().find("P4: no gene has its largest share here"), std::string::npos) << k.Status();
}

TEST(Survey, TopGenesSkipGenesOfZerosAndListAGeneInEveryPatternItTies)
{
    const std::vector<double> a = {0.0, 0.0,   // nothing to mark
                                   2.0, 2.0,   // equal in both
                                   5.0, 1.0,
                                   1.0, 4.0};
    const Survey s = SurveyOfAmplitudes(4, 2, a);
    const CountSurvey& k = Count(s, 2);
    for (int p = 0; p < 2; p++) {
        ASSERT_EQ(k.topGenes[p].size(), 2u);
        EXPECT_EQ(k.topGenes[p][0].gene, 2 + p);
        EXPECT_EQ(k.topGenes[p][1].gene, 1);
        EXPECT_EQ(k.topGenes[p][1].share, 0.5);
    }
}

TEST(Survey, FailedAndMissingRunsAreListedAndACountWithoutRunsHasNoFigures)
{
    Truth t;
    std::vector<SurveyRun> runs = {t.Run(1, {0, 1, 2}), t.Run(2, {0, 1, 2})};
    SurveyRun failed;
    failed.patterns = 3;
    failed.chain = 3;
    failed.status = SurveyRun::kFailed;
    SurveyRun missing = failed;
    missing.chain = 4;
    missing.status = SurveyRun::kMissing;
    SurveyRun gone = missing;
    gone.patterns = 4;
    gone.chain = 1;
    runs.insert(runs.end(), {failed, missing, gone});
    const Survey s = zarno::RunSurvey(t.Data(), runs);
    const CountSurvey& k = Count(s, 3);
    EXPECT_EQ(k.chains, (std::vector<int>{1, 2}));
    EXPECT_EQ(k.failedChains, std::vector<int>{3});
    EXPECT_EQ(k.missingChains, std::vector<int>{4});
    EXPECT_NE(k.Status().find("missing chains: 4"), std::string::npos);
    EXPECT_NE(k.Status().find("failed chains: 3"), std::string::npos);
    const CountSurvey& four = Count(s, 4);
    EXPECT_TRUE(four.chains.empty());
    EXPECT_FALSE(four.chiSquare.has_value());
    EXPECT_FALSE(four.cophenetic.has_value());
    EXPECT_NE(four.Status().find("no complete run"), std::string::npos);
}

namespace {

// Runs of count P whose figures the rule sees: stable (identical chains) or
// not (each chain's patterns random), and a chi-square per degree of freedom.
std::vector<SurveyRun> Fabricated(int P, bool stable, double chiPerDof, const SurveyData& d, bool weighted)
{
    std::vector<SurveyRun> runs;
    std::mt19937 rng(P * 31 + stable);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    const double dof = d.cells - (d.genes * P + P * d.samples - P);
    std::vector<double> base(P * d.samples);
    for (int p = 0; p < P; p++)
        for (int s = 0; s < d.samples; s++) base[p * d.samples + s] = s % P == p ? 1.0 : 0.01;
    for (int c = 1; c <= 5; c++) {
        SurveyRun r;
        r.patterns = P;
        r.chain = c;
        r.weighted = weighted;
        r.chiSquare = chiPerDof * dof;
        r.ssr = r.chiSquare;
        r.amplitudes.assign(d.genes * P, 1.0);
        r.patternRows = base;
        if (!stable)
            for (double& v : r.patternRows) v = u(rng);
        runs.push_back(r);
    }
    return runs;
}

}  // namespace

TEST(Survey, SuggestionJudgesEachCountAloneAndDoesNotMoveWithTheRange)
{
    SurveyData d;
    d.genes = 40;
    d.samples = 12;
    d.cells = 480;
    // Count: stable?, chi-square per dof. 2 stable but not fitted, 3 both, 4 fitted not stable.
    const struct { int P; bool stable; double chi; } plan[] = {
        {2, true, 3.0}, {3, true, 1.05}, {4, false, 0.98}, {5, false, 0.97}, {6, true, 0.96}};
    std::vector<SurveyRun> all, narrow;
    for (const auto& p : plan) {
        auto runs = Fabricated(p.P, p.stable, p.chi, d, true);
        all.insert(all.end(), runs.begin(), runs.end());
        if (p.P >= 3 && p.P <= 4) narrow.insert(narrow.end(), runs.begin(), runs.end());
    }
    const Survey wide = zarno::RunSurvey(d, all);
    EXPECT_FALSE(*Count(wide, 2).fits);
    EXPECT_TRUE(*Count(wide, 2).stable);
    EXPECT_TRUE(*Count(wide, 3).fits);
    EXPECT_FALSE(*Count(wide, 4).stable);
    ASSERT_TRUE(wide.suggested.has_value());
    EXPECT_EQ(*wide.suggested, 3);
    // The note states the rule as it is applied: an upper limit, not a distance from 1.
    EXPECT_NE(wide.note.find("is at most 1.25"), std::string::npos) << wide.note;
    const Survey small = zarno::RunSurvey(d, narrow);
    ASSERT_TRUE(small.suggested.has_value());
    EXPECT_EQ(*small.suggested, 3);
    EXPECT_NE(small.note.find("smallest count run"), std::string::npos);

    // Held-out errors are checked against the suggestion, not used to move it.
    std::vector<SurveyRun> held = all;
    for (auto& r : held) r.holdoutError = r.patterns == 4 ? 1.0 : 2.0 + r.chain;
    const Survey h = zarno::RunSurvey(d, held);
    EXPECT_EQ(*h.suggested, 3);
    EXPECT_EQ(Count(h, 4).holdoutError->median, 1.0);
    EXPECT_EQ(Count(h, 3).holdoutError->median, 5.0);
    EXPECT_NE(h.note.find("held-out error is lowest at 4 patterns"), std::string::npos) << h.note;
    for (auto& r : held) r.holdoutError = r.patterns == 3 ? 1.0 : 2.0;
    EXPECT_NE(zarno::RunSurvey(d, held).note.find("held-out error agrees"), std::string::npos);

    // Nothing both stable and fitted: no guess, and the note says which were which.
    std::vector<SurveyRun> none = Fabricated(2, true, 3.0, d, true);
    auto unstable = Fabricated(4, false, 0.98, d, true);
    none.insert(none.end(), unstable.begin(), unstable.end());
    const Survey n = zarno::RunSurvey(d, none);
    EXPECT_FALSE(n.suggested.has_value());
    EXPECT_NE(n.note.find("stable: 2; fitted: 4"), std::string::npos);

    // Unweighted: no fit verdict; the largest stable count, said so.
    std::vector<SurveyRun> plain;
    for (const auto& p : plan) {
        auto runs = Fabricated(p.P, p.stable, p.chi, d, false);
        plain.insert(plain.end(), runs.begin(), runs.end());
    }
    const Survey u = zarno::RunSurvey(d, plain);
    EXPECT_FALSE(Count(u, 3).fits.has_value());
    EXPECT_FALSE(Count(u, 3).chiSquarePerDof.has_value());
    ASSERT_TRUE(u.suggested.has_value());
    EXPECT_EQ(*u.suggested, 6);
    EXPECT_NE(u.note.find("unweighted"), std::string::npos);
}
