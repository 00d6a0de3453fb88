// Dense kernels of the unweighted round in Gram form. With every weight equal
// to one the update needs no reconstruction: the pattern weights are
// (A^T X) / ((A^T A) P) and the amplitude weights (X P^T) / (A (P P^T)), where
// A^T A and P P^T are patterns x patterns. A round then streams the data once
// or twice (a row pass, then a column pass) and keeps no genes x samples
// matrix of its own.
//
// The thresholds are the weighted round's, applied to the operands: data and
// factors at or below eps weigh nothing in the weights (Above), factors below
// eps nothing in the reconstruction (NotBelow), a denominator below eps gives
// the weight 1.0. The one difference from that round: the reconstruction's own
// cells below eps are not left out of the denominators (there is no
// reconstruction to test); they add at most eps times a factor each.
//
// Every sum has one fixed order, whatever the instruction set, the threads or
// the blocking, so a run gives the same bits everywhere:
//   - sums over genes (the numerators A^T X, A^T A) add the genes in order, in
//     lanes across samples or patterns;
//   - sums over samples (X P^T, P P^T, a row's residual) go in eight strands,
//     strand j adding the samples s = j mod 8 in order, and end with
//     ((s0 + s1) + (s2 + s3)) + ((s4 + s5) + (s6 + s7));
//   - sums over patterns (the denominators, the reconstruction of the fit
//     test) add the patterns in order.
// Every term is a product of masked operands (>= +0.0 when finite), so the
// sums start at +0.0, stay off -0.0, and a padding term 0 x 0 changes no bit.
// tests/engine/gram_oracle.h writes these loops out literally.
//
// The kernels are in gram_impl.h, compiled once per instruction set beside
// kernels_impl.h; gram.cpp holds the dispatch.
#ifndef ZARNO_KERNELS_GRAM_H
#define ZARNO_KERNELS_GRAM_H

#include <cstddef>

namespace zarno::kernels {

constexpr int kStrands = 8;

// Samples rounded up to whole strands: the row stride of the padded pattern
// arrays, whose columns past the last sample hold +0.0.
inline int PaddedSamples(int samples)
{
    return (samples + kStrands - 1) / kStrands * kStrands;
}

// Width in samples of the column chunks of a row pass: the patterns' masked
// copies of one chunk (patterns x width doubles) stay in cache while the rows
// of a panel pass. Rows of at most this many (padded) samples go whole.
inline int GramChunkWidth(int npatterns)
{
    const int w = 8192 / (npatterns < 1 ? 1 : npatterns) / kStrands * kStrands;
    return w < kStrands ? kStrands : w;
}

// What one Gram pass computes.
enum GramKind {
    // Patterns over columns s0 .. s1-1: P *= PW (with multiplyWeights), then
    // their masked copies Pw (Above) and Pm (NotBelow).
    kGramPatterns,
    // GP = Pm Pw^T (patterns x patterns), over all samples.
    kGramPatternGram,
    // Rows g0 .. g1-1: with patternHalf the numerators X Pw^T, the
    // denominators A GP and the amplitude weights, then A *= AW; with
    // residual, each row's sum of squared residuals into rowChi; with fused
    // (whole rows on one thread), also the numerators UP and GA of those rows.
    kGramRows,
    // UP = Aw^T X over columns s0 .. s1-1, every gene (UP zeroed there first).
    kGramColumns,
    // GA = Aw^T Am, rows k0 .. k1-1, every gene (zeroed there first).
    kGramAmplitudeGram,
    // PW = UP / (GA Pm) over columns s0 .. s1-1 (1.0 where that is below eps).
    kGramWeights,
    kGramKinds
};

struct GramPass {
    int G = 0, S = 0, K = 0;
    int S8 = 0;  // PaddedSamples(S)
    int K8 = 0;  // patterns rounded up to 8: the row stride of GP and GA
    double eps = 0.0;
    const double* D = nullptr;  // the data, G x S
    double* A = nullptr;        // amplitudes, G x K
    double* AW = nullptr;       // amplitude weights, G x K
    double* P = nullptr;        // patterns, K x S
    double* PW = nullptr;       // pattern weights, K x S8
    double* Pw = nullptr;       // Above(P), K x S8
    double* Pm = nullptr;       // NotBelow(P), K x S8
    double* GP = nullptr;       // K x K8
    double* GA = nullptr;       // K x K8
    double* UP = nullptr;       // K x S8
    double* rowChi = nullptr;   // G
    int g0 = 0, g1 = 0, s0 = 0, s1 = 0, k0 = 0, k1 = 0;
    bool multiplyWeights = false;
    bool patternHalf = false;
    bool residual = false;
    bool fused = false;
    double* scratch = nullptr;  // GramThreadScratch doubles of the calling thread
};

// Doubles of one thread's scratch.
size_t GramThreadScratch(int samples, int npatterns);

// Whether whole rows of this shape fit a core's caches well enough for the
// one-pass round (kGramRows with fused).
bool GramFusable(int samples, int npatterns);

// Runs pass p of `kind` with the copy of instruction set `level`.
void GramSweep(int level, int kind, const GramPass& p);

typedef void (*GramFn)(const GramPass&);
extern const GramFn* const kGramSse2;
extern const GramFn* const kGramAvx2;
extern const GramFn* const kGramAvx512;

}  // namespace zarno::kernels

#endif  // ZARNO_KERNELS_GRAM_H
