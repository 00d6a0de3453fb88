// `zarno slurm`: writes a study's job-array and combine scripts, and submits them.
#include "slurm_command.h"

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <ostream>
#include <regex>
#include <sstream>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "commands.h"
#include "run_options.h"
#include "zarno/api.h"
#include "zarno/cluster_plan.h"
#include "zarno/run_dir.h"
#include "zarno/run_layout.h"
#include "zarno/table_reader.h"

extern char** environ;

namespace fs = std::filesystem;

namespace zarno::cli {

namespace {

// What the scripts and the memory default need to know about the study.
struct Study {
    JobSpec job;  // the pattern counts and chains
    std::int64_t genes = 0, samples = 0;
    bool weighted = false;
    std::uint64_t inputBytes = 0;  // the input files' text
};

// Values that go on #SBATCH lines or into the log path must not need quoting there.
void CheckDirective(const std::string& value, const std::regex& form, const std::string& what)
{
    if (!std::regex_match(value, form)) {
        throw InputError(what + ": '" + value + "' is not a valid value");
    }
}

// The options checked, DATA and DIR absolute: the tasks start elsewhere.
SlurmOptions Checked(const SlurmOptions& given)
{
    SlurmOptions o = given;
    if (o.workers < 1) throw InputError("--workers: at least 1 worker is needed");
    if (o.cpusPerTask < 1) throw InputError("--cpus-per-task: at least 1");
    if (o.out.empty()) throw InputError("--out: a directory is needed");
    if (o.program.empty()) throw InputError("the path of the zarno program is unknown");
    if (!fs::is_regular_file(o.data)) throw InputError(o.data + ": no such file");
    o.data = fs::absolute(o.data).lexically_normal().string();
    o.out = fs::absolute(o.out).lexically_normal().string();
    if (o.out.size() > 1 && o.out.back() == '/') o.out.pop_back();
    // DIR appears on #SBATCH lines and in log-file patterns, where blanks,
    // quotes and '%' would be read as something else.
    CheckDirective(o.out, std::regex(R"([^\s"'%\\]+)"), "--out");
    CheckDirective(o.partition, std::regex("[A-Za-z0-9_.,-]*"), "--partition");
    CheckDirective(o.time,
                   std::regex(R"(|[0-9]+(-[0-9]+)?(:[0-9]+){0,2}|UNLIMITED|INFINITE|unlimited|infinite)"),
                   "--time");
    CheckDirective(o.mem, std::regex("|[0-9]+[KMGT]?"), "--mem");
    return o;
}

// The size of a file's text: a gzip member records it (modulo 2^32) in its last
// four bytes.
std::uint64_t TextBytes(const std::string& path)
{
    std::error_code ec;
    const std::uint64_t size = fs::file_size(path, ec);
    if (ec) return 0;
    if (path.size() < 3 || path.compare(path.size() - 3, 3, ".gz") != 0 || size < 18) return size;
    std::ifstream in(path, std::ios::binary);
    in.seekg(-4, std::ios::end);
    unsigned char b[4] = {};
    in.read(reinterpret_cast<char*>(b), 4);
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint64_t>(b[3]) << 24;
}

// The study the workers will run: the run flags read as `zarno run` reads
// them, with the control file when DATA is one. The data's shape only when
// the memory default needs it.
Study DescribeStudy(const SlurmOptions& o)
{
    RunArgs args;
    ParseRunWords(o.runArgs, &args);
    args.data = o.data;
    args.out = o.out;
    // A run of no rounds is no job for a cluster.
    if (args.roundsGiven && args.rounds < 1) {
        throw InputError(fmt::format("--rounds: expected a positive whole number, got '{}'",
                                     args.rounds));
    }
    if (!args.uncert.empty() && !fs::is_regular_file(args.uncert)) {
        throw InputError("--uncert: " + args.uncert + ": no such file");
    }
    const Settings settings = ResolveSettings(args);
    Study s;
    s.job.firstRank = settings.firstRank;
    s.job.lastRank = settings.lastRank;
    s.job.chains = settings.chains;
    s.job.firstChain = args.firstChain;
    s.weighted = !settings.uncertPath.empty();
    if (settings.control) {
        s.genes = settings.control->genes;
        s.samples = settings.control->samples;
    } else if (o.mem.empty()) {
        const TableShape shape = ReadTableShape(settings.dataPath);
        s.genes = shape.genes;
        s.samples = shape.samples;
    }
    s.inputBytes = TextBytes(settings.dataPath) + (s.weighted ? TextBytes(settings.uncertPath) : 0);
    return s;
}

std::string JobName(const std::string& dir)
{
    std::string base = fs::path(dir).filename().string();
    std::string name = "zarno-";
    for (char c : base) name += std::isalnum(static_cast<unsigned char>(c)) || c == '-' || c == '_' || c == '.' ? c : '_';
    return name;
}

void Directives(std::ostream& s, const SlurmOptions& o, const std::string& mem)
{
    s << "#SBATCH --cpus-per-task=" << o.cpusPerTask << "\n";
    s << "#SBATCH --mem=" << mem << "\n";
    if (!o.partition.empty()) s << "#SBATCH --partition=" << o.partition << "\n";
    if (!o.time.empty()) s << "#SBATCH --time=" << o.time << "\n";
    s << "#SBATCH --chdir=" << o.out << "\n";
}

std::string ArrayScript(const SlurmOptions& o, const std::string& mem)
{
    const RunLayout layout(o.out);
    std::ostringstream s;
    s << "#!/bin/bash\n";
    s << "#SBATCH --job-name=" << JobName(o.out) << "\n";
    s << "#SBATCH --array=0-" << o.workers - 1 << "\n";
    Directives(s, o, mem);
    s << "#SBATCH --output=" << layout.SlurmLogs() << "/array-%A_%a.out\n";
    s << "#\n"
         "# Written by `zarno slurm`. Array task I computes worker I's share of the runs\n"
         "# into the shared directory; a run is complete once its run.json exists. Submit\n"
         "# this file again (or run any worker again) after tasks were killed, pre-empted\n"
         "# or out of time: finished runs are kept, the rest are computed.\n"
         "#   sbatch " << layout.ArrayScript() << "\n"
         "#   SLURM_ARRAY_TASK_ID=I bash " << layout.ArrayScript() << "    (one worker, by hand)\n";
    s << "exec " << ShellQuote(o.program) << " run " << ShellQuote(o.data) << " --out "
      << ShellQuote(o.out);
    for (const auto& a : o.runArgs) s << " " << ShellQuote(a);
    s << " \\\n  --worker \"${SLURM_ARRAY_TASK_ID:?not an array task: set SLURM_ARRAY_TASK_ID}\""
      << " --workers " << o.workers << " --resume --threads \"${SLURM_CPUS_PER_TASK:-"
      << o.cpusPerTask << "}\"\n";
    return s.str();
}

std::string CombineScript(const SlurmOptions& o, const std::string& mem)
{
    SlurmOptions one = o;
    one.cpusPerTask = 1;
    std::ostringstream s;
    s << "#!/bin/bash\n";
    s << "#SBATCH --job-name=" << JobName(o.out) << "-combine\n";
    Directives(s, one, mem);
    s << "#SBATCH --output=" << RunLayout(o.out).SlurmLogs() << "/combine-%j.out\n";
    s << "#\n"
         "# Written by `zarno slurm`. Runs after the array, whatever its tasks' outcome:\n"
         "# the survey works on the runs present and lists the missing ones by worker.\n";
    const std::string z = ShellQuote(o.program), dir = ShellQuote(o.out);
    s << "status=0\n";
    s << z << " survey " << dir << " || status=$?\n";
    s << z << " report " << dir << " || { s=$?; [ \"$status\" -ne 0 ] || status=$s; }\n";
    s << "exit \"$status\"\n";
    return s.str();
}

// The runs of the study, and the --mem value: as given, or from the largest
// share, which says how many runs a worker may have in flight at once.
std::string Memory(const SlurmOptions& o, const Study& study,
                   const std::vector<RunKey>& runs, std::ostream& err)
{
    std::size_t largestShare = 0;
    int idle = 0;
    for (int w = 0; w < o.workers; w++) {
        const std::size_t n = WorkerShare(runs, w, o.workers).size();
        largestShare = std::max(largestShare, n);
        idle += n == 0;
    }
    if (idle > 0) {
        err << "zarno slurm: warning: " << o.workers << " workers for " << runs.size()
            << " runs; " << idle << " array tasks will have nothing to do\n";
    }
    if (!o.mem.empty()) return o.mem;
    const int concurrent = static_cast<int>(
        std::max<std::size_t>(1, std::min<std::size_t>(o.cpusPerTask, largestShare)));
    return std::to_string(DefaultMemMiB(study.genes, study.samples, study.job.lastRank, study.weighted,
                                        concurrent, study.inputBytes)) +
           "M";
}

// Runs a program found on PATH with its standard output captured; standard error
// passes through. Returns its exit status, or -1 with errno set when it could not
// be started.
int Capture(const std::vector<std::string>& argv, std::string* output)
{
    int fds[2];
    if (pipe(fds) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, fds[0]);
    posix_spawn_file_actions_addclose(&actions, fds[1]);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(fds[1]);
    if (rc != 0) {
        close(fds[0]);
        errno = rc;
        return -1;
    }
    char buf[4096];
    for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) != 0;) {
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        output->append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0)
        if (errno != EINTR) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

// sbatch --parsable prints "jobid" or "jobid;cluster".
bool ParseJobId(const std::string& text, std::string* id)
{
    std::smatch m;
    static const std::regex form(R"(\s*([0-9]+)(;[^\n]*)?\s*)");
    if (!std::regex_match(text, m, form)) return false;
    *id = m[1];
    return true;
}

// Submits one script; on failure says why on err and returns false.
bool Submit(const std::vector<std::string>& argv, const std::string& what, std::string* id,
            std::ostream& err)
{
    std::string output;
    const int rc = Capture(argv, &output);
    if (rc == -1 && errno == ENOENT) {
        err << "zarno slurm: cannot submit: 'sbatch' was not found on PATH; Slurm's client "
               "commands are not installed on this machine (or not on PATH).\n";
        return false;
    }
    if (rc == -1) {
        err << "zarno slurm: cannot run sbatch: " << std::strerror(errno) << "\n";
        return false;
    }
    if (rc != 0) {
        err << "zarno slurm: sbatch refused the " << what << " (exit " << rc << ")\n";
        return false;
    }
    if (!ParseJobId(output, id)) {
        err << "zarno slurm: sbatch gave no job id for the " << what << ": '" << output << "'\n";
        return false;
    }
    return true;
}

// Submits the array, then the combine job after it; says how to go on.
int SubmitBoth(const RunLayout& layout, std::ostream& out, std::ostream& err)
{
    const std::string array = layout.ArrayScript(), combine = layout.CombineScript();
    std::string arrayId, combineId;
    if (!Submit({"sbatch", "--parsable", array}, "array job", &arrayId, err)) {
        err << "zarno slurm: the scripts are in " << layout.Slurm()
            << "; submit them where Slurm is installed.\n";
        return kExitRunFailed;
    }
    out << "array job: " << arrayId << "\n";
    if (!Submit({"sbatch", "--parsable", "--dependency=afterany:" + arrayId, combine},
                "combine job", &combineId, err)) {
        err << "zarno slurm: the array job " << arrayId
            << " is queued; submit the combine step with:\n  sbatch --dependency=afterany:"
            << arrayId << " " << ShellQuote(combine) << "\n";
        return kExitRunFailed;
    }
    out << "combine job: " << combineId << "\n";
    out << "Follow with: squeue -j " << arrayId << "," << combineId << "; logs in "
        << layout.SlurmLogs() << "\n";
    return kExitDone;
}

int Slurm(const SlurmOptions& given, std::ostream& out, std::ostream& err)
{
    const SlurmOptions o = Checked(given);
    const Study study = DescribeStudy(o);
    const std::vector<RunKey> runs = PlanRuns(study.job);
    const std::string mem = Memory(o, study, runs, err);

    const RunLayout layout(o.out);
    MakeDirectories(layout.SlurmLogs());
    WriteFileAtomic(layout.ArrayScript(), ArrayScript(o, mem), true);
    WriteFileAtomic(layout.CombineScript(), CombineScript(o, mem), true);
    WriteFileAtomic(layout.Plan(), PlanJson(runs, o.workers));
    out << "Wrote " << layout.ArrayScript() << " (" << o.workers
        << (o.workers == 1 ? " task, " : " tasks, ") << o.cpusPerTask
        << (o.cpusPerTask == 1 ? " CPU and " : " CPUs and ") << mem << " each)\n";
    out << "Wrote " << layout.CombineScript() << "\n";
    if (o.submit) return SubmitBoth(layout, out, err);
    out << "Submit with:\n  jobid=$(sbatch --parsable " << ShellQuote(layout.ArrayScript()) << ")\n"
        << "  sbatch --dependency=afterany:$jobid " << ShellQuote(layout.CombineScript()) << "\n";
    return kExitDone;
}

}  // namespace

std::uint64_t DefaultMemMiB(std::int64_t genes, std::int64_t samples, int patterns,
                            bool weighted, int threads, std::uint64_t inputBytes)
{
    const std::uint64_t MiB = 1024 * 1024;
    const int g = static_cast<int>(std::min<std::int64_t>(genes, INT32_MAX));
    const int s = static_cast<int>(std::min<std::int64_t>(samples, INT32_MAX));
    const std::uint64_t formula =
        zarno::SharedBytes(g, s, weighted) +
        static_cast<std::uint64_t>(threads) * zarno::RunBytes(g, s, patterns, weighted);
    // A quarter on top for the allocator and what the formula leaves out, the
    // input text while it is parsed, and a fixed floor for the program itself.
    const std::uint64_t bytes = formula + formula / 4 + inputBytes;
    return (bytes + MiB - 1) / MiB + 128;
}

int RunSlurm(const SlurmOptions& options, std::ostream& out, std::ostream& err)
{
    return ExitCodeOf([&] { return Slurm(options, out, err); }, "zarno slurm: ", err);
}

void AddSlurmCommand(CLI::App& app)
{
    auto o = std::make_shared<SlurmOptions>();
    auto run = std::make_shared<RunArgs>();  // bound for the parse; the words are what counts
    CLI::App* sub = app.add_subcommand(
        "slurm", "Run a study on a Slurm cluster: a job array of workers, then a combine job");
    sub->footer(
        "Writes DIR/slurm/array.sbatch (array task I runs `zarno run DATA --out DIR ... --worker "
        "I --workers N --resume --threads $SLURM_CPUS_PER_TASK`) and DIR/slurm/combine.sbatch "
        "(`zarno survey DIR`, `zarno report DIR`, after the array whatever its outcome); "
        "--submit submits both. Submitting the array again completes a study whose tasks were "
        "killed, pre-empted or out of time, without recomputing finished runs. The flags of "
        "`zarno run` are passed to every worker.\n"
        "Exit codes: 0 done; 1 submission failed (no sbatch here, or sbatch refused; the "
        "scripts are written) or the scripts could not be written; 2 bad input or usage "
        "(nothing written).");
    sub->add_option("DATA", o->data, "Data file (.txt, .csv, .gz) or control file (.ctr)")
        ->required();
    sub->add_option("--out,-o", o->out, "Study directory, shared by all workers (cluster file system)")
        ->required();
    sub->add_option("--workers", o->workers, "Array tasks; runs are split between them by cost")
        ->required();
    const std::vector<CLI::Option*> passed = AddRunOptions(*sub, *run, RunOptionScope::kWorkers);
    sub->add_option("--partition", o->partition, "Slurm partition (default: the cluster's)");
    sub->add_option("--time", o->time, "Time limit per task, e.g. 2:00:00 (default: the partition's)");
    sub->add_option("--mem", o->mem,
                    "Memory per task, e.g. 4G (default: the memory formula of a worker's runs "
                    "plus a margin)");
    sub->add_option("--cpus-per-task", o->cpusPerTask, "CPUs per task, each worker's threads")
        ->capture_default_str();
    sub->add_flag("--submit", o->submit, "Submit the array and the combine job with sbatch");

    sub->callback(Callback("zarno slurm: ", [o, run, passed] {
        SlurmOptions given = *o;
        given.runArgs = RunWords(passed);
        std::error_code ec;
        given.program = fs::canonical("/proc/self/exe", ec).string();
        return RunSlurm(given, std::cout, std::cerr);
    }));
}

}  // namespace zarno::cli
