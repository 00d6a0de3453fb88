// The rank survey of a run directory, written beside its runs: survey.tsv,
// survey.json, consensus/k<P>/ and, separately, report.html (paths in
// run_layout.h). For every front end: the command, the kit, scripts.
#ifndef ZARNO_SURVEY_FILES_H
#define ZARNO_SURVEY_FILES_H

#include <nlohmann/json.hpp>

#include <string>

#include "zarno/run_reader.h"
#include "zarno/survey.h"

namespace zarno {

// A run directory read and surveyed.
struct SurveyedDirectory {
    RunDirectory directory;
    Survey survey;
    nlohmann::json json;  // survey.json's content
};

// Reads DIR, surveys its runs and writes DIR/survey.tsv, DIR/survey.json and
// DIR/consensus/k<P>/, each file whole or not at all. Throws RunDirError (an
// InputError) for a directory that cannot be used, before anything is
// written; std::system_error when a file cannot be written.
SurveyedDirectory WriteSurvey(const std::string& dir, const SurveyOptions& options = {});

// Writes DIR/report.html, one self-contained page of the survey's charts.
// Throws std::runtime_error in a build without the chart libraries,
// std::system_error when the file cannot be written.
void WriteReport(const SurveyedDirectory& surveyed);

// Whether this build holds the report's chart libraries (npm was found when
// it was built).
bool HasChartLibraries();

// survey.json's content for a read directory and its survey.
nlohmann::json SurveyJson(const RunDirectory& d, const Survey& s, const SurveyOptions& options);

// survey.tsv's content: one line per pattern count.
std::string SurveyTsv(const Survey& s);

// The report's HTML for the survey's JSON.
std::string ReportHtml(const nlohmann::json& survey);

}  // namespace zarno

#endif
