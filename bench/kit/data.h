// The benchmark's data, made the same way by floor.cpp and KitBench.java:
// four smooth patterns with gene-dependent amplitudes, a ripple, and
// uncertainties of 5% plus a floor.
#ifndef ZARNO_BENCH_KIT_DATA_H
#define ZARNO_BENCH_KIT_DATA_H

#include <cmath>
#include <vector>

namespace kitbench {

inline void Fill(int genes, int samples, std::vector<double>& values, std::vector<double>& sigmas)
{
    values.resize(static_cast<size_t>(genes) * samples);
    sigmas.resize(values.size());
    for (int g = 0; g < genes; g++) {
        for (int s = 0; s < samples; s++) {
            double v = 0.1 * ((g * 31 + s * 17) % 11) / 11.0;
            for (int k = 0; k < 4; k++) {
                const double a = 1.0 + ((g * 7 + k * 13) % 17) / 4.0;
                const double z = (s - samples * (k + 0.5) / 4.0) / (samples / 12.0);
                v += a * (std::exp(-z * z) + 0.05);
            }
            values[static_cast<size_t>(g) * samples + s] = v;
            sigmas[static_cast<size_t>(g) * samples + s] = 0.05 + 0.05 * v;
        }
    }
}

}  // namespace kitbench

#endif
