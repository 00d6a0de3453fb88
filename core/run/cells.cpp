// The cells of a data set (cells.h), and the arrays that weigh its missing
// cells out of every run (run_private.h).
#include "zarno/cells.h"

#include <cmath>
#include <limits>
#include <vector>

#include "run_private.h"

namespace zarno {

bool MissingCell(const Dataset& d, std::size_t cell)
{
    if (!d.allowMissing) return false;
    return std::isnan(d.values[cell]) || (d.weighted && std::isnan(d.sigmas[cell]));
}

CellCounts CountCells(const Dataset& d)
{
    CellCounts c;
    if (d.values == nullptr || d.genes <= 0 || d.samples <= 0) return c;
    const size_t S = static_cast<size_t>(d.samples);
    c.cells = static_cast<long long>(d.genes) * d.samples;
    // Per sample: observed cells and observed values other than zero.
    std::vector<long long> observedIn(S, 0), nonZeroIn(S, 0);
    for (long long g = 0; g < d.genes; g++) {
        long long observed = 0, nonZero = 0;
        for (size_t s = 0; s < S; s++) {
            const size_t e = static_cast<size_t>(g) * S + s;
            if (MissingCell(d, e)) {
                c.missing++;
                continue;
            }
            observed++;
            observedIn[s]++;
            if (d.values[e] != 0.0) nonZero++, nonZeroIn[s]++;
            if (d.values[e] > 0.0) c.anyAboveZero = true;
        }
        if (observed == 0 && c.emptyGenes++ == 0) c.firstEmptyGene = g;
        if (observed > 0 && nonZero == 0 && c.zeroGenes++ == 0) c.firstZeroGene = g;
    }
    for (size_t s = 0; s < S; s++) {
        const long long i = static_cast<long long>(s);
        if (observedIn[s] == 0 && c.emptySamples++ == 0) c.firstEmptySample = i;
        if (observedIn[s] > 0 && nonZeroIn[s] == 0 && c.zeroSamples++ == 0) c.firstZeroSample = i;
    }
    return c;
}

long long FreeParameters(int genes, int samples, int patterns)
{
    const long long P = patterns;
    return static_cast<long long>(genes) * P + P * samples - P;
}

namespace detail {

bool MissingCells::Make(const Dataset& d)
{
    sigmas.clear();
    scaled.clear();
    if (!d.allowMissing || d.values == nullptr) return false;
    const size_t n = static_cast<size_t>(d.genes) * static_cast<size_t>(d.samples);
    size_t e = 0;
    while (e < n && !MissingCell(d, e)) e++;
    if (e == n) return false;
    sigmas.resize(n);
    scaled.resize(n);
    for (e = 0; e < n; e++) {
        if (MissingCell(d, e)) {
            sigmas[e] = std::numeric_limits<double>::infinity();
            scaled[e] = 0.0;
        } else {
            sigmas[e] = d.weighted ? d.sigmas[e] : 1.0;
            // The quotient the engine would make (unweighted: the value itself).
            scaled[e] = d.values[e] / sigmas[e];
        }
    }
    return true;
}

}  // namespace detail

}  // namespace zarno
