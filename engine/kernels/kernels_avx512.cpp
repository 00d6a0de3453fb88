// The kernels for AVX-512 (this file alone is compiled with -mavx512f).
#include "kernels.h"
#include "gram.h"

#if defined(__x86_64__)
#define ZK_ISA avx512
#define ZK_VEC V8
#define ZK_TABLE kSweepsAvx512Table
#include "kernels_impl.h"
#define ZK_GRAM_TABLE kGramAvx512Table
#include "gram_impl.h"

namespace zarno::kernels {
const SweepFn* const kSweepsAvx512 = kSweepsAvx512Table;
const GramFn* const kGramAvx512 = kGramAvx512Table;
}
#else
namespace zarno::kernels {
const SweepFn* const kSweepsAvx512 = nullptr;
const GramFn* const kGramAvx512 = nullptr;
}
#endif
