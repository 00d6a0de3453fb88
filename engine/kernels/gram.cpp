// The Gram kernels' dispatch and sizes (the kernels: gram_impl.h).
#include "gram.h"

#include "kernels.h"

namespace zarno::kernels {

size_t GramThreadScratch(int samples, int npatterns)
{
    (void)samples;
    const size_t K = static_cast<size_t>(npatterns);
    const size_t K8 = (K + 7) / 8 * 8;
    // A chunked panel's strands (8 rows), two blocks of masked amplitudes,
    // a padded pattern row; or the strands of every pattern pair.
    const size_t rows = 8 * K * kStrands + 8 * kStrands + 2 * kRows * K + K8;
    const size_t pairs = K * K * kStrands;
    return ((rows > pairs ? rows : pairs) + 7) / 8 * 8;
}

bool GramFusable(int samples, int npatterns)
{
    return PaddedSamples(samples) <= GramChunkWidth(npatterns);
}

void GramSweep(int level, int kind, const GramPass& p)
{
    const GramFn* table = kGramSse2;
    if (level >= 2 && kGramAvx512 != nullptr)
        table = kGramAvx512;
    else if (level >= 1 && kGramAvx2 != nullptr)
        table = kGramAvx2;
    table[kind](p);
}

}  // namespace zarno::kernels
