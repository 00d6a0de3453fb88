#include "L.h"

#include <sys/mman.h>

#include <cstring>
#include <new>
#include <vector>

#include "huge_pages.h"
#include "kernels/pool.h"
#include "kernels/gram.h"
#include "kernels/kernels.h"

namespace {

// More threads than this for one run are a mistake, not a machine.
constexpr int kMaxThreadsPerRun = 256;

// Mocks from this size on (about a core's L2) are written past the caches
// (see zarno::kernels::Pass): at 5000x40 that still saved a fifth of the amplitude half.
constexpr size_t kStreamBytes = size_t(1) << 20;

// The amplitude half over columns s0 .. s1-1, in chunks narrow enough that
// a block's masked rows and the pattern-weight sums they feed (16 x (kRows +
// patterns) bytes a column) stay in a core's L2: at 2000 samples and 10
// patterns they take 576 kB, and one pass over all columns ran the half 1.4
// times slower than three chunks. Each sum still adds its genes in order;
// the first chunk moves the amplitudes of its rows, the later ones read them.
constexpr size_t kColumnChunkBytes = size_t(256) << 10;

void AmplitudeHalfInChunks(int level, zarno::kernels::Pass p, int s0, int s1)
{
    const size_t perColumn = 16 * static_cast<size_t>(zarno::kernels::kRows + p.K);
    const int width = s1 - s0;
    const size_t total = perColumn * static_cast<size_t>(width);
    const int chunks = static_cast<int>((total + kColumnChunkBytes - 1) / kColumnChunkBytes);
    const int lines = (width + 7) / 8;
    const int step = (lines + chunks - 1) / (chunks < 1 ? 1 : chunks) * 8;
    for (int c0 = s0; c0 < s1; c0 += step) {
        p.s0 = c0;
        p.s1 = c0 + step < s1 ? c0 + step : s1;
        zarno::kernels::Sweep(level, zarno::kernels::kAmplitudeHalf, p);
        p.updateA = false;
    }
}

// One pass on the threads of a pool: the same operands, a range per thread.
struct SweepJob {
    zarno::kernels::Pass p;
    int kind = 0;
    int level = 0;
    zarno::kernels::Pool* pool = nullptr;
};

using zarno::kernels::Share;

// A pool thread's scratch: the kernels', then pattern-weight sums of its own
// (UP, then LP; see SweepOnThread).
size_t PoolScratchSize(int samples, int npatterns)
{
    const size_t KS = static_cast<size_t>(samples) * static_cast<size_t>(npatterns);
    return zarno::kernels::ThreadScratchSize(samples, npatterns) + 2 * KS;
}
double* PrivateSums(zarno::kernels::Pool& pool, int t, int samples, int npatterns)
{
    return pool.Scratch(t) + zarno::kernels::ThreadScratchSize(samples, npatterns);
}

// Every element of Mock and of the amplitude weights depends on its own row
// only, so those passes split the rows, in whole blocks of the kernels. The
// pattern weights sum over the genes in order, so the amplitude half splits
// the sample columns (in whole cache lines) instead, after the amplitudes of
// all rows have moved.
//
// Unaligned rows split their columns only from this many cache lines a
// thread on (see below).
constexpr int kMinLinesPerShare = 64;

void SweepOnThread(void* context, int t)
{
    SweepJob& job = *static_cast<SweepJob*>(context);
    zarno::kernels::Pass p = job.p;
    const int n = job.pool->Size();
    int split = n;  // threads sharing the pass
    zarno::kernels::PlaceThreadScratch(p, job.pool->Scratch(t));
    int g0, g1;
    Share(p.G, zarno::kernels::kRows, t, n, g0, g1);
    if (job.kind == zarno::kernels::kAmplitudeHalf) {
        const size_t K = static_cast<size_t>(p.K);
        for (size_t k = g0 * K; k < g1 * K; k++) p.A[k] = p.A[k] * p.AW[k];
        job.pool->Barrier();  // every row's amplitudes before any thread reads them
        p.updateA = false;
        // Where rows do not start on cache lines, the line of Mock at each
        // edge of a share is written by two threads in every row: at 38
        // samples, two threads ran this half 2.3 to 2.5 times slower than one. Wide
        // rows dilute that; narrow ones take the half on one thread.
        const int lines = (p.S + 7) / 8;
        split = (p.S % 8 == 0 || lines >= kMinLinesPerShare * n) ? n : 1;
        if (t >= split) return;
        Share(p.S, 8, t, split, p.s0, p.s1);
    } else {
        p.g0 = g0;
        p.g1 = g1;
    }
    if (p.g0 >= p.g1 || p.s0 >= p.s1) return;
    if (job.kind == zarno::kernels::kAmplitudeHalf && split > 1) {
        // Each thread sums its columns into a copy of its own and copies them
        // out at the end: written in place, the lines at the edges of its
        // share sit beside the other thread's, and the cores' prefetchers
        // pulled them back and forth (two threads ran this half up to 1.7 times
        // slower than one). Every sum still adds its genes in order.
        const size_t S = static_cast<size_t>(p.S), c0 = static_cast<size_t>(p.s0),
                     w = static_cast<size_t>(p.s1 - p.s0);
        double* UP = p.UP;
        double* LP = p.LP;
        p.UP = PrivateSums(*job.pool, t, p.S, p.K);
        p.LP = p.UP + static_cast<size_t>(p.K) * S;
        for (int k = 0; k < p.K; k++) {
            std::memset(p.UP + k * S + c0, 0, w * sizeof(double));
            std::memset(p.LP + k * S + c0, 0, w * sizeof(double));
        }
        AmplitudeHalfInChunks(job.level, p, p.s0, p.s1);
        for (int k = 0; k < p.K; k++) {
            std::memcpy(UP + k * S + c0, p.UP + k * S + c0, w * sizeof(double));
            std::memcpy(LP + k * S + c0, p.LP + k * S + c0, w * sizeof(double));
        }
    } else if (job.kind == zarno::kernels::kAmplitudeHalf) {
        AmplitudeHalfInChunks(job.level, p, p.s0, p.s1);
    } else
        zarno::kernels::Sweep(job.level, job.kind, p);
}

size_t KernelScratchSize(int genes, int samples, int npatterns)
{
    (void)genes;
    const size_t S = static_cast<size_t>(samples), K = static_cast<size_t>(npatterns);
    return 3 * K * S + zarno::kernels::ThreadScratchSize(samples, npatterns);
}

// The Gram form's block (see L::GramPasses for its parts).
size_t GramScratchSize(int genes, int samples, int npatterns)
{
    const size_t S8 = static_cast<size_t>(zarno::kernels::PaddedSamples(samples));
    const size_t K = static_cast<size_t>(npatterns), K8 = (K + 7) / 8 * 8;
    const size_t G8 = (static_cast<size_t>(genes) + 7) / 8 * 8;
    return 4 * K * S8 + 2 * K * K8 + G8 + zarno::kernels::GramThreadScratch(samples, npatterns);
}

// Every matrix starts on a cache line (rows of a multiple of four samples can
// then take the kernels' streamed stores) after a header that keeps its size.
// Large ones come straight from the kernel, from a 2 MiB boundary on: already
// zero, and backed by transparent huge pages where the system offers them,
// so that a run's tens of megabytes cost a few dozen page faults instead of
// thousands, and no zeroing pass of our own.
constexpr std::align_val_t kAlign{64};
constexpr size_t kHeader = 64;
constexpr size_t kLarge = size_t(4) << 20;

template <typename T>
T* NewZeroed(size_t n)
{
    const size_t bytes = kHeader + (n == 0 ? 1 : n) * sizeof(T);
    char* base;
    if (bytes >= kLarge) {
        base = static_cast<char*>(zarno::huge_pages::MapHuge(bytes));
        if (base == nullptr) return nullptr;
    } else {
        base = static_cast<char*>(::operator new[](bytes, kAlign, std::nothrow));
        if (base == nullptr) return nullptr;
        std::memset(base, 0, bytes);
    }
    std::memcpy(base, &bytes, sizeof bytes);
    return reinterpret_cast<T*>(base + kHeader);
}

template <typename T>
void Release(T*& p)
{
    if (p != nullptr) {
        char* base = reinterpret_cast<char*>(p) - kHeader;
        size_t bytes;
        std::memcpy(&bytes, base, sizeof bytes);
        if (bytes >= kLarge)
            munmap(base, bytes);
        else
            ::operator delete[](base, kAlign);
    }
    p = nullptr;
}

}  // namespace

L::L() {}

L::~L()
{
    // The class reference of a JNI-made engine is a local reference of the
    // native call that made it, freed with that call's frame.
    CleanUpMemory();
}

void L::UseScaledData(const double* scaled)
{
    SharedScaledData = scaled;
}

int L::AllocateMemory()
{
    const size_t GS = static_cast<size_t>(Ngenes) * Nsamples;
    const size_t GP = static_cast<size_t>(Ngenes) * Npatterns;
    const size_t PS = static_cast<size_t>(Npatterns) * Nsamples;
    const bool gram = GramRun();
    Amplitude = NewZeroed<double>(GP);
    A_Weights = NewZeroed<double>(GP);
    Pattern = NewZeroed<double>(PS);
    ScannedA = NewZeroed<int>(GP);
    ScannedP = NewZeroed<int>(PS);
    normalizedP = NewZeroed<double>(PS);
    bool ok = Amplitude && A_Weights && Pattern && ScannedA && ScannedP && normalizedP;
    if (gram) {
        // No reconstruction and no weights of the weighted round: the Gram
        // arrays instead, a few patterns x samples and genes long.
        GramScratch = NewZeroed<double>(GramScratchSize(Ngenes, Nsamples, Npatterns));
        ok = ok && GramScratch;
    } else {
        Mock = NewZeroed<double>(GS);
        P_Weights = NewZeroed<double>(PS);
        KernelScratch = NewZeroed<double>(KernelScratchSize(Ngenes, Nsamples, Npatterns));
        ok = ok && Mock && P_Weights && KernelScratch;
    }
    if (uncertFlag != 0 && SharedScaledData == nullptr) {
        ScaledData = NewZeroed<double>(GS);
        ok = ok && ScaledData;
    }
    if (ConnectivityCheck != 0) {
        const size_t SS = static_cast<size_t>(Nsamples) * Nsamples;
        connectivity = NewZeroed<int>(SS);
        connectivity0 = NewZeroed<int>(SS);
        ok = ok && connectivity && connectivity0;
    }
    Aspace = static_cast<int>(GP);
    TotalSpace = static_cast<int>(GP + PS);
    WorkData = data;
    if (!ok) {
        CleanUpMemory();
        return 0;
    }
    return 1;
}

void L::UseThreads(int k)
{
    if (k < 1 || k > kMaxThreadsPerRun) {
        Message(FormatText("Refused: threads per run must be between 1 and %d (got %d); it stays %d",
                           kMaxThreadsPerRun, k, ThreadsPerRun)
                    .c_str());
        return;
    }
    if (k != ThreadsPerRun) ReleaseKernelPool();
    ThreadsPerRun = k;
}

void L::ReleaseKernelPool()
{
    delete KernelPool;  // joins its threads
    KernelPool = nullptr;
}

int L::CleanUpMemory()
{
    ReleaseKernelPool();
    Release(Amplitude);
    Release(Pattern);
    Release(A_Weights);
    Release(P_Weights);
    Release(ScannedA);
    Release(ScannedP);
    Release(normalizedP);
    Release(Mock);
    Release(ScaledData);
    Release(KernelScratch);
    Release(GramScratch);
    GramChiFresh = false;
    Release(connectivity);
    Release(connectivity0);
    WorkData = data;
    return 1;
}

int L::Initialization()
{
    SeedA = RandomlizeMatrix(Amplitude, 'A');
    SeedP = RandomlizeMatrix(Pattern, 'P');
    return 1;
}

int L::RandomlizeMatrix(double* matrix, char id)
{
    int rows, cols, seed;
    if (id == 'A') {
        rows = Ngenes;
        cols = Npatterns;
        seed = Npatterns + chain + SeedA0;
    } else {
        rows = Npatterns;
        cols = Nsamples;
        seed = Npatterns + chain + SeedP0;
    }
    rng.Seed(static_cast<unsigned>(seed));
    for (int r = 0; r < rows; r++)
        for (int c = 0; c < cols; c++)
            matrix[static_cast<size_t>(r) * cols + c] = rng.Next() / 32768.0;
    return seed;
}

// Mock = Amplitude . Pattern, a product term left out where either factor is
// below eps, divided by the uncertainty when there is one.
int L::GenerateMock()
{
    Sweep(zarno::kernels::kMockOnly);
    return 1;
}

// P_Weights and A_Weights from the current Mock: each the ratio of the data
// sum to the reconstruction sum over the factor entries above eps (and data
// and Mock entries above eps); 1.0 where the reconstruction sum is below eps.
int L::GenerateWeights()
{
    Sweep(zarno::kernels::kWeightsOnly);
    return 1;
}

// One streaming pass over the gene rows (kernels.h): for each block of rows it
// builds the reconstruction rows and adds them into the sums the kind needs.
// The masked pattern copies are made here, once per pass.
void L::Sweep(int kind)
{
    const int G = Ngenes, S = Nsamples, K = Npatterns;
    const size_t KS = static_cast<size_t>(K) * S;
    double* Pm = KernelScratch;
    double* PwT = Pm + KS;
    double* LP = PwT + KS;
    bool finiteP = true;
    for (int s = 0; s < S; s++) {
        double* t = PwT + static_cast<size_t>(s) * K;
        for (int k = 0; k < K; k++) {
            const double b = Pattern[static_cast<size_t>(k) * S + s];
            finiteP = finiteP && zarno::kernels::Finite(b);
            Pm[static_cast<size_t>(k) * S + s] = zarno::kernels::KeepNotBelow(b, eps);
            t[k] = zarno::kernels::KeepAbove(b, eps);
        }
    }

    zarno::kernels::Pass p;
    p.G = G;
    p.S = S;
    p.K = K;
    p.eps = eps;
    p.D = WorkData;
    p.sigma = uncertFlag != 0 ? uncert : nullptr;
    p.Mock = Mock;
    p.A = Amplitude;
    p.AW = A_Weights;
    p.P = Pattern;
    p.finiteP = finiteP;
    p.streamMock = S % 8 == 0 && static_cast<size_t>(G) * S * sizeof(double) >= kStreamBytes;
    p.g0 = 0;
    p.g1 = G;
    p.s0 = 0;
    p.s1 = S;
    p.Pm = Pm;
    p.PwT = PwT;
    zarno::kernels::PlaceThreadScratch(p, LP + KS);
    if (kind == zarno::kernels::kWeightsOnly || kind == zarno::kernels::kPatternHalf) p.AWout = A_Weights;
    if (kind == zarno::kernels::kWeightsOnly || kind == zarno::kernels::kAmplitudeHalf) {
        p.UP = P_Weights;
        p.LP = LP;
        for (size_t k = 0; k < KS; k++) p.UP[k] = p.LP[k] = 0.0;
    }

    const int cpu = zarno::kernels::CpuSimdLevel();
    const int level = SimdLevel < cpu ? SimdLevel : cpu;
    // Both weight kinds at once need whole rows and whole columns: that pass
    // (once per run) stays on one thread.
    if (kind != zarno::kernels::kWeightsOnly) PoolFor(PoolScratchSize(S, K));
    if (KernelPool != nullptr && kind != zarno::kernels::kWeightsOnly) {
        SweepJob job;
        job.p = p;
        job.kind = kind;
        job.level = level;
        job.pool = KernelPool;
        KernelPool->Run(SweepOnThread, &job);
    } else if (kind == zarno::kernels::kAmplitudeHalf) {
        AmplitudeHalfInChunks(level, p, 0, S);
    } else {
        zarno::kernels::Sweep(level, kind, p);
    }

    if (p.UP != nullptr)
        for (size_t k = 0; k < KS; k++) P_Weights[k] = (LP[k] < eps) ? 1.0 : P_Weights[k] / LP[k];
}

zarno::kernels::Pool* L::PoolFor(size_t scratch)
{
    if (ThreadsPerRun <= 1) return nullptr;
    if (KernelPool != nullptr && KernelPool->ScratchDoubles() < scratch) ReleaseKernelPool();
    if (KernelPool == nullptr) {
        try {
            KernelPool = new zarno::kernels::Pool(ThreadsPerRun, scratch);
        } catch (const std::exception&) {
            KernelPool = nullptr;
        }
        if (KernelPool == nullptr || !KernelPool->Ok()) {
            // No memory for the threads' scratch: one thread, the same bits.
            ReleaseKernelPool();
            ThreadsPerRun = 1;
        }
    }
    return KernelPool;
}

int L::ScaleData()
{
    if (uncertFlag == 0) return 0;
    if (SharedScaledData != nullptr) {
        WorkData = SharedScaledData;  // the same quotients, made once for many engines
        return 1;
    }
    const size_t n = static_cast<size_t>(Ngenes) * Nsamples;
    for (size_t e = 0; e < n; e++) ScaledData[e] = data[e] / uncert[e];
    WorkData = ScaledData;
    return 1;
}

int L::DeScaleData()
{
    if (uncertFlag == 0) return 0;
    const size_t n = static_cast<size_t>(Ngenes) * Nsamples;
    for (size_t e = 0; e < n; e++) Mock[e] = Mock[e] * uncert[e];
    WorkData = data;  // the host's values, never touched
    return 1;
}

int L::Normalization()
{
    for (int p = 0; p < Npatterns; p++) {
        double* row = Pattern + static_cast<size_t>(p) * Nsamples;
        double norm = 0.0;
        for (int s = 0; s < Nsamples; s++) norm += row[s];
        // An all-zero pattern has no scale to move; dividing would make NaNs.
        if (norm == 0.0) continue;
        for (int s = 0; s < Nsamples; s++) row[s] /= norm;
        for (int g = 0; g < Ngenes; g++) Amplitude[static_cast<size_t>(g) * Npatterns + p] *= norm;
    }
    return 1;
}

void L::UpdatePatternHalf()
{
    const size_t n = static_cast<size_t>(Npatterns) * Nsamples;
    for (size_t k = 0; k < n; k++) Pattern[k] = Pattern[k] * P_Weights[k];
    // Mock and the amplitude weights of the new patterns; the pattern weights
    // and the stored Mock would be overwritten unread by the amplitude half.
    Sweep(zarno::kernels::kPatternHalf);
}

void L::UpdateAmplitudeHalf()
{
    // Amplitude = Amplitude * A_Weights, then Mock and the pattern weights;
    // the amplitude weights would be overwritten unread by the next pattern half.
    Sweep(zarno::kernels::kAmplitudeHalf);
}

int L::Updating(int SamplingFlag)
{
    if (SamplingFlag == 0) {
        UpdatePatternHalf();
        UpdateAmplitudeHalf();
        return 1;
    }
    const double ratio = rng.Next() / 32768.0;
    int SelectedEle = static_cast<int>(TotalSpace * ratio);
    if (SelectedEle < Aspace) {
        const int I = SelectedEle / Npatterns;
        const int J = SelectedEle - Npatterns * I;
        UpdateA(I, J);
        ScannedA[static_cast<size_t>(Npatterns) * I + J] += 1;
    } else {
        SelectedEle -= Aspace;
        const int I = SelectedEle / Nsamples;
        const int J = SelectedEle - Nsamples * I;
        UpdateP(I, J);
        ScannedP[static_cast<size_t>(Nsamples) * I + J] += 1;
    }
    return 1;
}

int L::UpdateA(int, int)
{
    return 1;  // an amplitude pick only counts a visit
}

int L::UpdateP(int I, int J)
{
    const size_t k = static_cast<size_t>(I) * Nsamples + J;
    const double oldValue = Pattern[k];
    if (Pattern[k] == 0.0) Pattern[k] = 1.0;
    Pattern[k] = Pattern[k] * P_Weights[k];
    // Repair column J of the reconstruction for the changed element.
    for (int g = 0; g < Ngenes; g++) {
        const size_t e = static_cast<size_t>(g) * Nsamples + J;
        double Changes = Amplitude[static_cast<size_t>(g) * Npatterns + I] * (Pattern[k] - oldValue);
        if (uncertFlag != 0) Changes = Changes / uncert[e];
        Mock[e] = Mock[e] + Changes;
    }
    // Rescale the pattern weights of column J: for each p the sum over g of
    // (Mock[g, J] - oldValue) * Amplitude[g, p], in gene order. Genes outermost
    // walks column J and the amplitude rows once.
    double* Changes = KernelScratch;  // free between kernel passes
    for (int p = 0; p < Npatterns; p++) Changes[p] = 0.0;
    for (int g = 0; g < Ngenes; g++) {
        const double diff = Mock[static_cast<size_t>(g) * Nsamples + J] - oldValue;
        const double* a = Amplitude + static_cast<size_t>(g) * Npatterns;
        for (int p = 0; p < Npatterns; p++) Changes[p] += diff * a[p];
    }
    for (int p = 0; p < Npatterns; p++)
        P_Weights[static_cast<size_t>(p) * Nsamples + J] *= Changes[p];
    return 1;
}

void L::TestChiSquare()
{
    if (GramRun()) {
        // Chi-square of the Gram form: its fit pass's, taken with the round
        // that was due for it, or a pass of its own.
        if (!GramChiFresh) GramResidual();
        ChiSquare = rmsd = GramChi;
        return;
    }
    ChiSquare = 0.0;
    rmsd = 0.0;
    const size_t n = static_cast<size_t>(Ngenes) * Nsamples;
    for (size_t e = 0; e < n; e++) {
        const double diff = WorkData[e] - Mock[e];
        const double d = diff * diff;
        if (d < eps) continue;
        ChiSquare += d;
        if (uncertFlag != 0 && uncert[e] != 0.0) rmsd += d * (uncert[e] * uncert[e]);
    }
    if (uncertFlag == 0) rmsd = ChiSquare;
}

int L::DoSimulation()
{
    if (!AllocateMemory()) {
        // What the run asked for: Mock (and the scaled data), the amplitude
        // side (doubles, weights, int counters), the pattern side (doubles,
        // weights, normalized copy, int counters).
        const double GS = static_cast<double>(Ngenes) * Nsamples;
        const double GP = static_cast<double>(Ngenes) * Npatterns;
        const double PS = static_cast<double>(Npatterns) * Nsamples;
        const bool ownScaled = uncertFlag != 0 && SharedScaledData == nullptr;
        const double bytes =
            GramRun() ? GP * 20 + PS * 20 +
                            8.0 * GramScratchSize(Ngenes, Nsamples, Npatterns)
                      : GS * (ownScaled ? 16 : 8) + GP * 20 + PS * 28;
        char out[NAMEL];
        std::snprintf(out, sizeof out,
                      "Could not allocate the %.0f MB of matrices of Npatterns %d chain %d; "
                      "the job stops",
                      bytes / 1048576.0, Npatterns, chain);
        Message(out);
        return 0;
    }
    Initialization();
    int ok = 0;
    if (host == nullptr || host->RunBegin(*this)) {
        ok = SA_simulation();
        if (host != nullptr) host->RunEnd(*this);
    }
    CleanUpMemory();
    return ok;
}

int L::SA_simulation()
{
    StartCPU = clock();
    StartTimeInSecond = time(nullptr);
    StartTime = CTimeText(StartTimeInSecond);
    UsedRound = 0;
    if (host != nullptr && !host->RunStarted(*this)) return 0;
    ScaleData();
    // The Gram form computes chi-square within the passes that are due for
    // it: at the start when tested or when there are no rounds, with every
    // tested round, and with the last.
    const bool gram = GramRun();
    if (!gram) {
        GenerateMock();
        GenerateWeights();
    }
    // A fit test is due here and every INTERM rounds. Unless the host reads
    // them, nothing does before the final test below overwrites them, so they
    // are not taken: each would be a sequential pass over all elements. Taken
    // or not, they change no other value.
    const bool fitTests = host != nullptr && host->WantsFitTests(*this);
    if (gram) GramPasses(false, fitTests || SimulateIterations <= 0);
    bool converged = false;
    if (fitTests) {
        TestChiSquare();
        converged = !host->FitTested(*this);
    }
    for (int i = 0; i < SimulateIterations && !converged; i++) {
        if (gram)
            GramPasses(true, (fitTests && (i + 1) % INTERM == 0) || i + 1 == SimulateIterations);
        else
            Updating(0);
        UsedRound = i + 1;
        if (fitTests && UsedRound % INTERM == 0) {
            TestChiSquare();
            converged = !host->FitTested(*this);
        }
        if (host != nullptr && !host->KeepGoing(*this)) return 0;
    }
    TestChiSquare();
    Normalization();
    DeScaleData();
    EndCPU = clock();
    EndTimeInSecond = time(nullptr);
    EndTime = CTimeText(EndTimeInSecond);
    return host == nullptr ? 1 : host->RunFinished(*this);
}

// ---------------------------------------------------------------------------
// Alternative starts and fixed-length runs.

namespace {

// Raises the amplitude of every listed gene on its group's pattern (group i
// belongs to pattern i). Entries that would land outside Amplitude are
// refused, with one message per group, and change nothing.
void AddGroupPriors(L& e)
{
    if (e.Ngroups <= 0) return;
    if (e.Nmembers == nullptr || e.GroupPriors == nullptr) {
        e.Message("Refused: the group table has no member lists; no group prior is added");
        return;
    }
    for (int i = 0; i < e.Ngroups; i++) {
        const int count = e.Nmembers[i];
        if (count < 0) {
            e.Message(FormatText("Refused: group %d has a negative member count (%d)", i, count)
                          .c_str());
            continue;
        }
        if (count == 0) continue;
        if (e.GroupPriors[i] == nullptr) {
            e.Message(FormatText("Refused: group %d has no member list", i).c_str());
            continue;
        }
        if (i >= e.Npatterns) {
            e.Message(FormatText("Refused: group %d has no pattern to raise (Npatterns %d); its %d "
                                 "members are skipped",
                                 i, e.Npatterns, count)
                          .c_str());
            continue;
        }
        int outside = 0, first = 0;
        for (int j = 0; j < count; j++) {
            const int gene = e.GroupPriors[i][j];
            if (gene < 0 || gene >= e.Ngenes) {
                if (outside++ == 0) first = gene;
                continue;
            }
            double& a = e.Amplitude[static_cast<size_t>(gene) * e.Npatterns + i];
            a = a + weight;
        }
        if (outside > 0)
            e.Message(FormatText("Refused: group %d lists %d gene indices outside 0 to %d (the "
                                 "first is %d); they are skipped",
                                 i, outside, e.Ngenes - 1, first)
                          .c_str());
    }
}

bool Terminated(const char* name)
{
    return std::memchr(name, '\0', NAMEL) != nullptr;
}

}  // namespace

int L::Initialization(char* afile, char* pfile)
{
    if (ReadMatrix(Amplitude, afile, Ngenes, Npatterns) != 1) return -1;
    if (ReadMatrix(Pattern, pfile, Npatterns, Nsamples) != 1) return -1;
    return 1;
}

int L::Initialization(int flag)
{
    if (Amplitude == nullptr || Pattern == nullptr) {
        Message("Refused: the matrices are not allocated; nothing to start");
        return -1;
    }
    if (flag == 3) {
        Initialization();
    } else {
        if (!Terminated(Afile0) || !Terminated(Pfile0)) {
            Message("Refused: Afile0 or Pfile0 holds no terminated file name");
            return -1;
        }
        if (Initialization(Afile0, Pfile0) != 1) return -1;
    }
    // A link file that cannot be read is reported by GetPriors; the start
    // goes on with the table there is, and the caller learns of it.
    const int priors = GetPriors();
    // Fixes the draws of later sampling-mode steps.
    rng.Seed(static_cast<unsigned>(Npatterns + chain + SeedA0 + 100));
    AddGroupPriors(*this);
    return priors == 1 ? 1 : -1;
}

int L::SA_simulation(int sample)
{
    if (Amplitude == nullptr || Mock == nullptr) {
        Message("Refused: the matrices are not allocated; nothing to run");
        return 0;
    }
    GenerateMock();
    GenerateWeights();
    const int Nrounds = sample == 0 ? SimulateIterations : RelaxSteps;
    const int flag = sample == 0 ? 0 : 1;
    for (int i = 0; i < Nrounds; i++) Updating(flag);
    return 1;
}

// ---------------------------------------------------------------------------
// Uncertainty adjustment and diagnostics.

int L::LiftingUncertainty(double scale)
{
    if (uncert == nullptr) return 0;
    const size_t n = static_cast<size_t>(Ngenes) * Nsamples;
    for (size_t k = 0; k < n; k++) uncert[k] = uncert[k] * scale;
    return 1;
}

int L::RelaxingUncertainty(double scale)
{
    if (uncert == nullptr) return 0;
    const size_t n = static_cast<size_t>(Ngenes) * Nsamples;
    for (size_t k = 0; k < n; k++) uncert[k] = uncert[k] / scale;
    return 1;
}

// normalizedP = each pattern row divided by its sum; Pattern stays. A row
// summing to 0 gives NaN, which no sample's maximum picks.
int L::NormalizeP()
{
    if (normalizedP == nullptr) return 0;
    for (int p = 0; p < Npatterns; p++) {
        const size_t row = static_cast<size_t>(p) * Nsamples;
        double norm = 0.0;
        for (int s = 0; s < Nsamples; s++) norm += Pattern[row + s];
        for (int s = 0; s < Nsamples; s++) normalizedP[row + s] = Pattern[row + s] / norm;
    }
    return 1;
}

// Assigns every sample to its dominant normalized pattern (the lowest number
// among equals), marks which pairs s < t share one, and returns how many
// pairs changed since the previous call. connectivity0 starts at 0.
int L::TestConnectivity()
{
    if (connectivity == nullptr || connectivity0 == nullptr || normalizedP == nullptr) {
        Message("Refused: TestConnectivity needs the connectivity matrices; set "
                "ConnectivityCheck before the matrices are allocated");
        return -1;
    }
    std::vector<int> Index(static_cast<size_t>(Nsamples), -1);
    for (int s = 0; s < Nsamples; s++) {
        double max = -1.0;
        for (int p = 0; p < Npatterns; p++) {
            const double v = normalizedP[static_cast<size_t>(p) * Nsamples + s];
            if (v > max) {
                max = v;
                Index[s] = p;
            }
        }
    }
    int diff = 0;
    for (int s = 0; s < Nsamples; s++) {
        for (int t = s + 1; t < Nsamples; t++) {
            const size_t k = static_cast<size_t>(s) * Nsamples + t;
            connectivity[k] = Index[s] == Index[t] ? 1 : 0;
            if (connectivity[k] != connectivity0[k]) diff++;
            connectivity0[k] = connectivity[k];
        }
    }
    return diff;
}

// Sets to 0 every amplitude whose z-score across its gene's patterns is below
// Zcutoff. With fewer than 2 patterns there are no z-scores and nothing
// changes.
int L::Sparsiness()
{
    if (Npatterns < 2 || Amplitude == nullptr) return 1;
    std::vector<double> basis_vector(static_cast<size_t>(Npatterns));
    for (int g = 0; g < Ngenes; g++) {
        Zscoring(Amplitude, g, basis_vector.data(), Npatterns);
        for (int p = 0; p < Npatterns; p++)
            if (basis_vector[p] < Zcutoff) Amplitude[static_cast<size_t>(g) * Npatterns + p] = 0.0;
    }
    return 1;
}
