// The factorization engine: one run's matrices and the operations on them.
#ifndef ZARNO_L_H
#define ZARNO_L_H

#include <ctime>
#include <string>

#include "io.h"

namespace zarno::kernels {
class Pool;
}

class L : public io {
public:
    int Npatterns = 0;
    int chain = 0;
    int UsedRound = 0;
    int Aspace = 0;
    int TotalSpace = 0;
    int SeedA = 0;
    int SeedP = 0;
    clock_t StartCPU = 0;
    clock_t EndCPU = 0;
    double* Mock = nullptr;
    double* Amplitude = nullptr;
    double* Pattern = nullptr;
    int* ScannedA = nullptr;
    int* ScannedP = nullptr;
    double ChiSquare = 0.0;
    double rmsd = 0.0;
    std::string StartTime;
    std::string EndTime;
    time_t StartTimeInSecond = 0;
    time_t EndTimeInSecond = 0;

    // An engine with no JVM: messages go to the attached host, or to
    // standard output.
    L();
    // An engine that speaks to a JVM host (defined with the JNI layer): it
    // looks up the host's guiPrint and sends messages and results to it.
    L(int npatterns, JNIEnv* e, jobject o, jobject b);
    L(JNIEnv* e, jobject o, jobject b);
    ~L();
    L(const L&) = delete;
    L& operator=(const L&) = delete;

    // data / uncert made once by the caller and shared read-only by engines
    // on several threads; null (the default): each run divides for itself.
    // The quotients are the same bits either way.
    void UseScaledData(const double* scaled);

    // One complete run for Npatterns and chain: 1 done, 0 failed (a message
    // was sent or a Java exception is pending; the job must stop).
    int DoSimulation();
    int SA_simulation();
    int SA_simulation(int sample);

    // Threads for the dense passes of this engine's runs, k >= 1 (default 1).
    // Every count gives the same bits: rows and sample columns are split, never
    // a sum. The threads start when a run first needs them and end when its
    // memory is released. A k outside 1 to 256 is refused with a message and
    // leaves the count as it was.
    void UseThreads(int k);

    // Unweighted runs in Gram form (kernels/gram.h): no reconstruction, the
    // data streamed once or twice a round, no genes x samples matrix of the
    // run's own. The core's studies opt in; the classic entry and the
    // file-driven mode never do and keep the arithmetic above. A weighted run
    // (uncertFlag) ignores it. Set between runs.
    void UseGramForm(bool on) { GramForm = on; }

private:
    double* A_Weights = nullptr;
    double* P_Weights = nullptr;
    double* normalizedP = nullptr;
    int* connectivity = nullptr;
    int* connectivity0 = nullptr;
    FILE* LOG = nullptr;

    // Data as the iteration sees it: the host's `data`, or, between ScaleData
    // and DeScaleData, ScaledData = data / uncert. Scaling into a buffer of its
    // own keeps the host's array bit-for-bit unchanged across a sweep.
    const double* WorkData = nullptr;
    double* ScaledData = nullptr;
    const double* SharedScaledData = nullptr;
    Rand15 rng;  // this engine's 15-bit draws: random start and sampling mode

    // Scratch of the dense kernels (masked pattern copies, the pattern-weight
    // denominators, one block of rows), sized once per run.
    double* KernelScratch = nullptr;
    // Widest instruction set the kernels may use, where the processor has it:
    // 0 the x86-64 baseline (SSE2), 1 AVX2, 2 AVX-512. All give the same bits.
    int SimdLevel = 2;
    // One pass over the gene rows doing the work of `kind`, a zarno::kernels::Kind of
    // kernels.h: the reconstruction, weights or a half round.
    void Sweep(int kind);
    // The threads of UseThreads, and the pool that runs them (null until a
    // run's first pass on more than one thread).
    int ThreadsPerRun = 1;
    zarno::kernels::Pool* KernelPool = nullptr;
    void ReleaseKernelPool();

    int AllocateMemory();
    int CleanUpMemory();
    int Initialization();
    int RandomlizeMatrix(double* matrix, char id);
    int GenerateWeights();
    int GenerateMock();
    int ScaleData();
    int DeScaleData();
    int Normalization();
    int Updating(int SamplingFlag);
    int UpdateA(int I, int J);
    int UpdateP(int I, int J);
    // The two halves of a full sweep: patterns move, then mock and weights
    // follow; then the same for the amplitudes. Each half computes only what a
    // later operation reads: after the pattern half, Mock and P_Weights are not
    // current (the amplitude half rebuilds Mock before reading it); after the
    // amplitude half, A_Weights are not (the next pattern half rebuilds them).
    void UpdatePatternHalf();
    void UpdateAmplitudeHalf();
    void TestChiSquare();
    int Initialization(int flag);
    int Initialization(char* afile, char* pfile);
    int LiftingUncertainty(double scale);
    int RelaxingUncertainty(double scale);
    int TestConnectivity();
    int NormalizeP();
    int Sparsiness();

    // The Gram form: its switch, its arrays (kernels/gram.h: Pw, Pm, UP, PW,
    // GP, GA, the rows' residuals and a thread's scratch, in one block), and
    // the chi-square of its last fit pass, current while GramChiFresh.
    bool GramForm = false;
    double* GramScratch = nullptr;
    double GramChi = 0.0;
    bool GramChiFresh = false;
    bool GramRun() const { return GramForm && uncertFlag == 0; }
    // One Gram pass: with patternHalf a whole round (patterns, then
    // amplitudes), without it the pattern weights of the current matrices;
    // with fit also chi-square of the matrices it leaves.
    void GramPasses(bool patternHalf, bool fit);
    void GramResidual();
    // The run's pool with at least this much scratch a thread, when it runs
    // on more than one; null on one thread.
    zarno::kernels::Pool* PoolFor(size_t scratchDoubles);

    friend class EngineProbe;  // the engine's white-box accessor (engine_probe.h)
};

#endif
