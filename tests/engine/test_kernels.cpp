// One pass of the kernels against the literal sums written out here, where a
// full vector of columns meets +Inf in an otherwise finite block: the case in
// which a term the literal loops skip (a masked +0.0) would turn a fast sum
// into NaN. A whole run seldom gets there (the weights of the half before
// usually make the patterns non-finite first), so the pass is built by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "kernels/kernels.h"

namespace {

constexpr double kEps = 1e-10;

struct Operands {
    int G, S, K;
    std::vector<double> D, sigma, A, P;
};

// Literal reconstruction: terms whose factors fall below eps are skipped.
double LiteralMock(const Operands& o, int g, int s)
{
    double m = 0.0;
    for (int k = 0; k < o.K; k++) {
        const double a = o.A[g * o.K + k], b = o.P[k * o.S + s];
        if (!(a < kEps) && !(b < kEps)) m += a * b;
    }
    return m / o.sigma[g * o.S + s];
}

bool Same(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// Runs `kind` over every row at instruction set `level`.
void RunPass(const Operands& o, int level, int kind, std::vector<double>& awOut,
             std::vector<double>& up, std::vector<double>& lp)
{
    const int G = o.G, S = o.S, K = o.K;
    std::vector<double> A = o.A, mock(static_cast<size_t>(G) * S), pm(K * S), pwT(K * S);
    for (int k = 0; k < K; k++)
        for (int s = 0; s < S; s++) {
            pm[k * S + s] = zarno::kernels::KeepNotBelow(o.P[k * S + s], kEps);
            pwT[s * K + k] = zarno::kernels::KeepAbove(o.P[k * S + s], kEps);
        }
    awOut.assign(static_cast<size_t>(G) * K, -1.0);
    up.assign(K * S, 0.0);
    lp.assign(K * S, 0.0);
    std::vector<double> scratch(zarno::kernels::ThreadScratchSize(S, K));
    zarno::kernels::Pass p;
    p.G = G, p.S = S, p.K = K, p.g1 = G, p.s1 = S;
    p.eps = kEps;
    p.D = o.D.data();
    p.sigma = o.sigma.data();
    p.Mock = mock.data();
    p.A = A.data();
    p.updateA = false;
    p.P = o.P.data();
    p.AWout = awOut.data();
    p.UP = up.data();
    p.LP = lp.data();
    p.finiteP = true;
    p.Pm = pm.data();
    p.PwT = pwT.data();
    zarno::kernels::PlaceThreadScratch(p, scratch.data());
    zarno::kernels::Sweep(level, kind, p);
}

TEST(KernelInf, ColumnsWithInfTakeTheLiteralBranchAtEveryWidth)
{
    const double inf = std::numeric_limits<double>::infinity();
    // 16 rows (two blocks), 21 columns (full vectors of 8, 4 and 2, then 1).
    Operands o{16, 21, 3, {}, {}, {}, {}};
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> u(0.1, 2.0);
    for (auto* v : {&o.D, &o.sigma}) v->resize(static_cast<size_t>(o.G) * o.S);
    o.A.resize(o.G * o.K);
    o.P.resize(o.K * o.S);
    for (auto* v : {&o.D, &o.sigma, &o.A, &o.P})
        for (double& x : *v) x = u(rng);
    // +Inf data in block 0 at column 3 (the first vector at every width) and
    // in block 1 at column 20 (the scalar tail of the widest), each in a
    // column where one pattern is below eps: the amplitude sums skip that
    // pattern's term there, and an unmasked 0 x Inf would be NaN. Row 2
    // skips pattern 1 as well, so the pattern sums skip a term of it too.
    o.D[2 * o.S + 3] = inf;
    o.D[12 * o.S + 20] = inf;
    o.P[0 * o.S + 3] = 0.0;
    o.P[2 * o.S + 20] = 0.0;
    o.A[2 * o.K + 1] = 0.0;
    // A reconstruction of +Inf (a tiny uncertainty) in block 1, column 9.
    o.sigma[9 * o.S + 9] = 1e-320;
    o.A[9 * o.K + 0] = 1e10;

    // The literal amplitude weights and pattern sums.
    const int G = o.G, S = o.S, K = o.K;
    std::vector<double> wantAW(G * K), wantUP(K * S, 0.0), wantLP(K * S, 0.0);
    for (int g = 0; g < G; g++) {
        for (int k = 0; k < K; k++) {
            double ua = 0.0, la = 0.0;
            for (int s = 0; s < S; s++) {
                const double b = o.P[k * S + s];
                if (!(b > kEps)) continue;
                const double d = o.D[g * S + s], m = LiteralMock(o, g, s);
                if (d > kEps) ua += d * b;
                if (m > kEps) la += m * b;
            }
            wantAW[g * K + k] = (la < kEps) ? 1.0 : ua / la;
        }
        for (int k = 0; k < K; k++) {
            const double a = o.A[g * K + k];
            if (!(a > kEps)) continue;
            for (int s = 0; s < S; s++) {
                const double d = o.D[g * S + s], m = LiteralMock(o, g, s);
                if (d > kEps) wantUP[k * S + s] += a * d;
                if (m > kEps) wantLP[k * S + s] += a * m;
            }
        }
    }
    ASSERT_TRUE(std::isinf(LiteralMock(o, 9, 9)));
    for (int level = 0; level <= zarno::kernels::CpuSimdLevel(); level++) {
        SCOPED_TRACE(testing::Message() << "level " << level);
        std::vector<double> aw, up, lp;
        RunPass(o, level, zarno::kernels::kPatternHalf, aw, up, lp);
        for (int i = 0; i < G * K; i++)
            EXPECT_TRUE(Same(aw[i], wantAW[i])) << "amplitude weight " << i << ": " << aw[i]
                                                << " against " << wantAW[i];
        RunPass(o, level, zarno::kernels::kAmplitudeHalf, aw, up, lp);
        for (int i = 0; i < K * S; i++) {
            EXPECT_TRUE(Same(up[i], wantUP[i])) << "pattern sum " << i;
            EXPECT_TRUE(Same(lp[i], wantLP[i])) << "pattern sum " << i;
        }
    }
}

}  // namespace
