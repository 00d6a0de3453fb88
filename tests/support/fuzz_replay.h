// Replays a fuzzer's committed seeds (fuzz/corpus/<target>/) and every input
// it ever found crashing or hanging (fuzz/regressions/<target>/) through its
// harness, so a fixed fault stays fixed in the normal build. What the readers
// print on standard output is swallowed.
#ifndef ZARNO_FUZZ_REPLAY_H
#define ZARNO_FUZZ_REPLAY_H

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

// The number of inputs replayed from `fuzzDir`.
inline int ReplayFuzzInputs(const std::string& fuzzDir, const char* target,
                            int (*run)(const uint8_t*, size_t))
{
    namespace fs = std::filesystem;
    int count = 0;
    for (const char* kind : {"corpus", "regressions"}) {
        const fs::path dir = fs::path(fuzzDir) / kind / target;
        if (!fs::exists(dir)) continue;
        for (const auto& entry : fs::directory_iterator(dir)) {
            if (!entry.is_regular_file() || entry.path().filename().string()[0] == '.') continue;
            std::ifstream in(entry.path(), std::ios::binary);
            const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                          std::istreambuf_iterator<char>());
            SCOPED_TRACE(entry.path().string());
            ::testing::internal::CaptureStdout();
            run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            ::testing::internal::GetCapturedStdout();
            count++;
        }
    }
    return count;
}

#endif
