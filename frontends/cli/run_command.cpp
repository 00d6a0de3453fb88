#include "run_command.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <memory>
#include <system_error>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "zarno/api.h"
#include "zarno/cells.h"
#include "commands.h"
#include "progress.h"
#include "zarno/run_dir.h"
#include "zarno/study_input.h"
#include "zarno/survey_files.h"
#include "zarno/sysmem.h"
#include "zarno/table_reader.h"

namespace zarno::cli {

namespace {

// Set by SIGINT and SIGTERM: every run stops within one round. Writing a
// lock-free atomic is safe in a signal handler.
std::atomic<bool>* gCancel = nullptr;
volatile sig_atomic_t gSignal = 0;

extern "C" void OnSignal(int sig)
{
    gSignal = sig;
    if (gCancel != nullptr) gCancel->store(true);
}

class SignalGuard {
public:
    explicit SignalGuard(std::atomic<bool>* cancel)
    {
        gSignal = 0;
        gCancel = cancel;
        struct sigaction sa {};
        sa.sa_handler = OnSignal;
        sigemptyset(&sa.sa_mask);
        // A second Ctrl-C kills at once; complete runs are safe on disk anyway.
        sa.sa_flags = SA_RESETHAND;
        sigaction(SIGINT, &sa, &oldInt_);
        sigaction(SIGTERM, &sa, &oldTerm_);
    }
    ~SignalGuard()
    {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
        gCancel = nullptr;
    }

private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};

void Say(const std::string& text)
{
    std::fprintf(stderr, "zarno: %s\n", text.c_str());
    std::fflush(stderr);
}

std::string Megabytes(std::uint64_t bytes)
{
    return fmt::format("{:.0f} MB", static_cast<double>(bytes) / 1e6);
}

std::string Quoted(const std::string& s)
{
    return "\"" + s + "\"";
}

// What the run directory's writer needs while runs finish.
class DirSink : public JobSink {
public:
    // Runs go to `dir`, the summary to `summary` (the plain runs' directory
    // also for the runs with held-out cells). `written` counts on from an
    // earlier sweep.
    DirSink(RunDir& dir, RunDir& summary, const Dataset& data, Progress& progress, int written)
        : dir_(dir), summary_(summary), data_(data), progress_(progress), written_(written)
    {
    }
    bool Message(const std::string& text) override
    {
        if (text.rfind("Npatterns ", 0) != 0) progress_.Message(text);
        return true;
    }
    bool RunFinished(const RunView& run) override
    {
        // A run whose numbers are not finite failed: its reason is written,
        // the other runs go on, and the command ends with exit code 1.
        const std::string fault = RunFault(run);
        try {
            if (fault.empty()) {
                dir_.WriteRun(run, data_.geneNames, data_.sampleLabels);
            } else {
                dir_.WriteFailedRun(run, fault);
            }
            summary_.WriteSummary();
        } catch (const std::exception& e) {
            error_ = e.what();
            return false;  // a disk that refuses one run's files refuses the next's
        }
        if (!fault.empty()) {
            failed_.push_back(fmt::format("{}: {}", dir_.RunFolder({run.patterns, run.chain}), fault));
            progress_.Message(fmt::format("run k{} c{} failed: {}", run.patterns, run.chain, fault));
            return true;
        }
        written_++;
        progress_.RunDone(run.patterns, run.chain, run.chiSquare, run.seconds, written_);
        return true;
    }
    bool Tick(const Control& c) override
    {
        progress_.Update(std::max(written_, c.runsDone.load()), c.runsInFlight.load(),
                         c.roundsDone.load());
        return true;
    }
    const std::string& Error() const { return error_; }
    int Written() const { return written_; }
    // The runs that failed: "folder: why".
    const std::vector<std::string>& Failed() const { return failed_; }

private:
    RunDir& dir_;
    RunDir& summary_;
    const Dataset& data_;
    Progress& progress_;
    std::string error_;
    int written_ = 0;
    std::vector<std::string> failed_;
};

// The data and uncertainties of a study, read and checked; `set` views them.
using Input = StudyInput;

// Reads the files `s` names and checks them against each other and against
// the pattern counts.
void ReadInput(const Settings& s, Input* in)
{
    ReadStudyInput(s.dataPath, s.uncertPath, s.control ? &*s.control : nullptr, in,
                   /*allowMissing=*/true);
    const Table& data = in->data;
    const int most = std::min(data.genes, data.samples);
    if (s.lastRank > most) {
        throw InputError(fmt::format("{}: {} patterns is more than the {} {} of {}: a pattern "
                                     "count can be at most {}",
                                     s.ranksFrom, s.lastRank, most,
                                     data.samples <= data.genes ? "samples" : "genes", data.path,
                                     most));
    }
}

// The job the settings and flags ask for, checked by the core.
JobSpec PlanJob(const Settings& s, const RunArgs& a, const Input& in)
{
    JobSpec job;
    job.firstRank = s.firstRank;
    job.lastRank = s.lastRank;
    job.firstChain = a.firstChain;
    job.chains = s.chains;
    job.run.rounds = s.rounds;
    job.run.trace = a.trace;
    job.run.tolerance = a.tolerance;
    job.run.holdout = a.holdout;
    job.run.threadsPerRun = a.threadsPerRun;
    if (!ParseArithmetic(a.arithmetic, &job.run.arithmetic)) {
        throw InputError(fmt::format("--arithmetic {}: expected gram or classic", a.arithmetic));
    }
    if (const Refusal r = CheckJob(in.set, job)) {
        std::string from = s.ranksFrom;
        if (r.code == Refusal::kChains) from = s.chainsFrom + " / --first-chain";
        if (r.code == Refusal::kRounds) from = s.roundsFrom;
        throw InputError(fmt::format("{}: {}", from, r.text));
    }
    return job;
}

void WarnOfNegatives(const Table& data)
{
    if (data.negatives == 0) return;
    Say(fmt::format("warning: {} holds {} value{} below zero, the first at {}:{}:{} (gene {}, "
                    "sample {}); they are run as they are (log-transformed data?)",
                    data.path, data.negatives, data.negatives == 1 ? "" : "s", data.path,
                    data.negativeLine, data.negativeColumn, Quoted(data.geneNames[data.negativeGene]),
                    Quoted(data.sampleLabels[data.negativeSample])));
}

// The plain runs' options (the twins with held-out cells aside).
RunOptions PlainRuns(const JobSpec& job)
{
    RunOptions o = job.run;
    o.holdout = 0.0;
    return o;
}

// The sample annotations given, matched to the data's samples and checked
// before DIR is touched.
std::optional<Annotations> ReadAnnotations(const RunArgs& a, const Input& in)
{
    if (a.annotations.path.empty()) return std::nullopt;
    AnnotationOptions options;
    options.batch = a.annotations.batch;
    Annotations notes =
        MatchAnnotations(ReadAnnotationTable(a.annotations.path), in.data.sampleLabels, options);
    WarnOfAnnotations(notes);
    return notes;
}

// What runs but deserves a word: gene names given twice, genes and samples
// whose values are all zero.
void WarnOfDoubtfulRows(const Input& in)
{
    const Table& data = in.data;
    if (data.duplicateGenes > 0) {
        Say(fmt::format("warning: {} repeats {} gene name{}, the first {} at {}:{} (first at line "
                        "{}); they run as separate genes, but results joined by name will mix them",
                        data.path, data.duplicateGenes, data.duplicateGenes == 1 ? "" : "s",
                        Quoted(data.geneNames[data.duplicateGene]), data.path,
                        data.lines[data.duplicateGene], data.lines[data.duplicateOf]));
    }
    const CellCounts& c = in.cells;
    if (c.zeroGenes > 0) {
        Say(fmt::format("warning: {} holds {} gene{} whose values are all zero, the first {} at "
                        "{}:{}; they run, with amplitudes of zero",
                        data.path, c.zeroGenes, c.zeroGenes == 1 ? "" : "s",
                        Quoted(data.geneNames[c.firstZeroGene]), data.path, data.lines[c.firstZeroGene]));
    }
    if (c.zeroSamples > 0) {
        Say(fmt::format("warning: {} holds {} sample{} whose values are all zero, the first {} at "
                        "{}:{}:{}; they run, with pattern values of zero",
                        data.path, c.zeroSamples, c.zeroSamples == 1 ? "" : "s",
                        Quoted(data.sampleLabels[c.firstZeroSample]), data.path, data.headerLine,
                        data.labelColumns[c.firstZeroSample]));
    }
}

// ", 12 cells missing (0.5%)", or "" when none is.
std::string MissingNote(const CellCounts& c)
{
    if (c.missing == 0) return "";
    return fmt::format(", {} cell{} missing ({:.3g}%)", c.missing, c.missing == 1 ? "" : "s",
                       100.0 * static_cast<double>(c.missing) / static_cast<double>(c.cells));
}

JobIdentity Identity(const Settings& s, const RunArgs& a, const Input& in, const JobSpec& job)
{
    JobIdentity id;
    id.dataSha256 = in.data.sha256;
    id.uncertSha256 = in.weighted ? in.unc.sha256 : "";
    id.genes = in.data.genes;
    id.samples = in.data.samples;
    id.weighted = in.weighted;
    id.rounds = s.rounds;
    id.trace = a.trace;
    id.tolerance = a.tolerance;
    id.holdout = a.holdout;
    id.arithmetic = ArithmeticName(UsesGramForm(in.set, PlainRuns(job), in.cells.missing > 0)
                                       ? Arithmetic::kGram
                                       : Arithmetic::kClassic);
    id.missingCells = in.cells.missing;
    return id;
}

// The runs this process computes: its share of the job, less the complete
// ones. With a holdout every run has a twin with held-out cells, in a folder
// of its own: the plain runs stay exactly what they are without one.
struct Work {
    Work(const RunArgs& a, const JobIdentity& id, const JobSpec& job)
        : dir(a.out, id, kVersion)
    {
        std::vector<RunKey> runs = PlanRuns(job);
        if (a.workers > 0) runs = WorkerShare(runs, a.worker, a.workers);
        if (a.holdout > 0.0) twinsDir = std::make_unique<RunDir>(a.out, id, kVersion, true);
        for (const RunKey& k : runs) {
            if (!dir.Complete(k)) todo.push_back(k);
            if (twinsDir && !twinsDir->Complete(k)) heldTodo.push_back(k);
        }
        for (const RunKey& k : todo) dir.Clear(k);
        for (const RunKey& k : heldTodo) twinsDir->Clear(k);
        planned = runs.size() * (twinsDir ? 2 : 1);
    }
    size_t Computing() const { return todo.size() + heldTodo.size(); }
    int Kept() const { return static_cast<int>(planned - Computing()); }
    int LargestPatterns() const
    {
        int largest = 0;
        for (const auto* keys : {&todo, &heldTodo})
            for (const RunKey& k : *keys) largest = std::max(largest, k.patterns);
        return largest;
    }

    RunDir dir;
    std::unique_ptr<RunDir> twinsDir;
    std::vector<RunKey> todo, heldTodo;
    size_t planned = 0;
};

// Threads: what was asked, or every processor we may use; fewer when the
// memory would not hold them.
int Threads(const RunArgs& a, const Work& w, const Input& in, const JobSpec& job)
{
    int threads = a.threads > 0 ? a.threads : AvailableProcessors();
    threads = std::min<int>(threads, static_cast<int>(std::max(w.todo.size(), w.heldTodo.size())));
    const Table& data = in.data;
    // Runs in Gram form need no genes x samples matrix; twins with held-out
    // cells take the weighted round.
    const bool gram = UsesGramForm(in.set, PlainRuns(job), in.cells.missing > 0);
    std::uint64_t perRun = RunBytes(data.genes, data.samples, w.LargestPatterns(), in.weighted, gram);
    if (!w.heldTodo.empty()) {
        perRun = std::max<std::uint64_t>(
            perRun, RunBytes(data.genes, data.samples, w.LargestPatterns(), in.weighted));
    }
    const std::uint64_t shared =
        SharedBytes(data.genes, data.samples, in.weighted, in.cells.missing > 0);
    // What we hold already (the values and uncertainties) counts in `shared`.
    const std::uint64_t held = (data.values.size() + in.unc.values.size()) * sizeof(double);
    const std::uint64_t available = AvailableMemory();
    if (available == 0) return threads;
    const int fit = ThreadsThatFit(threads, available + held, shared, perRun);
    if (fit < threads) {
        Say(fmt::format("lowering the concurrent runs from {} to {}: each needs {} beyond the {} "
                        "shared, and {} are available",
                        threads, fit, Megabytes(perRun), Megabytes(shared),
                        Megabytes(available + held)));
        threads = fit;
    }
    if (shared + perRun > available + held) {
        Say(fmt::format("warning: one run needs {} with the {} shared, more than the {} available; "
                        "it may swap or fail",
                        Megabytes(perRun), Megabytes(shared), Megabytes(available + held)));
    }
    return threads;
}

// How the sweep ended.
struct Swept {
    JobOutcome outcome;
    int written = 0;    // runs written, this sweep
    std::string error;  // why the results could not be written
    std::vector<std::string> failed;  // runs that failed: "folder: why"
    double seconds = 0.0;
};

// The plain runs, then their twins; each run is written as soon as it is done.
Swept Sweep(const RunArgs& a, const Settings& s, const Input& in, JobSpec job, Work& w,
            Progress::Mode mode)
{
    const long long computing = static_cast<long long>(w.Computing());
    Progress progress(mode, static_cast<int>(computing), computing * s.rounds);
    Control control;
    DirSink plain(w.dir, w.dir, in.set, progress, 0);
    std::unique_ptr<DirSink> twins;
    Swept r;
    const auto start = std::chrono::steady_clock::now();
    {
        SignalGuard guard(&control.cancel);
        if (!w.todo.empty()) {
            job.only = w.todo;
            job.run.holdout = 0.0;
            r.outcome = RunJob(in.set, job, plain, &control);
        }
        if (r.outcome.status == JobOutcome::kDone && !w.heldTodo.empty()) {
            twins = std::make_unique<DirSink>(*w.twinsDir, w.dir, in.set, progress, plain.Written());
            job.only = w.heldTodo;
            job.run.holdout = a.holdout;
            r.outcome = RunJob(in.set, job, *twins, &control);
        }
    }
    const DirSink& sink = twins ? *twins : plain;
    progress.Finish();
    r.written = sink.Written();
    r.error = sink.Error();
    r.failed = plain.Failed();
    if (twins) r.failed.insert(r.failed.end(), twins->Failed().begin(), twins->Failed().end());
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
}

// The survey and the report of a finished study. A build without the chart
// libraries writes the survey alone and says so.
int Conclude(const std::string& dir, bool quiet)
{
    if (!quiet) std::fputc('\n', stdout);
    const bool charts = HasChartLibraries();
    if (!charts) Say("this build has no chart libraries: the survey without its report");
    if (SurveyCommand(dir, quiet, charts) != kExitDone) {
        Say(fmt::format("error: the runs are complete, but their survey failed; zarno survey {} "
                        "tries again",
                        dir));
        return kExitRunFailed;
    }
    return kExitDone;
}

// Runs that failed: which and why, what to try, and the survey of the rest
// (it leaves them out); exit code 1 whatever the survey says.
int RunsFailed(const RunArgs& a, const Swept& r, double largest)
{
    std::vector<std::string> failed = r.failed;  // in the order they finished
    std::sort(failed.begin(), failed.end());
    const size_t shown = std::min<size_t>(failed.size(), 5);
    std::string list;
    for (size_t i = 0; i < shown; i++) list += "\n  " + failed[i];
    if (shown < r.failed.size()) list += fmt::format("\n  ... and {} more", r.failed.size() - shown);
    // Squares of values beyond 1e154 overflow; sums of many reach that sooner.
    const std::string hint =
        largest >= 1e100
            ? fmt::format("\nThe data reach {:.3g}: a round's sums overflow at such values; "
                          "rescale the data (and the uncertainties) by a power of ten and run again",
                          largest)
            : std::string();
    Say(fmt::format("error: {} run{} failed, {} complete (the failed ones' run.json says why):{}{}",
                    r.failed.size(), r.failed.size() == 1 ? "" : "s", r.written, list, hint));
    if (r.written > 0 && !a.noReport && a.workers == 0) Conclude(a.out, a.quiet);
    return kExitRunFailed;
}

// What the sweep's end means: messages, the survey, the exit code.
int Finish(const RunArgs& a, const Swept& r, int listed, Progress::Mode mode, double largest)
{
    std::vector<std::string> words = CommandLine();
    if (!a.resume) words.push_back("--resume");
    const std::string resume = ShellJoin(words);
    const std::string runs = fmt::format("{} run{}", r.written, r.written == 1 ? "" : "s");
    if (r.outcome.status == JobOutcome::kDone && !r.failed.empty()) return RunsFailed(a, r, largest);
    switch (r.outcome.status) {
    case JobOutcome::kDone:
        if (mode != Progress::kQuiet) {
            Say(fmt::format("{} computed in {}; {} runs in {}/summary.tsv", runs,
                            Progress::Clock(r.seconds), listed, a.out));
        }
        // A worker has only its share: the survey belongs to the combine step.
        if (a.noReport || a.workers > 0) return kExitDone;
        return Conclude(a.out, a.quiet);
    case JobOutcome::kCancelled:
        Say(fmt::format("interrupted{}: {} finished and kept in {}; to go on:\n  {}",
                        gSignal == SIGTERM ? " (SIGTERM)" : "", runs, a.out, resume));
        return kExitInterrupted;
    case JobOutcome::kStopped:
        Say(fmt::format("error: cannot write the results: {}; {} runs kept; to go on:\n  {}",
                        r.error, r.written, resume));
        return kExitRunFailed;
    case JobOutcome::kFailed:
    default:
        Say(fmt::format("error: {}; {} runs kept; to go on:\n  {}", r.outcome.error, r.written,
                        resume));
        return kExitRunFailed;
    }
}

int Study(const RunArgs& a)
{
    // Settings, then the input files, all checked before DIR is touched.
    if (a.out.empty()) throw InputError("--out: expected a directory name");
    if (a.workers > 0 && a.worker >= a.workers) {
        throw InputError(fmt::format("--worker {}: expected 0 to {} (--workers {})", a.worker,
                                     a.workers - 1, a.workers));
    }
    const Settings s = ResolveSettings(a);
    Input in;
    ReadInput(s, &in);
    JobSpec job = PlanJob(s, a, in);
    WarnOfNegatives(in.data);
    WarnOfDoubtfulRows(in);
    const JobIdentity id = Identity(s, a, in, job);
    try {
        RunDir::Check(a.out, id, a.resume);
    } catch (const InputError& e) {
        // Studies made before the default stop ran every round.
        const std::string why = e.what();
        if (a.tolerance == 0.0 || why.find("tolerance (DIR: 0.0,") == std::string::npos) throw;
        throw InputError(why + " (a study of every round, made before the default stop, goes on "
                               "with --tolerance 0)");
    }
    const std::optional<Annotations> notes = ReadAnnotations(a, in);

    Work w(a, id, job);
    // Beside the runs, not part of the study: a new table replaces the old.
    if (notes) StoreAnnotations(a.out, *notes);
    const Progress::Mode mode = Progress::ModeFor(a.quiet);
    const std::string share =
        a.workers > 0 ? fmt::format(" (worker {} of {})", a.worker, a.workers) : std::string();
    if (w.Computing() == 0) {
        const int listed = w.dir.WriteSummary();
        if (mode != Progress::kQuiet) {
            Say(fmt::format("all {} runs{} are complete in {}; {} runs in {}/summary.tsv",
                            w.planned, share, a.out, listed, a.out));
        }
        return kExitDone;
    }
    job.threads = Threads(a, w, in, job);
    // Each run is written as soon as it is done: an interruption loses only
    // the runs in flight. summary.tsv keeps the job's order.
    job.ordered = false;
    if (mode != Progress::kQuiet) {
        const size_t computing = w.Computing();
        const std::string rounds =
            a.tolerance > 0.0 ? fmt::format("at most {} rounds (tolerance {:g})", s.rounds, a.tolerance)
                              : fmt::format("{} rounds", s.rounds);
        Say(fmt::format("{} x {}{}{}, pattern counts {} to {}, chains {} to {}, {}: {} run{} "
                        "to compute{}{}, {} at a time",
                        in.data.genes, in.data.samples, in.weighted ? " weighted" : "",
                        MissingNote(in.cells), s.firstRank,
                        s.lastRank, a.firstChain, a.firstChain + s.chains - 1, rounds, computing,
                        computing == 1 ? "" : "s", share,
                        w.Kept() > 0 ? fmt::format(" ({} kept)", w.Kept()) : std::string(),
                        job.threads));
    }
    const Swept r = Sweep(a, s, in, job, w, mode);
    // A disk that refused a run's files may refuse the summary as well: the
    // sweep's own message, which says how to go on, is the one to show.
    int listed = 0;
    try {
        listed = w.dir.WriteSummary();
    } catch (const std::system_error&) {
        if (r.outcome.status == JobOutcome::kDone) throw;
    }
    return Finish(a, r, listed, mode, in.largest);
}

}  // namespace

int ThreadsThatFit(int wanted, std::uint64_t available, std::uint64_t shared, std::uint64_t perRun)
{
    if (perRun == 0 || available <= shared) return 1;
    const std::uint64_t fit = (available - shared) / perRun;
    return static_cast<int>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(fit, wanted)));
}

int RunStudy(const RunArgs& args)
{
    return ExitCodeOf([&] { return Study(args); }, "zarno: error: ", std::cerr);
}

void AddRunCommand(CLI::App& app)
{
    auto args = std::make_shared<RunArgs>();
    CLI::App* run = app.add_subcommand(
        "run", "Run a study: every pattern count in --ranks x every chain, from seeded random "
               "starts, into a run directory");
    AddRunOptions(*run, *args, RunOptionScope::kRun);
    run->footer(
        "Output: DIR/job.json, DIR/summary.tsv and per run DIR/runs/k<P>/c<C>/amplitudes.tsv, "
        "patterns.tsv, run.json (written last: a run without it is recomputed by --resume).\n"
        "Exit codes: 0 done, 1 a run failed, 2 bad input or usage, 130 interrupted.");
    run->callback(Callback("zarno: error: ", [args] { return Study(*args); }));
}

}  // namespace zarno::cli
