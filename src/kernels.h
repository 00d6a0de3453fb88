// Dense kernels of the update round: one streaming pass over the gene rows
// that builds the reconstruction rows and the sums of both weight kinds
// together.
//
// Every sum keeps the literal order of its summation index (genes for the
// pattern sums, patterns for the reconstruction, samples for the amplitude
// sums); SIMD lanes only ever hold different, independent sums. A term the
// literal loops skip by a threshold test is added here as an exact +0.0 taken
// from a masked copy: every masked operand is >= +0.0, so each sum starts at
// +0.0, never becomes -0.0, and x + (+0.0) == x bit for bit. That argument
// needs finite operands (0 * Inf is NaN where the loops add nothing), so a block
// of rows with an Inf or NaN where it matters takes the literal branches
// instead. Results are bit-identical to the loops on every machine and for
// every lane width, as long as nothing contracts a * b + c into one rounding
// (the build uses -ffp-contract=off, and the wide paths use no FMA).
//
// Everything here is always_inline, so that a caller compiled for a wider ISA
// (a target("avx2") function) gets all of it compiled for that ISA. The
// helpers pass AVX vectors by value; since no call of them remains, the ABI
// note GCC gives about that (-Wpsabi) does not apply: includers silence it.
#ifndef ZARNO_KERNELS_H
#define ZARNO_KERNELS_H

#include <cstddef>
#include <cstring>
#include <limits>

namespace zk {

#define ZK_INLINE inline __attribute__((always_inline))

typedef double V2 __attribute__((vector_size(16)));
typedef double V4 __attribute__((vector_size(32)));
typedef long long I2 __attribute__((vector_size(16)));
typedef long long I4 __attribute__((vector_size(32)));

// Lane count and matching integer type of a lane type (double: one lane).
template <class T>
struct Lanes;
template <>
struct Lanes<double> {
    static constexpr int n = 1;
    typedef long long I;
};
template <>
struct Lanes<V2> {
    static constexpr int n = 2;
    typedef I2 I;
};
template <>
struct Lanes<V4> {
    static constexpr int n = 4;
    typedef I4 I;
};

template <class T>
ZK_INLINE T Load(const double* p)
{
    T v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class T>
ZK_INLINE void Store(double* p, T v)
{
    std::memcpy(p, &v, sizeof v);
}

template <class T>
ZK_INLINE T Splat(double x)
{
    T v;
    for (int i = 0; i < Lanes<T>::n; i++) v[i] = x;
    return v;
}
template <>
ZK_INLINE double Splat<double>(double x)
{
    return x;
}

// x where x > t, else +0.0 (NaN gives +0.0): the "above" tests of the weights.
ZK_INLINE double KeepAbove(double x, double t)
{
    return x > t ? x : 0.0;
}
template <class V>
ZK_INLINE V KeepAbove(V x, double t)
{
    typedef typename Lanes<V>::I I;
    return (V)((I)(x > Splat<V>(t)) & (I)x);
}

// x where !(x < t), else +0.0 (NaN is kept): the "not below" tests of the
// reconstruction.
ZK_INLINE double KeepNotBelow(double x, double t)
{
    return x < t ? 0.0 : x;
}

// All bits set where x is +Inf (masked operands are never -Inf or NaN).
ZK_INLINE long long InfBits(double x)
{
    return x == std::numeric_limits<double>::infinity() ? -1 : 0;
}
template <class V>
ZK_INLINE typename Lanes<V>::I InfBits(V x)
{
    typedef typename Lanes<V>::I I;
    return (I)(x == Splat<V>(std::numeric_limits<double>::infinity()));
}

ZK_INLINE bool AnyBits(long long m)
{
    return m != 0;
}
template <class I>
ZK_INLINE bool AnyBits(I m)
{
    long long a = 0;
    for (unsigned i = 0; i < sizeof(I) / sizeof(long long); i++) a |= m[i];
    return a != 0;
}

ZK_INLINE bool Finite(double x)
{
    return x - x == 0.0;  // Inf - Inf and NaN - NaN are NaN
}

// Rows per block of the fast path.
constexpr int kRows = 4;

// One pass over the gene rows. Which parts run is chosen by the pointers.
struct Pass {
    int G = 0, S = 0, K = 0;
    double eps = 0.0;
    const double* D = nullptr;      // data as the iteration sees them (weights only)
    const double* sigma = nullptr;  // divide the reconstruction by it; null: no division
    double* Mock = nullptr;         // read when !computeMock, written when storeMock
    double* A = nullptr;            // amplitudes, G x K
    const double* AWin = nullptr;   // non-null: A = A * AWin first, row by row
    const double* P = nullptr;      // patterns, K x S
    double* AWout = nullptr;        // non-null: amplitude weights, G x K
    double* UP = nullptr;           // non-null: pattern-weight sums, K x S, zeroed
    double* LP = nullptr;           //   (numerator and denominator)
    bool computeMock = false;
    bool storeMock = false;
    bool finiteP = false;  // every pattern value is finite
    // Scratch, sized once per run.
    const double* Pm = nullptr;  // patterns masked for the reconstruction, K x S
    const double* PwT = nullptr; // patterns masked for the weights, S x Kst, transposed, zero-padded
    int Kst = 0;
    double* Dp = nullptr;  // kRows x S: data of the block, masked
    double* Mp = nullptr;  // kRows x S: reconstruction of the block, masked
    double* am = nullptr;  // kRows x K: amplitudes of the block, masked for the reconstruction
    double* aw = nullptr;  // kRows x K: the same, masked for the weights

    bool Weights() const { return AWout != nullptr || UP != nullptr; }
};

// ---- Literal branches, for blocks with non-finite values and the row tail ----

ZK_INLINE void LiteralMockRows(const Pass& p, int g0, int nrows)
{
    const int S = p.S, K = p.K;
    for (int r = 0; r < nrows; r++) {
        const size_t g = static_cast<size_t>(g0 + r);
        for (int s = 0; s < S; s++) {
            const size_t e = g * S + s;
            double m;
            if (p.computeMock) {
                m = 0.0;
                for (int k = 0; k < K; k++) {
                    const double a = p.A[g * K + k];
                    const double b = p.P[static_cast<size_t>(k) * S + s];
                    if (!(a < p.eps) && !(b < p.eps)) m += a * b;
                }
                if (p.sigma != nullptr) m /= p.sigma[e];
                if (p.storeMock) p.Mock[e] = m;
            } else {
                m = p.Mock[e];
            }
            if (p.Weights()) {
                // Masked copies carry the same tests: Dp > eps exactly where D > eps,
                // and then Dp == D.
                p.Dp[static_cast<size_t>(r) * S + s] = KeepAbove(p.D[e], p.eps);
                p.Mp[static_cast<size_t>(r) * S + s] = KeepAbove(m, p.eps);
            }
        }
    }
}

ZK_INLINE void LiteralWeightRows(const Pass& p, int g0, int nrows)
{
    const int S = p.S, K = p.K;
    for (int r = 0; r < nrows; r++) {
        const size_t g = static_cast<size_t>(g0 + r);
        const double* dp = p.Dp + static_cast<size_t>(r) * S;
        const double* mp = p.Mp + static_cast<size_t>(r) * S;
        if (p.AWout != nullptr) {
            for (int k = 0; k < K; k++) {
                double ua = 0.0, la = 0.0;
                for (int s = 0; s < S; s++) {
                    const double b = p.P[static_cast<size_t>(k) * S + s];
                    if (!(b > p.eps)) continue;
                    if (dp[s] > p.eps) ua += dp[s] * b;
                    if (mp[s] > p.eps) la += mp[s] * b;
                }
                p.AWout[g * K + k] = (la < p.eps) ? 1.0 : ua / la;
            }
        }
        if (p.UP != nullptr) {
            for (int k = 0; k < K; k++) {
                const double a = p.A[g * K + k];
                if (!(a > p.eps)) continue;
                double* up = p.UP + static_cast<size_t>(k) * S;
                double* lp = p.LP + static_cast<size_t>(k) * S;
                for (int s = 0; s < S; s++) {
                    if (dp[s] > p.eps) up[s] += a * dp[s];
                    if (mp[s] > p.eps) lp[s] += a * mp[s];
                }
            }
        }
    }
}

// ---- Fast path: a block of kRows rows, all operands finite ----

// Reconstruction of the block's rows at samples s .. s+lanes-1 (sum over the
// patterns in order, then the division), and the masked copies the weights
// read. ORs the Inf bits of the masked copies into inf.
template <class T>
ZK_INLINE void MockStep(const Pass& p, int g0, int s, typename Lanes<T>::I& inf)
{
    const int S = p.S, K = p.K;
    T m[kRows];
    if (p.computeMock) {
        T acc[kRows];
        for (int r = 0; r < kRows; r++) acc[r] = Splat<T>(0.0);
        for (int k = 0; k < K; k++) {
            const T b = Load<T>(p.Pm + static_cast<size_t>(k) * S + s);
            for (int r = 0; r < kRows; r++) acc[r] += Splat<T>(p.am[r * K + k]) * b;
        }
        for (int r = 0; r < kRows; r++) {
            const size_t e = static_cast<size_t>(g0 + r) * S + s;
            m[r] = p.sigma != nullptr ? acc[r] / Load<T>(p.sigma + e) : acc[r];
            if (p.storeMock) Store(p.Mock + e, m[r]);
        }
    } else {
        for (int r = 0; r < kRows; r++) m[r] = Load<T>(p.Mock + static_cast<size_t>(g0 + r) * S + s);
    }
    if (p.Weights()) {
        for (int r = 0; r < kRows; r++) {
            const T d = KeepAbove(Load<T>(p.D + static_cast<size_t>(g0 + r) * S + s), p.eps);
            const T mm = KeepAbove(m[r], p.eps);
            Store(p.Dp + static_cast<size_t>(r) * S + s, d);
            Store(p.Mp + static_cast<size_t>(r) * S + s, mm);
            inf |= InfBits(d) | InfBits(mm);
        }
    }
}

// Amplitude sums of RG rows starting at row r0 of the block, for the NK
// vectors of patterns starting at column k0: sums over the samples in order,
// lanes across patterns.
template <class V, int NK, int RG>
ZK_INLINE void AmplitudeSums(const Pass& p, int g0, int r0, int k0)
{
    constexpr int W = Lanes<V>::n;
    const int S = p.S, K = p.K;
    V ua[RG][NK], la[RG][NK];
    for (int r = 0; r < RG; r++)
        for (int j = 0; j < NK; j++) ua[r][j] = la[r][j] = Splat<V>(0.0);
    const double* bt = p.PwT + k0;
    for (int s = 0; s < S; s++) {
        V b[NK];
        for (int j = 0; j < NK; j++) b[j] = Load<V>(bt + static_cast<size_t>(s) * p.Kst + j * W);
        for (int r = 0; r < RG; r++) {
            const V d = Splat<V>(p.Dp[static_cast<size_t>(r0 + r) * S + s]);
            const V m = Splat<V>(p.Mp[static_cast<size_t>(r0 + r) * S + s]);
            for (int j = 0; j < NK; j++) {
                ua[r][j] += d * b[j];
                la[r][j] += m * b[j];
            }
        }
    }
    for (int r = 0; r < RG; r++) {
        double u[NK * W], l[NK * W];
        for (int j = 0; j < NK; j++) {
            Store(u + j * W, ua[r][j]);
            Store(l + j * W, la[r][j]);
        }
        double* out = p.AWout + static_cast<size_t>(g0 + r0 + r) * K;
        for (int k = k0; k < K && k < k0 + NK * W; k++)
            out[k] = (l[k - k0] < p.eps) ? 1.0 : u[k - k0] / l[k - k0];
    }
}

template <class V, int NK>
ZK_INLINE void AmplitudeSumsRows(const Pass& p, int g0, int k0)
{
    // Enough independent sums in flight to hide the latency of the adds.
    constexpr int RG = NK == 1 ? 4 : NK == 2 ? 2 : 1;
    for (int r0 = 0; r0 < kRows; r0 += RG) AmplitudeSums<V, NK, RG>(p, g0, r0, k0);
}

template <class V>
ZK_INLINE void AmplitudeWeightsBlock(const Pass& p, int g0)
{
    constexpr int W = Lanes<V>::n;
    for (int k0 = 0; k0 < p.K; k0 += 4 * W) {
        const int nk = (p.K - k0 + W - 1) / W;
        if (nk >= 4)
            AmplitudeSumsRows<V, 4>(p, g0, k0);
        else if (nk == 3)
            AmplitudeSumsRows<V, 3>(p, g0, k0);
        else if (nk == 2)
            AmplitudeSumsRows<V, 2>(p, g0, k0);
        else
            AmplitudeSumsRows<V, 1>(p, g0, k0);
    }
}

// Pattern sums at samples s .. s+lanes-1: the block's rows added in gene order.
template <class T>
ZK_INLINE void PatternStep(const Pass& p, int s)
{
    const int S = p.S, K = p.K;
    T d[kRows], m[kRows];
    for (int r = 0; r < kRows; r++) {
        d[r] = Load<T>(p.Dp + static_cast<size_t>(r) * S + s);
        m[r] = Load<T>(p.Mp + static_cast<size_t>(r) * S + s);
    }
    for (int k = 0; k < K; k++) {
        double* up = p.UP + static_cast<size_t>(k) * S + s;
        double* lp = p.LP + static_cast<size_t>(k) * S + s;
        T u = Load<T>(up), l = Load<T>(lp);
        for (int r = 0; r < kRows; r++) {
            const T a = Splat<T>(p.aw[r * K + k]);
            u += a * d[r];
            l += a * m[r];
        }
        Store(up, u);
        Store(lp, l);
    }
}

// The whole pass, with lane type V.
template <class V>
ZK_INLINE void Sweep(const Pass& p)
{
    typedef typename Lanes<V>::I I;
    constexpr int W = Lanes<V>::n;
    const int G = p.G, S = p.S, K = p.K;
    const int Svec = S - S % W;
    int g0 = 0;
    for (; g0 + kRows <= G; g0 += kRows) {
        bool finite = p.finiteP;
        for (int r = 0; r < kRows; r++) {
            double* a = p.A + static_cast<size_t>(g0 + r) * K;
            if (p.AWin != nullptr) {
                const double* w = p.AWin + static_cast<size_t>(g0 + r) * K;
                for (int k = 0; k < K; k++) a[k] = a[k] * w[k];
            }
            for (int k = 0; k < K; k++) {
                finite = finite && Finite(a[k]);
                p.am[r * K + k] = KeepNotBelow(a[k], p.eps);
                p.aw[r * K + k] = KeepAbove(a[k], p.eps);
            }
        }
        if (!finite) {
            LiteralMockRows(p, g0, kRows);
            if (p.Weights()) LiteralWeightRows(p, g0, kRows);
            continue;
        }
        I infv = I{};
        long long inf1 = 0;
        int s = 0;
        for (; s < Svec; s += W) MockStep<V>(p, g0, s, infv);
        for (; s < S; s++) MockStep<double>(p, g0, s, inf1);
        if (!p.Weights()) continue;
        if (AnyBits(infv) || AnyBits(inf1)) {
            LiteralWeightRows(p, g0, kRows);
            continue;
        }
        if (p.AWout != nullptr) AmplitudeWeightsBlock<V>(p, g0);
        if (p.UP != nullptr) {
            for (s = 0; s < Svec; s += W) PatternStep<V>(p, s);
            for (; s < S; s++) PatternStep<double>(p, s);
        }
    }
    // The last rows, fewer than a block, in the literal way.
    const int rest = G - g0;
    if (rest > 0) {
        if (p.AWin != nullptr)
            for (size_t k = static_cast<size_t>(g0) * K; k < static_cast<size_t>(G) * K; k++)
                p.A[k] = p.A[k] * p.AWin[k];
        LiteralMockRows(p, g0, rest);
        if (p.Weights()) LiteralWeightRows(p, g0, rest);
    }
}

#undef ZK_INLINE

}  // namespace zk

#endif
