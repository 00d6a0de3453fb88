// Replays the fuzzers' seeds and every input they ever found crashing or
// hanging through the same harness, so a fixed fault stays fixed in the
// normal build.
#include <gtest/gtest.h>

#include "fuzz_replay.h"
#include "harness.h"

namespace {

int Replay(const char* target, int (*run)(const uint8_t*, size_t))
{
    return ReplayFuzzInputs(ZARNO_FUZZ_DIR, target, run);
}

TEST(FuzzRegressions, ControlFile) { EXPECT_GT(Replay("control", zfuzz::Control), 0); }
TEST(FuzzRegressions, DataFile) { EXPECT_GT(Replay("data", zfuzz::Data), 0); }
TEST(FuzzRegressions, MatrixFile) { EXPECT_GT(Replay("matrix", zfuzz::Matrix), 0); }
TEST(FuzzRegressions, LinkFile) { EXPECT_GT(Replay("link", zfuzz::Link), 0); }

}  // namespace
