// `zarno slurm`: writes a study's job-array and combine scripts, and submits them.
#include "slurm_command.h"

#include "zarno/api.h"
#include "zarno/cluster_plan.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <ostream>
#include <regex>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace fs = std::filesystem;

namespace zarno::cli {

namespace {

// What the scripts and the memory default need to know about the study.
struct Study {
    std::int64_t genes = 0, samples = 0;
    bool weighted = false;
    int firstRank = 2, lastRank = 6;  // zarno run's defaults
    int chains = 10;
    int firstChain = 1;
    std::uint64_t inputBytes = 0;     // the input files' text
};

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

bool EndsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

// The value of a pass-through flag (`--name value` or `--name=value`); empty if absent.
std::string FlagValue(const std::vector<std::string>& args, const std::string& name)
{
    std::string value;
    for (std::size_t i = 0; i < args.size(); i++) {
        if (args[i] == name && i + 1 < args.size()) value = args[i + 1];
        if (args[i].rfind(name + "=", 0) == 0) value = args[i].substr(name.size() + 1);
    }
    return value;
}

bool HasFlag(const std::vector<std::string>& args, const std::string& name)
{
    for (const auto& a : args)
        if (a == name || a.rfind(name + "=", 0) == 0) return true;
    return false;
}

int PositiveInt(const std::string& text, const std::string& what)
{
    std::size_t used = 0;
    long v = 0;
    try {
        v = std::stol(text, &used);
    } catch (const std::exception&) {
        used = 0;
    }
    if (used != text.size() || text.empty() || v < 1 || v > 1000000000)
        throw UsageError(what + ": expected a positive whole number, got '" + text + "'");
    return static_cast<int>(v);
}

void ParseRanks(const std::string& text, int* first, int* last)
{
    const auto colon = text.find(':');
    if (colon == std::string::npos)
        throw UsageError("--ranks: expected A:B with 1 <= A <= B, got '" + text + "'");
    *first = PositiveInt(text.substr(0, colon), "--ranks");
    *last = PositiveInt(text.substr(colon + 1), "--ranks");
    if (*first > *last)
        throw UsageError("--ranks: expected A:B with 1 <= A <= B, got '" + text + "'");
}

// A control file's first two lines: genes, samples, weighting flag; first and last
// pattern count, chains, rounds. '#' starts a comment.
void ReadControl(const std::string& path, Study* s)
{
    std::ifstream in(path);
    if (!in) throw UsageError(path + ": cannot be read");
    std::string line;
    long v[2][4] = {};
    const int want[2] = {3, 4};
    for (int l = 0; l < 2; l++) {
        if (!std::getline(in, line)) throw UsageError(path + ": line " + std::to_string(l + 1) + " missing");
        std::istringstream fields(line.substr(0, line.find('#')));
        for (int k = 0; k < want[l]; k++)
            if (!(fields >> v[l][k]))
                throw UsageError(path + ": line " + std::to_string(l + 1) + " needs " +
                                 std::to_string(want[l]) + " numbers");
    }
    s->genes = v[0][0];
    s->samples = v[0][1];
    s->weighted = v[0][2] != 0;
    s->firstRank = static_cast<int>(v[1][0]);
    s->lastRank = static_cast<int>(v[1][1]);
    s->chains = static_cast<int>(v[1][2]);
    const std::string stem = path.substr(0, path.size() - 4);
    std::error_code ec;
    for (const char* ext : {".txt", ".unc"}) {
        const auto size = fs::file_size(stem + ext, ec);
        if (!ec) s->inputBytes += size;
    }
}

// The size of a file's text: a gzip member records it (modulo 2^32) in its last
// four bytes.
std::uint64_t TextBytes(const std::string& path)
{
    std::error_code ec;
    const std::uint64_t size = fs::file_size(path, ec);
    if (ec) return 0;
    if (!EndsWith(path, ".gz") || size < 18) return size;
    std::ifstream in(path, std::ios::binary);
    in.seekg(-4, std::ios::end);
    unsigned char b[4] = {};
    in.read(reinterpret_cast<char*>(b), 4);
    return b[0] | b[1] << 8 | b[2] << 16 | static_cast<std::uint64_t>(b[3]) << 24;
}

Study DescribeStudy(const SlurmOptions& o, bool needShape)
{
    Study s;
    if (EndsWith(o.data, ".ctr")) {
        ReadControl(o.data, &s);
    } else {
        if (needShape) {
            try {
                const DataShape shape = ScanDataShape(o.data);
                s.genes = shape.genes;
                s.samples = shape.samples;
            } catch (const std::runtime_error& e) {
                throw UsageError(e.what());
            }
        }
        s.inputBytes = TextBytes(o.data);
    }
    const std::string uncert = FlagValue(o.runArgs, "--uncert");
    if (HasFlag(o.runArgs, "--uncert") && !fs::is_regular_file(uncert))
        throw UsageError("--uncert: " + uncert + ": no such file");
    for (const char* flag : {"--first-chain", "--rounds"})
        if (HasFlag(o.runArgs, flag)) PositiveInt(FlagValue(o.runArgs, flag), flag);
    if (!uncert.empty()) {
        s.weighted = true;
        s.inputBytes += TextBytes(uncert);
    }
    const std::string ranks = FlagValue(o.runArgs, "--ranks");
    if (!ranks.empty()) ParseRanks(ranks, &s.firstRank, &s.lastRank);
    const std::string chains = FlagValue(o.runArgs, "--chains");
    if (!chains.empty()) s.chains = PositiveInt(chains, "--chains");
    const std::string firstChain = FlagValue(o.runArgs, "--first-chain");
    if (!firstChain.empty()) s.firstChain = PositiveInt(firstChain, "--first-chain");
    return s;
}

// Values that go on #SBATCH lines or into the log path must not need quoting there.
void CheckDirective(const std::string& value, const std::regex& form, const std::string& what)
{
    if (!std::regex_match(value, form))
        throw UsageError(what + ": '" + value + "' is not a valid value");
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
    std::ostringstream s;
    s << "#!/bin/bash\n";
    s << "#SBATCH --job-name=" << JobName(o.out) << "\n";
    s << "#SBATCH --array=0-" << o.workers - 1 << "\n";
    Directives(s, o, mem);
    s << "#SBATCH --output=" << o.out << "/slurm/logs/array-%A_%a.out\n";
    s << "#\n"
         "# Written by `zarno slurm`. Array task I computes worker I's share of the runs\n"
         "# into the shared directory; a run is complete once its run.json exists. Submit\n"
         "# this file again (or run any worker again) after tasks were killed, pre-empted\n"
         "# or out of time: finished runs are kept, the rest are computed.\n"
         "#   sbatch " << o.out << "/slurm/array.sbatch\n"
         "#   SLURM_ARRAY_TASK_ID=I bash " << o.out << "/slurm/array.sbatch    (one worker, by hand)\n";
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
    s << "#SBATCH --output=" << o.out << "/slurm/logs/combine-%j.out\n";
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

// Replaces `path` at once, so a reader never sees half a script.
void WriteFile(const std::string& path, const std::string& text)
{
    const std::string tmp = path + ".tmp";
    {
        std::ofstream f(tmp, std::ios::binary | std::ios::trunc);
        f << text;
        f.close();
        if (!f) throw std::runtime_error(tmp + ": cannot be written: " + std::strerror(errno));
    }
    fs::permissions(tmp, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                             fs::perms::others_read | fs::perms::others_exec);
    fs::rename(tmp, path);
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

DataShape ScanDataShape(const std::string& path)
{
    // zlib reads uncompressed files unchanged, so one reader serves both.
    std::unique_ptr<gzFile_s, int (*)(gzFile)> f(gzopen(path.c_str(), "rb"), gzclose);
    if (!f) throw std::runtime_error(path + ": cannot be read: " + std::strerror(errno));
    const bool csv = EndsWith(path, ".csv") || EndsWith(path, ".csv.gz");
    DataShape shape;
    std::int64_t line = 0, fields = 0;
    bool inField = false, blank = true;
    char buf[1 << 16];
    for (;;) {
        const int n = gzread(f.get(), buf, sizeof buf);
        if (n < 0) throw std::runtime_error(path + ": cannot be read (corrupt compressed data?)");
        // A last line without a newline is ended by a virtual one.
        const bool end = n == 0;
        for (int i = 0; i < (end ? 1 : n); i++) {
            const char c = end ? '\n' : buf[i];
            if (c == '\n') {
                if (!blank) {
                    if (line == 1) shape.samples = fields - 1;
                    if (line >= 1) shape.genes++;
                    line++;
                }
                fields = 0;
                inField = false;
                blank = true;
                continue;
            }
            const bool sep = csv ? c == ',' : (c == ' ' || c == '\t');
            if (c != '\r' && c != ' ' && c != '\t') blank = false;
            if (csv) {
                if (fields == 0) fields = 1;
                if (sep) fields++;
            } else if (sep || c == '\r') {
                inField = false;
            } else if (!inField) {
                inField = true;
                fields++;
            }
        }
        if (end) break;
    }
    if (shape.genes == 0 || shape.samples < 1)
        throw std::runtime_error(path + ": no data rows under the header");
    return shape;
}

std::string ShellQuote(const std::string& word)
{
    static const std::regex plain("[A-Za-z0-9_@%+=:,./-]+");
    if (std::regex_match(word, plain)) return word;
    std::string q = "'";
    for (char c : word) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

int RunSlurm(const SlurmOptions& given, std::ostream& out, std::ostream& err)
{
    SlurmOptions o = given;
    std::string mem;
    Study study;
    try {
        if (o.workers < 1) throw UsageError("--workers: at least 1 worker is needed");
        if (o.cpusPerTask < 1) throw UsageError("--cpus-per-task: at least 1");
        if (o.out.empty()) throw UsageError("--out: a directory is needed");
        if (o.program.empty()) throw UsageError("the path of the zarno program is unknown");
        for (const char* flag : {"--out", "--worker", "--workers", "--resume", "--threads"})
            if (HasFlag(o.runArgs, flag))
                throw UsageError(std::string(flag) + " is set by the array script, not passed through");
        if (!fs::is_regular_file(o.data)) throw UsageError(o.data + ": no such file");
        o.data = fs::absolute(o.data).lexically_normal().string();
        o.out = fs::absolute(o.out).lexically_normal().string();
        if (o.out.size() > 1 && o.out.back() == '/') o.out.pop_back();
        // DIR appears on #SBATCH lines and in log-file patterns, where blanks,
        // quotes and '%' would be read as something else.
        CheckDirective(o.out, std::regex(R"([^\s"'%\\]+)"), "--out");
        CheckDirective(o.partition, std::regex("[A-Za-z0-9_.,-]*"), "--partition");
        CheckDirective(o.time, std::regex(R"(|[0-9]+(-[0-9]+)?(:[0-9]+){0,2}|UNLIMITED|INFINITE|unlimited|infinite)"),
                       "--time");
        CheckDirective(o.mem, std::regex("|[0-9]+[KMGT]?"), "--mem");
        study = DescribeStudy(o, o.mem.empty());
    } catch (const UsageError& e) {
        err << "zarno slurm: " << e.what() << "\n";
        return 2;
    }
    // The largest share says how many runs a worker may have in flight at once.
    zarno::JobSpec job;
    job.firstRank = study.firstRank;
    job.lastRank = study.lastRank;
    job.chains = study.chains;
    job.firstChain = study.firstChain;
    const std::vector<zarno::RunKey> runs = zarno::PlanRuns(job);
    std::size_t largestShare = 0;
    int idle = 0;
    for (int w = 0; w < o.workers; w++) {
        const std::size_t n = zarno::WorkerShare(runs, w, o.workers).size();
        largestShare = std::max(largestShare, n);
        idle += n == 0;
    }
    if (idle > 0)
        err << "zarno slurm: warning: " << o.workers << " workers for " << runs.size()
            << " runs; " << idle << " array tasks will have nothing to do\n";
    if (o.mem.empty()) {
        const int concurrent = static_cast<int>(
            std::max<std::size_t>(1, std::min<std::size_t>(o.cpusPerTask, largestShare)));
        mem = std::to_string(DefaultMemMiB(study.genes, study.samples, study.lastRank,
                                           study.weighted, concurrent, study.inputBytes)) +
              "M";
    } else {
        mem = o.mem;
    }

    const std::string slurmDir = o.out + "/slurm";
    const std::string array = slurmDir + "/array.sbatch", combine = slurmDir + "/combine.sbatch";
    try {
        fs::create_directories(slurmDir + "/logs");
        WriteFile(array, ArrayScript(o, mem));
        WriteFile(combine, CombineScript(o, mem));
        WriteFile(slurmDir + "/plan.json", zarno::PlanJson(runs, o.workers));
    } catch (const std::exception& e) {
        err << "zarno slurm: " << e.what() << "\n";
        return 1;
    }
    out << "Wrote " << array << " (" << o.workers << (o.workers == 1 ? " task, " : " tasks, ")
        << o.cpusPerTask << (o.cpusPerTask == 1 ? " CPU and " : " CPUs and ") << mem
        << " each)\n";
    out << "Wrote " << combine << "\n";
    if (!o.submit) {
        out << "Submit with:\n  jobid=$(sbatch --parsable " << ShellQuote(array) << ")\n"
            << "  sbatch --dependency=afterany:$jobid " << ShellQuote(combine) << "\n";
        return 0;
    }

    std::string arrayId, combineId;
    if (!Submit({"sbatch", "--parsable", array}, "array job", &arrayId, err)) {
        err << "zarno slurm: the scripts are in " << slurmDir
            << "; submit them where Slurm is installed.\n";
        return 1;
    }
    out << "array job: " << arrayId << "\n";
    if (!Submit({"sbatch", "--parsable", "--dependency=afterany:" + arrayId, combine},
                "combine job", &combineId, err)) {
        err << "zarno slurm: the array job " << arrayId
            << " is queued; submit the combine step with:\n  sbatch --dependency=afterany:"
            << arrayId << " " << ShellQuote(combine) << "\n";
        return 1;
    }
    out << "combine job: " << combineId << "\n";
    out << "Follow with: squeue -j " << arrayId << "," << combineId << "; logs in "
        << slurmDir << "/logs\n";
    return 0;
}

namespace {

// A flag of `zarno run` that `zarno slurm` accepts and hands to every worker.
struct RunFlag {
    std::string names;        // CLI11 names, e.g. "--ranks,-k"
    std::string name;         // what goes into the script, e.g. "--ranks"
    bool takesValue = true;
    std::string help;
};

// The run flags as of this writing, for an App without a `run` subcommand.
std::vector<RunFlag> KnownRunFlags()
{
    return {{"--uncert,-u", "--uncert", true, "Uncertainty file (weighted runs)"},
            {"--ranks,-k", "--ranks", true, "Pattern counts A:B (default 2:6)"},
            {"--chains,-c", "--chains", true, "Chains per pattern count (default 10)"},
            {"--first-chain", "--first-chain", true, "First chain number (default 1)"},
            {"--rounds,-n", "--rounds", true, "Update rounds per run (default 2000)"},
            {"--trace", "--trace", false, "Record a chi-square trace in every run.json"},
            {"--quiet,-q", "--quiet", false, "No progress lines in the task logs"}};
}

// The flags of the App's `run` subcommand, when registered before this one, so a
// flag added to `zarno run` reaches the workers without a change here; less the
// ones the array script sets itself.
std::vector<RunFlag> RunFlags(CLI::App& app)
{
    CLI::App* run = nullptr;
    try {
        run = app.get_subcommand("run");
    } catch (const CLI::OptionNotFound&) {
        return KnownRunFlags();
    }
    static const std::vector<std::string> setHere = {"help", "out", "threads", "resume",
                                                     "worker", "workers"};
    std::vector<RunFlag> flags;
    for (const CLI::Option* opt : run->get_options()) {
        if (opt->get_positional() || opt->get_lnames().empty()) continue;
        const std::string& lname = opt->get_lnames().front();
        if (std::find(setHere.begin(), setHere.end(), lname) != setHere.end()) continue;
        RunFlag f;
        f.name = "--" + lname;
        f.names = f.name;
        for (const std::string& s : opt->get_snames()) f.names += ",-" + s;
        f.takesValue = opt->get_items_expected_max() > 0;
        f.help = opt->get_description();
        flags.push_back(f);
    }
    return flags;
}

}  // namespace

void AddSlurmCommand(CLI::App& app)
{
    auto o = std::make_shared<SlurmOptions>();
    // The run flags and their values, passed through in this order.
    const std::vector<RunFlag> flags = RunFlags(app);
    auto values = std::make_shared<std::vector<std::string>>(flags.size());

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
        "scripts are written); 2 bad input or usage (nothing written).");
    sub->add_option("DATA", o->data, "Data file (.txt, .csv, .gz) or control file (.ctr)")
        ->required();
    sub->add_option("--out,-o", o->out, "Study directory, shared by all workers (cluster file system)")
        ->required();
    sub->add_option("--workers", o->workers, "Array tasks; runs are split between them by cost")
        ->required();
    for (std::size_t i = 0; i < flags.size(); i++) {
        if (flags[i].takesValue) {
            sub->add_option(flags[i].names, (*values)[i], flags[i].help);
        } else {
            sub->add_flag(flags[i].names, flags[i].help);
        }
    }
    sub->add_option("--partition", o->partition, "Slurm partition (default: the cluster's)");
    sub->add_option("--time", o->time, "Time limit per task, e.g. 2:00:00 (default: the partition's)");
    sub->add_option("--mem", o->mem,
                    "Memory per task, e.g. 4G (default: the memory formula of a worker's runs "
                    "plus a margin)");
    sub->add_option("--cpus-per-task", o->cpusPerTask, "CPUs per task, each worker's threads")
        ->capture_default_str();
    sub->add_flag("--submit", o->submit, "Submit the array and the combine job with sbatch");

    sub->callback([=] {
        SlurmOptions run = *o;
        run.runArgs.clear();
        for (std::size_t i = 0; i < flags.size(); i++) {
            if (sub->count(flags[i].name) == 0) continue;
            run.runArgs.push_back(flags[i].name);
            if (!flags[i].takesValue) continue;
            std::string v = (*values)[i];
            std::error_code ec;
            // Workers start elsewhere: a file named relative to here is made absolute.
            if (flags[i].name == "--uncert" && fs::exists(v, ec))
                v = fs::absolute(v).lexically_normal().string();
            run.runArgs.push_back(v);
        }
        std::error_code ec;
        run.program = fs::canonical("/proc/self/exe", ec).string();
        const int code = RunSlurm(run, std::cout, std::cerr);
        if (code != 0) throw CLI::RuntimeError(code);
    });
}

}  // namespace zarno::cli
