// A study in native memory, as the package's Study wraps it: the runs of a
// sweep just computed, or a run directory read back. Nothing here computes:
// runs go through zarno::RunJob, the survey through zarno::RunSurvey, the
// files through the core's run directory writer and reader.
#ifndef ZARNO_PYTHON_STUDY_H
#define ZARNO_PYTHON_STUDY_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "zarno/annotations.h"
#include "zarno/api.h"
#include "zarno/run_reader.h"
#include "zarno/study_runs.h"
#include "zarno/survey_files.h"

namespace zarno::python {

namespace py = pybind11;

// A failed run (ZarnoError in Python) and a study cancelled through its
// Control (Cancelled).
class RunFailed : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};
class StudyCancelled : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// A study's progress and its cancel, shared with any Python thread.
struct StudyControl {
    zarno::Control control;
};

// What a survey, a report or a save is told of the sample annotations: a
// table that replaces the study's own for the call (its columns' kinds fixed
// by `kinds`: "numbers" or "categories"), and columns flagged as batches that
// replace the flags (none given: the table's or the study's own).
struct NotesArgs {
    const zarno::AnnotationTable* table = nullptr;
    std::map<std::string, std::string> kinds;
    std::optional<std::vector<std::string>> batch;
};

// What a study's sweep asks for.
struct StudyArgs {
    zarno::JobSpec job;       // job.run.holdout: the twins' fraction (the plain runs have none)
    py::object tick;          // called every 100 ms with (runs done, rounds done, runs in flight), or None
    StudyControl* control = nullptr;  // or a study's own
};

class NativeStudy {
public:
    // Runs the sweep over `data` (arrays that outlive the call); raises
    // ValueError for a refused job, the pending Python exception when a tick
    // raised (KeyboardInterrupt), ZarnoError when the sweep stopped,
    // Cancelled. A run whose numbers are not finite is kept as failed
    // (RunFault), as the command keeps it.
    static NativeStudy Run(const zarno::Dataset& data, StudyArgs& args);
    // Reads a run directory and the annotations kept in it.
    static NativeStudy Load(const std::string& dir);

    bool Loaded() const { return loaded_; }
    int Genes() const;
    int Samples() const;
    bool Weighted() const;
    std::vector<std::string> GeneNames() const;     // as given (empty: none) or as read
    std::vector<std::string> SampleLabels() const;
    std::string JobJson() const;
    const std::string& Directory() const { return dir_; }
    double Seconds() const { return seconds_; }

    // Every complete run in (pattern count, chain) order; arrays view this
    // study's memory and keep `self` alive.
    py::list Runs(py::handle self) const;
    // The plain runs that failed: dicts of k, chain, why, rounds, seconds.
    py::list Failed() const;
    // (patterns, chain, why) of runs that failed or that the directory lacks.
    py::list Incomplete() const;
    // The study's own annotations (kept by Save, found by Load) as a dict of
    // source, label_column, labels and columns, or None.
    py::object Annotations() const;

    // The rank survey as the command makes it: the matrices of its counts,
    // survey.json's text (every figure, with the annotations' agreement),
    // survey.tsv's and the annotations' warnings.
    py::dict Survey(const NotesArgs& notes) const;
    // Writes report.html to `path`; returns the annotations' warnings.
    std::vector<std::string> Report(const std::string& path, const NotesArgs& notes) const;
    // Writes the run directory, with the annotations (which the study keeps
    // from then on); with `survey`, its survey and (in a build with the chart
    // libraries) its report, as `zarno run` ends. Returns (whether the report
    // was written, the annotations' warnings).
    py::tuple Save(const std::string& dir, bool survey, const NotesArgs& notes);

private:
    zarno::RunDirectory Described(const std::string& dir) const;
    // The annotations a call works with, matched to the samples (InputError
    // naming what does not match); none when neither the call nor the study
    // has any.
    std::optional<zarno::Annotations> Notes(const NotesArgs& notes) const;
    zarno::SurveyedDirectory Surveyed(const NotesArgs& notes) const;

    bool loaded_ = false;
    zarno::StudyRuns computed_;
    zarno::RunDirectory read_;
    std::optional<zarno::Annotations> notes_;
    std::string dir_;
    double seconds_ = 0.0;
};

}  // namespace zarno::python

#endif
