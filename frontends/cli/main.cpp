// `zarno`: factorizations of a genes x samples matrix from a shell.
#include <CLI/CLI.hpp>

#include "zarno/api.h"
#include "commands.h"

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
    AddSurveyCommand(app);
    AddReportCommand(app);
    AddSlurmCommand(app);
    return Execute(app, argc, argv);
}
