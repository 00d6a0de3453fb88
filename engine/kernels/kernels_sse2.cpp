// The kernels for the baseline: SSE2 on x86-64, two-lane vectors elsewhere.
#define ZK_ISA sse2
#define ZK_VEC V2
#define ZK_TABLE kSweepsSse2Table
#include "kernels_impl.h"
#define ZK_GRAM_TABLE kGramSse2Table
#include "gram_impl.h"

namespace zarno::kernels {
const SweepFn* const kSweepsSse2 = kSweepsSse2Table;
const GramFn* const kGramSse2 = kGramSse2Table;
}
