// The survey's and the report's files of run directories made here from real
// engine runs: the numbers read back, the files written, and bad directories
// refused with the file named and nothing written.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <random>

#include "file_fixture.h"
#include "zarno/survey_files.h"
#include "survey_fixture.h"

namespace fs = std::filesystem;

namespace {

class RunDirTest : public FileTest {
protected:
    static constexpr int G = 24, S = 8;
    std::vector<double> data, sigma;
    std::vector<std::string> genes, samples;
    std::vector<zarno::SurveyRun> runs;
    std::string run;  // the run directory

    void SetUp() override
    {
        FileTest::SetUp();
        run = dir + "job";
        // Rank-2 data with noise, two sample groups.
        std::mt19937_64 rng(11);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        data.resize(G * S);
        sigma.resize(G * S);
        for (int g = 0; g < G; g++)
            for (int s = 0; s < S; s++) {
                const double x = (s < 4 ? 1.0 + g % 3 : 0.1) + (s >= 4 ? 2.0 + g % 5 : 0.1);
                sigma[g * S + s] = 0.05 * x + 0.01;
                data[g * S + s] = x + sigma[g * S + s] * (u(rng) - 0.5);
            }
        for (int g = 0; g < G; g++) genes.push_back("gene" + std::to_string(g));
        for (int s = 0; s < S; s++) samples.push_back("sample" + std::to_string(s));
        for (int P = 2; P <= 3; P++)
            for (int c = 1; c <= 3; c++)
                runs.push_back(fixture::EngineRun(data, &sigma, G, S, P, c, 60, true));
        fixture::WriteJob(run, 2, 3, 3, true);
        for (const auto& r : runs) fixture::WriteRun(run, r, genes, samples);
    }
    std::string Path(const std::string& rel) { return run + "/" + rel; }
    // Writes the survey (and the report), returning the command's exit code
    // and the refusal's message.
    int Survey(std::string* err, bool report = false)
    {
        err->clear();
        try {
            const zarno::SurveyedDirectory s = zarno::WriteSurvey(run);
            if (report) zarno::WriteReport(s);
        } catch (const zarno::InputError& e) {
            *err = e.what();
            return 2;
        }
        return 0;
    }
    // A bad directory: exit 2, the message names `file`, and nothing was written.
    void ExpectRefused(const std::string& file, const std::string& words)
    {
        fixture::WriteText(Path("survey.json"), "previous\n");
        std::string err;
        EXPECT_EQ(Survey(&err), 2);
        EXPECT_NE(err.find(file), std::string::npos) << err;
        EXPECT_NE(err.find(words), std::string::npos) << err;
        EXPECT_EQ(Slurp(Path("survey.json")), "previous\n");
        EXPECT_FALSE(fs::exists(Path("survey.tsv")));
        EXPECT_FALSE(fs::exists(Path("consensus")));
        EXPECT_FALSE(fs::exists(Path("report.html")));
    }
};

}  // namespace

TEST_F(RunDirTest, RunsReadBackToTheBitsAndGiveTheInMemorySurvey)
{
    const zarno::RunDirectory d = zarno::ReadRunDirectory(run);
    ASSERT_EQ(d.runs.size(), runs.size());
    EXPECT_TRUE(d.missing.empty());
    EXPECT_EQ(d.data.geneNames, genes);
    EXPECT_EQ(d.data.sampleLabels, samples);
    for (size_t i = 0; i < runs.size(); i++) {
        EXPECT_EQ(d.runs[i].status, zarno::SurveyRun::kComplete);
        EXPECT_EQ(d.runs[i].amplitudes, runs[i].amplitudes);
        EXPECT_EQ(d.runs[i].patternRows, runs[i].patternRows);
        EXPECT_EQ(d.runs[i].chiSquare, runs[i].chiSquare);
        EXPECT_EQ(d.runs[i].trace, runs[i].trace);
    }
    zarno::SurveyData mem;
    mem.genes = G, mem.samples = S, mem.cells = G * S;
    const zarno::Survey direct = zarno::RunSurvey(mem, runs);

    std::string err;
    ASSERT_EQ(Survey(&err), 0) << err;
    const auto j = nlohmann::json::parse(Slurp(Path("survey.json")));
    EXPECT_EQ(j["suggested_patterns"].is_null(), !direct.suggested.has_value());
    if (direct.suggested) {
        EXPECT_EQ(j["suggested_patterns"], *direct.suggested);
    }
    EXPECT_EQ(j["suggestion_note"], direct.note);
    ASSERT_EQ(j["counts"].size(), 2u);
    EXPECT_EQ(j["counts"][0]["chi_square"]["best"].get<double>(), direct.counts[0].chiSquare->best);
    EXPECT_EQ(j["counts"][1]["stability_min"].is_null(), !direct.counts[1].minStability.has_value());
    for (const char* f : {"patterns.tsv", "amplitudes.tsv", "patterns_sd.tsv", "amplitudes_sd.tsv",
                          "top_genes.tsv", "sample_consensus.tsv"})
        for (int P = 2; P <= 3; P++)
            EXPECT_TRUE(fs::exists(Path("consensus/k" + std::to_string(P) + "/" + f))) << f;
    const auto tsv = Lines(Path("survey.tsv"));
    ASSERT_EQ(tsv.size(), 3u);
    EXPECT_EQ(tsv[1].rfind("2\t3\t0\t0\t", 0), 0u) << tsv[1];
    for (const auto& l : tsv) EXPECT_EQ(l.find("nan"), std::string::npos) << l;
    const auto pat = Lines(Path("consensus/k2/patterns.tsv"));
    ASSERT_EQ(pat.size(), 3u);
    EXPECT_EQ(pat[0].rfind("pattern\tsample0\t", 0), 0u);
    EXPECT_EQ(Lines(Path("consensus/k3/amplitudes.tsv")).size(), static_cast<size_t>(G + 1));
    // Each gene is listed for the pattern of its largest share.
    const auto& top = direct.counts[0].topGenes;
    EXPECT_EQ(Lines(Path("consensus/k2/top_genes.tsv")).size(), 1u + top[0].size() + top[1].size());
    EXPECT_GE(top[0].size() + top[1].size(), 20u);
}

TEST_F(RunDirTest, MissingRunsAreListedAndTheRestSurveyed)
{
    fs::remove(Path("runs/k3/c2/run.json"));  // a run still going
    fs::remove_all(Path("runs/k2/c3"));        // a run not started
    std::string err;
    ASSERT_EQ(Survey(&err), 0) << err;
    const auto j = nlohmann::json::parse(Slurp(Path("survey.json")));
    ASSERT_EQ(j["missing_runs"].size(), 2u);
    EXPECT_EQ(j["missing_runs"][0], (nlohmann::json{{"patterns", 2}, {"chain", 3}}));
    EXPECT_EQ(j["missing_runs"][1], (nlohmann::json{{"patterns", 3}, {"chain", 2}}));
    EXPECT_EQ(j["counts"][0]["chains"], (std::vector<int>{1, 2}));
    EXPECT_NE(j["counts"][1]["status"].get<std::string>().find("missing chains: 2"), std::string::npos);
}

TEST_F(RunDirTest, ReportIsOneSelfContainedPageWithTheSurveysCount)
{
    std::string err;
    ASSERT_EQ(Survey(&err, true), 0) << err;
    const std::string html = Slurp(Path("report.html"));
    const auto j = nlohmann::json::parse(Slurp(Path("survey.json")));
    const std::string shown = j["suggested_patterns"].is_null() ? "null" : j["suggested_patterns"].dump();
    EXPECT_NE(html.find("id=\"suggested\" data-value=\"" + shown + "\""), std::string::npos);
    // Nothing fetched: no external script, stylesheet or image in the page
    // (the inlined libraries' own text may mention such tags in strings).
    const size_t head = html.find("</head>");
    ASSERT_NE(head, std::string::npos);
    const std::string body = html.substr(head);
    EXPECT_EQ(html.find("<script src"), std::string::npos);
    EXPECT_EQ(body.find("<link"), std::string::npos);
    EXPECT_EQ(body.find("<img"), std::string::npos);
    EXPECT_EQ(html.find("sourceMappingURL"), std::string::npos);
    EXPECT_NE(html.find("vegaEmbed"), std::string::npos);
    // The chart data come from the survey: its chi-square values are in the chart definitions.
    EXPECT_NE(html.find("\"mid\":" + j["counts"][0]["chi_square"]["median"].dump()), std::string::npos);
}

TEST_F(RunDirTest, NotARunDirectory)
{
    fs::remove(Path("job.json"));
    ExpectRefused(Path("job.json"), "not a run directory");
    std::string err;
    run = dir + "nowhere";
    EXPECT_EQ(Survey(&err), 2);
    EXPECT_NE(err.find("nowhere: not a directory"), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(run));
}

TEST_F(RunDirTest, RunsOfOtherDataAreRefused)
{
    fixture::WriteRun(run, runs[4], genes, samples, "other", "u0");
    ExpectRefused("runs/k3/c2/run.json", "other data");
}

TEST_F(RunDirTest, RunsOfOtherUncertaintiesAreRefused)
{
    fixture::WriteRun(run, runs[1], genes, samples, "d0", "");
    ExpectRefused("runs/k2/c2/run.json", "other uncertainties");
}

TEST_F(RunDirTest, CorruptJsonIsRefused)
{
    fixture::WriteText(Path("runs/k2/c1/run.json"), "{\"patterns\": 2, \"chain\": ");
    ExpectRefused("runs/k2/c1/run.json", "not valid JSON");
}

TEST_F(RunDirTest, CorruptJobIsRefused)
{
    fixture::WriteText(Path("job.json"), "[1, 2]");
    ExpectRefused("job.json", "not a JSON object");
}

TEST_F(RunDirTest, RunInTheWrongFolderIsRefused)
{
    fs::copy_file(Path("runs/k2/c1/run.json"), Path("runs/k2/c2/run.json"),
                  fs::copy_options::overwrite_existing);
    ExpectRefused("runs/k2/c2/run.json", "its folder k2/c2");
}

TEST_F(RunDirTest, ValueThatIsNotANumberIsRefused)
{
    std::string a = Slurp(Path("runs/k3/c1/amplitudes.tsv"));
    const size_t line2 = a.find('\n', a.find('\n') + 1) + 1;  // third line: gene1
    const size_t tab = a.find('\t', line2);
    a.replace(tab + 1, a.find('\t', tab + 1) - tab - 1, "NA");
    fixture::WriteText(Path("runs/k3/c1/amplitudes.tsv"), a);
    ExpectRefused("runs/k3/c1/amplitudes.tsv", "line 3 column 2: 'NA' is not a finite number");
}

TEST_F(RunDirTest, RaggedRowIsRefused)
{
    fixture::WriteText(Path("runs/k2/c3/patterns.tsv"),
                       Slurp(Path("runs/k2/c3/patterns.tsv")) + "P3\t0.5\n");
    ExpectRefused("runs/k2/c3/patterns.tsv", "line 4 has 2 fields");
}

TEST_F(RunDirTest, WrongHeaderIsRefused)
{
    std::string a = Slurp(Path("runs/k2/c1/amplitudes.tsv"));
    a.replace(0, 4, "name");
    fixture::WriteText(Path("runs/k2/c1/amplitudes.tsv"), a);
    ExpectRefused("runs/k2/c1/amplitudes.tsv", "header");
}

TEST_F(RunDirTest, RunsWithOtherSamplesAreRefused)
{
    std::vector<std::string> other = samples;
    other[3] = "renamed";
    fixture::WriteRun(run, runs[5], genes, other);
    ExpectRefused("runs/k3/c3/patterns.tsv", "other samples");
}

TEST_F(RunDirTest, EmptyAndMissingTablesAreRefused)
{
    fixture::WriteText(Path("runs/k3/c2/patterns.tsv"), "");
    ExpectRefused("runs/k3/c2/patterns.tsv", "empty");
    fixture::WriteRun(run, runs[4], genes, samples);
    fs::remove(Path("runs/k2/c2/amplitudes.tsv"));
    ExpectRefused("runs/k2/c2/amplitudes.tsv", "cannot be read");
}

TEST_F(RunDirTest, FailedRunIsListedNotUsed)
{
    std::string j = Slurp(Path("runs/k2/c2/run.json"));
    const size_t at = j.find("\"chi_square\": ") + 14;
    j.replace(at, j.find(',', at) - at, "null");
    fixture::WriteText(Path("runs/k2/c2/run.json"), j);
    std::string err;
    ASSERT_EQ(Survey(&err), 0) << err;
    const auto s = nlohmann::json::parse(Slurp(Path("survey.json")));
    EXPECT_EQ(s["counts"][0]["failed_chains"], std::vector<int>{2});
    EXPECT_EQ(s["counts"][0]["chains"], (std::vector<int>{1, 3}));
    EXPECT_NE(s["counts"][0]["status"].get<std::string>().find("failed chains: 2"), std::string::npos);
}

TEST_F(RunDirTest, HeldOutErrorsOfTheMaskedTwinsAreSurveyedPerCount)
{
    for (int c = 1; c <= 3; c++)
        fixture::WriteText(Path("holdout/k2/c" + std::to_string(c) + "/run.json"),
                           "{\"patterns\": 2, \"chain\": " + std::to_string(c) +
                               ", \"holdout_error\": " + std::to_string(c) + ".5, \"data_sha256\": \"d0\"}");
    std::string err;
    ASSERT_EQ(Survey(&err), 0) << err;
    const auto s = nlohmann::json::parse(Slurp(Path("survey.json")));
    EXPECT_EQ(s["counts"][0]["holdout_error"],
              (nlohmann::json{{"best", 1.5}, {"median", 2.5}, {"worst", 3.5}}));
    EXPECT_TRUE(s["counts"][1]["holdout_error"].is_null());
    // The masked runs never change the unmasked figures.
    const auto d = zarno::ReadRunDirectory(run);
    EXPECT_EQ(d.runs[0].chiSquare, runs[0].chiSquare);

    fixture::WriteText(Path("holdout/k3/c1/run.json"),
                       "{\"patterns\": 3, \"chain\": 1, \"holdout_error\": 2, \"data_sha256\": \"x\"}");
    fs::remove(Path("survey.tsv"));
    fs::remove_all(Path("consensus"));
    ExpectRefused("holdout/k3/c1/run.json", "other data");
}

TEST_F(RunDirTest, MalformedJobFieldIsRefused)
{
    fixture::WriteText(Path("job.json"), "{\"ranks\": \"2:3\", \"chains\": 3, \"first_chain\": \"one\"}");
    ExpectRefused("job.json", "malformed field");
}

// Found by fuzzing: a plan is listed run by run, and one of trillions of runs
// (or chains past 32 bits) ran out of memory; a run.json without "chain" was
// read past its end when its patterns did not match.
TEST_F(RunDirTest, PlansNoStudyHasAndRunsWithoutTheirNumbersAreRefused)
{
    fixture::WriteText(Path("job.json"), "{\"ranks\": \"1:2000000\", \"chains\": 2000000}");
    ExpectRefused("job.json", "plans pattern counts 1 to 2000000 with chains 1 to 2000000, which no study holds");
    fixture::WriteText(Path("job.json"), "{\"ranks\": [2, 3], \"chains\": 2, \"first_chain\": 2147483647}");
    ExpectRefused("job.json", "which no study holds");
    fixture::WriteText(Path("job.json"), "{\"ranks\": \"2:3\", \"chains\": 3}");
    fixture::WriteText(Path("runs/k2/c1/run.json"), "{\"patterns\": 1}");
    ExpectRefused("runs/k2/c1/run.json", "has no \"chain\"");
}

TEST_F(RunDirTest, NamesThatAreNotUtf8AreWrittenReplacedNotFatal)
{
    genes[0] = "caf\xe9";  // Latin-1
    for (const auto& r : runs) fixture::WriteRun(run, r, genes, samples);
    std::string err;
    ASSERT_EQ(Survey(&err, true), 0) << err;
    const auto j = nlohmann::json::parse(Slurp(Path("survey.json")));
    bool found = false;
    for (const auto& list : j["counts"][0]["top_genes"])
        for (const auto& t : list) found = found || t["gene"] == "caf\xef\xbf\xbd";
    EXPECT_TRUE(found);
    // The consensus tables keep the name's bytes as they came.
    EXPECT_NE(Slurp(Path("consensus/k2/amplitudes.tsv")).find("caf\xe9\t"), std::string::npos);
}

TEST_F(RunDirTest, FoldersWithOtherNamesThanTheWritersAreLeftAlone)
{
    // A leading zero, a sign, a suffix: not k<P>/c<C> as runs are written.
    for (const char* folder : {"runs/k02/c1", "runs/k2/c01", "runs/k+3/c1", "runs/k3x/c1"})
        fixture::WriteText(Path(std::string(folder) + "/run.json"), "{");
    std::string err;
    ASSERT_EQ(Survey(&err), 0) << err;
    const auto j = nlohmann::json::parse(Slurp(Path("survey.json")));
    EXPECT_EQ(j["runs"].size(), runs.size());
    EXPECT_TRUE(j["missing_runs"].empty());
}

TEST_F(RunDirTest, SurveyFilesThatCannotBeWrittenAreASystemFailure)
{
    fixture::WriteText(Path("consensus"), "a file where a folder belongs");
    EXPECT_THROW(zarno::WriteSurvey(run), std::system_error);
    EXPECT_FALSE(fs::exists(Path("survey.json")));
}
