// Runs held in memory as a run directory: written, they read back as they were
// described; the survey of the description equals the survey of the files; a
// directory that cannot take them is refused before anything is written.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <random>

#include "file_fixture.h"
#include "zarno/study_runs.h"
#include "zarno/survey_files.h"

namespace fs = std::filesystem;

namespace {

class Keep : public zarno::JobSink {
public:
    std::vector<zarno::RunResult> runs;
    bool RunFinished(const zarno::RunView& run) override
    {
        runs.push_back(zarno::CopyRun(run));
        return true;
    }
};

class StudyRunsTest : public FileTest {
protected:
    static constexpr int G = 30, S = 9;
    std::vector<double> values, sigmas;
    zarno::Dataset data;
    zarno::StudyRuns study;

    void SetUp() override
    {
        FileTest::SetUp();
        std::mt19937_64 rng(5);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        for (int g = 0; g < G; g++)
            for (int s = 0; s < S; s++) {
                const double x = (s < 4 ? 1.0 + g % 3 : 0.2) + (s >= 5 ? 1.5 + g % 4 : 0.1);
                sigmas.push_back(0.05 * x + 0.02);
                values.push_back(x + 0.1 * (u(rng) - 0.5));
            }
        data.genes = G;
        data.samples = S;
        data.values = values.data();
        data.sigmas = sigmas.data();
        data.weighted = true;
        for (int g = 0; g < G; g++) data.geneNames.push_back("gene" + std::to_string(g));

        zarno::JobSpec job;
        job.firstRank = 2;
        job.lastRank = 3;
        job.chains = 3;
        job.threads = 2;
        job.run.rounds = 60;
        job.run.trace = true;
        Keep plain, twins;
        ASSERT_EQ(zarno::RunJob(data, job, plain).status, zarno::JobOutcome::kDone);
        job.run.holdout = 0.2;
        ASSERT_EQ(zarno::RunJob(data, job, twins).status, zarno::JobOutcome::kDone);

        study.id.dataSha256 = zarno::ArraySha256(data, false);
        study.id.uncertSha256 = zarno::ArraySha256(data, true);
        study.id.genes = G;
        study.id.samples = S;
        study.id.weighted = true;
        study.id.rounds = 60;
        study.id.trace = true;
        study.id.holdout = 0.2;
        study.geneNames = data.geneNames;  // sample labels left to the writer: s1, s2, ...
        study.runs = plain.runs;
        study.heldOut = twins.runs;
    }
};

}  // namespace

TEST_F(StudyRunsTest, WrittenRunsReadBackAsDescribed)
{
    const std::string out = dir + "study";
    zarno::WriteStudyRuns(out, study);
    const zarno::RunDirectory read = zarno::ReadRunDirectory(out);
    const zarno::RunDirectory described = zarno::DescribeStudyRuns(out, study);

    EXPECT_EQ(read.dir, described.dir);
    EXPECT_EQ(read.job, described.job);
    EXPECT_EQ(read.dataSha256, described.dataSha256);
    EXPECT_EQ(read.uncertSha256, described.uncertSha256);
    EXPECT_EQ(read.data.geneNames, described.data.geneNames);
    EXPECT_EQ(read.data.sampleLabels, described.data.sampleLabels);
    EXPECT_EQ(read.data.sampleLabels.front(), "s1");
    EXPECT_EQ(read.data.cells, described.data.cells);
    ASSERT_EQ(read.runs.size(), 6u);
    ASSERT_EQ(read.runs.size(), described.runs.size());
    for (size_t i = 0; i < read.runs.size(); i++) {
        const zarno::SurveyRun &a = read.runs[i], &b = described.runs[i];
        EXPECT_EQ(a.patterns, b.patterns);
        EXPECT_EQ(a.chain, b.chain);
        EXPECT_EQ(a.status, b.status);
        EXPECT_EQ(a.amplitudes, b.amplitudes);  // every bit
        EXPECT_EQ(a.patternRows, b.patternRows);
        EXPECT_EQ(a.chiSquare, b.chiSquare);
        EXPECT_EQ(a.ssr, b.ssr);
        EXPECT_EQ(a.trace, b.trace);
        ASSERT_TRUE(a.holdoutError.has_value());
        EXPECT_EQ(a.holdoutError, b.holdoutError);
    }
    // The survey's JSON holds the runs' records (seeds, rounds, seconds) too.
    const zarno::SurveyOptions options;
    EXPECT_EQ(zarno::SurveyJson(read, zarno::RunSurvey(read.data, read.runs), options),
              zarno::SurveyJson(described, zarno::RunSurvey(described.data, described.runs), options));
    EXPECT_TRUE(fs::exists(out + "/holdout/k3/c2/run.json"));
    EXPECT_EQ(Lines(out + "/summary.tsv").size(), 7u);
}

TEST_F(StudyRunsTest, RefusesBeforeWritingAnything)
{
    const std::string used = dir + "used";
    fs::create_directories(used);
    Write("used/notes.txt", "mine\n");
    EXPECT_THROW(zarno::WriteStudyRuns(used, study), zarno::InputError);
    EXPECT_FALSE(fs::exists(used + "/job.json"));

    study.sampleLabels.assign(S, "sample");
    study.sampleLabels[4] = "two\twords";
    try {
        zarno::WriteStudyRuns(dir + "named", study);
        FAIL() << "a label with a tab was written";
    } catch (const zarno::InputError& e) {
        EXPECT_NE(std::string(e.what()).find("sample label 4"), std::string::npos) << e.what();
    }
    EXPECT_FALSE(fs::exists(dir + "named"));
}

TEST_F(StudyRunsTest, ArrayChecksumFollowsValuesAndNames)
{
    const std::string values0 = zarno::ArraySha256(data, false);
    EXPECT_EQ(values0.size(), 64u);
    EXPECT_NE(values0, zarno::ArraySha256(data, true));
    values[17] = std::nextafter(values[17], 10.0);
    EXPECT_NE(zarno::ArraySha256(data, false), values0);
    values[17] = std::nextafter(values[17], 0.0);
    EXPECT_EQ(zarno::ArraySha256(data, false), values0);
    data.geneNames[3] = "renamed";
    EXPECT_NE(zarno::ArraySha256(data, false), values0);
}

TEST_F(StudyRunsTest, AFitThatIsNotANumberIsAFailedRun)
{
    study.runs[1].chiSquare = std::nan("");
    const zarno::RunDirectory described = zarno::DescribeStudyRuns(dir + "x", study);
    int failed = 0;
    for (const zarno::SurveyRun& r : described.runs) failed += r.status == zarno::SurveyRun::kFailed;
    EXPECT_EQ(failed, 1);
    for (auto& r : study.runs) r.ssr = std::nan("");
    EXPECT_THROW(zarno::DescribeStudyRuns(dir + "x", study), zarno::RunDirError);
}
