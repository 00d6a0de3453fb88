// The holdout: a fixed speckled mask of cells per chain, weighed out of the
// chain's runs, and the error of a run's reconstruction over them.
#include <cstdint>
#include <cmath>

#include "run_private.h"
#include "zarno/cells.h"

namespace zarno {

bool HeldOut(long long cell, int chain, double fraction)
{
    if (!(fraction > 0.0)) return false;
    // splitmix64 of (chain, cell): uniform bits, the same on every machine.
    std::uint64_t z = (static_cast<std::uint64_t>(static_cast<std::uint32_t>(chain)) << 40) ^
                      static_cast<std::uint64_t>(cell) ^ 0x5A524E4F484F4C44ull;
    z += 0x9E3779B97F4A7C15ull;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    z ^= z >> 31;
    return static_cast<double>(z >> 11) * 0x1.0p-53 < fraction;
}

namespace detail {

namespace {

// A held-out cell's uncertainty: any data value over it, and any
// reconstruction, falls far below eps, which every sum of the engine skips.
constexpr double kHeldOutSigma = 1e300;

}  // namespace

bool HoldoutSigmas::Prepare(L& e, const Dataset& d, const RunOptions& o, int chain,
                            const double* shared, const MissingCells* missing)
{
    if (!(o.holdout > 0.0)) {
        if (missing != nullptr) {
            e.uncert = const_cast<double*>(missing->sigmas.data());
            e.uncertFlag = 1;
            e.UseScaledData(missing->scaled.data());
            return true;
        }
        e.uncert = const_cast<double*>(d.sigmas);
        e.uncertFlag = d.weighted ? 1 : 0;
        e.UseScaledData(shared);
        return true;
    }
    if (chain != madeFor) {
        const size_t n = static_cast<size_t>(d.genes) * static_cast<size_t>(d.samples);
        sigmas.resize(n);
        for (size_t c = 0; c < n; c++)
            sigmas[c] = HeldOut(static_cast<long long>(c), chain, o.holdout)
                            ? kHeldOutSigma
                            : (d.weighted ? d.sigmas[c] : 1.0);
        if (missing != nullptr) {
            // The engine would divide a missing value too: the quotients are
            // made here, +0.0 where missing, the engine's division elsewhere.
            scaled.resize(n);
            for (size_t c = 0; c < n; c++) {
                if (std::isinf(missing->sigmas[c])) {
                    sigmas[c] = missing->sigmas[c];
                    scaled[c] = 0.0;
                } else {
                    scaled[c] = d.values[c] / sigmas[c];
                }
            }
        }
        madeFor = chain;
    }
    e.uncert = sigmas.data();
    e.uncertFlag = 1;
    e.UseScaledData(missing != nullptr ? scaled.data() : nullptr);
    return true;
}

// The final reconstruction A . P (the normalization moved scale, not the
// product), over the data's own uncertainties when weighted.
void HoldoutError(const L& e, const Dataset& d, double fraction, RunView& v)
{
    if (!(fraction > 0.0)) return;
    long long cells = 0;
    double sum = 0.0;
    const int S = d.samples, K = e.Npatterns;
    for (long long g = 0; g < d.genes; g++) {
        for (int s = 0; s < S; s++) {
            const long long c = g * S + s;
            if (!HeldOut(c, e.chain, fraction) || MissingCell(d, static_cast<size_t>(c))) continue;
            double m = 0.0;
            for (int k = 0; k < K; k++)
                m += e.Amplitude[g * K + k] * e.Pattern[static_cast<long long>(k) * S + s];
            double r = d.values[c] - m;
            if (d.weighted) r /= d.sigmas[c];
            sum += r * r;
            cells++;
        }
    }
    v.holdoutCells = cells;
    v.holdoutError = cells > 0 ? sum / static_cast<double>(cells) : 0.0;
}

}  // namespace detail

}  // namespace zarno
