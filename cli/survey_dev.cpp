// A small driver for the survey and the report until the zarno command takes
// them as subcommands:  zarno_survey_dev survey|report DIR [--quiet]
#include <cstdio>
#include <cstring>
#include <string>

#include "survey_cmd.h"

int main(int argc, char** argv)
{
    if (argc < 3 || argc > 4 || (argc == 4 && std::strcmp(argv[3], "--quiet") != 0) ||
        (std::strcmp(argv[1], "survey") != 0 && std::strcmp(argv[1], "report") != 0)) {
        std::fprintf(stderr, "usage: %s survey|report DIR [--quiet]\n", argv[0]);
        return 2;
    }
    const bool quiet = argc == 4;
    return std::strcmp(argv[1], "survey") == 0 ? zarno::RunSurveyCommand(argv[2], quiet)
                                               : zarno::RunReportCommand(argv[2], quiet);
}
