// The core readers' fuzz seeds and finds, replayed through their harness.
#include <gtest/gtest.h>

#include "core_harness.h"
#include "fuzz_replay.h"

namespace {

int Replay(const char* target, int (*run)(const uint8_t*, size_t))
{
    return ReplayFuzzInputs(ZARNO_FUZZ_DIR, target, run);
}

TEST(FuzzRegressionsCore, InputTables) { EXPECT_GT(Replay("table", zfuzz::Table), 0); }
TEST(FuzzRegressionsCore, ControlFiles) { EXPECT_GT(Replay("core_control", zfuzz::CoreControl), 0); }
TEST(FuzzRegressionsCore, JobJson) { EXPECT_GT(Replay("job_json", zfuzz::JobJson), 0); }
TEST(FuzzRegressionsCore, RunJson) { EXPECT_GT(Replay("run_json", zfuzz::RunJson), 0); }
TEST(FuzzRegressionsCore, RunDirectory) { EXPECT_GT(Replay("run_directory", zfuzz::RunDirectory), 0); }

}  // namespace
