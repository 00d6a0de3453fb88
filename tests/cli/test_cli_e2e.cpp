// The `zarno` binary end to end: studies killed and resumed, workers sharing
// a directory, refusals and exit codes. Directories are compared file by file,
// timing fields aside.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <nlohmann/json.hpp>

#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <thread>

#include "file_fixture.h"

extern char** environ;

namespace fs = std::filesystem;

namespace {

const std::string kBin = ZARNO_BIN;
const std::string kData = ZARNO_DATA_DIR;

struct Child {
    pid_t pid = -1;
    std::string err;  // its standard error, in a file
};

Child Spawn(const std::vector<std::string>& args, const std::string& errFile)
{
    std::vector<std::string> words{kBin};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(&w[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    Child c;
    c.err = errFile;
    const int rc = posix_spawn(&c.pid, kBin.c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    EXPECT_EQ(rc, 0) << "cannot start " << kBin;
    return c;
}

// The exit code, 128 + the signal for a killed child; -1 after `timeout` s
// (the child is then killed).
int Wait(const Child& c, double timeout = 120)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    for (;;) {
        int status = 0;
        const pid_t r = waitpid(c.pid, &status, WNOHANG);
        if (r == c.pid) {
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            return 128 + WTERMSIG(status);
        }
        if (std::chrono::steady_clock::now() > end) {
            kill(c.pid, SIGKILL);
            waitpid(c.pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string ReadAll(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

int CountRuns(const std::string& dir)
{
    int n = 0;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(dir, ec); it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        if (it->path().filename() == "run.json") n++;
    }
    return n;
}

// Every file under dir by its relative path, timing fields blanked: the
// "seconds" line of run.json and the last column of summary.tsv.
std::map<std::string, std::string> Snapshot(const std::string& dir)
{
    std::map<std::string, std::string> out;
    for (const auto& e : fs::recursive_directory_iterator(dir)) {
        const std::string rel = fs::relative(e.path(), dir).string();
        if (e.is_directory()) {
            out[rel + "/"] = "";
            continue;
        }
        std::string text = ReadAll(e.path().string());
        if (e.path().filename() == "run.json") {
            text = std::regex_replace(text, std::regex("\"seconds\": [^,\n]*"), "\"seconds\": T");
        } else if (e.path().filename() == "summary.tsv") {
            text = std::regex_replace(text, std::regex("\t[^\t\n]*\n"), "\tT\n");
        }
        out[rel] = text;
    }
    return out;
}

void ExpectSameStudy(const std::string& want, const std::string& got)
{
    const auto a = Snapshot(want), b = Snapshot(got);
    std::vector<std::string> ka, kb;
    for (const auto& x : a) ka.push_back(x.first);
    for (const auto& x : b) kb.push_back(x.first);
    ASSERT_EQ(ka, kb) << "the directories hold other files";
    for (const auto& x : a) EXPECT_EQ(x.second, b.at(x.first)) << x.first;
}

class Command : public FileTest {
protected:
    int run(const std::vector<std::string>& args, std::string* err = nullptr)
    {
        const Child c = Spawn(args, dir + "stderr.txt");
        const int rc = Wait(c);
        if (err) *err = Slurp(dir + "stderr.txt");
        return rc;
    }
    // The sample study, small: 4 pattern counts x 3 chains, few rounds; its
    // runs alone (the survey and report carry timings).
    std::vector<std::string> Sample(const std::string& out, int rounds = 300)
    {
        return {"run", kData + "/sample.txt", "--uncert", kData + "/sample.unc", "--ranks", "2:5",
                "--chains", "3", "--rounds", std::to_string(rounds), "--out", out, "--quiet",
                "--no-report"};
    }
    static std::vector<std::string> With(std::vector<std::string> a, std::vector<std::string> more)
    {
        a.insert(a.end(), more.begin(), more.end());
        return a;
    }
};

TEST_F(Command, KilledAtAnyMomentAndResumedGivesTheUninterruptedStudy)
{
    ASSERT_EQ(run(With(Sample(dir + "ref"), {"--threads", "2"})), 0);
    ASSERT_EQ(CountRuns(dir + "ref"), 12);
    // Kills after a growing number of complete runs, each followed by one
    // resume that is killed again, then a resume to the end.
    int point = 0;
    for (int after : {0, 1, 4, 9}) {
        const std::string out = dir + "k" + std::to_string(point++);
        Child c = Spawn(With(Sample(out), {"--threads", "2"}), dir + "e1.txt");
        while (CountRuns(out) < after && waitpid(c.pid, nullptr, WNOHANG) == 0) {
            std::this_thread::sleep_for(std::chrono::microseconds(300));
        }
        kill(c.pid, SIGKILL);
        Wait(c);
        if (!fs::exists(out)) continue;  // killed before it made DIR
        c = Spawn(With(Sample(out), {"--resume", "--threads", "1"}), dir + "e2.txt");
        std::this_thread::sleep_for(std::chrono::milliseconds(20 * after));
        kill(c.pid, SIGKILL);
        Wait(c);
        std::string err;
        ASSERT_EQ(run(With(Sample(out), {"--resume"}), &err), 0) << err;
        ExpectSameStudy(dir + "ref", out);
    }
}

TEST_F(Command, WorkersSharingOneDirectoryMakeOneMachinesStudy)
{
    ASSERT_EQ(run(Sample(dir + "ref")), 0);
    const std::string out = dir + "shared";
    std::vector<Child> workers;
    for (int w = 0; w < 3; w++) {
        workers.push_back(Spawn(With(Sample(out), {"--resume", "--threads", "1", "--worker",
                                                   std::to_string(w), "--workers", "3"}),
                                dir + "w" + std::to_string(w) + ".txt"));
    }
    for (const Child& c : workers) EXPECT_EQ(Wait(c), 0) << Slurp(c.err);
    ExpectSameStudy(dir + "ref", out);
}

TEST_F(Command, NewChainsAndPatternCountsExtendAStudy)
{
    ASSERT_EQ(run(Sample(dir + "ref")), 0);
    const std::string out = dir + "grown";
    auto part = [&](const char* ranks, const char* first, const char* chains) {
        std::vector<std::string> a = Sample(out);
        a[5] = ranks;
        a[7] = chains;
        return With(a, {"--first-chain", first, "--resume"});
    };
    ASSERT_EQ(run(part("2:3", "1", "2")), 0);
    ASSERT_EQ(run(part("2:3", "3", "1")), 0);
    ASSERT_EQ(run(part("4:5", "1", "3")), 0);
    ExpectSameStudy(dir + "ref", out);
    // Once complete, a resume computes nothing and changes nothing.
    const auto before = Snapshot(out);
    std::string err;
    ASSERT_EQ(run(With(Sample(out), {"--resume"}), &err), 0);
    EXPECT_EQ(Snapshot(out), before);
}

TEST_F(Command, ADirectoryOfAnotherStudyIsRefusedAndLeftAlone)
{
    const std::string out = dir + "s";
    ASSERT_EQ(run(Sample(out)), 0);
    const auto before = Snapshot(out);
    std::string err;
    EXPECT_EQ(run(Sample(out), &err), 2);
    EXPECT_NE(err.find("add --resume"), std::string::npos) << err;
    EXPECT_EQ(run(With(Sample(out, 301), {"--resume"}), &err), 2);
    EXPECT_NE(err.find("rounds (DIR: 300, now: 301)"), std::string::npos) << err;
    std::vector<std::string> unweighted = Sample(out);
    unweighted.erase(unweighted.begin() + 2, unweighted.begin() + 4);
    EXPECT_EQ(run(With(unweighted, {"--resume"}), &err), 2);
    EXPECT_NE(err.find("weighted (DIR: true, now: false)"), std::string::npos) << err;
    EXPECT_EQ(run(With(Sample(out), {"--resume", "--trace"}), &err), 2);
    EXPECT_EQ(Snapshot(out), before);
}

// An unweighted study runs in Gram form unless --arithmetic classic says
// otherwise; the choice is in job.json and every run.json, a resume with the
// other is refused, and a directory from before the choice reads as classic.
TEST_F(Command, TheArithmeticIsPartOfAnUnweightedStudy)
{
    std::vector<std::string> unweighted = Sample(dir + "g", 60);
    unweighted.erase(unweighted.begin() + 2, unweighted.begin() + 4);
    ASSERT_EQ(run(unweighted), 0);
    EXPECT_NE(ReadAll(dir + "g/job.json").find("\"arithmetic\": \"gram\""), std::string::npos);
    EXPECT_NE(ReadAll(dir + "g/runs/k3/c2/run.json").find("\"arithmetic\": \"gram\""),
              std::string::npos);
    const auto before = Snapshot(dir + "g");
    std::string err;
    EXPECT_EQ(run(With(unweighted, {"--resume", "--arithmetic", "classic"}), &err), 2);
    EXPECT_NE(err.find("arithmetic (DIR: \"gram\", now: \"classic\")"), std::string::npos) << err;
    EXPECT_EQ(run(With(unweighted, {"--resume", "--arithmetic", "fast"}), &err), 2);
    EXPECT_NE(err.find("--arithmetic"), std::string::npos) << err;
    EXPECT_EQ(Snapshot(dir + "g"), before);

    // The classic arithmetic: other bits, the same fit to rounding here.
    unweighted = Sample(dir + "c", 60);
    unweighted.erase(unweighted.begin() + 2, unweighted.begin() + 4);
    ASSERT_EQ(run(With(unweighted, {"--arithmetic", "classic"})), 0);
    const std::string classic = ReadAll(dir + "c/runs/k3/c2/run.json");
    EXPECT_NE(classic.find("\"arithmetic\": \"classic\""), std::string::npos);
    // A job.json written before the switch: a classic study, resumed as one.
    std::string job = ReadAll(dir + "c/job.json");
    job = std::regex_replace(job, std::regex("\\s*\"arithmetic\": \"classic\",\n"), "\n");
    ASSERT_EQ(job.find("arithmetic"), std::string::npos);
    std::ofstream(dir + "c/job.json") << job;
    EXPECT_EQ(run(With(unweighted, {"--arithmetic", "classic", "--resume"}), &err), 0) << err;
    EXPECT_EQ(ReadAll(dir + "c/runs/k3/c2/run.json"), classic);  // kept, not recomputed

    // A weighted study takes the weighted round whatever is asked.
    ASSERT_EQ(run(Sample(dir + "w", 60)), 0);
    EXPECT_NE(ReadAll(dir + "w/job.json").find("\"arithmetic\": \"classic\""), std::string::npos);
    EXPECT_EQ(run(With(Sample(dir + "w", 60), {"--resume", "--arithmetic", "classic"})), 0);
}

TEST_F(Command, BadInputNamesTheSpotExitsTwoAndCreatesNothing)
{
    const std::string head = "gene\tS1\tS2\tS3\n";
    const std::string good = Write("good.txt", head + "g1\t1\t2\t3\ng2\t4\t5\t6\ng3\t1\t1\t1\n");
    const struct {
        std::vector<std::string> args;
        std::string message;  // a regular expression
    } cases[] = {
        {{Write("ragged.txt", head + "g1\t1\t2\t3\ng2\t4\t5\n")}, "ragged.txt:3:7: "},
        {{Write("na.txt", head + "g1\t1\t2\t3\ng2\tNA\t\tnan\ng3\t1\t1\t1\n")},
         "na.txt:3: gene 1 \\(\"g2\"\\) has no observed cell: all its values are missing \\(1 gene"},
        {{Write("nas.txt", head + "g1\t1\tNA\t3\ng2\t4\t\t6\ng3\t1\tNaN\t1\n")},
         "nas.txt:1:\\d+: sample 1 \\(\"S2\"\\) has no observed cell"},
        {{Write("few.txt", head + "g1\t1\t2\t3\ng2\tNA\t5\t6\ng3\t1\t1\t1\n")},
         "--ranks: 8 observed cells \\(1 missing\\) for 10 free parameters at 2 patterns"},
        {{Write("dup.txt", "gene\tS1\tS2\tS1\ng1\t1\t2\t3\ng2\t4\t5\t6\n")},
         "dup.txt:1:\\d+: sample label \"S1\" is given twice, in header fields 2 and 4"},
        {{Write("zero.txt", head + "g1\t0\t0\t0\ng2\t0\t0\t0\n")},
         "zero.txt: no value is above zero: there is nothing to factorize"},
        {{Write("inf.txt", head + "g1\t1\tInf\t3\n")}, "inf.txt:2:6: \"Inf\" is not a finite"},
        {{Write("empty.txt", "")}, "empty.txt:1:1: the file is empty"},
        {{Write("head.txt", head)}, "head.txt:1:\\d+: the header is followed by no gene rows"},
        {{good, "--uncert", Write("zero.unc", head + "g1\t1\t1\t1\ng2\t1\t0\t1\ng3\t1\t1\t1\n")},
         "zero.unc:3:6: uncertainty 0 is not positive"},
        {{good, "--uncert", Write("short.unc", head + "g1\t1\t1\t1\ng2\t1\t1\t1\n")},
         "short.unc:\\d+:1: 2 gene rows, but the data .* have 3"},
        {{good, "--uncert", Write("names.unc", head + "g1\t1\t1\t1\ngX\t1\t1\t1\ng3\t1\t1\t1\n")},
         "names.unc:3:1: gene \"gX\" where the data"},
        {{good, "--uncert", Write("labels.unc", "gene\tS1\tS9\tS3\ng1\t1\t1\t1\n")},
         "labels.unc:1:9: sample label \"S9\""},
        {{dir + "none.txt"}, "none.txt: cannot open"},
        {{good, "--ranks", "3"}, "--ranks 3: expected A:B"},
        {{good, "--ranks", "0:2"}, "--ranks 0:2: expected A:B"},
        {{good, "--ranks", "2:4"}, "--ranks: 4 patterns is more than the 3 samples"},
        {{good, "--chains", "0"}, "--chains"},
        {{good, "--worker", "3", "--workers", "2"}, "--worker 3: expected 0 to 1"},
        {{good, "--worker", "1"}, "--worker requires --workers"},
        {{good, "--bogus"}, "--bogus"},
        {{Write("bad.ctr", "3 3 0\n2 x 1 10\n")}, "bad.ctr:2:3: \"x\" is not a whole number"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string out = dir + "out" + std::to_string(n++);
        std::vector<std::string> args{"run"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        args.insert(args.end(), {"--out", out});
        if (std::find(c.args.begin(), c.args.end(), "--ranks") == c.args.end()) {
            args.insert(args.end(), {"--ranks", "2:2"});
        }
        std::string err;
        EXPECT_EQ(run(args, &err), 2) << c.message << "\n" << err;
        EXPECT_TRUE(std::regex_search(err, std::regex(c.message))) << c.message << "\n" << err;
        EXPECT_FALSE(fs::exists(out)) << c.message;
    }
}

TEST_F(Command, NegativeValuesRunWithOneWarning)
{
    const std::string data =
        Write("neg.txt", "gene\tS1\tS2\tS3\ng1\t1\t2\t3\ng2\t4\t-5\t6\ng3\t1\t-1\t1\n");
    std::string err;
    ASSERT_EQ(run({"run", data, "--ranks", "1:2", "--chains", "1", "--rounds", "20", "--out",
                   dir + "o"},
                  &err),
              0)
        << err;
    EXPECT_NE(err.find("warning: " + data + " holds 2 values below zero, the first at " + data +
                       ":3:6 (gene \"g2\", sample \"S2\")"),
              std::string::npos)
        << err;
    EXPECT_EQ(CountRuns(dir + "o"), 2);
}

TEST_F(Command, TablesWithMissingCellsRunAndSayHowManyAreMissing)
{
    // NA, NaN and empty fields, in the data and in the uncertainties; the
    // same cells missing however they are written give the same runs.
    const std::string head = "gene\tS1\tS2\tS3\tS4\n";
    std::string a = head, b = head, unc = head;
    for (int g = 0; g < 12; g++) {
        a += "g" + std::to_string(g);
        b += "g" + std::to_string(g);
        unc += "g" + std::to_string(g);
        for (int s = 0; s < 4; s++) {
            const std::string v = std::to_string(1 + (g * 3 + s * 5) % 7);
            const bool missing = (g + s) % 5 == 1;
            a += "\t" + (missing ? std::string(g % 2 ? "NA" : "nan") : v);
            b += "\t" + (missing ? std::string() : v);
            unc += "\t" + std::string(g == 0 && s == 0 ? "NA" : "0.5");
        }
        a += "\n", b += "\n", unc += "\n";
    }
    const std::vector<std::string> flags{"--ranks", "1:2", "--chains", "2", "--rounds", "50", "--quiet"};
    std::string err;
    ASSERT_EQ(run(With({"run", Write("a.txt", a), "--out", dir + "a", "--no-report"}, flags), &err), 0)
        << err;
    ASSERT_EQ(run(With({"run", Write("b.txt", b), "--out", dir + "b", "--no-report"}, flags), &err), 0)
        << err;
    EXPECT_NE(Slurp(dir + "a/job.json").find("\"missing_cells\": 10,"), std::string::npos)
        << Slurp(dir + "a/job.json");
    for (const char* f : {"runs/k2/c1/amplitudes.tsv", "runs/k2/c2/patterns.tsv"})
        EXPECT_EQ(Slurp(dir + "a/" + f), Slurp(dir + "b/" + f)) << f;
    // Weighted, with one more cell missing by its uncertainty, and a holdout
    // drawn from the observed cells; progress on standard error says how many.
    ASSERT_EQ(run({"run", dir + "a.txt", "--uncert", Write("a.unc", unc), "--out", dir + "w", "--ranks",
                   "1:2", "--chains", "2", "--rounds", "50", "--holdout", "0.2"},
                  &err),
              0)
        << err;
    EXPECT_NE(err.find("12 x 4 weighted, 11 cells missing (22.9%)"), std::string::npos) << err;
    const std::string survey = Slurp(dir + "w/survey.json");
    EXPECT_NE(survey.find("\"missing_cells\": 11"), std::string::npos);
    // The degrees of freedom count the 37 observed cells: at 2 patterns 37 - 30.
    EXPECT_NE(survey.find("\"dof\": 7.0"), std::string::npos) << survey.substr(0, 2000);
    EXPECT_TRUE(fs::exists(dir + "w/holdout/k2/c2/run.json"));
    EXPECT_EQ(run({"survey", dir + "w"}, &err), 0);
}

TEST_F(Command, RunsWhoseNumbersOverflowFailSayWhyAndExitOne)
{
    // Values near the largest double: every sum of squares overflows.
    std::string text = "gene\tS1\tS2\tS3\n";
    for (int g = 0; g < 6; g++)
        text += "g" + std::to_string(g) + "\t1e300\t3e300\t" + std::to_string(g + 2) + "e300\n";
    const std::string data = Write("big.txt", text);
    const std::vector<std::string> args{"run", data, "--out", dir + "o", "--ranks", "1:2", "--chains", "2",
                                        "--rounds", "20", "--no-report"};
    std::string err;
    EXPECT_EQ(run(args, &err), 1) << err;
    EXPECT_NE(err.find("error: 4 runs failed, 0 complete"), std::string::npos) << err;
    EXPECT_NE(err.find(dir + "o/runs/k1/c1: chi-square is NaN"), std::string::npos) << err;
    EXPECT_NE(err.find("rescale the data"), std::string::npos) << err;
    const std::string json = Slurp(dir + "o/runs/k2/c2/run.json");
    EXPECT_NE(json.find("\"status\": \"failed\""), std::string::npos) << json;
    EXPECT_NE(json.find("\"reason\": \"chi-square is NaN\""), std::string::npos) << json;
    EXPECT_FALSE(fs::exists(dir + "o/runs/k2/c2/amplitudes.tsv"));
    // Nothing to survey is no success; a resume tries the failed runs again.
    EXPECT_EQ(run({"survey", dir + "o"}, &err), 2);
    EXPECT_NE(err.find("every run failed; nothing to survey"), std::string::npos) << err;
    EXPECT_NE(run({"report", dir + "o"}, &err), 0);
    EXPECT_EQ(run(With(args, {"--resume"}), &err), 1) << err;
    EXPECT_NE(err.find("4 runs failed"), std::string::npos) << err;
}

TEST_F(Command, DoubtfulRowsRunWithOneWarningEach)
{
    const std::string data = Write("rows.txt", "gene\tS1\tS2\tS3\tS4\ng1\t1\t2\t0\t3\ng2\t0\t0\t0\t0\n"
                                               "g1\t4\t5\t0\t6\ng3\t1\t1\t0\t2\ng1\t2\t2\t0\t1\n");
    std::string err;
    ASSERT_EQ(run({"run", data, "--out", dir + "o", "--ranks", "1:2", "--chains", "1", "--rounds", "20"},
                  &err),
              0)
        << err;
    EXPECT_NE(err.find("warning: " + data + " repeats 2 gene names, the first \"g1\" at " + data +
                       ":4 (first at line 2)"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("holds 1 gene whose values are all zero, the first \"g2\" at " + data + ":3"),
              std::string::npos)
        << err;
    EXPECT_NE(err.find("holds 1 sample whose values are all zero, the first \"S3\" at " + data + ":1:"),
              std::string::npos)
        << err;
    EXPECT_EQ(CountRuns(dir + "o/runs"), 2);
}

TEST_F(Command, HeldOutTwinsOfUnweightedDataAreCompleteAndResumed)
{
    std::vector<std::string> args{"run", kData + "/sample.txt", "--out", dir + "o", "--ranks", "2:2",
                                  "--chains", "2", "--rounds", "30", "--holdout", "0.1", "--no-report",
                                  "--quiet"};
    ASSERT_EQ(run(args), 0);
    for (const std::string& row : Lines(dir + "o/summary.tsv"))
        EXPECT_EQ(row.find("nan"), std::string::npos) << row;  // each twin's error is there
    std::string err;
    args.back() = "--resume";
    ASSERT_EQ(run(args, &err), 0) << err;
    EXPECT_NE(err.find("all 4 runs are complete"), std::string::npos) << err;
}

TEST_F(Command, AStudyOfEveryRoundResumesWithToleranceZero)
{
    std::vector<std::string> args{"run", kData + "/sample.txt", "--out", dir + "o", "--ranks", "2:2",
                                  "--chains", "1", "--rounds", "20", "--no-report", "--quiet",
                                  "--tolerance", "0"};
    ASSERT_EQ(run(args), 0);
    args.resize(args.size() - 2);
    args.push_back("--resume");
    std::string err;
    EXPECT_EQ(run(args, &err), 2);
    EXPECT_NE(err.find("tolerance (DIR: 0.0, now: 1e-06)"), std::string::npos) << err;
    EXPECT_NE(err.find("goes on with --tolerance 0"), std::string::npos) << err;
    EXPECT_EQ(run(With(args, {"--tolerance", "0"}), &err), 0) << err;
}

TEST_F(Command, ControlFileGzipAndCsvGiveTheSameRuns)
{
    ASSERT_EQ(run(Sample(dir + "ref", 100)), 0);
    // The sample as .csv.gz, and as a control file beside copies of it.
    const std::string text = Slurp(kData + "/sample.txt");
    std::string csv = text;
    for (char& ch : csv) {
        if (ch == '\t') ch = ',';
    }
    gzFile gz = gzopen((dir + "sample.csv.gz").c_str(), "wb");
    gzwrite(gz, csv.data(), static_cast<unsigned>(csv.size()));
    gzclose(gz);
    std::vector<std::string> args = Sample(dir + "csv", 100);
    args[1] = dir + "sample.csv.gz";
    std::string err;
    ASSERT_EQ(run(args, &err), 0) << err;
    Write("expr.txt", text);
    Write("expr.unc", Slurp(kData + "/sample.unc"));
    Write("expr.ctr", "300 20 1\n2 5 3 50\n");
    ASSERT_EQ(run({"run", dir + "expr.ctr", "--rounds", "100", "--out", dir + "ctr", "--quiet"}, &err),
              0)
        << err;
    for (const char* file : {"amplitudes.tsv", "patterns.tsv"}) {
        for (const char* run : {"k2/c1", "k3/c3", "k5/c2"}) {
            const std::string want = Slurp(dir + "ref/runs/" + run + "/" + file);
            EXPECT_EQ(Slurp(dir + "csv/runs/" + run + "/" + file), want) << run << file;
            EXPECT_EQ(Slurp(dir + "ctr/runs/" + run + "/" + file), want) << run << file;
        }
    }
    EXPECT_EQ(Snapshot(dir + "ctr").at("summary.tsv"), Snapshot(dir + "ref").at("summary.tsv"));
}

TEST_F(Command, TraceAndUnwritableResults)
{
    std::vector<std::string> a = Sample(dir + "t", 50);
    a[5] = "2:2";
    a[7] = "1";
    std::string err;
    ASSERT_EQ(run(With(a, {"--trace"}), &err), 0) << err;
    const std::string json = Slurp(dir + "t/runs/k2/c1/run.json");
    const std::smatch m = [&] {
        std::smatch r;
        std::regex_search(json, r, std::regex("\"trace\": \\[([^\\]]*)\\]"));
        return r;
    }();
    ASSERT_FALSE(m.empty()) << json;
    const std::string list = m[1].str();
    EXPECT_EQ(std::count(list.begin(), list.end(), ','), 5) << list;  // rounds 0, 10, ..., 50

    // A run whose folder cannot be made: exit 1, the complete run kept.
    Write("t/runs/k3", "in the way");
    a[5] = "2:3";
    EXPECT_EQ(run(With(a, {"--trace", "--resume"}), &err), 1) << err;
    EXPECT_NE(err.find("runs/k3"), std::string::npos) << err;
    EXPECT_EQ(CountRuns(dir + "t"), 1);
}

TEST_F(Command, ConvergenceStopAndHoldoutAreKeptResumedAndPartOfTheStudy)
{
    const std::vector<std::string> extra{"--tolerance", "1e-4", "--holdout", "0.1"};
    ASSERT_EQ(run(With(Sample(dir + "ref", 2000), extra)), 0);
    const std::vector<std::string> rows = Lines(dir + "ref/summary.tsv");
    ASSERT_EQ(rows.size(), 13u);
    EXPECT_EQ(rows[0], "patterns\tchain\tchi_square\tssr\trounds\tholdout_error\tseconds");
    int early = 0;
    for (size_t i = 1; i < rows.size(); i++) {
        std::vector<std::string> f;
        std::stringstream in(rows[i]);
        for (std::string x; std::getline(in, x, '\t');) f.push_back(x);
        ASSERT_EQ(f.size(), 7u) << rows[i];
        EXPECT_LE(std::stoi(f[4]), 2000);
        early += std::stoi(f[4]) < 2000;
        EXPECT_GT(std::stod(f[5]), 0.0) << rows[i];
    }
    EXPECT_GT(early, 0);  // the stop ended some runs early
    const std::string json = Slurp(dir + "ref/holdout/k3/c1/run.json");
    std::smatch cells;
    ASSERT_TRUE(std::regex_search(json, cells, std::regex("\"holdout_cells\": (\\d+),"))) << json;
    EXPECT_NEAR(std::stod(cells[1].str()), 600.0, 100.0) << json;  // about 10% of 6000
    // The held-out twins never change the plain runs.
    EXPECT_EQ(Slurp(dir + "ref/runs/k3/c1/run.json").find("holdout"), std::string::npos);
    ASSERT_EQ(run(With(Sample(dir + "plain", 2000), {"--tolerance", "1e-4"})), 0);
    for (const char* file : {"runs/k2/c1/amplitudes.tsv", "runs/k3/c2/patterns.tsv",
                             "runs/k5/c3/amplitudes.tsv"}) {
        EXPECT_EQ(Slurp(dir + "ref/" + file), Slurp(dir + "plain/" + file)) << file;
        EXPECT_NE(Slurp(dir + "ref/" + file),
                  Slurp(dir + "ref/" + std::string(file).replace(0, 4, "holdout")))
            << file;
    }

    // Runs that stopped early are complete: a resume keeps them all.
    const std::string out = dir + "s";
    std::vector<std::string> part = With(Sample(out, 2000), extra);
    part[5] = "2:3";
    ASSERT_EQ(run(part), 0);
    ASSERT_EQ(run(With(With(Sample(out, 2000), extra), {"--resume"})), 0);
    ExpectSameStudy(dir + "ref", out);
    std::string err;
    EXPECT_EQ(run(With(With(Sample(out, 2000), {"--tolerance", "1e-5", "--holdout", "0.1"}),
                       {"--resume"}),
                  &err),
              2);
    EXPECT_NE(err.find("tolerance (DIR: 0.0001, now: 1e-05)"), std::string::npos) << err;
}

TEST_F(Command, AFinishedStudyEndsWithItsSurveyAndReport)
{
    std::vector<std::string> a = Sample(dir + "full", 2000);
    a.pop_back();  // the survey and report this time
    ASSERT_EQ(run(With(a, {"--threads", "2"})), 0);
    EXPECT_TRUE(fs::exists(dir + "full/report.html"));
    const std::string survey = Slurp(dir + "full/survey.json");
    EXPECT_NE(survey.find("\"suggested_patterns\": 3"), std::string::npos) << survey.substr(0, 400);
    // A worker has only its share: no survey of its own.
    a[a.size() - 2] = dir + "part";
    ASSERT_EQ(run(With(a, {"--worker", "0", "--workers", "2", "--resume"})), 0);
    EXPECT_FALSE(fs::exists(dir + "part/survey.json"));
    EXPECT_FALSE(fs::exists(dir + "part/report.html"));
}

TEST_F(Command, SurveyAndReportAreSubcommandsOverARunDirectory)
{
    ASSERT_EQ(run(Sample(dir + "s", 200)), 0);
    std::string err;
    EXPECT_EQ(run({"survey", dir + "s", "--quiet"}, &err), 0) << err;
    EXPECT_TRUE(fs::exists(dir + "s/survey.tsv"));
    EXPECT_TRUE(fs::exists(dir + "s/consensus/k3"));
    EXPECT_EQ(run({"survey", dir + "none"}, &err), 2) << err;
    EXPECT_EQ(run({"report"}, &err), 2);  // DIR is required
    // A surveyed directory still resumes: the survey's files are no runs.
    EXPECT_EQ(run(With(Sample(dir + "s", 200), {"--resume"}), &err), 0) << err;
}

TEST_F(Command, SurveyFilesThatCannotBeWrittenExitOne)
{
    ASSERT_EQ(run(Sample(dir + "s", 100)), 0);
    Write("s/consensus", "in the way");
    std::string err;
    EXPECT_EQ(run({"survey", dir + "s", "--quiet"}, &err), 1) << err;
    EXPECT_NE(err.find("zarno: cannot create the directory " + dir + "s/consensus"),
              std::string::npos)
        << err;
    EXPECT_FALSE(fs::exists(dir + "s/survey.json"));
    // A study whose survey cannot be written at its end says so, its runs kept.
    std::vector<std::string> part = Sample(dir + "p", 100);
    part[5] = "2:3";
    ASSERT_EQ(run(part), 0);
    Write("p/consensus", "in the way");
    std::vector<std::string> rest = Sample(dir + "p", 100);
    rest.pop_back();  // the survey this time
    EXPECT_EQ(run(With(rest, {"--resume"}), &err), 1) << err;
    EXPECT_NE(err.find("the runs are complete, but their survey failed"), std::string::npos) << err;
    EXPECT_EQ(CountRuns(dir + "p"), 12);
}

class Interrupt : public Command, public ::testing::WithParamInterface<int> {};

TEST_P(Interrupt, StopsKeepsFinishedRunsExits130AndResumes)
{
    // Every round (--tolerance 0): runs long enough to be interrupted.
    const std::vector<std::string> study{"run", kData + "/sample.txt", "--uncert",
                                         kData + "/sample.unc", "--ranks", "2:3", "--chains", "3",
                                         "--rounds", "6000", "--threads", "1", "--no-report",
                                         "--tolerance", "0"};
    const std::string out = dir + "s";
    Child c = Spawn(With(study, {"--out", out}), dir + "int.txt");
    while (CountRuns(out) < 1 && waitpid(c.pid, nullptr, WNOHANG) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    kill(c.pid, GetParam());
    ASSERT_EQ(Wait(c), 130) << Slurp(c.err);
    const std::string err = Slurp(c.err);
    EXPECT_NE(err.find("interrupted"), std::string::npos) << err;
    EXPECT_NE(err.find("--out " + out + " --resume"), std::string::npos) << err;
    const int kept = CountRuns(out);
    EXPECT_GE(kept, 1);
    EXPECT_LT(kept, 6);
    std::string err2;
    ASSERT_EQ(run(With(study, {"--out", out, "--resume"}), &err2), 0) << err2;
    EXPECT_NE(err2.find("(" + std::to_string(kept) + " kept)"), std::string::npos) << err2;
    ASSERT_EQ(run(With(study, {"--out", dir + "ref", "--quiet"})), 0);
    ExpectSameStudy(dir + "ref", out);
}

INSTANTIATE_TEST_SUITE_P(Signals, Interrupt, ::testing::Values(SIGINT, SIGTERM));

TEST_F(Command, HelpDocumentsExitCodesAndTheRunCommand)
{
    const std::string outFile = dir + "help.txt";
    std::string err;
    const std::string cmd = kBin + " --help > " + outFile + " 2>&1";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const std::string help = Slurp(outFile);
    for (const char* s : {"Exit codes", "130", "run"}) EXPECT_NE(help.find(s), std::string::npos) << help;
    ASSERT_EQ(std::system((kBin + " run --help > " + outFile + " 2>&1").c_str()), 0);
    const std::string runHelp = Slurp(outFile);
    for (const char* s : {"--ranks", "--first-chain", "--resume", "--worker", "--trace", "--quiet"}) {
        EXPECT_NE(runHelp.find(s), std::string::npos) << s;
    }
    EXPECT_EQ(run({}, &err), 2);  // no subcommand: usage
}

TEST_F(Command, AnnotationsAreKeptBesideTheStudyAndReplacedOnRequest)
{
    // The sample's 20 samples in three phases, a plate and a column of one value.
    std::string notes = "sample\tphase\tplate\tsite\n";
    for (int s = 1; s <= 20; s++)
        notes += "s" + std::string(s < 10 ? "0" : "") + std::to_string(s) + "\t" + (s <= 7 ? "early" : s <= 13 ? "mid" : "late") +
                 "\tp" + std::to_string(s % 2) + "\tx\n";
    const std::string table = Write("notes.tsv", notes);
    std::string err;
    ASSERT_EQ(run(With(Sample(dir + "s", 200), {"--annotations", table}), &err), 0) << err;
    EXPECT_NE(err.find("warning: " + table + ": column \"site\" has a single value"), std::string::npos) << err;
    EXPECT_TRUE(fs::exists(dir + "s/annotations.tsv"));
    // Not part of the study: the same job.json as without, and --resume without them keeps them.
    ASSERT_EQ(run(Sample(dir + "plain", 200)), 0);
    EXPECT_EQ(Slurp(dir + "s/job.json"), Slurp(dir + "plain/job.json"));
    ASSERT_EQ(run(With(Sample(dir + "s", 200), {"--resume"}), &err), 0) << err;
    ASSERT_EQ(run({"survey", dir + "s", "--quiet"}, &err), 0) << err;
    const auto survey = nlohmann::json::parse(Slurp(dir + "s/survey.json"));
    ASSERT_TRUE(survey["annotations"].is_object());
    EXPECT_EQ(survey["annotations"]["columns"][0]["name"], "phase");
    EXPECT_EQ(survey["annotations"]["columns"][1]["batch_reason"], "named like a batch");
    EXPECT_TRUE(survey["counts"][1]["agreement"]["columns"][0]["ari"].is_number());
    EXPECT_NE(Lines(dir + "s/survey.tsv")[0].find("\tari_phase\tnmi_phase\t"), std::string::npos);

    // Refused with exit 2, naming the file and line, and nothing rewritten.
    const std::string before = Slurp(dir + "s/survey.json"), kept = Slurp(dir + "s/annotations.tsv");
    const std::string bad = Write("bad.tsv", "sample\tphase\ns01\ta\ns99\tb\n");
    EXPECT_EQ(run({"report", dir + "s", "--annotations", bad, "--quiet"}, &err), 2);
    EXPECT_EQ(err.rfind("zarno: " + bad + ":3:1: sample \"s99\" is not a sample of the data", 0), 0u) << err;
    EXPECT_EQ(run({"report", dir + "s", "--batch", "lane", "--quiet"}, &err), 2);
    EXPECT_NE(err.find("--batch lane: "), std::string::npos) << err;
    EXPECT_EQ(Slurp(dir + "s/survey.json"), before);
    EXPECT_EQ(Slurp(dir + "s/annotations.tsv"), kept);
    EXPECT_FALSE(fs::exists(dir + "s/report.html"));
    const std::string few = Write("few.csv", "id,phase\ns01,a\ns02,b\n");
    EXPECT_EQ(run(With(Sample(dir + "new", 200), {"--annotations", few}), &err), 2);
    EXPECT_NE(err.find(few + ": no row for 18 of the data's 20 samples: \"s03\", \"s04\""), std::string::npos) << err;
    EXPECT_FALSE(fs::exists(dir + "new"));
    EXPECT_EQ(run(With(Sample(dir + "new", 200), {"--batch", "plate"}), &err), 2) << "--batch needs a table";

    // A new table replaces the kept one; flags are kept with it.
    const std::string other = Write("other.csv", "id,dose\n" + [] {
        std::string rows;
        for (int s = 1; s <= 20; s++) rows += "s" + std::string(s < 10 ? "0" : "") + std::to_string(s) + "," + std::to_string(s * 1.5) + "\n";
        return rows;
    }());
    ASSERT_EQ(run({"report", dir + "s", "--annotations", other, "--quiet"}, &err), 0) << err;
    EXPECT_TRUE(fs::exists(dir + "s/report.html"));
    ASSERT_EQ(run({"survey", dir + "s", "--quiet"}, &err), 0) << err;
    const auto replaced = nlohmann::json::parse(Slurp(dir + "s/survey.json"));
    ASSERT_EQ(replaced["annotations"]["columns"].size(), 1u);
    EXPECT_EQ(replaced["annotations"]["columns"][0]["kind"], "numbers");
    EXPECT_EQ(replaced["annotations"]["source"], other);
}

}  // namespace
