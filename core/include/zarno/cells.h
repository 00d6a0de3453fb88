// The cells of a data set as its runs see them: which are missing, how many
// are observed, and the genes and samples that hold nothing but zeros.
#ifndef ZARNO_CORE_CELLS_H
#define ZARNO_CORE_CELLS_H

#include <cstddef>

#include "zarno/dataset.h"

namespace zarno {

// Whether cell `cell` (row-major) is missing: only with data.allowMissing, a
// NaN value or, weighted, a NaN uncertainty.
bool MissingCell(const Dataset& data, std::size_t cell);

struct CellCounts {
    long long cells = 0;    // genes x samples
    long long missing = 0;  // of them missing
    // Genes and samples whose every cell is missing (a study refuses them),
    // and those whose observed values are all zero (a study runs them).
    long long emptyGenes = 0, emptySamples = 0, zeroGenes = 0, zeroSamples = 0;
    long long firstEmptyGene = -1, firstEmptySample = -1, firstZeroGene = -1, firstZeroSample = -1;
    bool anyAboveZero = false;  // some observed value is above zero
    long long Observed() const { return cells - missing; }
};

// One pass over the data (values needed; counts stay zero without them).
CellCounts CountCells(const Dataset& data);

// The free parameters of a fit of `patterns` patterns: amplitudes and
// patterns, less one scale per pattern (each pattern row sums to 1). The
// survey's degrees of freedom are the observed cells less these.
long long FreeParameters(int genes, int samples, int patterns);

}  // namespace zarno

#endif
