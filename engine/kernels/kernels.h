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
// Rows go in blocks of eight. The reconstruction and the pattern sums take
// lanes across samples, the amplitude sums lanes across the block's genes
// (from an in-register transpose), so no lane idles whatever the pattern count.
//
// A pass may cover a range of rows and a range of sample columns: each
// element of Mock and of the amplitude weights depends on its own row only,
// each pattern-weight sum on its own column only, so passes over disjoint
// ranges can run on different threads and still add every sum in its literal
// order.
//
// This header declares the pass and the dispatch. The kernels themselves are
// in kernels_impl.h, compiled once per instruction set (kernels_sse2.cpp,
// kernels_avx2.cpp, kernels_avx512.cpp, each with its own compiler flags);
// kernels.cpp holds the table that picks one at run time.
#ifndef ZARNO_KERNELS_H
#define ZARNO_KERNELS_H

#include <cstddef>

namespace zarno::kernels {

// What one pass computes.
enum Kind {
    kMockOnly,       // Mock from Amplitude and Pattern
    kWeightsOnly,    // both weight kinds from the stored Mock
    kPatternHalf,    // Mock rows (not stored) and the amplitude weights
    kAmplitudeHalf,  // Amplitude *= A_Weights, Mock and the pattern weights
    kKinds
};

// Gene rows per block of the fast path.
constexpr int kRows = 8;

// The operands of one pass; the parts the kind does not use may stay null.
struct Pass {
    int G = 0, S = 0, K = 0;
    // The rows g0 .. g1-1 and the sample columns s0 .. s1-1 this pass covers
    // (g1 and s1 <= 0: up to G and S). The amplitude weights sum over all
    // samples, so a pass computing them must cover every column.
    int g0 = 0, g1 = 0, s0 = 0, s1 = 0;
    bool updateA = true;  // kAmplitudeHalf: the pass multiplies its rows' amplitudes
    double eps = 0.0;
    const double* D = nullptr;      // data as the iteration sees them
    const double* sigma = nullptr;  // divide the reconstruction by it; null: no division
    double* Mock = nullptr;
    double* A = nullptr;            // amplitudes, G x K
    const double* AW = nullptr;     // amplitude weights read by kAmplitudeHalf
    const double* P = nullptr;      // patterns, K x S
    double* AWout = nullptr;        // amplitude weights, G x K
    double* UP = nullptr;           // pattern-weight sums, K x S, zeroed
    double* LP = nullptr;           //   (numerator and denominator)
    bool finiteP = false;           // every pattern value is finite
    // Write Mock past the caches: only worth it where Mock does not fit them,
    // and only where every row starts a cache line (a streamed store that
    // fills part of a line costs more than the read it saves).
    bool streamMock = false;
    // Shared scratch, filled once per pass.
    const double* Pm = nullptr;   // patterns masked for the reconstruction, K x S
    const double* PwT = nullptr;  // patterns masked for the weights, S x K, transposed
    // Scratch of one thread (ThreadScratchSize doubles from Dp on).
    double* Dp = nullptr;   // kRows x S: data of the block, masked
    double* Mp = nullptr;   // kRows x S: reconstruction of the block, masked
    double* DpT = nullptr;  // S x kRows: the same two, sample by sample
    double* MpT = nullptr;
    double* am = nullptr;  // kRows x K: amplitudes of the block, masked for the reconstruction
    double* aw = nullptr;  // kRows x K: the same, masked for the weights
};

// Doubles of one thread's scratch, and where its parts lie.
size_t ThreadScratchSize(int samples, int npatterns);
void PlaceThreadScratch(Pass& p, double* scratch);

// Widest instruction set of this processor the kernels have a copy for:
// 0 the baseline (SSE2 on x86-64, plain vectors elsewhere), 1 AVX2, 2 AVX-512.
int CpuSimdLevel();

// Runs pass p of `kind` with the copy of instruction set `level` (at most
// CpuSimdLevel()). All copies give the same bits.
void Sweep(int level, int kind, const Pass& p);

typedef void (*SweepFn)(const Pass&);
// The copies, indexed by Kind; null where this build has no such copy.
extern const SweepFn* const kSweepsSse2;
extern const SweepFn* const kSweepsAvx2;
extern const SweepFn* const kSweepsAvx512;

// x where x > t, else +0.0 (NaN gives +0.0): the "above" tests of the weights.
// (static: the kernels' copies, compiled for wider instruction sets, must not
// stand in for these at link time.)
static inline double KeepAbove(double x, double t)
{
    return x > t ? x : 0.0;
}

// x where !(x < t), else +0.0 (NaN is kept): the "not below" tests of the
// reconstruction.
static inline double KeepNotBelow(double x, double t)
{
    return x < t ? 0.0 : x;
}

static inline bool Finite(double x)
{
    return x - x == 0.0;  // Inf - Inf and NaN - NaN are NaN
}

}  // namespace zarno::kernels

#endif  // ZARNO_KERNELS_H
