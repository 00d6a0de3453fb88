// The rank survey of a run directory, written beside its runs: survey.tsv,
// survey.json, consensus/k<P>/ and, separately, report.html (paths in
// run_layout.h). For every front end: the command, the kit, scripts.
#ifndef ZARNO_SURVEY_FILES_H
#define ZARNO_SURVEY_FILES_H

#include <nlohmann/json.hpp>

#include <string>

#include "zarno/agreement.h"
#include "zarno/annotations.h"
#include "zarno/run_reader.h"
#include "zarno/survey.h"

namespace zarno {

// A run directory read and surveyed.
struct SurveyedDirectory {
    RunDirectory directory;
    Survey survey;
    nlohmann::json json;  // survey.json's content
    std::optional<Annotations> annotations;  // the directory's, when it has them
    Agreement agreement;                     // with them
    std::string tsv;  // survey.tsv's content, with the agreement's columns
};

// The survey of a directory read (ReadRunDirectory) or described
// (DescribeStudyRuns), and with `annotations` their agreement: every file's
// content as WriteSurvey writes it, computed without touching a file (a front
// end holding its runs in memory surveys them so).
SurveyedDirectory SurveyDirectory(RunDirectory directory, const SurveyOptions& options = {},
                                  std::optional<Annotations> annotations = std::nullopt);

// What a survey of a run directory is told of its sample annotations: a
// table that replaces the directory's copy, and columns flagged as batches
// that replace the copy's flags. Checked against the directory's samples
// before anything is written; the new copy is written with the survey.
struct AnnotationUpdate {
    std::optional<AnnotationTable> table;
    std::optional<std::vector<std::string>> batch;
};

// Reads DIR, surveys its runs and writes DIR/survey.tsv, DIR/survey.json and
// DIR/consensus/k<P>/, each file whole or not at all. Throws RunDirError (an
// InputError) for a directory that cannot be used, before anything is
// written; std::system_error when a file cannot be written.
// With annotations (the directory's copy, or `update`), survey.tsv and
// survey.json also carry their agreement with the survey (agreement.h).
SurveyedDirectory WriteSurvey(const std::string& dir, const SurveyOptions& options = {},
                              const AnnotationUpdate& update = {});

// Writes DIR/report.html, one self-contained page of the survey's charts.
// Throws std::runtime_error in a build without the chart libraries,
// std::system_error when the file cannot be written.
void WriteReport(const SurveyedDirectory& surveyed);

// Whether this build holds the report's chart libraries (npm was found when
// it was built).
bool HasChartLibraries();

// survey.json's content for a read directory and its survey.
nlohmann::json SurveyJson(const RunDirectory& d, const Survey& s, const SurveyOptions& options);

// The annotations and their agreement added to survey.json's content:
// "annotations" and "batch_effects" at the top, "agreement" per count.
void AddAgreementJson(const Annotations& annotations, const Agreement& agreement,
                      nlohmann::json* survey);

// survey.tsv's content: one line per pattern count.
std::string SurveyTsv(const Survey& s);

// The report's HTML for the survey's JSON.
std::string ReportHtml(const nlohmann::json& survey);

}  // namespace zarno

#endif
