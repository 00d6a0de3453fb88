// The kernels of gram.h, compiled once per instruction set: included by each
// kernels_<set>.cpp after kernels_impl.h, whose vector types and helpers it
// uses, with ZK_GRAM_TABLE naming this copy's table. Only lane widths differ
// between the copies; every sum keeps the order gram.h gives it.
#if !defined(ZK_ISA) || !defined(ZK_GRAM_TABLE)
#error "include kernels_impl.h and define ZK_GRAM_TABLE before gram_impl.h"
#endif

#include "gram.h"

#define GK_INLINE inline __attribute__((always_inline))
#define GK_INLINE_LAMBDA __attribute__((always_inline))

namespace zarno::kernels {
namespace ZK_ISA {
namespace {

namespace gram {

constexpr int NW = Lanes<Vec>::n;
constexpr int SV = kStrands / NW;  // vectors holding the eight strands
// Rows and patterns a block of the sample sums holds in registers, and rows
// of the residual: what each set's register file takes without spilling.
constexpr int kNumRows = NW >= 8 ? 2 : 1;
// Rows go in pairs (sharing each pattern vector's load) over long rows, and
// over short ones only up to this many patterns: beyond it the reduction of
// a pair's accumulators at the row's end crowds the registers, and one row
// at a time is faster (measured on AVX-512: 20000 x 200 x 8 and 5000 x 100 x
// 5 faster by single rows, 2000 x 100000 x 10 by pairs).
constexpr int kPairedPatterns = 4;
constexpr int kNumPatterns = NW >= 8 ? 8 : NW >= 4 ? 4 : 2;
constexpr int kResRows = NW >= 8 ? 4 : NW >= 4 ? 2 : 1;
// Rows of a panel when rows are swept in column chunks (the strands of each
// row wait in scratch between chunks).
constexpr int kChunkedPanel = 8;

typedef Vec Strands[SV];

GK_INLINE int ChunkWidth(int K)
{
    return GramChunkWidth(K);
}

GK_INLINE Vec NotBelowV(Vec x, double t)
{
    typedef typename Lanes<Vec>::I I;
    const I below = (I)(x < Splat<Vec>(t));
    return (Vec)(~below & (I)x);
}

// The eight strands' sum in the fixed tree.
GK_INLINE double Reduce(const Strands& a)
{
    double t[kStrands];
    for (int v = 0; v < SV; v++) Store(t + v * NW, a[v]);
    return ((t[0] + t[1]) + (t[2] + t[3])) + ((t[4] + t[5]) + (t[6] + t[7]));
}

// The tree of Reduce for eight sums at once, stored to out[0 .. 7] (the
// widest vectors only): the same additions, paired across the vectors.
template <class St>
GK_INLINE void Reduce8Into(double* out, const St (&a)[8])
{
    typedef std::remove_cv_t<std::remove_reference_t<decltype(a[0][0])>> V;
    V s1[4], s2[2];
    for (int i = 0; i < 4; i++) {
        const V x = __builtin_shufflevector(a[2 * i][0], a[2 * i + 1][0], 0, 8, 2, 10, 4, 12, 6, 14);
        const V y = __builtin_shufflevector(a[2 * i][0], a[2 * i + 1][0], 1, 9, 3, 11, 5, 13, 7, 15);
        s1[i] = x + y;  // (a0+a1), (b0+b1), (a2+a3), (b2+b3), ...
    }
    for (int i = 0; i < 2; i++) {
        const V x = __builtin_shufflevector(s1[2 * i], s1[2 * i + 1], 0, 1, 8, 9, 4, 5, 12, 13);
        const V y = __builtin_shufflevector(s1[2 * i], s1[2 * i + 1], 2, 3, 10, 11, 6, 7, 14, 15);
        s2[i] = x + y;  // a0..3, b0..3, c0..3, d0..3, a4..7, ...
    }
    const V x = __builtin_shufflevector(s2[0], s2[1], 0, 1, 2, 3, 8, 9, 10, 11);
    const V y = __builtin_shufflevector(s2[0], s2[1], 4, 5, 6, 7, 12, 13, 14, 15);
    Store(out, V(x + y));
}

// Eight samples of R rows from s on (all within the row).
template <int R>
GK_INLINE void LoadRows(const GramPass& p, int g, int s, Strands (&x)[R])
{
    const size_t S = static_cast<size_t>(p.S);
    for (int r = 0; r < R; r++)
        for (int v = 0; v < SV; v++) x[r][v] = Load<Vec>(p.D + (g + r) * S + s + v * NW);
}

// The first n (1 to 7) of eight doubles from `from`, +0.0 in the other lanes,
// into the strand vectors; nothing past from[n - 1] is read (masked loads
// where the set has them: a copy through the stack costs narrow rows dearly).
// A template on the vector type, so that each copy compiles only its own
// set's branch.
template <class T = Vec>
GK_INLINE void LoadPartialStrand(const double* from, int n, Strands& x)
{
#if defined(__x86_64__)
    if constexpr (Lanes<T>::n == 8) {
        x[0] = (T)_mm512_maskz_loadu_pd(static_cast<__mmask8>((1u << n) - 1u), from);
        return;
    } else if constexpr (Lanes<T>::n == 4) {
        const __m256i lane = _mm256_set_epi64x(3, 2, 1, 0);
        for (int v = 0; v < SV; v++) {
            const __m256i mask = _mm256_cmpgt_epi64(_mm256_set1_epi64x(n - v * NW), lane);
            x[v] = (T)_mm256_maskload_pd(from + v * NW, mask);
        }
        return;
    }
#endif
    double t[kStrands] = {0, 0, 0, 0, 0, 0, 0, 0};
    for (int j = 0; j < n; j++) t[j] = from[j];
    for (int v = 0; v < SV; v++) x[v] = Load<Vec>(t + v * NW);
}

// The same for the last, partial strand of samples: +0.0 past the row's end.
template <int R>
GK_INLINE void LoadRowsTail(const GramPass& p, int g, int s, Strands (&x)[R])
{
    const int S = p.S;
    for (int r = 0; r < R; r++)
        LoadPartialStrand(p.D + static_cast<size_t>(g + r) * S + s, S - s, x[r]);
}

// Steps over the strands of samples c0 .. c1-1 (c1 a multiple of 8, at most
// S8): whole strands with plain loads, the last partial one padded.
template <int R, class F>
GK_INLINE void ForStrands(const GramPass& p, int g, int c0, int c1, F step)
{
    const int whole = p.S / kStrands * kStrands;
    const int end = c1 < whole ? c1 : whole;
    int s = c0;
    for (; s < end; s += kStrands) {
        Strands x[R];
        LoadRows<R>(p, g, s, x);
        step(s, x);
    }
    if (s < c1) {
        Strands x[R];
        LoadRowsTail<R>(p, g, s, x);
        step(s, x);
    }
}

// The numerators X Pw^T of R rows from g and KC patterns from k0, over the
// samples c0 .. c1-1 of a chunk (c1 a multiple of 8, at most S8). The strands
// start at +0.0 in the first chunk and end in AW after the last; between
// chunks they wait in buf (row r, pattern k: buf + (r K + k) 8).
template <int R, int KC>
GK_INLINE void Numerators(const GramPass& p, int g, int k0, int c0, int c1, bool first,
                          bool last, double* buf)
{
    const int K = p.K;
    const size_t S8 = static_cast<size_t>(p.S8);
    const double eps = p.eps;
    Strands acc[R][KC];
    for (int r = 0; r < R; r++)
        for (int c = 0; c < KC; c++)
            for (int v = 0; v < SV; v++)
                acc[r][c][v] = first ? Splat<Vec>(0.0)
                                     : Load<Vec>(buf + (static_cast<size_t>(r) * K + k0 + c) *
                                                           kStrands + v * NW);
    const double* const Pw = p.Pw + static_cast<size_t>(k0) * S8;
    ForStrands<R>(p, g, c0, c1, [&](int s, Strands (&x)[R]) GK_INLINE_LAMBDA {
        for (int r = 0; r < R; r++)
            for (int v = 0; v < SV; v++) x[r][v] = Above(x[r][v], eps);
        for (int c = 0; c < KC; c++)
            for (int v = 0; v < SV; v++) {
                const Vec b = Load<Vec>(Pw + c * S8 + s + v * NW);
                for (int r = 0; r < R; r++) acc[r][c][v] += x[r][v] * b;
            }
    });
    if constexpr (KC == 8 && NW == 8) {
        if (last) {
            for (int r = 0; r < R; r++) Reduce8Into(p.AW + static_cast<size_t>(g + r) * K + k0, acc[r]);
            return;
        }
    }
    for (int r = 0; r < R; r++)
        for (int c = 0; c < KC; c++) {
            if (last) {
                p.AW[static_cast<size_t>(g + r) * K + k0 + c] = Reduce(acc[r][c]);
            } else {
                for (int v = 0; v < SV; v++)
                    Store(buf + (static_cast<size_t>(r) * K + k0 + c) * kStrands + v * NW,
                          acc[r][c][v]);
            }
        }
}

template <int R>
GK_INLINE void NumeratorsAllPatterns(const GramPass& p, int g, int c0, int c1, bool first,
                                     bool last, double* buf)
{
    for (int k0 = 0; k0 < p.K; k0 += kNumPatterns) {
        const int kc = p.K - k0 < kNumPatterns ? p.K - k0 : kNumPatterns;
        switch (kc) {
        case 8: Numerators<R, 8 <= kNumPatterns ? 8 : 1>(p, g, k0, c0, c1, first, last, buf); break;
        case 7: Numerators<R, 7 <= kNumPatterns ? 7 : 1>(p, g, k0, c0, c1, first, last, buf); break;
        case 6: Numerators<R, 6 <= kNumPatterns ? 6 : 1>(p, g, k0, c0, c1, first, last, buf); break;
        case 5: Numerators<R, 5 <= kNumPatterns ? 5 : 1>(p, g, k0, c0, c1, first, last, buf); break;
        case 4: Numerators<R, 4 <= kNumPatterns ? 4 : 1>(p, g, k0, c0, c1, first, last, buf); break;
        case 3: Numerators<R, 3 <= kNumPatterns ? 3 : 1>(p, g, k0, c0, c1, first, last, buf); break;
        case 2: Numerators<R, 2>(p, g, k0, c0, c1, first, last, buf); break;
        default: Numerators<R, 1>(p, g, k0, c0, c1, first, last, buf);
        }
    }
}

// Row g's amplitude weights from its numerators (in AW) and the denominators
// A GP (the amplitudes before they move), patterns k0 .. k0 + NV x lanes - 1,
// in vectors of the padded pattern count (the division gives the same bits
// in any lane) held in registers.
template <int NV>
GK_INLINE void AmplitudeWeightsIn(const GramPass& p, int g, int k0)
{
    const int K = p.K, K8 = p.K8;
    const double eps = p.eps;
    const double* const a = p.A + static_cast<size_t>(g) * K;
    double* const aw = p.AW + static_cast<size_t>(g) * K;
    Vec la[NV];
    for (int i = 0; i < NV; i++) la[i] = Splat<Vec>(0.0);
    for (int j = 0; j < K; j++) {
        const Vec am = Splat<Vec>(KeepNotBelow(a[j], eps));
        const double* gp = p.GP + static_cast<size_t>(j) * K8 + k0;
        for (int i = 0; i < NV; i++) la[i] += am * Load<Vec>(gp + i * NW);
    }
    const int m = K - k0 < NV * NW ? K - k0 : NV * NW;
    double ua[NV * NW];
    for (int i = 0; i < NV * NW; i++) ua[i] = i < m ? aw[k0 + i] : 0.0;
    for (int i = 0; i < NV; i++) {
        const Vec w = la[i] < Splat<Vec>(eps) ? Splat<Vec>(1.0) : Load<Vec>(ua + i * NW) / la[i];
        Store(ua + i * NW, w);
    }
    for (int i = 0; i < m; i++) aw[k0 + i] = ua[i];
}

// The row's weights, then A *= AW.
GK_INLINE void AmplitudeWeights(const GramPass& p, int g)
{
    if (p.K8 <= 8) {
        AmplitudeWeightsIn<8 / NW>(p, g, 0);
    } else {
        constexpr int NV = 16 / NW;
        for (int k0 = 0; k0 < p.K8; k0 += NV * NW) AmplitudeWeightsIn<NV>(p, g, k0);
    }
    double* const a = p.A + static_cast<size_t>(g) * p.K;
    const double* const aw = p.AW + static_cast<size_t>(g) * p.K;
    for (int k = 0; k < p.K; k++) a[k] = a[k] * aw[k];
}

// The residual of R rows from g over the samples c0 .. c1-1 of a chunk: the
// reconstruction Am Pm (patterns in order), then the squares of the
// differences that are not below eps, in strands. am: the rows' masked
// amplitudes, R x K.
template <int R>
GK_INLINE void Residual(const GramPass& p, int g, int c0, int c1, bool first, bool last,
                        double* buf, const double* am)
{
    const int K = p.K;
    const size_t S8 = static_cast<size_t>(p.S8);
    const double eps = p.eps;
    Strands acc[R];
    for (int r = 0; r < R; r++)
        for (int v = 0; v < SV; v++)
            acc[r][v] = first ? Splat<Vec>(0.0) : Load<Vec>(buf + r * kStrands + v * NW);
    ForStrands<R>(p, g, c0, c1, [&](int s, Strands (&x)[R]) GK_INLINE_LAMBDA {
        Strands m[R];
        for (int r = 0; r < R; r++)
            for (int v = 0; v < SV; v++) m[r][v] = Splat<Vec>(0.0);
        for (int k = 0; k < K; k++)
            for (int v = 0; v < SV; v++) {
                const Vec b = Load<Vec>(p.Pm + k * S8 + s + v * NW);
                for (int r = 0; r < R; r++) m[r][v] += Splat<Vec>(am[r * K + k]) * b;
            }
        for (int r = 0; r < R; r++)
            for (int v = 0; v < SV; v++) {
                const Vec d = x[r][v] - m[r][v];
                acc[r][v] += NotBelowV(d * d, eps);
            }
    });
    for (int r = 0; r < R; r++) {
        if (last)
            p.rowChi[g + r] = Reduce(acc[r]);
        else
            for (int v = 0; v < SV; v++) Store(buf + r * kStrands + v * NW, acc[r][v]);
    }
}

// The numerators UP of NR rows from g at the samples s .. s+lanes-1, the
// rows added in gene order. aw: the rows' masked amplitudes, NR x K.
template <class T, int NR>
GK_INLINE void ColumnStep(const GramPass& p, int g, int s, const double* aw)
{
    const int S = p.S, K = p.K;
    const size_t S8 = static_cast<size_t>(p.S8);
    const double eps = p.eps;
    T x[NR];
    for (int r = 0; r < NR; r++) x[r] = Above(Load<T>(p.D + static_cast<size_t>(g + r) * S + s), eps);
    for (int k = 0; k < K; k++) {
        double* up = p.UP + k * S8 + s;
        T u = Load<T>(up);
        for (int r = 0; r < NR; r++) u += Splat<T>(aw[r * K + k]) * x[r];
        Store(up, u);
    }
}

template <int NR>
GK_INLINE void ColumnSteps(const GramPass& p, int g, int c0, int c1, const double* aw)
{
    int s = c0;
    const int vec = c0 + (c1 - c0) / NW * NW;
    for (; s < vec; s += NW) ColumnStep<Vec, NR>(p, g, s, aw);
    typedef std::conditional_t<(NW > 4), V4, double> T4;
    typedef std::conditional_t<(NW > 2), V2, double> T2;
    if constexpr (NW > 4)
        if (s + 4 <= c1) ColumnStep<T4, NR>(p, g, s, aw), s += 4;
    if constexpr (NW > 2)
        if (s + 2 <= c1) ColumnStep<T2, NR>(p, g, s, aw), s += 2;
    for (; s < c1; s++) ColumnStep<double, NR>(p, g, s, aw);
}

// UP over the samples c0 .. c1-1 from the rows ga .. gb-1, in column chunks
// whose sums stay in cache while every row passes.
GK_INLINE void ColumnSums(const GramPass& p, int ga, int gb, int c0, int c1, double* aw)
{
    const int K = p.K;
    const double eps = p.eps;
    const int width = ChunkWidth(K) / 2 < kStrands ? kStrands : ChunkWidth(K) / 2 / kStrands * kStrands;
    for (int w0 = c0; w0 < c1; w0 += width) {
        const int w1 = w0 + width < c1 ? w0 + width : c1;
        int g = ga;
        for (; g + kRows <= gb; g += kRows) {
            const double* a = p.A + static_cast<size_t>(g) * K;
            for (int i = 0; i < kRows * K; i++) aw[i] = KeepAbove(a[i], eps);
            ColumnSteps<kRows>(p, g, w0, w1, aw);
        }
        for (; g < gb; g++) {
            const double* a = p.A + static_cast<size_t>(g) * K;
            for (int i = 0; i < K; i++) aw[i] = KeepAbove(a[i], eps);
            ColumnSteps<1>(p, g, w0, w1, aw);
        }
    }
}

// GA rows k0 .. k1-1 from the genes ga .. gb-1, in order; lanes across the
// padded pattern count. am: scratch of K8 doubles.
GK_INLINE void AmplitudeGram(const GramPass& p, int ga, int gb, int k0, int k1, double* am)
{
    const int K = p.K, K8 = p.K8;
    const double eps = p.eps;
    for (int j = K; j < K8; j++) am[j] = 0.0;
    for (int g = ga; g < gb; g++) {
        const double* a = p.A + static_cast<size_t>(g) * K;
        for (int j = 0; j < K; j++) am[j] = KeepNotBelow(a[j], eps);
        for (int k = k0; k < k1; k++) {
            const Vec w = Splat<Vec>(KeepAbove(a[k], eps));
            double* ga_row = p.GA + static_cast<size_t>(k) * K8;
            for (int j = 0; j < K8; j += NW)
                Store(ga_row + j, Load<Vec>(ga_row + j) + w * Load<Vec>(am + j));
        }
    }
}

// ---- The passes ----

void PatternsPass(const GramPass& p)
{
    const int S = p.S, K = p.K;
    const size_t S8 = static_cast<size_t>(p.S8);
    const double eps = p.eps;
    const int s1 = p.s1 < S ? p.s1 : S;
    for (int k = 0; k < K; k++) {
        double* row = p.P + static_cast<size_t>(k) * S;
        const double* w = p.PW + k * S8;
        double* pw = p.Pw + k * S8;
        double* pm = p.Pm + k * S8;
        for (int s = p.s0; s < s1; s++) {
            if (p.multiplyWeights) row[s] = row[s] * w[s];
            pw[s] = KeepAbove(row[s], eps);
            pm[s] = KeepNotBelow(row[s], eps);
        }
    }
}

// GP in column chunks: each pair's strands wait in scratch between them.
void PatternGramPass(const GramPass& p)
{
    const int K = p.K, K8 = p.K8;
    const size_t S8 = static_cast<size_t>(p.S8);
    double* const buf = p.scratch;  // K x K x 8
    const int width = ChunkWidth(K) / 2 < kStrands ? kStrands : ChunkWidth(K) / 2 / kStrands * kStrands;
    for (int c0 = 0; c0 < p.S8; c0 += width) {
        const int c1 = c0 + width < p.S8 ? c0 + width : p.S8;
        const bool first = c0 == 0, last = c1 == p.S8;
        for (int j = 0; j < K; j++)
            for (int k = 0; k < K; k++) {
                double* b = buf + (static_cast<size_t>(j) * K + k) * kStrands;
                Strands acc;
                for (int v = 0; v < SV; v++)
                    acc[v] = first ? Splat<Vec>(0.0) : Load<Vec>(b + v * NW);
                const double* pm = p.Pm + j * S8;
                const double* pw = p.Pw + k * S8;
                for (int s = c0; s < c1; s += kStrands)
                    for (int v = 0; v < SV; v++)
                        acc[v] += Load<Vec>(pm + s + v * NW) * Load<Vec>(pw + s + v * NW);
                if (last)
                    p.GP[static_cast<size_t>(j) * K8 + k] = Reduce(acc);
                else
                    for (int v = 0; v < SV; v++) Store(b + v * NW, acc[v]);
            }
    }
}

// Scratch of a row pass: strands of a chunked panel (numerators and
// residuals), masked amplitudes of a block, and the pattern-count sums.
struct RowScratch {
    double* strands;  // kChunkedPanel x K x 8
    double* res;      // kChunkedPanel x 8
    double* am;       // kRows x K
    double* aw;       // kRows x K
    double* k8;       // K8
};

RowScratch PlaceRowScratch(const GramPass& p)
{
    const size_t K = static_cast<size_t>(p.K);
    RowScratch r;
    r.strands = p.scratch;
    r.res = r.strands + kChunkedPanel * K * kStrands;
    r.am = r.res + kChunkedPanel * kStrands;
    r.aw = r.am + kRows * K;
    r.k8 = r.aw + kRows * K;
    return r;
}

template <int R>
GK_INLINE void ResidualRows(const GramPass& p, int g, int c0, int c1, bool first, bool last,
                            const RowScratch& sc, int panel0)
{
    const int K = p.K;
    for (int i = 0; i < R * K; i++)
        sc.am[i] = KeepNotBelow(p.A[static_cast<size_t>(g) * K + i], p.eps);
    Residual<R>(p, g, c0, c1, first, last, sc.res + (g - panel0) * kStrands, sc.am);
}

void RowsPass(const GramPass& p)
{
    const int S8 = p.S8, K = p.K;
    const RowScratch sc = PlaceRowScratch(p);
    const int width = ChunkWidth(K);
    const bool chunked = S8 > width;
    int panel = kChunkedPanel;
    if (!chunked) {
        // Rows whose data stay in cache from the numerators to the residual
        // and the column sums of the fused pass.
        panel = 8192 / S8 / kRows * kRows;
        panel = panel < kRows ? kRows : panel > 256 ? 256 : panel;
    }
    for (int pg = p.g0; pg < p.g1; pg += panel) {
        const int pe = pg + panel < p.g1 ? pg + panel : p.g1;
        if (p.patternHalf) {
            for (int c0 = 0; c0 < S8; c0 += width) {
                const int c1 = c0 + width < S8 ? c0 + width : S8;
                const bool first = c0 == 0, last = c1 == S8;
                int g = pg;
                if (chunked || K <= kPairedPatterns)
                    for (; g + kNumRows <= pe; g += kNumRows)
                        NumeratorsAllPatterns<kNumRows>(
                            p, g, c0, c1, first, last,
                            sc.strands + static_cast<size_t>(g - pg) * K * kStrands);
                for (; g < pe; g++)
                    NumeratorsAllPatterns<1>(p, g, c0, c1, first, last,
                                             sc.strands + static_cast<size_t>(g - pg) * K * kStrands);
            }
            for (int g = pg; g < pe; g++) AmplitudeWeights(p, g);
        }
        if (p.residual) {
            for (int c0 = 0; c0 < S8; c0 += width) {
                const int c1 = c0 + width < S8 ? c0 + width : S8;
                const bool first = c0 == 0, last = c1 == S8;
                int g = pg;
                for (; g + kResRows <= pe; g += kResRows)
                    ResidualRows<kResRows>(p, g, c0, c1, first, last, sc, pg);
                for (; g < pe; g++) ResidualRows<1>(p, g, c0, c1, first, last, sc, pg);
            }
        }
        if (p.fused) {
            ColumnSums(p, pg, pe, 0, p.S, sc.aw);
            AmplitudeGram(p, pg, pe, 0, K, sc.k8);
        }
    }
}

void ColumnsPass(const GramPass& p)
{
    const size_t S8 = static_cast<size_t>(p.S8);
    const int s1 = p.s1 < p.S ? p.s1 : p.S;
    for (int k = 0; k < p.K; k++)
        for (int s = p.s0; s < s1; s++) p.UP[k * S8 + s] = 0.0;
    const RowScratch sc = PlaceRowScratch(p);
    ColumnSums(p, 0, p.G, p.s0, s1, sc.aw);
}

void AmplitudeGramPass(const GramPass& p)
{
    for (int k = p.k0; k < p.k1; k++)
        for (int j = 0; j < p.K8; j++) p.GA[static_cast<size_t>(k) * p.K8 + j] = 0.0;
    const RowScratch sc = PlaceRowScratch(p);
    AmplitudeGram(p, 0, p.G, p.k0, p.k1, sc.k8);
}

// PW = UP / (GA Pm) over whole strands of columns.
void WeightsPass(const GramPass& p)
{
    const int K = p.K, K8 = p.K8;
    const size_t S8 = static_cast<size_t>(p.S8);
    const double eps = p.eps;
    const int s1 = p.s1 < p.S8 ? p.s1 : p.S8;
    for (int s = p.s0; s < s1; s += NW)
        for (int k = 0; k < K; k++) {
            const double* ga = p.GA + static_cast<size_t>(k) * K8;
            Vec l = Splat<Vec>(0.0);
            for (int j = 0; j < K; j++) l += Splat<Vec>(ga[j]) * Load<Vec>(p.Pm + j * S8 + s);
            const Vec w = l < Splat<Vec>(eps) ? Splat<Vec>(1.0) : Load<Vec>(p.UP + k * S8 + s) / l;
            Store(p.PW + k * S8 + s, w);
        }
}

}  // namespace gram

}  // namespace

}  // namespace ZK_ISA

const GramFn ZK_GRAM_TABLE[kGramKinds] = {
    ZK_ISA::gram::PatternsPass, ZK_ISA::gram::PatternGramPass, ZK_ISA::gram::RowsPass,
    ZK_ISA::gram::ColumnsPass,  ZK_ISA::gram::AmplitudeGramPass, ZK_ISA::gram::WeightsPass};

}  // namespace zarno::kernels

#undef GK_INLINE
#undef GK_INLINE_LAMBDA
