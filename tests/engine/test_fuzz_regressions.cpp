// Replays the fuzzers' seeds and every input they ever found crashing or
// hanging through the same harness, so a fixed fault stays fixed in the
// normal build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "harness.h"

namespace {

namespace fs = std::filesystem;

int Replay(const char* target, int (*run)(const uint8_t*, size_t))
{
    int count = 0;
    for (const char* kind : {"corpus", "regressions"}) {
        const fs::path dir = fs::path(ZARNO_FUZZ_DIR) / kind / target;
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

TEST(FuzzRegressions, ControlFile) { EXPECT_GT(Replay("control", zfuzz::Control), 0); }
TEST(FuzzRegressions, DataFile) { EXPECT_GT(Replay("data", zfuzz::Data), 0); }
TEST(FuzzRegressions, MatrixFile) { EXPECT_GT(Replay("matrix", zfuzz::Matrix), 0); }
TEST(FuzzRegressions, LinkFile) { EXPECT_GT(Replay("link", zfuzz::Link), 0); }

}  // namespace
