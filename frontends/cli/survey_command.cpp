// `zarno survey DIR` and `zarno report DIR`: the core writes the files
// (survey_files.h); here the table on the terminal.
#include <iostream>
#include <map>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

#include "annotation_options.h"
#include "commands.h"
#include "zarno/cluster_plan.h"
#include "zarno/run_layout.h"
#include "zarno/survey_files.h"

namespace zarno::cli {

namespace {

std::string Cell(const std::optional<double>& x, int width, int digits)
{
    return x ? fmt::format("{:>{}.{}f}", *x, width, digits) : fmt::format("{:>{}}", "-", width);
}

// The column that agrees best at a count: "lineage 0.93" (its ARI) or
// "age r=-0.81"; "-" when none can be measured.
std::string BestAgreement(const Annotations& a, const CountAgreement& k)
{
    if (!k.best) return "-";
    const ColumnAgreement& c = k.columns[*k.best];
    const std::string mark = a.columns[*k.best].Batch() ? " (batch?)" : "";
    if (c.ari) return fmt::format("{} {:.3f}{}", c.column, *c.ari, mark);
    return fmt::format("{} r={:.3f}{}", c.column, *c.patterns[*c.bestPattern], mark);
}

void PrintCount(const CountSurvey& c, bool weighted, bool suggested, const std::string& agreement)
{
    std::optional<double> fit;
    if (weighted && c.chiSquarePerDof) fit = c.chiSquarePerDof->best;
    if (!weighted && c.chiSquare) fit = c.chiSquare->best;
    std::optional<double> ssr;
    if (c.ssr) ssr = c.ssr->best;
    fmt::print("{:>3} {:>6} {} {} {} {} {} {} {}  {}{}{}\n", c.patterns,
               fmt::format("{}/{}", c.chains.size(),
                           c.chains.size() + c.failedChains.size() + c.missingChains.size()),
               Cell(fit, 12, weighted ? 4 : 2), Cell(ssr, 12, 2), Cell(c.cophenetic, 7, 3),
               Cell(c.dispersion, 7, 3), Cell(c.pac, 6, 3), Cell(c.meanStability, 7, 3),
               Cell(c.minStability, 7, 3), agreement, c.Status(), suggested ? "  <- suggested" : "");
}

// Where a batch-like column drives a pattern or the clusters: a line per
// column, every count where it shows.
void PrintBatchEffects(const Agreement& a)
{
    std::vector<std::string> columns;
    std::map<std::string, std::string> lines;
    for (const BatchEffect& e : a.batchEffects) {
        std::string& line = lines[e.column];
        if (line.empty()) {
            columns.push_back(e.column);
            line = fmt::format("Likely batch effect: column {} ({}) is followed by", e.column,
                               e.flagged ? "flagged with --batch" : "named like a batch");
        } else {
            line += ",";
        }
        if (e.pattern)
            line += fmt::format(" P{} at {} patterns ({} {:.2f})", *e.pattern + 1, e.patterns,
                                e.figure == "r2" ? "r^2" : "eta^2", e.value);
        else
            line += fmt::format(" the clusters at {} patterns (ARI {:.2f})", e.patterns, e.value);
    }
    for (const std::string& c : columns) fmt::print("{}\n", lines[c]);
}

void PrintTable(const SurveyedDirectory& sd)
{
    const RunDirectory& d = sd.directory;
    const Survey& s = sd.survey;
    bool weighted = false;
    for (const CountSurvey& c : s.counts) weighted = weighted || c.weighted;
    // With annotations, the column that agrees best per count, before the status.
    std::vector<std::string> agree(s.counts.size());
    size_t width = 0;
    if (sd.annotations) {
        for (size_t i = 0; i < s.counts.size(); i++) {
            agree[i] = BestAgreement(*sd.annotations, sd.agreement.counts[i]);
            width = std::max(width, agree[i].size());
        }
        width = std::max<size_t>(width, 10);
        for (std::string& x : agree) x = fmt::format("{:<{}}  ", x, width);
    }
    const std::string missing =
        d.missingCells > 0 ? fmt::format("; {} of {} cells missing, not fitted", d.missingCells,
                                         d.data.cells + d.missingCells)
                           : std::string();
    fmt::print("Survey of {} ({} pattern counts{})\n", d.dir, s.counts.size(), missing);
    fmt::print("{:>3} {:>6} {:>12} {:>12} {:>7} {:>7} {:>6} {:>7} {:>7}  {}{}\n", "P", "chains",
               weighted ? "chi2/dof" : "chi2 best", "ssr best", "coph", "disp", "PAC", "stab",
               "stabmin", sd.annotations ? fmt::format("{:<{}}  ", "best agreement", width) : "",
               "status");
    for (size_t i = 0; i < s.counts.size(); i++) {
        const CountSurvey& c = s.counts[i];
        PrintCount(c, weighted, s.suggested && *s.suggested == c.patterns, agree[i]);
    }
    if (!d.missing.empty()) {
        fmt::print("Missing runs ({}):", d.missing.size());
        for (const auto& m : d.missing) fmt::print(" {}", RunName({m.first, m.second}));
        fmt::print("\n");
    }
    if (s.suggested)
        fmt::print("Suggested pattern count: {} ({})\n", *s.suggested, s.note);
    else
        fmt::print("Suggested pattern count: none ({})\n", s.note);
    PrintBatchEffects(sd.agreement);
}

int Survey(const std::string& dir, bool quiet, bool report, const AnnotationArgs& notes = {})
{
    if (report && !HasChartLibraries()) {
        throw InputError(fmt::format("this build has no chart libraries (npm was not found when "
                                     "it was built): no report written; zarno survey {} gives "
                                     "the survey",
                                     dir));
    }
    const SurveyedDirectory s = WriteSurvey(dir, SurveyOptions(), ReadAnnotationUpdate(notes));
    if (!notes.path.empty() && s.annotations) WarnOfAnnotations(*s.annotations);
    if (report) WriteReport(s);
    if (quiet) return kExitDone;
    const RunDirectory& d = s.directory;
    PrintTable(s);
    fmt::print("{}", MissingRuns(d.dir));
    const RunLayout layout(d.dir);
    if (report) {
        fmt::print("Report: {}\n", layout.Report());
    } else {
        fmt::print("Written: {}, {}, {}/\n", layout.SurveyTsv(), layout.SurveyJson(),
                   layout.Consensus());
    }
    return kExitDone;
}

void AddDirCommand(CLI::App& app, const char* name, const char* description, bool report)
{
    auto dir = std::make_shared<std::string>();
    auto quiet = std::make_shared<bool>(false);
    auto notes = std::make_shared<AnnotationArgs>();
    CLI::App* sub = app.add_subcommand(name, description);
    sub->add_option("DIR", *dir, "A run directory written by zarno run")->required();
    sub->add_flag("--quiet,-q", *quiet, "No table on standard output");
    AddAnnotationOptions(*sub, *notes, false);
    sub->footer(
        "Exit codes: 0 done, 1 the files could not be written, 2 a directory that cannot be "
        "read (nothing written).");
    sub->callback(Callback("zarno: ", [dir, quiet, report, notes] {
        return Survey(*dir, *quiet, report, *notes);
    }));
}

}  // namespace

int SurveyCommand(const std::string& dir, bool quiet, bool report)
{
    return ExitCodeOf([&] { return Survey(dir, quiet, report); }, "zarno: ", std::cerr);
}

void AddSurveyCommand(CLI::App& app)
{
    AddDirCommand(app, "survey",
                  "The rank survey of a run directory: per pattern count the fit, consensus and "
                  "stability over chains, and a suggested pattern count; writes DIR/survey.tsv, "
                  "DIR/survey.json and DIR/consensus/",
                  false);
}

void AddReportCommand(CLI::App& app)
{
    AddDirCommand(app, "report",
                  "The rank survey, then DIR/report.html: one self-contained page of charts", true);
}

}  // namespace zarno::cli
