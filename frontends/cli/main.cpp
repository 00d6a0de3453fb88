// `zarno`: factorizations of a genes x samples matrix from a shell.
#include <CLI/CLI.hpp>

#include "zarno/api.h"
#include "commands.h"
#include "slurm_command.h"

int main(int argc, char** argv)
{
    using namespace zarno::cli;
    SetCommandLine(argc, argv);
    CLI::App app{"zarno: uncertainty-weighted non-negative matrix factorization of a genes x "
                 "samples matrix into amplitudes (genes x patterns) and patterns (patterns x "
                 "samples)",
                 "zarno"};
    app.set_version_flag("--version", std::string("zarno ") + zarno::kVersion);
    app.require_subcommand(1);
    app.footer(
        "Exit codes:\n"
        "  0    done\n"
        "  1    a run failed (or its results could not be written)\n"
        "  2    bad input or usage: nothing was computed, nothing created\n"
        "  130  interrupted (SIGINT, SIGTERM): finished runs are kept; --resume goes on\n"
        "\n"
        "'zarno COMMAND --help' describes a command.");

    // Subcommands: one Add<Name>Command per file (see commands.h).
    AddRunCommand(app);
    AddSurveyCommand(app);  // survey_cli.cpp over survey_cmd.*
    AddReportCommand(app);  // survey_cli.cpp over survey_cmd.* and report.cpp
    AddSlurmCommand(app);   // slurm_cmd.*; after run, whose flags it passes on

    try {
        app.parse(argc, argv);
    } catch (const CLI::RuntimeError& e) {
        return e.get_exit_code();  // a subcommand's own exit code; it has said why
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);  // prints help, the version, or the usage error
        return code == 0 ? kExitDone : kExitBadInput;
    }
    return kExitDone;
}
