// `zarno survey DIR` and `zarno report DIR` on the command line; the work is
// in survey_cmd.cpp and report.cpp.
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "zarno/survey_files.h"

namespace zarno::cli {

namespace {

void AddDirCommand(CLI::App& app, const char* name, const char* description,
                   int (*command)(const std::string&, bool))
{
    auto dir = std::make_shared<std::string>();
    auto quiet = std::make_shared<bool>(false);
    CLI::App* sub = app.add_subcommand(name, description);
    sub->add_option("DIR", *dir, "A run directory written by zarno run")->required();
    sub->add_flag("--quiet,-q", *quiet, "No table on standard output");
    sub->footer("Exit codes: 0 done, 2 a directory that cannot be read (nothing written).");
    sub->callback([dir, quiet, command]() {
        const int code = command(*dir, *quiet);
        if (code != kExitDone) throw CLI::RuntimeError(code);
    });
}

}  // namespace

void AddSurveyCommand(CLI::App& app)
{
    AddDirCommand(app, "survey",
                  "The rank survey of a run directory: per pattern count the fit, consensus and "
                  "stability over chains, and a suggested pattern count; writes DIR/survey.tsv, "
                  "DIR/survey.json and DIR/consensus/",
                  &zarno::RunSurveyCommand);
}

void AddReportCommand(CLI::App& app)
{
    AddDirCommand(app, "report",
                  "The rank survey, then DIR/report.html: one self-contained page of charts",
                  &zarno::RunReportCommand);
}

}  // namespace zarno::cli
