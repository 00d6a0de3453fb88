// `zarno survey` with sample annotations, in process: the table on the
// terminal gains the column that agrees best per count and the likely batch
// effects, from the copy a study keeps.
#include <gtest/gtest.h>

#include <string>

#include "commands.h"
#include "file_fixture.h"
#include "run_command.h"

using namespace zarno::cli;

namespace {

class SurveyTable : public FileTest {};

TEST_F(SurveyTable, ShowsTheBestAgreeingColumnAndLikelyBatchEffects)
{
    // Two groups of three samples, each raising its own genes.
    std::string data = "gene\ta1\ta2\ta3\tb1\tb2\tb3\n";
    for (int g = 0; g < 8; g++) {
        data += "g" + std::to_string(g);
        for (int s = 0; s < 6; s++)
            data += "\t" + std::to_string((s < 3) == (g % 2 == 0) ? 10.0 + g + s : 0.5 + 0.1 * s);
        data += "\n";
    }
    RunArgs a;
    a.data = Write("data.tsv", data);
    a.out = dir + "study";
    a.ranks = "2:3";
    a.ranksGiven = true;
    a.chains = 3;
    a.rounds = 200;
    a.threads = 1;
    a.quiet = true;
    a.noReport = true;
    a.annotations.path = Write("notes.tsv", "sample\tgroup\tplate\tdose\na1\tx\tp1\t1.5\na2\tx\tp1\t2.5\na3\tx\tp1\t3\n"
                                            "b1\ty\tp2\t7.5\nb2\ty\tp2\t8\nb3\ty\tp2\t9.5\n");
    ::testing::internal::CaptureStderr();
    ASSERT_EQ(RunStudy(a), kExitDone) << ::testing::internal::GetCapturedStderr();
    ::testing::internal::GetCapturedStderr();

    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int code = SurveyCommand(a.out, false, false);
    const std::string out = ::testing::internal::GetCapturedStdout();
    const std::string err = ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(code, kExitDone) << err;
    EXPECT_NE(out.find("best agreement"), std::string::npos) << out;
    // At two patterns the clusters are the groups: ARI 1; the first such column wins.
    EXPECT_NE(out.find("\n  2 "), std::string::npos) << out;
    const std::string two = out.substr(out.find("\n  2 ") + 1, out.find('\n', out.find("\n  2 ") + 1) - out.find("\n  2 ") - 1);
    EXPECT_NE(two.find("group 1.000  "), std::string::npos) << two;
    // The plate is named like a batch and follows the groups.
    EXPECT_NE(out.find("Likely batch effect: column plate (named like a batch) is followed by"), std::string::npos)
        << out;
    EXPECT_NE(out.find("the clusters at 2 patterns (ARI 1.00)"), std::string::npos) << out;
}

}  // namespace
