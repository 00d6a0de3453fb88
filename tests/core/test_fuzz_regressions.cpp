// Replays the seeds of the core readers' fuzzers and every input they ever
// found crashing or hanging through the same harness, so a fixed fault stays
// fixed in the normal build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>

#include "core_harness.h"

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
            run(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
            count++;
        }
    }
    return count;
}

TEST(FuzzRegressionsCore, InputTables) { EXPECT_GT(Replay("table", zfuzz::Table), 0); }
TEST(FuzzRegressionsCore, ControlFiles) { EXPECT_GT(Replay("core_control", zfuzz::CoreControl), 0); }
TEST(FuzzRegressionsCore, JobJson) { EXPECT_GT(Replay("job_json", zfuzz::JobJson), 0); }
TEST(FuzzRegressionsCore, RunJson) { EXPECT_GT(Replay("run_json", zfuzz::RunJson), 0); }
TEST(FuzzRegressionsCore, RunDirectory) { EXPECT_GT(Replay("run_directory", zfuzz::RunDirectory), 0); }

}  // namespace
