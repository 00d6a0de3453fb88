// White-box access to the engine for the unit tests, and a standalone engine
// (no JVM) sized for a run.
#ifndef ZARNO_ENGINE_PROBE_H
#define ZARNO_ENGINE_PROBE_H

#include <vector>

#include "L.h"

class EngineProbe {
public:
    explicit EngineProbe(L& engine) : e(engine) {}
    L& e;
    int Allocate() { return e.AllocateMemory(); }
    void Free() { e.CleanUpMemory(); }
    int Start() { return e.Initialization(); }
    int Randomize(double* m, char id) { return e.RandomlizeMatrix(m, id); }
    int Mock() { return e.GenerateMock(); }
    int Weights() { return e.GenerateWeights(); }
    int Scale() { return e.ScaleData(); }
    int DeScale() { return e.DeScaleData(); }
    int Normalize() { return e.Normalization(); }
    int Update(int flag) { return e.Updating(flag); }
    int UpdateP(int i, int j) { return e.UpdateP(i, j); }
    int UpdateA(int i, int j) { return e.UpdateA(i, j); }
    void HalfP() { e.UpdatePatternHalf(); }
    void HalfA() { e.UpdateAmplitudeHalf(); }
    void Chi() { e.TestChiSquare(); }
    double* AW() { return e.A_Weights; }
    double* PW() { return e.P_Weights; }
    const double* Work() { return e.WorkData; }
    void SeedDraws(unsigned seed) { e.rng.Seed(seed); }
    int NextDraw() { return e.rng.Next(); }
    // File-driven starts and diagnostics.
    int StartFromFiles(char* afile, char* pfile) { return e.Initialization(afile, pfile); }
    int StartWithPriors(int flag) { return e.Initialization(flag); }
    int Lift(double scale) { return e.LiftingUncertainty(scale); }
    int Relax(double scale) { return e.RelaxingUncertainty(scale); }
    int NormalizeP() { return e.NormalizeP(); }
    int Connectivity() { return e.TestConnectivity(); }
    int Sparse() { return e.Sparsiness(); }
    double* NormalizedP() { return e.normalizedP; }
    int* Conn() { return e.connectivity; }
    int* Conn0() { return e.connectivity0; }
    void Simd(int level) { e.SimdLevel = level; }
    // The Gram form: a pass (see L::GramPasses), its pattern weights
    // (patterns x padded samples) and chi-square.
    void Gram(bool patternHalf, bool fit) { e.GramPasses(patternHalf, fit); }
    const double* GramPW() const;
    double GramChi() const { return e.GramChi; }
    bool GramChiFresh() const { return e.GramChiFresh; }
};

inline const double* EngineProbe::GramPW() const
{
    // After Pw, Pm and UP in the block (L_gram.cpp).
    const size_t S8 = (static_cast<size_t>(e.Nsamples) + 7) / 8 * 8;
    return e.GramScratch + 3 * static_cast<size_t>(e.Npatterns) * S8;
}

// An engine with no host: messages go to standard output.
struct Standalone {
    std::vector<double> data, uncert;
    L engine;
    EngineProbe probe{engine};

    Standalone(int genes, int samples, int patterns, int flag)
        : data(static_cast<size_t>(genes) * samples), uncert(data.size(), 1.0)
    {
        engine.Ngenes = genes;
        engine.Nsamples = samples;
        engine.Npatterns = patterns;
        engine.uncertFlag = flag;
        engine.chain = 1;
        engine.data = data.data();
        engine.uncert = uncert.data();
    }
};

#endif
