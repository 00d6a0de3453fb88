// The kernels of kernels.h, compiled once per instruction set: the including
// file defines ZK_ISA (the namespace of its copy), ZK_VEC (its widest vector
// type) and ZK_TABLE (the name of its table), and is compiled with the flags
// of its set. Code compiled for the wider set from the start gets its
// broadcasts right, which baseline code inlined into a target("avx2")
// function does not. Everything here but the table has internal linkage, so
// no function compiled for a wider set can stand in, at link time, for one
// that baseline code calls.
#if !defined(ZK_ISA) || !defined(ZK_VEC) || !defined(ZK_TABLE)
#error "define ZK_ISA, ZK_VEC and ZK_TABLE before including kernels_impl.h"
#endif

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "kernels.h"

#define ZK_INLINE inline __attribute__((always_inline))

namespace zarno::kernels {
namespace ZK_ISA {
namespace {

typedef double V2 __attribute__((vector_size(16)));
typedef double V4 __attribute__((vector_size(32)));
typedef double V8 __attribute__((vector_size(64)));
typedef long long I2 __attribute__((vector_size(16)));
typedef long long I4 __attribute__((vector_size(32)));
typedef long long I8 __attribute__((vector_size(64)));

typedef ZK_VEC Vec;

// Which parts of the work a kind does.
template <int KIND>
struct Parts {
    static constexpr bool computeMock = KIND != kWeightsOnly;
    static constexpr bool storeMock = KIND == kMockOnly || KIND == kAmplitudeHalf;
    static constexpr bool updateA = KIND == kAmplitudeHalf;
    static constexpr bool aWeights = KIND == kWeightsOnly || KIND == kPatternHalf;
    static constexpr bool pWeights = KIND == kWeightsOnly || KIND == kAmplitudeHalf;
    static constexpr bool weights = aWeights || pWeights;
    // Copies of the block's masked rows: by rows for the pattern sums (lanes
    // across samples), by samples for the amplitude sums (lanes across genes).
    static constexpr bool rowCopy = pWeights;
    static constexpr bool colCopy = aWeights;
};

// Lane count and matching integer vector of a lane type (double: one lane).
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
template <>
struct Lanes<V8> {
    static constexpr int n = 8;
    typedef I8 I;
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

// A store that bypasses the caches where the address allows it: Mock is
// written once per pass and read only passes later, so fetching its lines
// before overwriting them would only cost bandwidth.
template <class T>
ZK_INLINE void StreamStore(double* p, T v)
{
#if defined(__x86_64__)
    if constexpr (Lanes<T>::n == 1) {
        *p = v;
    } else if (reinterpret_cast<std::uintptr_t>(p) % sizeof(T) != 0) {
        Store(p, v);
    } else if constexpr (Lanes<T>::n == 2) {
        _mm_stream_pd(p, (__m128d)v);
    } else if constexpr (Lanes<T>::n == 4) {
        _mm256_stream_pd(p, (__m256d)v);
    } else {
        _mm512_stream_pd(p, (__m512d)v);
    }
#else
    Store(p, v);
#endif
}

// The same where the address is known to be a multiple of the vector size.
template <class T>
ZK_INLINE void StreamStoreAligned(double* p, T v)
{
#if defined(__x86_64__)
    if constexpr (Lanes<T>::n == 1)
        *p = v;
    else if constexpr (Lanes<T>::n == 2)
        _mm_stream_pd(p, (__m128d)v);
    else if constexpr (Lanes<T>::n == 4)
        _mm256_stream_pd(p, (__m256d)v);
    else
        _mm512_stream_pd(p, (__m512d)v);
#else
    Store(p, v);
#endif
}

template <class T, size_t... L>
ZK_INLINE T SplatLanes(double x, std::index_sequence<L...>)
{
    return T{((void)L, x)...};
}
template <class T>
ZK_INLINE T Splat(double x)
{
    return SplatLanes<T>(x, std::make_index_sequence<Lanes<T>::n>{});
}
template <>
ZK_INLINE double Splat<double>(double x)
{
    return x;
}

ZK_INLINE double Above(double x, double t)
{
    return KeepAbove(x, t);
}
template <class V>
ZK_INLINE V Above(V x, double t)
{
    typedef typename Lanes<V>::I I;
    return (V)((I)(x > Splat<V>(t)) & (I)x);
}

// The larger of two masked operands (never NaN): maxpd, one instruction.
ZK_INLINE double Max(double a, double b)
{
    return a > b ? a : b;
}
template <class V>
ZK_INLINE V Max(V a, V b)
{
    return a > b ? a : b;
}

// Whether any lane is +Inf. Masked operands are never -Inf or NaN, and +Inf
// is the largest, so one running maximum per block tells.
ZK_INLINE bool AnyInf(double x)
{
    return x == __builtin_inf();
}
template <class V>
ZK_INLINE bool AnyInf(V x)
{
    bool any = false;
    for (int i = 0; i < Lanes<V>::n; i++) any |= x[i] == __builtin_inf();
    return any;
}

// Whether any lane is NaN.
ZK_INLINE bool AnyNaN(double x)
{
    return x != x;
}
template <class V>
ZK_INLINE bool AnyNaN(V x)
{
    bool any = false;
    for (int i = 0; i < Lanes<V>::n; i++) any |= x[i] != x[i];
    return any;
}

// ---- Literal branches, for blocks with non-finite values and the row tail ----

// Where the masked copy of (row r, sample s) of the block lies.
template <int KIND>
ZK_INLINE size_t CopyIndex(int S, int r, int s)
{
    return Parts<KIND>::rowCopy ? static_cast<size_t>(r) * S + s
                                : static_cast<size_t>(s) * kRows + r;
}

template <int KIND>
ZK_INLINE void LiteralMockRows(const Pass& p, int g0, int nrows)
{
    typedef Parts<KIND> W;
    const int S = p.S, K = p.K;
    const double eps = p.eps;
    for (int r = 0; r < nrows; r++) {
        const size_t g = static_cast<size_t>(g0 + r);
        for (int s = p.s0; s < p.s1; s++) {
            const size_t e = g * S + s;
            double m;
            if (W::computeMock) {
                m = 0.0;
                for (int k = 0; k < K; k++) {
                    const double a = p.A[g * K + k];
                    const double b = p.P[static_cast<size_t>(k) * S + s];
                    if (!(a < eps) && !(b < eps)) m += a * b;
                }
                if (p.sigma != nullptr) m /= p.sigma[e];
                if (W::storeMock) p.Mock[e] = m;
            } else {
                m = p.Mock[e];
            }
            // The masked copies carry the same tests: Dp > eps exactly where
            // D > eps, and then Dp == D.
            if (W::rowCopy) {
                p.Dp[static_cast<size_t>(r) * S + s] = KeepAbove(p.D[e], eps);
                p.Mp[static_cast<size_t>(r) * S + s] = KeepAbove(m, eps);
            }
            if (W::colCopy) {
                p.DpT[static_cast<size_t>(s) * kRows + r] = KeepAbove(p.D[e], eps);
                p.MpT[static_cast<size_t>(s) * kRows + r] = KeepAbove(m, eps);
            }
        }
    }
}

// The pattern sums cover columns c0 .. c1-1 (the amplitude sums always all).
template <int KIND>
ZK_INLINE void LiteralWeightRows(const Pass& p, int g0, int nrows, int c0, int c1)
{
    typedef Parts<KIND> W;
    const int S = p.S, K = p.K;
    const double eps = p.eps;
    const double* const dp = W::rowCopy ? p.Dp : p.DpT;
    const double* const mp = W::rowCopy ? p.Mp : p.MpT;
    for (int r = 0; r < nrows; r++) {
        const size_t g = static_cast<size_t>(g0 + r);
        if (W::aWeights) {
            for (int k = 0; k < K; k++) {
                double ua = 0.0, la = 0.0;
                for (int s = 0; s < S; s++) {
                    const double b = p.P[static_cast<size_t>(k) * S + s];
                    if (!(b > eps)) continue;
                    const size_t c = CopyIndex<KIND>(S, r, s);
                    if (dp[c] > eps) ua += dp[c] * b;
                    if (mp[c] > eps) la += mp[c] * b;
                }
                p.AWout[g * K + k] = (la < eps) ? 1.0 : ua / la;
            }
        }
        if (W::pWeights) {
            for (int k = 0; k < K; k++) {
                const double a = p.A[g * K + k];
                if (!(a > eps)) continue;
                double* up = p.UP + static_cast<size_t>(k) * S;
                double* lp = p.LP + static_cast<size_t>(k) * S;
                for (int s = c0; s < c1; s++) {
                    const size_t c = CopyIndex<KIND>(S, r, s);
                    if (dp[c] > eps) up[s] += a * dp[c];
                    if (mp[c] > eps) lp[s] += a * mp[c];
                }
            }
        }
    }
}

// ---- Fast path: a block of kRows rows, all operands finite ----

// In-place transpose of an NW x NW block held as NW vectors of NW lanes.
ZK_INLINE void Transpose(V2 (&x)[2])
{
    const V2 a = x[0], b = x[1];
    x[0] = __builtin_shufflevector(a, b, 0, 2);
    x[1] = __builtin_shufflevector(a, b, 1, 3);
}
ZK_INLINE void Transpose(V4 (&x)[4])
{
    const V4 t0 = __builtin_shufflevector(x[0], x[1], 0, 4, 2, 6);
    const V4 t1 = __builtin_shufflevector(x[0], x[1], 1, 5, 3, 7);
    const V4 t2 = __builtin_shufflevector(x[2], x[3], 0, 4, 2, 6);
    const V4 t3 = __builtin_shufflevector(x[2], x[3], 1, 5, 3, 7);
    x[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    x[1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    x[2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    x[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}
ZK_INLINE void Transpose(V8 (&x)[8])
{
    V8 t[8], u[8];
    for (int i = 0; i < 8; i += 2) {
        t[i] = __builtin_shufflevector(x[i], x[i + 1], 0, 8, 2, 10, 4, 12, 6, 14);
        t[i + 1] = __builtin_shufflevector(x[i], x[i + 1], 1, 9, 3, 11, 5, 13, 7, 15);
    }
    for (int i = 0; i < 8; i += 4)
        for (int j = 0; j < 2; j++) {
            u[i + j] = __builtin_shufflevector(t[i + j], t[i + j + 2], 0, 1, 8, 9, 4, 5, 12, 13);
            u[i + j + 2] =
                __builtin_shufflevector(t[i + j], t[i + j + 2], 2, 3, 10, 11, 6, 7, 14, 15);
        }
    for (int j = 0; j < 4; j++) {
        x[j] = __builtin_shufflevector(u[j], u[j + 4], 0, 1, 2, 3, 8, 9, 10, 11);
        x[j + 4] = __builtin_shufflevector(u[j], u[j + 4], 4, 5, 6, 7, 12, 13, 14, 15);
    }
}

// Stores lane j of rows[i] (rows i of a group of NW rows starting at row r0,
// samples s .. s+NW-1) at sample s+j, row r0+i of the sample-major copy.
template <class T>
ZK_INLINE void StoreColumns(double* copyT, int s, int r0, T (&rows)[Lanes<T>::n])
{
    constexpr int NW = Lanes<T>::n;
    if constexpr (NW == 1) {
        copyT[static_cast<size_t>(s) * kRows + r0] = rows[0];
    } else {
        Transpose(rows);
        for (int j = 0; j < NW; j++)
            Store(copyT + static_cast<size_t>(s + j) * kRows + r0, rows[j]);
    }
}

// Reconstruction of the block's rows at samples s .. s+lanes-1 (sum over the
// patterns in order, then the division), and the masked copies the weights
// read; folds those copies into the running maximum top. The block's eight
// rows are eight independent sums in flight, enough to hide the add latency
// (more would not fit the registers).
// DIV: divide by sigma; STORE: how Mock is written (kPlain, kStreamAligned:
// past the caches, every row known to start a vector boundary; kStreamCheck:
// past the caches where the address allows). Fixed per pass, they are
// template arguments so that the hot loop carries no test of them.
enum { kPlain, kStreamAligned, kStreamCheck };

// Whether MockStep adds its columns' pattern sums itself: in the amplitude
// half, for the widest vectors where the set has 32 registers (a block's
// masked data and reconstruction, 16 vectors, stay in registers).
template <int KIND, class T>
constexpr bool Fused()
{
    return KIND == kAmplitudeHalf && Lanes<T>::n >= 8 && Lanes<T>::n == Lanes<Vec>::n;
}
template <int KIND, class T, bool DIV, int STORE>
ZK_INLINE void MockStep(const Pass& p, int g0, int s, T& top)
{
    typedef Parts<KIND> W;
    constexpr int NW = Lanes<T>::n;
    const int S = p.S, K = p.K;
    const double* const Pm = p.Pm;
    const double* const am = p.am;
    const double* const sigma = p.sigma;
    const double* const D = p.D;
    double* const Mock = p.Mock;
    // Locals, not p's fields: a store through a double* could alias the Pass,
    // and each would then be reloaded after every store.
    double* const Dp = p.Dp;
    double* const Mp = p.Mp;
    double* const DpT = p.DpT;
    double* const MpT = p.MpT;
    if (NW > 1 && s % 8 < NW && g0 + 2 * kRows <= p.g1) {
        // The next block's rows, a block ahead, one cache line per row and
        // stream: their loads then overlap this block's arithmetic.
        const size_t next = static_cast<size_t>(g0 + kRows) * S + s;
        for (int r = 0; r < kRows; r++) {
            const size_t e = next + static_cast<size_t>(r) * S;
            if (W::computeMock && DIV) __builtin_prefetch(sigma + e);
            if (!W::computeMock) __builtin_prefetch(Mock + e);
            if (W::weights) __builtin_prefetch(D + e);
        }
    }
    T m[kRows];
    if (W::computeMock) {
        T acc[kRows];
        for (int r = 0; r < kRows; r++) acc[r] = Splat<T>(0.0);
        for (int k = 0; k < K; k++) {
            const T b = Load<T>(Pm + static_cast<size_t>(k) * S + s);
            for (int r = 0; r < kRows; r++) acc[r] += Splat<T>(am[r * K + k]) * b;
        }
        for (int r = 0; r < kRows; r++) {
            const size_t e = static_cast<size_t>(g0 + r) * S + s;
            m[r] = DIV ? acc[r] / Load<T>(sigma + e) : acc[r];
            if (W::storeMock) {
                if (STORE == kStreamAligned)
                    StreamStoreAligned(Mock + e, m[r]);
                else if (STORE == kStreamCheck)
                    StreamStore(Mock + e, m[r]);
                else
                    Store(Mock + e, m[r]);
            }
        }
    } else {
        for (int r = 0; r < kRows; r++) m[r] = Load<T>(Mock + static_cast<size_t>(g0 + r) * S + s);
    }
    if (!W::weights) return;
    const double eps = p.eps;
    if constexpr (Fused<KIND, T>()) {
        // The pattern sums of these columns straight from the registers,
        // the block's rows in gene order, unless a masked operand is +Inf
        // (0 x Inf): then these columns take the literal branch.
        T d[kRows], mm[kRows];
        T t = Splat<T>(0.0);
        for (int r = 0; r < kRows; r++) {
            d[r] = Above(Load<T>(D + static_cast<size_t>(g0 + r) * S + s), eps);
            mm[r] = Above(m[r], eps);
            t = Max(t, Max(d[r], mm[r]));
        }
        if (__builtin_expect(AnyInf(t), 0)) {
            for (int r = 0; r < kRows; r++) {
                Store(Dp + static_cast<size_t>(r) * S + s, d[r]);
                Store(Mp + static_cast<size_t>(r) * S + s, mm[r]);
            }
            LiteralWeightRows<KIND>(p, g0, kRows, s, s + NW);
            return;
        }
        const double* const aw = p.aw;
        for (int k = 0; k < K; k++) {
            double* up = p.UP + static_cast<size_t>(k) * S + s;
            double* lp = p.LP + static_cast<size_t>(k) * S + s;
            T u = Load<T>(up), l = Load<T>(lp);
            for (int r = 0; r < kRows; r++) {
                const T a = Splat<T>(aw[r * K + k]);
                u += a * d[r];
                l += a * mm[r];
            }
            Store(up, u);
            Store(lp, l);
        }
        return;
    }
    for (int r0 = 0; r0 < kRows; r0 += NW) {
        T d[NW], mm[NW];
        for (int i = 0; i < NW; i++) {
            const size_t o = static_cast<size_t>(r0 + i) * S + s;
            d[i] = Above(Load<T>(D + static_cast<size_t>(g0) * S + o), eps);
            mm[i] = Above(m[r0 + i], eps);
            // (The pattern half checks its sums instead; see Sweep.)
            if (KIND != kPatternHalf) top = Max(top, Max(d[i], mm[i]));
            if (W::rowCopy) {
                Store(Dp + o, d[i]);
                Store(Mp + o, mm[i]);
            }
        }
        if (W::colCopy) {
            StoreColumns(DpT, s, r0, d);
            StoreColumns(MpT, s, r0, mm);
        }
    }
}

// MockStep over the block's columns s0 .. s1-1 of the pass: full vectors to
// svec, then the columns past the last full vector in narrower vectors (at
// 38 samples, one scalar step per column would cost as much as the other 32
// columns together). Each width keeps its own running maximum.
template <int KIND, bool DIV, int STORE, class T4, class T2>
ZK_INLINE void MockColumns(const Pass& p, int g0, int svec, Vec& topv, T4& top4, T2& top2,
                           double& top1)
{
    constexpr int NW = Lanes<Vec>::n;
    // Narrow stores may start anywhere: they check their own address.
    constexpr int TAIL = STORE == kPlain ? kPlain : kStreamCheck;
    const int S1 = p.s1;
    int s = p.s0;
    for (; s < svec; s += NW) MockStep<KIND, Vec, DIV, STORE>(p, g0, s, topv);
    if constexpr (NW > 4)
        if (s + 4 <= S1) MockStep<KIND, V4, DIV, TAIL>(p, g0, s, top4), s += 4;
    if constexpr (NW > 2)
        if (s + 2 <= S1) MockStep<KIND, V2, DIV, TAIL>(p, g0, s, top2), s += 2;
    for (; s < S1; s++) MockStep<KIND, double, DIV, TAIL>(p, g0, s, top1);
}

// Amplitude sums of RG groups of NW rows (from row group q0) for KC patterns
// from k0: sums over the samples in order, lanes across genes.
template <int KC, int RG>
ZK_INLINE bool AmplitudeSums(const Pass& p, int g0, int q0, int k0)
{
    constexpr int NW = Lanes<Vec>::n;
    const int S = p.S, K = p.K;
    const double eps = p.eps;
    Vec ua[RG][KC], la[RG][KC];
    for (int q = 0; q < RG; q++)
        for (int c = 0; c < KC; c++) ua[q][c] = la[q][c] = Splat<Vec>(0.0);
    const double* dt = p.DpT + (q0 * NW);
    const double* mt = p.MpT + (q0 * NW);
    const double* bt = p.PwT + k0;
    for (int s = 0; s < S; s++) {
        Vec d[RG], m[RG];
        for (int q = 0; q < RG; q++) {
            d[q] = Load<Vec>(dt + static_cast<size_t>(s) * kRows + q * NW);
            m[q] = Load<Vec>(mt + static_cast<size_t>(s) * kRows + q * NW);
        }
        for (int c = 0; c < KC; c++) {
            const Vec b = Splat<Vec>(bt[static_cast<size_t>(s) * K + c]);
            for (int q = 0; q < RG; q++) {
                ua[q][c] += d[q] * b;
                la[q][c] += m[q] * b;
            }
        }
    }
    // The quotients in vectors (IEEE division gives the same bits in any
    // lane), then scattered to their genes' rows.
    Vec all = Splat<Vec>(0.0);
    for (int q = 0; q < RG; q++)
        for (int c = 0; c < KC; c++) {
            const Vec w = la[q][c] < Splat<Vec>(eps) ? Splat<Vec>(1.0) : ua[q][c] / la[q][c];
            double* out = p.AWout + static_cast<size_t>(g0 + (q0 + q) * NW) * K + k0 + c;
            for (int i = 0; i < NW; i++) out[static_cast<size_t>(i) * K] = w[i];
            all += ua[q][c] + la[q][c];
        }
    return AnyNaN(all);
}

// Returns whether a sum came out NaN (see Sweep).
ZK_INLINE bool AmplitudeWeightsBlock(const Pass& p, int g0)
{
    constexpr int NW = Lanes<Vec>::n;
    constexpr int groups = kRows / NW;
    // Two row groups at a time where there are two, else more patterns: either
    // way enough independent sums in flight to hide the latency of the adds.
    // One row group (the widest vectors) has the registers for eight
    // patterns' sums at once: one pass over the copies instead of two.
    constexpr int RG = groups >= 2 ? 2 : 1;
    constexpr int KCmax = RG == 2 ? 2 : (NW >= 8 ? 8 : 4);
    bool nan = false;
    for (int q0 = 0; q0 < groups; q0 += RG)
        for (int k0 = 0; k0 < p.K; k0 += KCmax) {
            const int kc = p.K - k0 < KCmax ? p.K - k0 : KCmax;
            switch (kc) {
            case 8: nan |= AmplitudeSums<8 <= KCmax ? 8 : 1, RG>(p, g0, q0, k0); break;
            case 7: nan |= AmplitudeSums<7 <= KCmax ? 7 : 1, RG>(p, g0, q0, k0); break;
            case 6: nan |= AmplitudeSums<6 <= KCmax ? 6 : 1, RG>(p, g0, q0, k0); break;
            case 5: nan |= AmplitudeSums<5 <= KCmax ? 5 : 1, RG>(p, g0, q0, k0); break;
            case 4: nan |= AmplitudeSums<4 <= KCmax ? 4 : 1, RG>(p, g0, q0, k0); break;
            case 3: nan |= AmplitudeSums<3 <= KCmax ? 3 : 1, RG>(p, g0, q0, k0); break;
            case 2: nan |= AmplitudeSums<2, RG>(p, g0, q0, k0); break;
            default: nan |= AmplitudeSums<1, RG>(p, g0, q0, k0);
            }
        }
    return nan;
}

// Pattern sums at samples s .. s+lanes-1: the block's rows added in gene
// order, RH rows per pass over the patterns.
template <class T>
ZK_INLINE void PatternStep(const Pass& p, int s)
{
    constexpr int RH = Lanes<Vec>::n >= 8 ? kRows : kRows / 2;
    const int S = p.S, K = p.K;
    const double* const aw = p.aw;
    const double* const Dp = p.Dp;
    const double* const Mp = p.Mp;
    double* const UP = p.UP;
    double* const LP = p.LP;
    for (int r0 = 0; r0 < kRows; r0 += RH) {
        T d[RH], m[RH];
        for (int r = 0; r < RH; r++) {
            d[r] = Load<T>(Dp + static_cast<size_t>(r0 + r) * S + s);
            m[r] = Load<T>(Mp + static_cast<size_t>(r0 + r) * S + s);
        }
        for (int k = 0; k < K; k++) {
            double* up = UP + static_cast<size_t>(k) * S + s;
            double* lp = LP + static_cast<size_t>(k) * S + s;
            T u = Load<T>(up), l = Load<T>(lp);
            for (int r = 0; r < RH; r++) {
                const T a = Splat<T>(aw[(r0 + r) * K + k]);
                u += a * d[r];
                l += a * m[r];
            }
            Store(up, u);
            Store(lp, l);
        }
    }
}

// The block's amplitudes (times their weights first in the amplitude half)
// and their two masked copies; the block's kRows x K values lie together, so
// this goes in whole vectors. Returns whether all of them are finite.
ZK_INLINE bool PrepareBlock(const Pass& p, int g0, bool updateA)
{
    constexpr int NW = Lanes<Vec>::n;
    const int n = kRows * p.K;
    const double eps = p.eps;
    double* const a = p.A + static_cast<size_t>(g0) * p.K;
    const double* const w = updateA ? p.AW + static_cast<size_t>(g0) * p.K : nullptr;
    double* const am = p.am;
    double* const aw = p.aw;
    const Vec e = Splat<Vec>(eps), zero = Splat<Vec>(0.0);
    Vec bad = zero;  // x - x is 0 for finite x, NaN otherwise
    int i = 0;
    for (; i + NW <= n; i += NW) {
        Vec x = Load<Vec>(a + i);
        if (updateA) {
            x = x * Load<Vec>(w + i);
            Store(a + i, x);
        }
        bad = (x - x == zero) ? bad : Splat<Vec>(1.0);
        Store(am + i, x < e ? zero : x);
        Store(aw + i, x > e ? x : zero);
    }
    bool finite = true;
    for (int j = 0; j < NW; j++) finite &= bad[j] == 0.0;
    for (; i < n; i++) {
        if (updateA) a[i] = a[i] * w[i];
        finite &= Finite(a[i]);
        am[i] = KeepNotBelow(a[i], eps);
        aw[i] = KeepAbove(a[i], eps);
    }
    return finite;
}

// The whole pass, over rows g0 .. g1-1 and columns s0 .. s1-1.
template <int KIND>
void Sweep(const Pass& p)
{
    typedef Parts<KIND> W;
    constexpr int NW = Lanes<Vec>::n;
    const int K = p.K;
    const int G1 = p.g1, S0 = p.s0, S1 = p.s1;
    const bool updateA = W::updateA && p.updateA;
    const bool divide = W::computeMock && p.sigma != nullptr;
    const bool stream = W::storeMock && p.streamMock;
    const int Svec = S1 - (S1 - S0) % NW;
    double* const A = p.A;
    int g0 = p.g0;
    for (; g0 + kRows <= G1; g0 += kRows) {
        const bool finite = PrepareBlock(p, g0, updateA) && p.finiteP;
        if (!finite) {
            LiteralMockRows<KIND>(p, g0, kRows);
            if (W::weights) LiteralWeightRows<KIND>(p, g0, kRows, p.s0, p.s1);
            continue;
        }
        Vec topv = Splat<Vec>(0.0);
        // (Narrower vectors only where the set's vector is wider.)
        typedef std::conditional_t<(NW > 4), V4, double> T4;
        typedef std::conditional_t<(NW > 2), V2, double> T2;
        T4 top4 = Splat<T4>(0.0);
        T2 top2 = Splat<T2>(0.0);
        double top1 = 0.0;
        if (!divide)
            MockColumns<KIND, false, kPlain>(p, g0, Svec, topv, top4, top2, top1);
        else if (!stream)
            MockColumns<KIND, true, kPlain>(p, g0, Svec, topv, top4, top2, top1);
        else if (reinterpret_cast<std::uintptr_t>(p.Mock + static_cast<size_t>(g0) * p.S + S0) %
                     sizeof(Vec) == 0)
            MockColumns<KIND, true, kStreamAligned>(p, g0, Svec, topv, top4, top2, top1);
        else
            MockColumns<KIND, true, kStreamCheck>(p, g0, Svec, topv, top4, top2, top1);
        if (!W::weights) continue;
        if constexpr (KIND == kPatternHalf) {
            // Every masked operand is >= +0.0 and never NaN, and so is every
            // term the literal loops add: a sum comes out NaN only from a
            // term they skip, a masked +0.0 times +Inf. Without a NaN every
            // sum is theirs bit for bit; with one, the block takes their
            // branch and overwrites its weights. (Cheaper than watching
            // every operand for +Inf.)
            if (AmplitudeWeightsBlock(p, g0)) LiteralWeightRows<KIND>(p, g0, kRows, p.s0, p.s1);
            continue;
        }
        if constexpr (Fused<KIND, Vec>()) {
            // The full vectors are done; the narrower columns past them.
            if (AnyInf(top4) || AnyInf(top2) || AnyInf(top1)) {
                LiteralWeightRows<KIND>(p, g0, kRows, Svec, S1);
                continue;
            }
            int s = Svec;
            if constexpr (NW > 4)
                if (s + 4 <= S1) PatternStep<V4>(p, s), s += 4;
            if constexpr (NW > 2)
                if (s + 2 <= S1) PatternStep<V2>(p, s), s += 2;
            for (; s < S1; s++) PatternStep<double>(p, s);
            continue;
        }
        if (AnyInf(topv) || AnyInf(top4) || AnyInf(top2) || AnyInf(top1)) {
            LiteralWeightRows<KIND>(p, g0, kRows, p.s0, p.s1);
            continue;
        }
        if (W::aWeights) AmplitudeWeightsBlock(p, g0);
        if (W::pWeights) {
            int s = S0;
            for (; s < Svec; s += NW) PatternStep<Vec>(p, s);
            if constexpr (NW > 4)
                if (s + 4 <= S1) PatternStep<V4>(p, s), s += 4;
            if constexpr (NW > 2)
                if (s + 2 <= S1) PatternStep<V2>(p, s), s += 2;
            for (; s < S1; s++) PatternStep<double>(p, s);
        }
    }
    // The last rows, fewer than a block, in the literal way.
    const int rest = G1 - g0;
    if (rest > 0) {
        if (updateA)
            for (size_t k = static_cast<size_t>(g0) * K; k < static_cast<size_t>(G1) * K; k++)
                A[k] = A[k] * p.AW[k];
        LiteralMockRows<KIND>(p, g0, rest);
        if (W::weights) LiteralWeightRows<KIND>(p, g0, rest, p.s0, p.s1);
    }
#if defined(__x86_64__)
    if (W::storeMock) _mm_sfence();  // the streamed stores before any later access
#endif
}

}  // namespace

}  // namespace ZK_ISA

const SweepFn ZK_TABLE[kKinds] = {ZK_ISA::Sweep<kMockOnly>, ZK_ISA::Sweep<kWeightsOnly>,
                                         ZK_ISA::Sweep<kPatternHalf>,
                                         ZK_ISA::Sweep<kAmplitudeHalf>};

}  // namespace zarno::kernels

#undef ZK_INLINE
