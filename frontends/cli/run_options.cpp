#include "run_options.h"

#include <charconv>
#include <filesystem>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

namespace zarno::cli {

namespace {

// The type name of options whose value is a file: workers get it absolute.
constexpr const char* kFile = "FILE";

// The options a worker takes from `zarno slurm`: where the studies are alike.
void AddStudyOptions(CLI::App& app, RunArgs& a)
{
    app.add_option("--uncert,-u", a.uncert,
                   "Uncertainties, same layout and labels as DATA, all above zero (or missing): "
                   "the fit is weighted by them (without: unweighted)")
        ->type_name(kFile);
    app.add_option("--ranks,-k", a.ranks, "Pattern counts A:B (1 <= A <= B)")
        ->default_str("2:6")
        ->each([&a](const std::string&) { a.ranksGiven = true; });
    app.add_option("--chains,-c", a.chains, "Chains (random starts) per pattern count")
        ->default_str("10")
        ->check(CLI::Range(1, 1 << 30))
        ->each([&a](const std::string&) { a.chainsGiven = true; });
    app.add_option("--first-chain", a.firstChain,
                   "First chain: chains F to F+C-1 run, so a study can be extended later with "
                   "new starts (--resume into the same DIR)")
        ->default_str("1")
        ->check(CLI::Range(1, 1 << 30));
    app.add_option("--rounds,-n", a.rounds, "Update rounds per run")
        ->default_str("2000")
        ->check(CLI::Range(0, 1 << 30))
        ->each([&a](const std::string&) { a.roundsGiven = true; });
}

void AddThreadOptions(CLI::App& app, RunArgs& a, RunOptionScope scope)
{
    if (scope == RunOptionScope::kRun) {
        app.add_option("--threads,-t", a.threads,
                       "Concurrent runs (default: the processors this process may use; fewer "
                       "when memory is short)")
            ->check(CLI::Range(1, 1 << 16));
    }
    app.add_option("--threads-per-run", a.threadsPerRun,
                   "Threads inside one run (the same bits for any count). Default 0: once fewer "
                   "runs are left than --threads, the idle threads join the runs still going")
        ->default_str("0")
        ->check(CLI::Range(0, 256));
}

// A fraction: 0 (the default) turns it off.
void AddFraction(CLI::App& app, const char* name, double& value, const char* help, double most)
{
    app.add_option(name, value, help)->default_str("0")->check(CLI::Range(0.0, most));
}

void AddRunShapeOptions(CLI::App& app, RunArgs& a)
{
    app.add_flag("--trace", a.trace,
                 "Record chi-square at round 0 and every 10 rounds (costs a pass each)");
    app.add_option("--tolerance", a.tolerance,
                   "Convergence stop: a run ends once the relative change of chi-square between "
                   "fit tests (every 10 rounds) stays below this for three tests in a row. The "
                   "default, 1e-6, kept every accuracy figure of the survey's evaluation at its "
                   "level with all rounds (suggested counts, pattern recovery, agreement with "
                   "the generating groups; docs/survey.md) with about three quarters of the "
                   "rounds; 1e-5 and above lost some. 0: every run does all its rounds (the "
                   "classic runs, bit for bit)")
        ->default_str(fmt::format("{:g}", kStudyTolerance))
        ->check(CLI::Range(0.0, 1.0));
    AddFraction(app, "--holdout", a.holdout,
                "Also run every (pattern count, chain) with this fraction of the cells held out "
                "(a fixed mask per chain), into DIR/holdout, and report their error in "
                "summary.tsv; the plain runs stay as they are (0: none)",
                0.9);
    app.add_option("--arithmetic", a.arithmetic,
                   "How unweighted runs compute their rounds: gram (default), the Gram form, "
                   "about three times as fast and with no genes x samples matrix per run, "
                   "results equal to rounding; classic, the weighted round with every weight "
                   "one, the bits of the classic entry. Weighted studies and --holdout twins "
                   "always take the weighted round")
        ->default_str("gram")
        ->check(CLI::IsMember({"gram", "classic"}));
}

void AddWorkerOptions(CLI::App& app, RunArgs& a)
{
    CLI::Option* worker = app.add_option("--worker", a.worker,
                                         "This worker's number, from 0 (with --workers)")
                              ->check(CLI::NonNegativeNumber);
    CLI::Option* workers = app.add_option("--workers", a.workers,
                                          "Workers sharing the study (each with --resume and "
                                          "the same DIR): each computes its share")
                               ->check(CLI::PositiveNumber);
    worker->needs(workers);
    workers->needs(worker);
}

}  // namespace

std::vector<CLI::Option*> AddRunOptions(CLI::App& app, RunArgs& a, RunOptionScope scope)
{
    const bool run = scope == RunOptionScope::kRun;
    const size_t before = app.get_options().size();
    if (run) {
        app.add_option("DATA", a.data,
                       "Data: a header of sample labels (a corner label first is allowed), then "
                       "per gene its name and values, tab- or space-separated; or a .csv of that "
                       "layout; either may be .gz. NA, NaN and empty fields are missing cells, of "
                       "weight zero. Or a control file (.ctr) naming <tag>.txt and <tag>.unc "
                       "beside it, whose settings the flags override")
            ->required();
        app.add_option("--out,-o", a.out,
                       "Run directory: new or empty, or (with --resume) one of the same study")
            ->required();
    }
    AddStudyOptions(app, a);
    AddThreadOptions(app, a, scope);
    AddRunShapeOptions(app, a);
    AddAnnotationOptions(app, a.annotations, true);
    if (run) {
        app.add_flag("--resume", a.resume,
                     "Go on with DIR: keep its complete runs of this study, compute the rest");
    }
    app.add_flag("--quiet,-q", a.quiet, "No progress on standard error");
    app.add_flag("--no-report", a.noReport,
                 "No survey and report at the end (they are written unless --no-report or "
                 "--workers: zarno survey DIR and zarno report DIR make them later)");
    if (run) AddWorkerOptions(app, a);
    const std::vector<CLI::Option*> all = app.get_options();
    return std::vector<CLI::Option*>(all.begin() + static_cast<long>(before), all.end());
}

std::vector<std::string> RunWords(const std::vector<CLI::Option*>& options)
{
    std::vector<std::string> words;
    for (const CLI::Option* opt : options) {
        if (opt->count() == 0 || opt->get_positional()) continue;
        if (opt->get_items_expected_max() == 0) {  // a flag
            if (opt->as<bool>()) words.push_back(opt->get_name());
            continue;
        }
        if (opt->get_multi_option_policy() == CLI::MultiOptionPolicy::TakeAll) {
            // Repeatable: each value after its own name.
            for (const std::string& v : opt->results()) words.insert(words.end(), {opt->get_name(), v});
            continue;
        }
        std::string value = opt->as<std::string>();
        std::error_code ec;
        if (opt->get_type_name() == kFile && std::filesystem::exists(value, ec)) {
            value = std::filesystem::absolute(value).lexically_normal().string();
        }
        words.push_back(opt->get_name());
        words.push_back(value);
    }
    return words;
}

void ParseRunWords(const std::vector<std::string>& words, RunArgs* args)
{
    CLI::App app("zarno run");
    app.set_help_flag();
    AddRunOptions(app, *args, RunOptionScope::kWorkers);
    std::vector<std::string> reversed(words.rbegin(), words.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        throw InputError(e.what());
    }
}

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

namespace {

// A count from a control file's line 2, at least `least`.
int AtLeast(int value, int least, const std::string& line2, const char* what, const char* flag)
{
    if (value >= least) return value;
    throw InputError(fmt::format("{}: {} {}: expected {} (or give {})", line2, value, what,
                                 least == 0 ? "0 or more" : fmt::format("at least {}", least),
                                 flag));
}

// A control file's settings, where no flag overrides them; each checked, for
// a flag's range does not check it.
void TakeControlFile(const RunArgs& a, Settings& s)
{
    const ControlFile& ctr = *s.control;
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
        s.chains = AtLeast(ctr.chains, 1, line2, "chains", "--chains");
        s.chainsFrom = line2;
    }
    if (!a.roundsGiven) {
        s.rounds = AtLeast(ctr.rounds, 0, line2, "rounds", "--rounds");
        s.roundsFrom = line2;
    }
}

}  // namespace

Settings ResolveSettings(const RunArgs& a)
{
    Settings s;
    if (IsControlFile(a.data)) {
        s.control = ReadControlFile(a.data);
        TakeControlFile(a, s);
    } else {
        s.dataPath = a.data;
    }
    if (a.ranksGiven || !s.control) ParseRanks(a.ranks, "--ranks", &s.firstRank, &s.lastRank);
    if (a.chainsGiven || !s.control) s.chains = a.chains;
    if (a.roundsGiven || !s.control) s.rounds = a.rounds;
    if (!a.uncert.empty()) s.uncertPath = a.uncert;
    return s;
}

}  // namespace zarno::cli
