// `zarno slurm` without a cluster: the scripts are executed by bash with a
// recording stand-in for the zarno program, and submission goes to a stand-in
// sbatch on PATH (the real one is exercised by tests/cli/slurm/e2e.sh).
#include <CLI/CLI.hpp>
#include <gtest/gtest.h>
#include <stdlib.h>

#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>

#include "commands.h"
#include "file_fixture.h"
#include "run_options.h"
#include "slurm_command.h"
#include "zarno/api.h"
#include "zarno/cluster_plan.h"

namespace {

using namespace zarno::cli;
using zarno::MissingRuns;

class SlurmCommand : public FileTest {
protected:
    std::string program, data, unc, log;
    std::string oldPath;

    void SetUp() override
    {
        FileTest::SetUp();
        oldPath = getenv("PATH") ? getenv("PATH") : "";
        log = dir + "calls.log";
        // Records its arguments, one per line, after a line "--"; fails when asked to.
        program = Write("fake zarno's", "#!/bin/bash\n"
                                        "{ echo --; printf '%s\\n' \"$@\"; } >> '" + log + "'\n"
                                        "[ \"$1\" != \"${FAIL_ON:-}\" ]\n");
        std::filesystem::permissions(program, std::filesystem::perms::owner_all);
        data = Write("my data.txt", "gene\ts1\ts2\ts3\ts4\ng1\t1\t2\t3\t4\ng2\t1\t2\t3\t4\n"
                                    "g3\t1\t2\t3\t4\n");
        unc = Write("it's.unc", "gene\ts1\ts2\ts3\ts4\ng1\t1\t1\t1\t1\ng2\t1\t1\t1\t1\n"
                                "g3\t1\t1\t1\t1\n");
    }
    void TearDown() override
    {
        setenv("PATH", oldPath.c_str(), 1);
        unsetenv("FAIL_ON");
        FileTest::TearDown();
    }
    SlurmOptions Options() const
    {
        SlurmOptions o;
        o.data = data;
        o.out = dir + "study";
        o.workers = 4;
        o.runArgs = {"--uncert", unc, "--ranks", "2:5", "--chains", "3"};
        o.program = program;
        return o;
    }
    int Run(const SlurmOptions& o, std::string* out = nullptr, std::string* err = nullptr)
    {
        std::ostringstream o1, o2;
        const int code = RunSlurm(o, o1, o2);
        if (out) *out = o1.str();
        if (err) *err = o2.str();
        return code;
    }
    // The calls the stand-in recorded, each as its argument list.
    std::vector<std::vector<std::string>> Calls(const std::string& path)
    {
        std::vector<std::vector<std::string>> calls;
        for (const auto& l : Lines(path)) {
            if (l == "--")
                calls.emplace_back();
            else if (!calls.empty())
                calls.back().push_back(l);
        }
        return calls;
    }
    int Bash(const std::string& env, const std::string& script)
    {
        const std::string cmd = env + " bash '" + script + "' >/dev/null 2>&1";
        const int status = std::system(cmd.c_str());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    static std::string Directive(const std::string& script, const std::string& name)
    {
        std::smatch m;
        const std::string text = Slurp(script);
        if (!std::regex_search(text, m, std::regex("\n#SBATCH --" + name + "=([^\n]*)\n")))
            return "(absent)";
        return m[1];
    }
    // Puts a stand-in sbatch first on PATH: it records its calls and answers with
    // the given lines of output and exit code, in turn.
    void FakeSbatch(const std::vector<std::string>& answers, int failAt = -1)
    {
        std::filesystem::create_directories(dir + "bin");
        std::string s = "#!/bin/bash\n{ echo --; printf '%s\\n' \"$@\"; } >> '" + dir +
                        "sbatch.log'\nn=$(grep -c -- '^--$' '" + dir + "sbatch.log')\n";
        for (std::size_t i = 0; i < answers.size(); i++) {
            s += "[ $n = " + std::to_string(i + 1) + " ] && { echo '" + answers[i] + "'; exit " +
                 (static_cast<int>(i) == failAt ? "1" : "0") + "; }\n";
        }
        s += "exit 3\n";
        Write("bin/sbatch", s);
        std::filesystem::permissions(dir + "bin/sbatch", std::filesystem::perms::owner_all);
        setenv("PATH", (dir + "bin:" + oldPath).c_str(), 1);
    }
};

TEST_F(SlurmCommand, AnArrayTaskRunsItsOwnWorkerWithThePassedFlags)
{
    SlurmOptions o = Options();
    o.cpusPerTask = 3;
    ASSERT_EQ(Run(o), 0);
    const std::string array = dir + "study/slurm/array.sbatch";
    EXPECT_EQ(Directive(array, "array"), "0-3");
    EXPECT_EQ(Directive(array, "cpus-per-task"), "3");
    EXPECT_EQ(Directive(array, "output"), dir + "study/slurm/logs/array-%A_%a.out");
    EXPECT_EQ(Directive(array, "partition"), "(absent)");
    EXPECT_EQ(Directive(array, "time"), "(absent)");
    EXPECT_TRUE(std::filesystem::is_directory(dir + "study/slurm/logs"));

    ASSERT_EQ(Bash("SLURM_ARRAY_TASK_ID=2 SLURM_CPUS_PER_TASK=3", array), 0);
    // Without Slurm's variables a worker is refused, not run as worker 0.
    EXPECT_NE(Bash("env -u SLURM_ARRAY_TASK_ID", array), 0);
    const auto calls = Calls(log);
    ASSERT_EQ(calls.size(), 1u);
    const std::vector<std::string> expected = {
        "run",     data, "--out",    dir + "study", "--uncert", unc, "--ranks", "2:5",
        "--chains", "3", "--worker", "2",           "--workers", "4", "--resume", "--threads",
        "3"};
    EXPECT_EQ(calls[0], expected);
}

TEST_F(SlurmCommand, PartitionTimeAndMemoryGoToBothScripts)
{
    SlurmOptions o = Options();
    o.partition = "short";
    o.time = "1-02:03:04";
    o.mem = "3G";
    ASSERT_EQ(Run(o), 0);
    for (const char* name : {"array.sbatch", "combine.sbatch"}) {
        const std::string s = dir + "study/slurm/" + name;
        EXPECT_EQ(Directive(s, "partition"), "short") << name;
        EXPECT_EQ(Directive(s, "time"), "1-02:03:04") << name;
        EXPECT_EQ(Directive(s, "mem"), "3G") << name;
    }
    EXPECT_EQ(Directive(dir + "study/slurm/combine.sbatch", "array"), "(absent)");
}

TEST_F(SlurmCommand, TheCombineStepRunsSurveyAndReportAndKeepsAFailure)
{
    ASSERT_EQ(Run(Options()), 0);
    const std::string combine = dir + "study/slurm/combine.sbatch";
    EXPECT_EQ(Bash("", combine), 0);
    // A failed survey still gets its report, and the job says it failed.
    EXPECT_EQ(Bash("FAIL_ON=survey", combine), 1);
    const auto calls = Calls(log);
    ASSERT_EQ(calls.size(), 4u);
    for (int i : {0, 2}) {
        EXPECT_EQ(calls[i], (std::vector<std::string>{"survey", dir + "study"}));
        EXPECT_EQ(calls[i + 1], (std::vector<std::string>{"report", dir + "study"}));
    }
}

TEST_F(SlurmCommand, SubmitsTheCombineJobAfterTheArray)
{
    FakeSbatch({"4242", "4243;cluster"});
    SlurmOptions o = Options();
    o.submit = true;
    std::string out;
    ASSERT_EQ(Run(o, &out), 0);
    EXPECT_NE(out.find("array job: 4242\n"), std::string::npos) << out;
    EXPECT_NE(out.find("combine job: 4243\n"), std::string::npos) << out;
    const auto calls = Calls(dir + "sbatch.log");
    ASSERT_EQ(calls.size(), 2u);
    EXPECT_EQ(calls[0], (std::vector<std::string>{"--parsable", dir + "study/slurm/array.sbatch"}));
    EXPECT_EQ(calls[1], (std::vector<std::string>{"--parsable", "--dependency=afterany:4242",
                                                  dir + "study/slurm/combine.sbatch"}));
}

TEST_F(SlurmCommand, AFailedSubmissionSaysSoAndKeepsTheScripts)
{
    SlurmOptions o = Options();
    o.submit = true;
    std::string out, err;

    // No sbatch at all.
    std::filesystem::create_directories(dir + "empty");
    setenv("PATH", (dir + "empty").c_str(), 1);
    EXPECT_EQ(Run(o, &out, &err), 1);
    EXPECT_NE(err.find("'sbatch' was not found"), std::string::npos) << err;
    EXPECT_TRUE(std::filesystem::exists(dir + "study/slurm/array.sbatch"));
    EXPECT_TRUE(std::filesystem::exists(dir + "study/slurm/combine.sbatch"));

    // The array refused.
    FakeSbatch({"sbatch: error: invalid partition"}, 0);
    EXPECT_EQ(Run(o, &out, &err), 1);
    EXPECT_NE(err.find("refused the array job"), std::string::npos) << err;
    EXPECT_EQ(Calls(dir + "sbatch.log").size(), 1u);  // no combine without an array

    // The array queued, the combine refused: the array's id and the command to finish.
    std::filesystem::remove(dir + "sbatch.log");
    FakeSbatch({"77", "nope"}, 1);
    EXPECT_EQ(Run(o, &out, &err), 1);
    EXPECT_NE(out.find("array job: 77"), std::string::npos) << out;
    EXPECT_NE(err.find("--dependency=afterany:77"), std::string::npos) << err;

    // An answer that is no job id is not taken for one.
    std::filesystem::remove(dir + "sbatch.log");
    FakeSbatch({"Submitted batch job 5"});
    EXPECT_EQ(Run(o, &out, &err), 1);
    EXPECT_NE(err.find("no job id"), std::string::npos) << err;
}

TEST_F(SlurmCommand, BadOptionsAreRefusedAndNothingIsWritten)
{
    const std::vector<std::pair<std::string, std::function<void(SlurmOptions&)>>> cases = {
        {"--workers", [](SlurmOptions& o) { o.workers = 0; }},
        {"--cpus-per-task", [](SlurmOptions& o) { o.cpusPerTask = 0; }},
        {"no such file", [](SlurmOptions& o) { o.data += ".missing"; }},
        {"--uncert", [](SlurmOptions& o) { o.runArgs[1] += ".missing"; }},
        {"--ranks", [](SlurmOptions& o) { o.runArgs[3] = "5:2"; }},
        {"--ranks", [](SlurmOptions& o) { o.runArgs[3] = "0:2"; }},
        {"--ranks", [](SlurmOptions& o) { o.runArgs[3] = "2-5"; }},
        {"--chains", [](SlurmOptions& o) { o.runArgs[5] = "x"; }},
        {"--rounds", [](SlurmOptions& o) { o.runArgs.insert(o.runArgs.end(), {"--rounds", "0"}); }},
        {"--threads", [](SlurmOptions& o) { o.runArgs.insert(o.runArgs.end(), {"--threads", "2"}); }},
        {"--worker", [](SlurmOptions& o) { o.runArgs.push_back("--worker=1"); }},
        {"--partition", [](SlurmOptions& o) { o.partition = "a b"; }},
        {"--time", [](SlurmOptions& o) { o.time = "soon"; }},
        {"--mem", [](SlurmOptions& o) { o.mem = "4 GB"; }},
        {"--out", [](SlurmOptions& o) { o.out += "/with space"; }},
        {"--out", [](SlurmOptions& o) { o.out += "/100%"; }},
    };
    for (const auto& c : cases) {
        SlurmOptions o = Options();
        c.second(o);
        std::string err;
        EXPECT_EQ(Run(o, nullptr, &err), 2) << c.first;
        EXPECT_NE(err.find(c.first), std::string::npos) << c.first << ": " << err;
        EXPECT_FALSE(std::filesystem::exists(dir + "study")) << c.first;
    }
}

TEST_F(SlurmCommand, TheMemoryDefaultCoversTheWorkersRuns)
{
    // A worker of T threads holds the data once and T runs of the largest count.
    const int g = 20000, s = 200;
    for (bool weighted : {false, true})
        for (int threads : {1, 4}) {
            const std::uint64_t need = zarno::SharedBytes(g, s, weighted) +
                                       threads * zarno::RunBytes(g, s, 8, weighted);
            const std::uint64_t mib = DefaultMemMiB(g, s, 8, weighted, threads, 0);
            EXPECT_GE(mib * 1048576, need + need / 5);
            EXPECT_LE(mib * 1048576, 2 * need + (256u << 20));
        }

    // The sizes and the weighting come from the data and flags, or from a control
    // file, alike; the largest pattern count and the threads count.
    std::string text = "gene";
    for (int j = 0; j < 100; j++) text += "\ts" + std::to_string(j);
    for (int i = 0; i < 2000; i++) {
        text += "\ng" + std::to_string(i);
        for (int j = 0; j < 100; j++) text += "\t1";
    }
    Write("job.txt", text + "\n");
    Write("job.unc", text + "\n");
    Write("job.ctr", "2000 100 1  # genes samples weighted\n2 5 3 2000\n");
    auto mem = [&](const std::string& data, std::vector<std::string> runArgs, int cpus) {
        SlurmOptions o = Options();
        o.data = dir + data;
        o.runArgs = runArgs;
        o.cpusPerTask = cpus;
        o.out = dir + "study" + std::to_string(cpus) + data + std::to_string(runArgs.size());
        EXPECT_EQ(Run(o), 0);
        return Directive(o.out + "/slurm/array.sbatch", "mem");
    };
    const std::string weighted = mem("job.txt", {"--uncert", dir + "job.unc", "--ranks", "2:5",
                                                "--chains", "3"}, 1);
    EXPECT_EQ(mem("job.ctr", {}, 1), weighted);
    EXPECT_NE(mem("job.txt", {"--ranks", "2:5", "--chains", "3"}, 1), weighted);
    EXPECT_NE(mem("job.ctr", {"--ranks", "2:40"}, 1), weighted);
    EXPECT_NE(mem("job.ctr", {}, 2), weighted);
}

TEST_F(SlurmCommand, TheSubcommandPassesTheRunFlagsThrough)
{
    CLI::App app("zarno");
    AddSlurmCommand(app);
    const std::string out = dir + "study";
    std::vector<std::string> args = {"zarno", "slurm", data, "--out", out, "--workers", "2",
                                     "--chains", "3", "--uncert", unc, "--ranks", "3:4",
                                     "--rounds", "500", "--trace", "--cpus-per-task", "2"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    ASSERT_NO_THROW(app.parse(static_cast<int>(argv.size()), argv.data()));
    const std::string script = Slurp(out + "/slurm/array.sbatch");
    EXPECT_NE(script.find(" --out " + ShellQuote(out) + " --uncert " + ShellQuote(unc) +
                          " --ranks 3:4 --chains 3 --rounds 500 --trace \\\n  --worker "),
              std::string::npos)
        << script;
    EXPECT_EQ(Directive(out + "/slurm/array.sbatch", "cpus-per-task"), "2");

    CLI::App bad("zarno");
    AddSlurmCommand(bad);
    args[12] = "4:3";
    argv.clear();
    for (auto& a : args) argv.push_back(&a[0]);
    try {
        bad.parse(static_cast<int>(argv.size()), argv.data());
        ADD_FAILURE() << "bad ranks accepted";
    } catch (const CLI::ParseError& e) {
        EXPECT_EQ(bad.exit(e), 2);
    }
}

TEST_F(SlurmCommand, TakesEveryFlagOfRunButThoseTheScriptSets)
{
    CLI::App app("zarno");
    AddRunCommand(app);
    AddSlurmCommand(app);
    const CLI::App* run = app.get_subcommand("run");
    const CLI::App* slurm = app.get_subcommand("slurm");
    // The array script sets these; --out and --workers are slurm's own, with
    // another meaning.
    const std::set<std::string> scripts = {"--out", "--threads", "--resume", "--worker", "--workers"};
    int passed = 0;
    for (const CLI::Option* opt : run->get_options()) {
        const std::string name = opt->get_name();
        if (opt->get_positional() || name == "--help") continue;
        const CLI::Option* mine = slurm->get_option_no_throw(name);
        if (scripts.count(name) != 0) {
            if (name != "--out" && name != "--workers") {
                EXPECT_EQ(mine, nullptr) << name;
            }
            continue;
        }
        passed++;
        ASSERT_NE(mine, nullptr) << name;
        EXPECT_EQ(mine->get_snames(), opt->get_snames()) << name;
        EXPECT_EQ(mine->get_items_expected_max(), opt->get_items_expected_max()) << name;
    }
    EXPECT_GE(passed, 10);

    // What the script sets itself is not a flag of `zarno slurm`.
    const std::string out = dir + "study";
    for (const char* own : {"--threads", "--resume"}) {
        CLI::App again("zarno");
        AddRunCommand(again);
        AddSlurmCommand(again);
        std::vector<std::string> a2 = {"zarno", "slurm", data, "-o", out, "--workers", "3", own};
        if (std::string(own) == "--threads") a2.push_back("2");
        std::vector<char*> v2;
        for (auto& a : a2) v2.push_back(&a[0]);
        EXPECT_THROW(again.parse(static_cast<int>(v2.size()), v2.data()), CLI::ParseError) << own;
    }
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST_F(SlurmCommand, RunFlagsReachTheWorkersAsCli11ReadThem)
{
    // Values after '=' or glued to a short name, short names, flags: the script
    // holds each as its long name and the value as typed, in run's order.
    const std::string out = dir + "study";
    const std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    CLI::App app("zarno");
    AddRunCommand(app);
    AddSlurmCommand(app);
    std::vector<std::string> args = {"zarno", "slurm", data, "--out", out, "--workers=2",
                                     "-qk3:4", "-c", "3", "--holdout=0.1", "--tolerance", "1e-6",
                                     "-n500", "--trace", "-u", "it's.unc", "--first-chain=2",
                                     "--threads-per-run", "2", "--no-report"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    const int code = Execute(app, static_cast<int>(argv.size()), argv.data());
    std::filesystem::current_path(cwd);
    ASSERT_EQ(code, 0);
    const std::string script = Slurp(out + "/slurm/array.sbatch");
    EXPECT_NE(script.find(" --out " + ShellQuote(out) + " --uncert " + ShellQuote(unc) +
                          " --ranks 3:4 --chains 3 --first-chain 2 --rounds 500 "
                          "--threads-per-run 2 --trace --tolerance 1e-6 --holdout 0.1 --quiet "
                          "--no-report \\\n  --worker "),
              std::string::npos)
        << script;
    // The plan is the one those flags make: 2 pattern counts x chains 2 to 4.
    const auto plan = nlohmann::json::parse(Slurp(out + "/slurm/plan.json"));
    ASSERT_EQ(plan["runs"].size(), 6u);
    std::set<int> chains;
    for (const auto& r : plan["runs"]) chains.insert(r["chain"].get<int>());
    EXPECT_EQ(chains, (std::set<int>{2, 3, 4}));
}

TEST_F(SlurmCommand, AFlagSetToFalseIsNotPassedOn)
{
    CLI::App app("zarno");
    AddSlurmCommand(app);
    const std::string out = dir + "study";
    std::vector<std::string> args = {"zarno", "slurm", data, "--out", out, "--workers", "2",
                                     "--trace=false", "--quiet=0", "--ranks", "2:3"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    ASSERT_EQ(Execute(app, static_cast<int>(argv.size()), argv.data()), 0);
    const std::string script = Slurp(out + "/slurm/array.sbatch");
    EXPECT_NE(script.find(" --ranks 2:3 \\\n"), std::string::npos) << script;
    EXPECT_EQ(script.find("--trace"), std::string::npos) << script;
    EXPECT_EQ(script.find("--quiet"), std::string::npos) << script;
}

TEST_F(SlurmCommand, AControlFileIsReadAsRunReadsIt)
{
    const std::string rows = "gene\ts1\ts2\ts3\ts4\ng1\t1\t2\t3\t4\ng2\t1\t2\t3\t4\n";
    Write("expr.txt", rows);
    Write("expr.unc", rows);
    // A comment and a blank line before the settings, as run accepts them.
    const std::string ctr = Write("expr.ctr", "\n2 4 1  # genes samples weighted\n\n1 2 3 100\n");
    SlurmOptions o = Options();
    o.data = ctr;
    o.runArgs.clear();
    std::string err;
    ASSERT_EQ(Run(o, nullptr, &err), 0) << err;
    const auto plan = nlohmann::json::parse(Slurp(o.out + "/slurm/plan.json"));
    EXPECT_EQ(plan["runs"].size(), 6u);  // pattern counts 1 to 2 x 3 chains

    // Settings run would refuse are refused here, before any script is written.
    Write("bad.ctr", "2 4 1\n5 2 3 100\n");
    Write("bad.txt", rows);
    o.data = dir + "bad.ctr";
    o.out = dir + "bad";
    EXPECT_EQ(Run(o, nullptr, &err), 2);
    EXPECT_NE(err.find("bad.ctr:2 (pattern counts, chains, rounds): pattern counts 5 to 2"),
              std::string::npos)
        << err;
    EXPECT_FALSE(std::filesystem::exists(o.out));
    o.runArgs = {"--ranks", "1:2"};  // a flag overrides the control file's
    EXPECT_EQ(Run(o, nullptr, &err), 0) << err;
}

TEST_F(SlurmCommand, RanksAreParsedAsRunParsesThem)
{
    for (const char* bad : {"5:2", "0:2", "2-5", "2:", " 2:3"}) {
        SlurmOptions o = Options();
        o.runArgs[3] = bad;
        std::string err;
        EXPECT_EQ(Run(o, nullptr, &err), 2) << bad;
        EXPECT_EQ(err, std::string("zarno slurm: --ranks ") + bad +
                           ": expected A:B, the first and last pattern count, with 1 <= A <= B "
                           "(e.g. 2:6)\n");
    }
}

TEST_F(SlurmCommand, ScriptsThatCannotBeWrittenExitOne)
{
    SlurmOptions o = Options();
    Write("study", "a file where DIR belongs");
    std::string err;
    EXPECT_EQ(Run(o, nullptr, &err), 1);
    EXPECT_NE(err.find("zarno slurm: "), std::string::npos) << err;
    EXPECT_NE(err.find(dir + "study"), std::string::npos) << err;
}

TEST_F(SlurmCommand, ThePlanNamesTheMissingRunsByWorker)
{
    ASSERT_EQ(Run(Options()), 0);  // pattern counts 2 to 5, 3 chains, 4 workers
    const std::string study = dir + "study";
    const auto plan = nlohmann::json::parse(Slurp(study + "/slurm/plan.json"));
    std::set<std::pair<int, int>> runs;
    std::map<int, std::vector<std::string>> byWorker;
    for (const auto& r : plan["runs"]) {
        const int p = r["patterns"], c = r["chain"], w = r["worker"];
        EXPECT_TRUE(runs.insert({p, c}).second) << "k" << p << " c" << c << " planned twice";
        byWorker[w].push_back("k" + std::to_string(p) + " c" + std::to_string(c));
    }
    EXPECT_EQ(runs.size(), 12u);
    ASSERT_EQ(byWorker.size(), 4u);  // every worker has a share

    // Every run complete but worker 2's.
    for (const auto& r : plan["runs"]) {
        if (r["worker"] == 2) continue;
        const std::string folder = study + "/runs/k" + std::to_string(r["patterns"].get<int>()) +
                                   "/c" + std::to_string(r["chain"].get<int>());
        std::filesystem::create_directories(folder);
        Write(folder.substr(dir.size()) + "/run.json", "{}");
    }
    const std::string missing = MissingRuns(study);
    EXPECT_NE(missing.find("Missing " + std::to_string(byWorker[2].size()) + " of the 12 runs"),
              std::string::npos)
        << missing;
    std::string line = "  worker 2:";
    for (const auto& r : byWorker[2]) line += " " + r + (&r == &byWorker[2].back() ? "" : ",");
    EXPECT_NE(missing.find(line + "\n"), std::string::npos) << missing;
    EXPECT_EQ(missing.find("worker 0"), std::string::npos) << missing;
    EXPECT_NE(missing.find("--array=2 "), std::string::npos) << missing;

    EXPECT_EQ(MissingRuns(dir + "nowhere"), "");
}

TEST_F(SlurmCommand, AnnotationsReachTheWorkersWithEveryBatchFlag)
{
    // Workers keep the copy in DIR for the combine step's report: the table
    // absolute, each --batch after its own name, read back as run reads them.
    Write("notes.tsv", "sample\tplate\tlane\ns1\ta\t1\n");
    const std::string cwd = std::filesystem::current_path();
    std::filesystem::current_path(dir);
    RunArgs given;
    CLI::App app("zarno run");
    const std::vector<CLI::Option*> options = AddRunOptions(app, given, RunOptionScope::kWorkers);
    std::vector<std::string> reversed = {"lane", "--batch", "plate", "--batch", "notes.tsv", "--annotations"};
    app.parse(reversed);
    const std::vector<std::string> words = RunWords(options);
    std::filesystem::current_path(cwd);
    const std::string table = std::filesystem::path(dir + "notes.tsv").lexically_normal().string();
    EXPECT_EQ(words, (std::vector<std::string>{"--annotations", table, "--batch", "plate", "--batch", "lane"}));
    RunArgs back;
    ParseRunWords(words, &back);
    EXPECT_EQ(back.annotations.path, table);
    EXPECT_EQ(back.annotations.batch, (std::vector<std::string>{"plate", "lane"}));
    // --batch without a table is refused: run has nothing to flag.
    EXPECT_THROW(ParseRunWords({"--batch", "plate"}, &back), zarno::InputError);
}

}  // namespace
