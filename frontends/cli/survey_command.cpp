// `zarno survey DIR` and `zarno report DIR`: the core writes the files
// (survey_files.h); here the table on the terminal.
#include <iostream>
#include <memory>
#include <string>

#include <CLI/CLI.hpp>
#include <fmt/format.h>

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

void PrintCount(const CountSurvey& c, bool weighted, bool suggested)
{
    std::optional<double> fit;
    if (weighted && c.chiSquarePerDof) fit = c.chiSquarePerDof->best;
    if (!weighted && c.chiSquare) fit = c.chiSquare->best;
    std::optional<double> ssr;
    if (c.ssr) ssr = c.ssr->best;
    fmt::print("{:>3} {:>6} {} {} {} {} {} {} {}  {}{}\n", c.patterns,
               fmt::format("{}/{}", c.chains.size(),
                           c.chains.size() + c.failedChains.size() + c.missingChains.size()),
               Cell(fit, 12, weighted ? 4 : 2), Cell(ssr, 12, 2), Cell(c.cophenetic, 7, 3),
               Cell(c.dispersion, 7, 3), Cell(c.pac, 6, 3), Cell(c.meanStability, 7, 3),
               Cell(c.minStability, 7, 3), c.Status(), suggested ? "  <- suggested" : "");
}

void PrintTable(const RunDirectory& d, const Survey& s)
{
    bool weighted = false;
    for (const CountSurvey& c : s.counts) weighted = weighted || c.weighted;
    const std::string missing =
        d.missingCells > 0 ? fmt::format("; {} of {} cells missing, not fitted", d.missingCells,
                                         d.data.cells + d.missingCells)
                           : std::string();
    fmt::print("Survey of {} ({} pattern counts{})\n", d.dir, s.counts.size(), missing);
    fmt::print("{:>3} {:>6} {:>12} {:>12} {:>7} {:>7} {:>6} {:>7} {:>7}  {}\n", "P", "chains",
               weighted ? "chi2/dof" : "chi2 best", "ssr best", "coph", "disp", "PAC", "stab",
               "stabmin", "status");
    for (const CountSurvey& c : s.counts)
        PrintCount(c, weighted, s.suggested && *s.suggested == c.patterns);
    if (!d.missing.empty()) {
        fmt::print("Missing runs ({}):", d.missing.size());
        for (const auto& m : d.missing) fmt::print(" {}", RunName({m.first, m.second}));
        fmt::print("\n");
    }
    if (s.suggested)
        fmt::print("Suggested pattern count: {} ({})\n", *s.suggested, s.note);
    else
        fmt::print("Suggested pattern count: none ({})\n", s.note);
}

int Survey(const std::string& dir, bool quiet, bool report)
{
    if (report && !HasChartLibraries()) {
        throw InputError(fmt::format("this build has no chart libraries (npm was not found when "
                                     "it was built): no report written; zarno survey {} gives "
                                     "the survey",
                                     dir));
    }
    const SurveyedDirectory s = WriteSurvey(dir);
    if (report) WriteReport(s);
    if (quiet) return kExitDone;
    const RunDirectory& d = s.directory;
    PrintTable(d, s.survey);
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
    CLI::App* sub = app.add_subcommand(name, description);
    sub->add_option("DIR", *dir, "A run directory written by zarno run")->required();
    sub->add_flag("--quiet,-q", *quiet, "No table on standard output");
    sub->footer(
        "Exit codes: 0 done, 1 the files could not be written, 2 a directory that cannot be "
        "read (nothing written).");
    sub->callback(Callback("zarno: ", [dir, quiet, report] { return Survey(*dir, *quiet, report); }));
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
