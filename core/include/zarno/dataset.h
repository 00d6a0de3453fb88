// Data sets and their checks: a genes x samples view of the caller's arrays,
// refused with the classic host entry's words when it cannot be run.
#ifndef ZARNO_CORE_DATASET_H
#define ZARNO_CORE_DATASET_H

#include <string>
#include <vector>

namespace zarno {

// A genes x samples matrix, row-major, with optional uncertainties of the same
// shape. A view: the arrays belong to the caller and must outlive every run
// that reads them; nothing here writes to them.
struct Dataset {
    int genes = 0;
    int samples = 0;
    const double* values = nullptr;
    const double* sigmas = nullptr;  // needed when weighted
    bool weighted = false;           // divide data and reconstruction by sigmas
    // A NaN value (or, weighted, a NaN uncertainty) is a missing cell: it has
    // weight zero in every run and its value is never read. Without this a
    // NaN is refused, as the classic entry refuses it.
    bool allowMissing = false;
    std::vector<std::string> geneNames;     // empty, or one per gene
    std::vector<std::string> sampleLabels;  // empty, or one per sample
};

// Why a job was refused. `text` is the wording of the classic host entry
// (field names as the host knows them), so every front end can show the same
// refusal; `gene` and `sample` locate a bad value (from 0), -1 elsewhere.
struct Refusal {
    enum Code {
        kNone,
        kGenes,          // genes < 1
        kSamples,        // samples < 1
        kCells,          // genes x samples beyond 32 bits
        kNoValues,       // a null array
        kNoSigmas,
        kValue,          // a value that is not finite
        kSigma,          // weighted, and an uncertainty not positive and finite
        kFirstRank,  // first pattern count < 1
        kLastRank,   // (genes + samples) x patterns beyond 32 bits
        kTooManyPatterns,  // more patterns than samples or genes (command and kit)
        kChains,           // first chain < 1, or seeds beyond 32 bits
        kRounds,           // negative rounds
        kLabels,           // label count differs from the dimension
        kTolerance,        // tolerance not in [0, 1)
        kHoldout,          // held-out fraction not in [0, 0.9]
        kThreads,          // negative threads per run
        kNoObserved,       // a gene or a sample whose every cell is missing
        kTooFewObserved,   // fewer observed cells than free parameters
        kNothingAbove,     // no value above zero: nothing to factorize
    };
    Code code = kNone;
    long long gene = -1;
    long long sample = -1;
    double value = 0.0;
    std::string text;
    explicit operator bool() const { return code != kNone; }
};

// The classic entry's checks of the data: dimensions and 32-bit sizes
// (CheckShape), then finite values and, when weighted, positive finite
// uncertainties (CheckValues, the first fault in row-major order). With
// allowMissing, CheckValues skips the missing cells and refuses a gene or a
// sample that has no other (kNoObserved). CheckDataset, a study's check, runs
// both and also refuses data with no value above zero (kNothingAbove), which
// the classic entry runs.
Refusal CheckShape(const Dataset& data);
Refusal CheckValues(const Dataset& data);
Refusal CheckDataset(const Dataset& data);

// Counts values below zero (the engine runs them as they are; a log
// transform left in the data is a common mistake). firstGene/firstSample
// locate the first, -1 when there is none.
long long CountNegative(const Dataset& data, long long* firstGene, long long* firstSample);

}  // namespace zarno

#endif
