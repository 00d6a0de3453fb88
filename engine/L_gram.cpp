// The unweighted round in Gram form (kernels/gram.h): the engine's side,
// which lays out the arrays, splits the passes over the run's threads and
// adds up chi-square.
#include <cstring>

#include "L.h"
#include "kernels/gram.h"
#include "kernels/kernels.h"
#include "kernels/pool.h"

namespace {

using zarno::kernels::GramPass;
using zarno::kernels::GramSweep;

// One round's passes on the threads of a pool. Rows first (split by rows:
// each row's weights, amplitudes and residual are its own), then, once every
// row's amplitudes have moved, the sums over genes (split by sample columns
// in whole strands, and GA by its rows), then the pattern weights of each
// thread's columns. Every sum keeps its order, so any count gives the bits
// of one thread.
struct GramJob {
    GramPass p;
    int level = 0;
    zarno::kernels::Pool* pool = nullptr;
};

void GramOnThread(void* context, int t)
{
    GramJob& job = *static_cast<GramJob*>(context);
    GramPass p = job.p;
    const int n = job.pool->Size();
    p.scratch = job.pool->Scratch(t);
    if (p.patternHalf || p.residual) {
        zarno::kernels::Share(p.G, zarno::kernels::kStrands, t, n, p.g0, p.g1);
        if (p.g0 < p.g1) GramSweep(job.level, zarno::kernels::kGramRows, p);
    }
    job.pool->Barrier();
    zarno::kernels::Share(p.S, zarno::kernels::kStrands, t, n, p.s0, p.s1);
    if (p.s0 < p.s1) GramSweep(job.level, zarno::kernels::kGramColumns, p);
    zarno::kernels::Share(p.K, 1, t, n, p.k0, p.k1);
    if (p.k0 < p.k1) GramSweep(job.level, zarno::kernels::kGramAmplitudeGram, p);
    job.pool->Barrier();  // GA whole before any thread divides by it
    if (p.s0 < p.s1) GramSweep(job.level, zarno::kernels::kGramWeights, p);
}

// The residual alone, rows split.
void ResidualOnThread(void* context, int t)
{
    GramJob& job = *static_cast<GramJob*>(context);
    GramPass p = job.p;
    p.scratch = job.pool->Scratch(t);
    zarno::kernels::Share(p.G, zarno::kernels::kStrands, t, job.pool->Size(), p.g0, p.g1);
    if (p.g0 < p.g1) GramSweep(job.level, zarno::kernels::kGramRows, p);
}

// Runs `fn` over pass p on the pool's threads.
void RunOnPool(zarno::kernels::Pool* pool, void (*fn)(void*, int), const GramPass& p, int level)
{
    GramJob job;
    job.p = p;
    job.level = level;
    job.pool = pool;
    pool->Run(fn, &job);
}

// The instruction set a pass uses: the run's, where the processor has it.
int PassLevel(int runLevel)
{
    const int cpu = zarno::kernels::CpuSimdLevel();
    return runLevel < cpu ? runLevel : cpu;
}

// Chi-square: the rows' residuals, added in gene order.
double RowsInOrder(const double* rowChi, int genes)
{
    double chi = 0.0;
    for (int g = 0; g < genes; g++) chi += rowChi[g];
    return chi;
}

}  // namespace

// The block GramScratch: Pw, Pm, UP, PW (patterns x padded samples each),
// GP, GA (patterns x patterns rounded up to 8), the rows' residuals (genes
// rounded up to 8), then the calling thread's scratch.
static GramPass GramOperands(const L& e, double* block, const double* data)
{
    GramPass p;
    const int G = e.Ngenes, S = e.Nsamples, K = e.Npatterns;
    const size_t S8 = static_cast<size_t>(zarno::kernels::PaddedSamples(S));
    const size_t K8 = (static_cast<size_t>(K) + 7) / 8 * 8;
    const size_t KS = static_cast<size_t>(K) * S8;
    p.G = G;
    p.S = S;
    p.K = K;
    p.S8 = static_cast<int>(S8);
    p.K8 = static_cast<int>(K8);
    p.eps = eps;
    p.D = data;
    p.A = e.Amplitude;
    p.P = e.Pattern;
    p.Pw = block;
    p.Pm = p.Pw + KS;
    p.UP = p.Pm + KS;
    p.PW = p.UP + KS;
    p.GP = p.PW + KS;
    p.GA = p.GP + static_cast<size_t>(K) * K8;
    p.rowChi = p.GA + static_cast<size_t>(K) * K8;
    p.scratch = p.rowChi + (static_cast<size_t>(G) + 7) / 8 * 8;
    p.g1 = G;
    p.s1 = S;
    p.k1 = K;
    return p;
}

void L::GramPasses(bool patternHalf, bool fit)
{
    GramPass p = GramOperands(*this, GramScratch, WorkData);
    p.AW = A_Weights;
    const int level = PassLevel(SimdLevel);
    // The patterns (times their weights in a round) and their masked copies,
    // then P P^T: patterns x samples each, on this thread.
    p.multiplyWeights = patternHalf;
    GramSweep(level, zarno::kernels::kGramPatterns, p);
    p.multiplyWeights = false;
    if (patternHalf) GramSweep(level, zarno::kernels::kGramPatternGram, p);
    p.patternHalf = patternHalf;
    p.residual = fit;
    zarno::kernels::Pool* pool = PoolFor(zarno::kernels::GramThreadScratch(Nsamples, Npatterns));
    if (pool != nullptr) {
        RunOnPool(pool, GramOnThread, p, level);  // rows, then columns, on every thread
    } else if (zarno::kernels::GramFusable(Nsamples, Npatterns)) {
        // Whole rows fit the caches: one pass over the data does the round,
        // each block of rows adding to the sums over genes once its
        // amplitudes have moved. The same sums in the same order.
        std::memset(p.UP, 0, sizeof(double) * static_cast<size_t>(p.K) * p.S8);
        std::memset(p.GA, 0, sizeof(double) * static_cast<size_t>(p.K) * p.K8);
        p.fused = true;
        GramSweep(level, zarno::kernels::kGramRows, p);
        p.fused = false;
        GramSweep(level, zarno::kernels::kGramWeights, p);
    } else {
        if (patternHalf || fit) GramSweep(level, zarno::kernels::kGramRows, p);
        GramSweep(level, zarno::kernels::kGramColumns, p);
        GramSweep(level, zarno::kernels::kGramAmplitudeGram, p);
        GramSweep(level, zarno::kernels::kGramWeights, p);
    }
    GramChiFresh = fit;
    if (fit) GramChi = RowsInOrder(p.rowChi, Ngenes);
}

void L::GramResidual()
{
    GramPass p = GramOperands(*this, GramScratch, WorkData);
    const int level = PassLevel(SimdLevel);
    // The masked patterns of the current matrices (a round leaves them so;
    // made again for a caller that moved the patterns since).
    GramSweep(level, zarno::kernels::kGramPatterns, p);
    p.residual = true;
    zarno::kernels::Pool* pool = PoolFor(zarno::kernels::GramThreadScratch(Nsamples, Npatterns));
    if (pool != nullptr)
        RunOnPool(pool, ResidualOnThread, p, level);
    else
        GramSweep(level, zarno::kernels::kGramRows, p);
    GramChi = RowsInOrder(p.rowChi, Ngenes);
    GramChiFresh = true;
}
