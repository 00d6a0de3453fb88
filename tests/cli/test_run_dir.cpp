// The run directory: atomic files, refusals, completeness, the summary of
// several writers; and the command's small helpers.
#include <gtest/gtest.h>
#include <dirent.h>

#include <filesystem>

#include <nlohmann/json.hpp>

#include "commands.h"
#include "file_fixture.h"
#include "progress.h"
#include "run_command.h"
#include "zarno/cluster_plan.h"
#include "zarno/run_dir.h"
#include "zarno/run_layout.h"
#include "zarno/run_reader.h"
#include "zarno/sysmem.h"
#include "zarno/table_reader.h"

using namespace zarno;
using namespace zarno::cli;
using zarno::RunKey;
using zarno::RunView;

namespace {

std::vector<std::string> List(const std::string& dir)
{
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (const dirent* e = readdir(d)) {
            const std::string n = e->d_name;
            if (n != "." && n != "..") out.push_back(n);
        }
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

class RunDirTest : public FileTest {
protected:
    JobIdentity id;
    std::vector<double> amplitudes, patterns;
    std::vector<std::string> genes{"g1", "g2", "g3"}, samples{"a", "b"};

    void SetUp() override
    {
        FileTest::SetUp();
        id.dataSha256 = std::string(64, 'd');
        id.uncertSha256 = std::string(64, 'u');
        id.genes = 3;
        id.samples = 2;
        id.weighted = true;
        id.rounds = 100;
    }
    RunView View(int P, int chain)
    {
        amplitudes.assign(static_cast<size_t>(3 * P), 0.0);
        for (size_t i = 0; i < amplitudes.size(); i++) amplitudes[i] = 0.1 * static_cast<double>(i + chain);
        patterns.assign(static_cast<size_t>(2 * P), 1.0 / 3.0);
        RunView v;
        v.patterns = P;
        v.chain = chain;
        v.genes = 3;
        v.samples = 2;
        v.weighted = true;
        v.amplitudes = amplitudes.data();
        v.patternRows = patterns.data();
        v.chiSquare = 10.0 / (P + chain);
        v.ssr = 0.1;
        v.seedA = 1;
        v.seedP = 2;
        v.rounds = v.roundsPlanned = 100;
        v.seconds = 0.25;
        return v;
    }
};

TEST_F(RunDirTest, AtomicWritesReplaceWholeFilesAndLeaveNoTemporaries)
{
    const std::string path = dir + "f.txt";
    WriteFileAtomic(path, "first");
    WriteFileAtomic(path, "second, longer");
    EXPECT_EQ(Slurp(path), "second, longer");
    EXPECT_EQ(List(dir), (std::vector<std::string>{"f.txt"}));
    EXPECT_THROW(WriteFileAtomic(dir + "missing/f.txt", "x"), std::system_error);
    EXPECT_EQ(List(dir), (std::vector<std::string>{"f.txt"}));
}

TEST_F(RunDirTest, RefusalsWriteNothing)
{
    const std::string out = dir + "study";
    RunDir::Check(out, id, false);  // a new DIR is fine
    EXPECT_TRUE(List(dir).empty());
    MakeDirectories(out);
    RunDir::Check(out, id, false);  // so is an empty one
    Write("study/notes.txt", "mine");
    EXPECT_THROW(RunDir::Check(out, id, false), InputError);
    try {
        RunDir::Check(out, id, true);
        ADD_FAILURE() << "a foreign directory was taken";
    } catch (const InputError& e) {
        EXPECT_NE(std::string(e.what()).find("no job.json"), std::string::npos) << e.what();
    }

    const std::string other = dir + "other";
    { RunDir made(other, id, "v"); }
    RunDir::Check(other, id, true);
    EXPECT_THROW(RunDir::Check(other, id, false), InputError);  // not without --resume
    JobIdentity changed = id;
    changed.rounds = 200;
    changed.uncertSha256 = std::string(64, 'v');
    const std::vector<std::string> before = List(other);
    try {
        RunDir::Check(other, changed, true);
        ADD_FAILURE() << "a study of other options was taken";
    } catch (const InputError& e) {
        const std::string m = e.what();
        EXPECT_NE(m.find("rounds (DIR: 100, now: 200)"), std::string::npos) << m;
        EXPECT_NE(m.find("uncert_sha256"), std::string::npos) << m;
        EXPECT_EQ(m.find("data_sha256"), std::string::npos) << m;
    }
    EXPECT_EQ(List(other), before);
    Write("study2", "");
    EXPECT_THROW(RunDir::Check(dir + "study2", id, true), InputError);  // a file

    // A job.json whose "format" is not a string is not ours, said as such; the
    // writer meeting it (made meanwhile by another process) refuses it the same way
    // (found by fuzzing: the type error escaped).
    for (const char* job : {"{\"format\": 0.0}", "{\"format\": null}", "[\"format\"]"}) {
        Write("other/job.json", job);
        try {
            id.Differences(job);
            ADD_FAILURE() << job;
        } catch (const InputError& e) {
            EXPECT_STREQ(e.what(), "it is not a zarno job description");
        }
        EXPECT_THROW(RunDir::Check(other, id, true), InputError);
        EXPECT_THROW(RunDir(other, id, "v"), InputError);
    }
}

TEST_F(RunDirTest, RunsAreCompleteOnlyWithTheirRunJsonAndFiles)
{
    RunDir d(dir + "s", id, "1.2.3");
    const RunKey k{2, 1};
    EXPECT_FALSE(d.Complete(k));
    d.WriteRun(View(2, 1), genes, samples);
    EXPECT_TRUE(d.Complete(k));
    const std::string folder = d.RunFolder(k);
    EXPECT_EQ(List(folder), (std::vector<std::string>{"amplitudes.tsv", "patterns.tsv", "run.json"}));

    const nlohmann::json j = nlohmann::json::parse(Slurp(folder + "/run.json"));
    EXPECT_EQ(j["patterns"], 2);
    EXPECT_EQ(j["chain"], 1);
    EXPECT_EQ(j["chi_square"].get<double>(), 10.0 / 3);
    EXPECT_EQ(j["version"], "1.2.3");
    EXPECT_EQ(j["uncert_sha256"], id.uncertSha256);
    EXPECT_FALSE(j.contains("trace"));

    // The matrices read back to the engine's bits.
    const Table a = ReadTable(folder + "/amplitudes.tsv");
    EXPECT_EQ(a.corner, "gene");
    EXPECT_EQ(a.sampleLabels, (std::vector<std::string>{"P1", "P2"}));
    EXPECT_EQ(a.geneNames, genes);
    EXPECT_EQ(a.values, amplitudes);
    const Table p = ReadTable(folder + "/patterns.tsv");
    EXPECT_EQ(p.corner, "pattern");
    EXPECT_EQ(p.sampleLabels, samples);
    EXPECT_EQ(p.geneNames, (std::vector<std::string>{"P1", "P2"}));
    EXPECT_EQ(p.values, patterns);

    // A run.json of other data, a torn one, or a missing matrix: not complete.
    const std::string good = Slurp(folder + "/run.json");
    std::string other = good;
    other.replace(other.find(id.dataSha256), 64, std::string(64, 'e'));
    Write("s/runs/k2/c1/run.json", other);
    EXPECT_FALSE(d.Complete(k));
    Write("s/runs/k2/c1/run.json", good.substr(0, good.size() / 2));
    EXPECT_FALSE(d.Complete(k));
    Write("s/runs/k2/c1/run.json", good);
    EXPECT_TRUE(d.Complete(k));
    std::remove((folder + "/patterns.tsv").c_str());
    EXPECT_FALSE(d.Complete(k));
    Write("s/runs/k2/c1/.patterns.tsv.h.1.0.tmp", "partial");
    d.Clear(k);
    EXPECT_TRUE(List(folder).empty());
}

TEST_F(RunDirTest, SummaryListsEveryWritersCompleteRunsInJobOrder)
{
    RunDir a(dir + "s", id, "v");
    RunDir b(dir + "s", id, "v");  // another process sharing DIR
    a.WriteRun(View(3, 1), genes, samples);
    b.WriteRun(View(2, 2), genes, samples);
    a.WriteRun(View(2, 1), genes, samples);
    Write("s/.summary.tsv.h.9.0.tmp", "left by a killed writer");
    Write("s/runs/k2/c3/run.json", "{");  // torn: not listed
    EXPECT_EQ(a.WriteSummary(), 3);
    const std::vector<std::string> rows = Lines(dir + "s/summary.tsv");
    ASSERT_EQ(rows.size(), 4u);
    EXPECT_EQ(rows[0], "patterns\tchain\tchi_square\tssr\trounds\tseconds");
    EXPECT_EQ(rows[1].substr(0, 4), "2\t1\t");
    EXPECT_EQ(rows[2].substr(0, 4), "2\t2\t");
    EXPECT_EQ(rows[3], "3\t1\t" + FormatDouble(10.0 / 4) + "\t0.1\t100\t0.25");
    EXPECT_EQ(List(dir + "s"), (std::vector<std::string>{".lock", "job.json", "runs", "summary.tsv"}));
}

TEST_F(RunDirTest, TraceIsWrittenOnlyWhenTheJobAsksAndNonFiniteBecomesNull)
{
    id.trace = true;
    RunDir d(dir + "t", id, "v");
    RunView v = View(2, 1);
    const std::vector<double> trace{5.0, 0.1 + 0.2, std::nan("")};
    v.trace = &trace;
    v.chiSquare = INFINITY;
    const nlohmann::json j = nlohmann::json::parse(d.RunJson(v));
    ASSERT_TRUE(j["trace"].is_array());
    EXPECT_EQ(j["trace"][1].get<double>(), 0.1 + 0.2);
    EXPECT_TRUE(j["trace"][2].is_null());
    EXPECT_TRUE(j["chi_square"].is_null());
}

TEST_F(RunDirTest, WriterReaderAndPlanMeetWhereTheLayoutSays)
{
    const RunLayout layout(dir + "s/");  // a trailing '/' is not doubled
    EXPECT_EQ(layout.RunJson({2, 1}), dir + "s/runs/k2/c1/run.json");
    EXPECT_EQ(layout.Patterns({3, 12}, true), dir + "s/holdout/k3/c12/patterns.tsv");
    EXPECT_EQ(layout.Plan(), dir + "s/slurm/plan.json");
    EXPECT_EQ(layout.Consensus(4), dir + "s/consensus/k4");

    id.holdout = 0.2;
    RunDir plain(layout.Dir(), id, "v");
    RunDir twins(layout.Dir(), id, "v", true);
    plain.WriteRun(View(2, 1), genes, samples);
    RunView held = View(2, 1);
    held.holdoutError = 0.5;
    twins.WriteRun(held, genes, samples);
    EXPECT_EQ(plain.WriteSummary(), 1);
    for (const std::string& path :
         {layout.JobJson(), layout.Summary(), layout.Lock(), layout.RunJson({2, 1}),
          layout.Amplitudes({2, 1}), layout.Patterns({2, 1}), layout.RunJson({2, 1}, true)}) {
        EXPECT_TRUE(std::filesystem::is_regular_file(path)) << path;
    }
    // The summary found the twin where the writer put it.
    EXPECT_EQ(Lines(layout.Summary())[1], "2\t1\t" + FormatDouble(10.0 / 3) + "\t0.1\t100\t0.5\t0.25");

    // The reader reads the runs the writer wrote, the twin's error with them.
    const RunDirectory read = ReadRunDirectory(layout.Dir());
    ASSERT_EQ(read.runs.size(), 1u);
    EXPECT_EQ(read.runs[0].status, zarno::SurveyRun::kComplete);
    EXPECT_EQ(read.runs[0].holdoutError, 0.5);
    EXPECT_EQ(read.data.geneNames, genes);

    // The cluster plan counts the written run complete.
    MakeDirectories(layout.Slurm());
    WriteFileAtomic(layout.Plan(), PlanJson({{2, 1}, {2, 2}}, 1));
    const std::string missing = MissingRuns(layout.Dir());
    EXPECT_NE(missing.find("Missing 1 of the 2 runs"), std::string::npos) << missing;
    EXPECT_NE(missing.find("worker 0: k2 c2\n"), std::string::npos) << missing;
}

TEST(RunLayoutNames, RunFoldersAreKAndCWithoutLeadingZeros)
{
    int n = 0;
    EXPECT_TRUE(RunFolderNumber("k12", 'k', &n));
    EXPECT_EQ(n, 12);
    EXPECT_TRUE(RunFolderNumber("c1", 'c', &n));
    EXPECT_EQ(n, 1);
    for (const char* bad : {"k", "k0", "k02", "k-1", "k+1", "kx", "k1x", "c1", "k 1",
                            "k99999999999", "K1"}) {
        EXPECT_FALSE(RunFolderNumber(bad, 'k', &n)) << bad;
    }
    EXPECT_EQ(RunName({3, 10}), "k3/c10");
    EXPECT_EQ(JoinPath("a/", "b"), "a/b");
    EXPECT_EQ(JoinPath("a", "b"), "a/b");
    EXPECT_EQ(JoinPath("", "b"), "b");
    EXPECT_EQ(Names({"x", "y"}, 4, 'g'), (std::vector<std::string>{"x", "y", "g3", "g4"}));
    EXPECT_EQ(MatrixTsv("gene", {"a", "b"}, {"P1"}, std::vector<double>{0.1, 2}.data()),
              "gene\tP1\na\t0.1\nb\t2\n");
    EXPECT_EQ(MatrixTsv("p", {"P1"}, {"s1", "s2"}, nullptr), "p\ts1\ts2\nP1\tNA\tNA\n");
}

TEST(CommandHelpers, RanksThreadsMemoryAndQuoting)
{
    int a = 0, b = 0;
    ParseRanks("2:6", "--ranks", &a, &b);
    EXPECT_EQ(a, 2);
    EXPECT_EQ(b, 6);
    ParseRanks("3:3", "--ranks", &a, &b);
    for (const char* bad : {"", "3", "0:2", "5:2", "2:", ":2", "2:x", "2-4", "1:2:3", " 2:3"}) {
        try {
            ParseRanks(bad, "--ranks", &a, &b);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const InputError& e) {
            EXPECT_EQ(std::string(e.what()).rfind("--ranks ", 0), 0u) << e.what();
        }
    }
    // The flag and the text as given, then what is expected; numbers beyond
    // an int are no pattern counts.
    for (const auto& [text, shown] : std::vector<std::pair<std::string, std::string>>{
             {"4:3", "4:3"}, {"", "\"\""}, {"2:99999999999", "2:99999999999"}}) {
        try {
            ParseRanks(text, "-k", &a, &b);
            ADD_FAILURE() << "accepted " << text;
        } catch (const InputError& e) {
            EXPECT_EQ(std::string(e.what()), "-k " + shown + ": expected A:B, the first and last "
                                             "pattern count, with 1 <= A <= B (e.g. 2:6)");
        }
    }
    EXPECT_EQ(ThreadsThatFit(8, 1000, 200, 100), 8);
    EXPECT_EQ(ThreadsThatFit(8, 650, 200, 100), 4);
    EXPECT_EQ(ThreadsThatFit(8, 150, 200, 100), 1);  // never none
    EXPECT_EQ(ParseMemAvailable("MemTotal: 100 kB\nMemAvailable:    2048 kB\n"), 2048u * 1024);
    EXPECT_EQ(ParseMemAvailable("MemTotal: 100 kB\n"), 0u);
    EXPECT_EQ(ParseCgroupPath("4:memory:/a\n0::/user.slice/x\n"), "/user.slice/x");
    EXPECT_GT(AvailableMemory(), 0u);
    EXPECT_EQ(ShellJoin({"zarno", "run", "my data.txt", "--out", "it's", "x/y:z"}),
              "zarno run 'my data.txt' --out 'it'\\''s' x/y:z");
}

TEST_F(RunDirTest, AControlFilesSettingsAreCheckedWhereNoFlagOverridesThem)
{
    const std::string ctr = Write("expr.ctr", "3 2 1\n2 4 0 -1\n");
    RunArgs args;
    args.data = ctr;
    auto fault = [&] {
        try {
            ResolveSettings(args);
        } catch (const InputError& e) {
            return std::string(e.what());
        }
        return std::string("(no error)");
    };
    EXPECT_EQ(fault(), ctr + ":2 (pattern counts, chains, rounds): 0 chains: expected at least 1 "
                             "(or give --chains)");
    args.chainsGiven = true;
    args.chains = 3;
    EXPECT_EQ(fault(), ctr + ":2 (pattern counts, chains, rounds): -1 rounds: expected 0 or more "
                             "(or give --rounds)");
    args.roundsGiven = true;
    args.rounds = 5;
    const Settings s = ResolveSettings(args);
    EXPECT_EQ(s.firstRank, 2);
    EXPECT_EQ(s.lastRank, 4);
    EXPECT_EQ(s.chains, 3);
    EXPECT_EQ(s.chainsFrom, "--chains");
    EXPECT_EQ(s.rounds, 5);
    EXPECT_EQ(s.dataPath, dir + "expr.txt");
    EXPECT_EQ(s.uncertPath, dir + "expr.unc");
    args.uncert = dir + "other.unc";  // the flag's file, not the control file's
    EXPECT_EQ(ResolveSettings(args).uncertPath, dir + "other.unc");
    args.ranksGiven = true;
    args.ranks = "3:1";
    EXPECT_EQ(fault().rfind("--ranks 3:1: expected A:B", 0), 0u) << fault();
}

TEST(CommandHelpers, ProgressBarLine)
{
    Progress p(Progress::kQuiet, 10, 1000);
    EXPECT_EQ(Progress::Clock(65), "1:05");
    EXPECT_EQ(Progress::Clock(3725), "1:02:05");
    const std::string half = p.BarLine(4, 2, 500, 30.0, 100);
    EXPECT_NE(half.find("4/10 runs, 2 running, 0:30 elapsed, 0:30 left"), std::string::npos) << half;
    EXPECT_EQ(half.front(), '[');
    EXPECT_LE(half.size(), 100u);
    EXPECT_NE(p.BarLine(0, 2, 0, 1.0, 100).find("--:-- left"), std::string::npos);
    const std::string narrow = p.BarLine(4, 2, 500, 30.0, 20);
    EXPECT_EQ(narrow.find('['), std::string::npos) << narrow;
}

}  // namespace
