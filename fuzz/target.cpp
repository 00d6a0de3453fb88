// One libFuzzer target; ZARNO_FUZZ_TARGET names the harness function (harness.h
// for the engine's readers, core_harness.h for the core's).
#include <cstdio>

#include "core_harness.h"
#include "harness.h"

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    // The readers' messages would drown the fuzzer's own report on stderr.
    if (std::freopen("/dev/null", "w", stdout) == nullptr) return 1;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    return zfuzz::ZARNO_FUZZ_TARGET(data, size);
}
