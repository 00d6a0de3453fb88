// The kernels for AVX2 (this file alone is compiled with -mavx2). No FMA:
// -mfma stays off, and -ffp-contract=off holds anyway.
#include "kernels.h"
#include "gram.h"

#if defined(__x86_64__)
#define ZK_ISA avx2
#define ZK_VEC V4
#define ZK_TABLE kSweepsAvx2Table
#include "kernels_impl.h"
#define ZK_GRAM_TABLE kGramAvx2Table
#include "gram_impl.h"

namespace zarno::kernels {
const SweepFn* const kSweepsAvx2 = kSweepsAvx2Table;
const GramFn* const kGramAvx2 = kGramAvx2Table;
}
#else
namespace zarno::kernels {
const SweepFn* const kSweepsAvx2 = nullptr;
const GramFn* const kGramAvx2 = nullptr;
}
#endif
