#include "run_command.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <memory>
#include <system_error>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "zarno/api.h"
#include "commands.h"
#include "progress.h"
#include "zarno/run_dir.h"
#include "zarno/survey_files.h"
#include "zarno/sysmem.h"
#include "zarno/table_reader.h"

extern "C" const char zarno_charts_js[];  // the report's chart libraries; empty without npm

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

// The uncertainties must describe the data: same genes, same samples, in order.
void CheckSameShape(const Table& data, const Table& unc)
{
    if (unc.samples != data.samples) {
        throw InputError(fmt::format("{}:{}:1: {} samples, but the data ({}) have {}", unc.path,
                                     unc.headerLine, unc.samples, data.path, data.samples));
    }
    for (int j = 0; j < data.samples; j++) {
        if (unc.sampleLabels[j] != data.sampleLabels[j]) {
            throw InputError(fmt::format(
                "{}:{}:{}: sample label {} where the data ({}) have {}", unc.path, unc.headerLine,
                unc.labelColumns[j], Quoted(unc.sampleLabels[j]), data.path,
                Quoted(data.sampleLabels[j])));
        }
    }
    const int rows = std::min(data.genes, unc.genes);
    for (int i = 0; i < rows; i++) {
        if (unc.geneNames[i] != data.geneNames[i]) {
            throw InputError(fmt::format("{}:{}:1: gene {} where the data ({}:{}) have {}",
                                         unc.path, unc.lines[i], Quoted(unc.geneNames[i]),
                                         data.path, data.lines[i], Quoted(data.geneNames[i])));
        }
    }
    if (unc.genes != data.genes) {
        const int line = unc.genes > data.genes ? unc.lines[data.genes] : unc.lines.back() + 1;
        throw InputError(fmt::format("{}:{}:1: {} gene rows, but the data ({}) have {}", unc.path,
                                     line, unc.genes, data.path, data.genes));
    }
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
        try {
            dir_.WriteRun(run, data_.geneNames, data_.sampleLabels);
            summary_.WriteSummary();
        } catch (const std::exception& e) {
            error_ = e.what();
            return false;  // a disk that refuses one run's files refuses the next's
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

private:
    RunDir& dir_;
    RunDir& summary_;
    const Dataset& data_;
    Progress& progress_;
    std::string error_;
    int written_ = 0;
};

// The settings of a study once flags and a control file are combined; each
// remembers where it came from, for messages.
struct Settings {
    int firstRank = 2, lastRank = 6;
    std::string ranksFrom = "--ranks";
    int chains = 10;
    std::string chainsFrom = "--chains";
    int rounds = 2000;
    std::string roundsFrom = "--rounds";
    std::string dataPath, uncertPath;
    const ControlFile* control = nullptr;
};

// The survey and the report of a finished study. A build without the chart
// libraries writes the survey alone and says so.
int Conclude(const std::string& dir, bool quiet)
{
    if (!quiet) std::fputc('\n', stdout);
    const bool charts = zarno_charts_js[0] != '\0';
    if (!charts) Say("this build has no chart libraries: the survey without its report");
    const int rc = charts ? RunReportCommand(dir, quiet) : RunSurveyCommand(dir, quiet);
    if (rc != 0) {
        Say(fmt::format("error: the runs are complete, but their survey failed; zarno survey {} "
                        "tries again",
                        dir));
        return kExitRunFailed;
    }
    return kExitDone;
}

int Study(const RunArgs& a)
{
    // ---- Settings, then the input files, all checked before DIR is touched.
    if (a.out.empty()) throw InputError("--out: expected a directory name");
    Settings s;
    ControlFile ctr;
    if (IsControlFile(a.data)) {
        ctr = ReadControlFile(a.data);
        s.control = &ctr;
        s.dataPath = ctr.dataPath;
        if (ctr.uncertFlag != 0) s.uncertPath = ctr.uncertPath;
        const std::string line2 = fmt::format("{}:2 (pattern counts, chains, rounds)", ctr.path);
        if (!a.ranksGiven) {
            s.firstRank = ctr.firstRank;
            s.lastRank = ctr.lastRank;
            s.ranksFrom = line2;
            if (s.firstRank < 1 || s.lastRank < s.firstRank) {
                throw InputError(fmt::format("{}: pattern counts {} to {}: expected 1 <= first <= "
                                             "last (or give --ranks A:B)",
                                             line2, s.firstRank, s.lastRank));
            }
        }
        if (!a.chainsGiven) {
            s.chains = ctr.chains;
            s.chainsFrom = line2;
            if (s.chains < 1) {
                throw InputError(fmt::format("{}: {} chains: expected at least 1 (or give "
                                             "--chains)",
                                             line2, s.chains));
            }
        }
        if (!a.roundsGiven) {
            s.rounds = ctr.rounds;
            s.roundsFrom = line2;
            if (s.rounds < 0) {
                throw InputError(fmt::format("{}: {} rounds: expected 0 or more (or give "
                                             "--rounds)",
                                             line2, s.rounds));
            }
        }
    } else {
        s.dataPath = a.data;
    }
    if (a.ranksGiven || !s.control) ParseRanks(a.ranks, "--ranks", &s.firstRank, &s.lastRank);
    if (a.chainsGiven || !s.control) s.chains = a.chains;
    if (a.roundsGiven || !s.control) s.rounds = a.rounds;
    if (!a.uncert.empty()) s.uncertPath = a.uncert;
    const bool weighted = !s.uncertPath.empty();

    Table data, unc;
    ReadDataAndUncertainties(s.dataPath, weighted ? s.uncertPath : std::string(), &data, &unc);
    if (weighted) CheckSameShape(data, unc);
    if (s.control && (ctr.genes != data.genes || ctr.samples != data.samples)) {
        throw InputError(fmt::format("{}:1:1: {} genes x {} samples, but {} holds {} x {}",
                                     ctr.path, ctr.genes, ctr.samples, data.path, data.genes,
                                     data.samples));
    }
    const int most = std::min(data.genes, data.samples);
    if (s.lastRank > most) {
        throw InputError(fmt::format("{}: {} patterns is more than the {} {} of {}: a pattern "
                                     "count can be at most {}",
                                     s.ranksFrom, s.lastRank, most,
                                     data.samples <= data.genes ? "samples" : "genes", data.path,
                                     most));
    }

    Dataset set;
    set.genes = data.genes;
    set.samples = data.samples;
    set.values = data.values.data();
    set.weighted = weighted;
    set.sigmas = weighted ? unc.values.data() : nullptr;
    set.geneNames = data.geneNames;
    set.sampleLabels = data.sampleLabels;
    if (const Refusal r = CheckDataset(set)) {
        const bool onSigma = r.code == Refusal::kSigma;
        const Table& t = onSigma ? unc : data;
        if (r.gene >= 0 && r.gene < t.genes) {
            throw InputError(fmt::format("{}:{}: {}", t.path, t.lines[r.gene], r.text));
        }
        throw InputError(fmt::format("{}: {}", t.path, r.text));
    }

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
    if (const Refusal r = CheckJob(set, job)) {
        std::string from = s.ranksFrom;
        if (r.code == Refusal::kChains) from = s.chainsFrom + " / --first-chain";
        if (r.code == Refusal::kRounds) from = s.roundsFrom;
        throw InputError(fmt::format("{}: {}", from, r.text));
    }

    if (data.negatives > 0) {
        Say(fmt::format("warning: {} holds {} value{} below zero, the first at {}:{}:{} (gene {}, "
                        "sample {}); they are run as they are (log-transformed data?)",
                        data.path, data.negatives, data.negatives == 1 ? "" : "s", data.path,
                        data.negativeLine, data.negativeColumn,
                        Quoted(data.geneNames[data.negativeGene]),
                        Quoted(data.sampleLabels[data.negativeSample])));
    }

    JobIdentity id;
    id.dataSha256 = data.sha256;
    id.uncertSha256 = weighted ? unc.sha256 : "";
    id.genes = data.genes;
    id.samples = data.samples;
    id.weighted = weighted;
    id.rounds = s.rounds;
    id.trace = a.trace;
    id.tolerance = a.tolerance;
    id.holdout = a.holdout;
    RunDir::Check(a.out, id, a.resume);

    // ---- The runs this process computes.
    std::vector<RunKey> runs = PlanRuns(job);
    if (a.workers > 0) runs = WorkerShare(runs, a.worker, a.workers);

    // With a holdout every run has a twin with held-out cells, in a folder
    // of its own: the plain runs stay exactly what they are without one.
    RunDir dir(a.out, id, kVersion);
    std::unique_ptr<RunDir> twinsDir;
    if (a.holdout > 0.0) twinsDir = std::make_unique<RunDir>(a.out, id, kVersion, true);
    std::vector<RunKey> todo, heldTodo;
    for (const RunKey& k : runs) {
        if (!dir.Complete(k)) todo.push_back(k);
        if (twinsDir && !twinsDir->Complete(k)) heldTodo.push_back(k);
    }
    for (const RunKey& k : todo) dir.Clear(k);
    for (const RunKey& k : heldTodo) twinsDir->Clear(k);
    const size_t planned = runs.size() * (twinsDir ? 2 : 1);
    const size_t computing = todo.size() + heldTodo.size();
    const int kept = static_cast<int>(planned - computing);

    const Progress::Mode mode = Progress::ModeFor(a.quiet);
    auto info = [&](const std::string& text) {
        if (mode != Progress::kQuiet) Say(text);
    };
    const std::string share =
        a.workers > 0 ? fmt::format(" (worker {} of {})", a.worker, a.workers) : std::string();
    if (computing == 0) {
        const int listed = dir.WriteSummary();
        info(fmt::format("all {} runs{} are complete in {}; {} runs in {}/summary.tsv", planned,
                         share, a.out, listed, a.out));
        return kExitDone;
    }

    // ---- Threads: what was asked, or every processor we may use; fewer when
    // the memory would not hold them.
    int threads = a.threads > 0 ? a.threads : AvailableProcessors();
    threads = std::min<int>(threads, static_cast<int>(std::max(todo.size(), heldTodo.size())));
    int largest = 0;
    for (const RunKey& k : todo) largest = std::max(largest, k.patterns);
    for (const RunKey& k : heldTodo) largest = std::max(largest, k.patterns);
    const std::uint64_t perRun = RunBytes(data.genes, data.samples, largest, weighted);
    const std::uint64_t shared = SharedBytes(data.genes, data.samples, weighted);
    // What we hold already (the values and uncertainties) counts in `shared`.
    const std::uint64_t held = (data.values.size() + unc.values.size()) * sizeof(double);
    const std::uint64_t available = AvailableMemory();
    if (available > 0) {
        const int fit = ThreadsThatFit(threads, available + held, shared, perRun);
        if (fit < threads) {
            Say(fmt::format("lowering the concurrent runs from {} to {}: each needs {} beyond the "
                            "{} shared, and {} are available",
                            threads, fit, Megabytes(perRun), Megabytes(shared),
                            Megabytes(available + held)));
            threads = fit;
        }
        if (shared + perRun > available + held) {
            Say(fmt::format("warning: one run needs {} with the {} shared, more than the {} "
                            "available; it may swap or fail",
                            Megabytes(perRun), Megabytes(shared), Megabytes(available + held)));
        }
    }
    job.threads = threads;
    // Each run is written as soon as it is done: an interruption loses only
    // the runs in flight. summary.tsv keeps the job's order.
    job.ordered = false;

    info(fmt::format("{} x {}{}, pattern counts {} to {}, chains {} to {}, {} rounds: {} run{} "
                     "to compute{}{}, {} at a time",
                     data.genes, data.samples, weighted ? " weighted" : "", s.firstRank,
                     s.lastRank, a.firstChain, a.firstChain + s.chains - 1, s.rounds,
                     computing, computing == 1 ? "" : "s", share,
                     kept > 0 ? fmt::format(" ({} kept)", kept) : std::string(), threads));

    // ---- The sweep.
    Progress progress(mode, static_cast<int>(computing),
                      static_cast<long long>(computing) * s.rounds);
    Control control;
    DirSink plain(dir, dir, set, progress, 0);
    std::unique_ptr<DirSink> twins;
    JobOutcome outcome;
    const auto start = std::chrono::steady_clock::now();
    {
        SignalGuard guard(&control.cancel);
        if (!todo.empty()) {
            job.only = todo;
            job.run.holdout = 0.0;
            outcome = RunJob(set, job, plain, &control);
        }
        if (outcome.status == JobOutcome::kDone && !heldTodo.empty()) {
            twins = std::make_unique<DirSink>(*twinsDir, dir, set, progress, plain.Written());
            job.only = heldTodo;
            job.run.holdout = a.holdout;
            outcome = RunJob(set, job, *twins, &control);
        }
    }
    DirSink& sink = twins ? *twins : plain;
    progress.Finish();
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int listed = 0;
    try {
        listed = dir.WriteSummary();
    } catch (const std::exception& e) {
        Say(fmt::format("error: {}", e.what()));
        return kExitRunFailed;
    }

    const std::string resume = [&] {
        std::vector<std::string> words = CommandLine();
        if (std::find(words.begin(), words.end(), "--resume") == words.end()) {
            words.push_back("--resume");
        }
        return ShellJoin(words);
    }();
    switch (outcome.status) {
    case JobOutcome::kDone:
        info(fmt::format("{} run{} computed in {}; {} runs in {}/summary.tsv", sink.Written(),
                         sink.Written() == 1 ? "" : "s", Progress::Clock(elapsed), listed, a.out));
        // A worker has only its share: the survey belongs to the combine step.
        if (a.noReport || a.workers > 0) return kExitDone;
        return Conclude(a.out, a.quiet);
    case JobOutcome::kCancelled:
        Say(fmt::format("interrupted{}: {} run{} finished and kept in {}; to go on:\n  {}",
                        gSignal == SIGTERM ? " (SIGTERM)" : "", sink.Written(),
                        sink.Written() == 1 ? "" : "s", a.out, resume));
        return kExitInterrupted;
    case JobOutcome::kStopped:
        Say(fmt::format("error: cannot write the results: {}; {} runs kept; to go on:\n  {}",
                        sink.Error(), sink.Written(), resume));
        return kExitRunFailed;
    case JobOutcome::kFailed:
    default:
        Say(fmt::format("error: {}; {} runs kept; to go on:\n  {}", outcome.error, sink.Written(),
                        resume));
        return kExitRunFailed;
    }
}

}  // namespace

void ParseRanks(const std::string& text, const std::string& flag, int* first, int* last)
{
    const size_t colon = text.find(':');
    int a = 0, b = 0;
    bool ok = colon != std::string::npos;
    if (ok) {
        const char* p = text.data();
        const auto ra = std::from_chars(p, p + colon, a);
        const auto rb = std::from_chars(p + colon + 1, p + text.size(), b);
        ok = colon > 0 && colon + 1 < text.size() && ra.ptr == p + colon && ra.ec == std::errc{} &&
             rb.ptr == p + text.size() && rb.ec == std::errc{};
    }
    if (!ok || a < 1 || b < a) {
        throw InputError(fmt::format("{} {}: expected A:B, the first and last pattern count, with "
                                     "1 <= A <= B (e.g. 2:6)",
                                     flag, text.empty() ? "\"\"" : text));
    }
    *first = a;
    *last = b;
}

int ThreadsThatFit(int wanted, std::uint64_t available, std::uint64_t shared, std::uint64_t perRun)
{
    if (perRun == 0 || available <= shared) return 1;
    const std::uint64_t fit = (available - shared) / perRun;
    return static_cast<int>(std::max<std::uint64_t>(1, std::min<std::uint64_t>(fit, wanted)));
}

int RunStudy(const RunArgs& args)
{
    try {
        return Study(args);
    } catch (const InputError& e) {
        Say(fmt::format("error: {}", e.what()));
        return kExitBadInput;
    } catch (const std::bad_alloc&) {
        Say("error: out of memory");
        return kExitRunFailed;
    } catch (const std::exception& e) {
        Say(fmt::format("error: {}", e.what()));
        return kExitRunFailed;
    }
}

void AddRunCommand(CLI::App& app)
{
    auto args = std::make_shared<RunArgs>();
    CLI::App* run = app.add_subcommand(
        "run", "Run a study: every pattern count in --ranks x every chain, from seeded random "
               "starts, into a run directory");
    run->add_option("DATA", args->data,
                    "Data: a header of sample labels (a corner label first is allowed), then "
                    "per gene its name and values, tab- or space-separated; or a .csv of that "
                    "layout; either may be .gz. Or a control file (.ctr) naming <tag>.txt and "
                    "<tag>.unc beside it, whose settings the flags override")
        ->required();
    run->add_option("--out,-o", args->out,
                    "Run directory: new or empty, or (with --resume) one of the same study")
        ->required();
    run->add_option("--uncert,-u", args->uncert,
                    "Uncertainties, same layout and labels as DATA, all above zero: the fit is "
                    "weighted by them (without: unweighted)");
    CLI::Option* ranks = run->add_option("--ranks,-k", args->ranks,
                                         "Pattern counts A:B (1 <= A <= B)")
                             ->default_str("2:6");
    CLI::Option* chains = run->add_option("--chains,-c", args->chains,
                                          "Chains (random starts) per pattern count")
                              ->default_str("10")
                              ->check(CLI::Range(1, 1 << 30));
    run->add_option("--first-chain", args->firstChain,
                    "First chain: chains F to F+C-1 run, so a study can be extended later with "
                    "new starts (--resume into the same DIR)")
        ->default_str("1")
        ->check(CLI::Range(1, 1 << 30));
    CLI::Option* rounds = run->add_option("--rounds,-n", args->rounds, "Update rounds per run")
                              ->default_str("2000")
                              ->check(CLI::Range(0, 1 << 30));
    run->add_option("--threads,-t", args->threads,
                    "Concurrent runs (default: the processors this process may use; fewer when "
                    "memory is short)")
        ->check(CLI::Range(1, 1 << 16));
    run->add_option("--threads-per-run", args->threadsPerRun,
                    "Threads inside one run (the same bits for any count). Default 0: once fewer "
                    "runs are left than --threads, the idle threads join the runs still going")
        ->default_str("0")
        ->check(CLI::Range(0, 256));
    run->add_flag("--trace", args->trace,
                  "Record chi-square at round 0 and every 10 rounds (costs a pass each)");
    run->add_option("--tolerance", args->tolerance,
                    "Convergence stop: a run ends once the relative change of chi-square between "
                    "fit tests (every 10 rounds) stays below this for three tests in a row "
                    "(0: every run does all its rounds)")
        ->default_str("0")
        ->check(CLI::Range(0.0, 1.0));
    run->add_option("--holdout", args->holdout,
                    "Also run every (pattern count, chain) with this fraction of the cells held "
                    "out (a fixed mask per chain), into DIR/holdout, and report their error in "
                    "summary.tsv; the plain runs stay as they are (0: none)")
        ->default_str("0")
        ->check(CLI::Range(0.0, 0.9));
    run->add_flag("--resume", args->resume,
                  "Go on with DIR: keep its complete runs of this study, compute the rest");
    run->add_flag("--quiet,-q", args->quiet, "No progress on standard error");
    run->add_flag("--no-report", args->noReport,
                  "No survey and report at the end (they are written unless --no-report or "
                  "--workers: zarno survey DIR and zarno report DIR make them later)");
    CLI::Option* worker = run->add_option("--worker", args->worker,
                                          "This worker's number, from 0 (with --workers)")
                              ->check(CLI::NonNegativeNumber);
    CLI::Option* workers = run->add_option("--workers", args->workers,
                                           "Workers sharing the study (each with --resume and "
                                           "the same DIR): each computes its share")
                               ->check(CLI::PositiveNumber);
    worker->needs(workers);
    workers->needs(worker);
    run->footer(
        "Output: DIR/job.json, DIR/summary.tsv and per run DIR/runs/k<P>/c<C>/amplitudes.tsv, "
        "patterns.tsv, run.json (written last: a run without it is recomputed by --resume).\n"
        "Exit codes: 0 done, 1 a run failed, 2 bad input or usage, 130 interrupted.");
    run->callback([args, ranks, chains, rounds, run]() {
        args->ranksGiven = ranks->count() > 0;
        args->chainsGiven = chains->count() > 0;
        args->roundsGiven = rounds->count() > 0;
        if (args->workers > 0 && args->worker >= args->workers) {
            Say(fmt::format("error: --worker {}: expected 0 to {} (--workers {})", args->worker,
                            args->workers - 1, args->workers));
            throw CLI::RuntimeError(kExitBadInput);
        }
        (void)run;
        const int code = RunStudy(*args);
        if (code != kExitDone) throw CLI::RuntimeError(code);
    });
}

}  // namespace zarno::cli
