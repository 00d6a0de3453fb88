// The kernels' dispatch: one table per instruction set, the widest the
// processor has picked at run time. Only lane widths differ between the
// copies, never the order of an operation, so all give the same bits.
#include "kernels.h"

namespace zarno::kernels {

int CpuSimdLevel()
{
#if defined(__x86_64__)
    static const int level = [] {
        __builtin_cpu_init();
        if (__builtin_cpu_supports("avx512f")) return 2;
        if (__builtin_cpu_supports("avx2")) return 1;
        return 0;
    }();
    return level;
#else
    return 0;
#endif
}

void Sweep(int level, int kind, const Pass& p)
{
    const SweepFn* table = kSweepsSse2;
    if (level >= 2 && kSweepsAvx512 != nullptr)
        table = kSweepsAvx512;
    else if (level >= 1 && kSweepsAvx2 != nullptr)
        table = kSweepsAvx2;
    table[kind](p);
}

size_t ThreadScratchSize(int samples, int npatterns)
{
    const size_t S = static_cast<size_t>(samples), K = static_cast<size_t>(npatterns);
    // Rounded up to whole cache lines, so that threads never share one.
    return (4 * kRows * S + 2 * kRows * K + 7) / 8 * 8;
}

void PlaceThreadScratch(Pass& p, double* scratch)
{
    const size_t S = static_cast<size_t>(p.S), K = static_cast<size_t>(p.K);
    p.Dp = scratch;
    p.Mp = p.Dp + kRows * S;
    p.DpT = p.Mp + kRows * S;
    p.MpT = p.DpT + kRows * S;
    p.am = p.MpT + kRows * S;
    p.aw = p.am + kRows * K;
}

}  // namespace zarno::kernels
