// `zarno survey DIR` and `zarno report DIR`: the rank survey of a run directory
// written to files and a table, and a self-contained HTML report of it.
#ifndef ZARNO_CLI_SURVEY_CMD_H
#define ZARNO_CLI_SURVEY_CMD_H

#include <nlohmann/json.hpp>

#include <string>

#include "zarno/run_reader.h"
#include "zarno/survey.h"

namespace zarno {

// Reads DIR, prints the survey table (unless quiet) and writes DIR/survey.tsv,
// DIR/survey.json and DIR/consensus/k<P>/. Returns the exit code: 0 done, 2 a
// directory that cannot be read (a message names the file; nothing written).
int RunSurveyCommand(const std::string& dir, bool quiet);

// The same survey, then DIR/report.html. Same exit codes.
int RunReportCommand(const std::string& dir, bool quiet);

// survey.json's content for a read directory and its survey.
nlohmann::json SurveyJson(const RunDirectory& d, const Survey& s, const SurveyOptions& options);

// The report's HTML for the survey's JSON.
std::string ReportHtml(const nlohmann::json& survey);

}  // namespace zarno

#endif
