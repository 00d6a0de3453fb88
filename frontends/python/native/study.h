// A study in native memory, as the package's Study wraps it: the runs of a
// sweep just computed, or a run directory read back. Nothing here computes:
// runs go through zarno::RunJob, the survey through zarno::RunSurvey, the
// files through the core's run directory writer and reader.
#ifndef ZARNO_PYTHON_STUDY_H
#define ZARNO_PYTHON_STUDY_H

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <string>
#include <vector>

#include "zarno/api.h"
#include "zarno/run_reader.h"
#include "zarno/study_runs.h"

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
    // raised (KeyboardInterrupt), ZarnoError for a failed run, Cancelled.
    static NativeStudy Run(const zarno::Dataset& data, StudyArgs& args);
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
    // (patterns, chain, why) of runs the directory lacks or holds failed.
    py::list Incomplete() const;

    // The rank survey as the command makes it: the matrices of its counts,
    // survey.json's text (every figure) and survey.tsv's.
    py::dict Survey() const;
    void Report(const std::string& path) const;
    // Writes the run directory; with `survey`, its survey and (in a build with
    // the chart libraries) its report, as `zarno run` ends. True when the
    // report was written.
    bool Save(const std::string& dir, bool survey);

private:
    zarno::RunDirectory Described(const std::string& dir) const;

    bool loaded_ = false;
    zarno::StudyRuns computed_;
    zarno::RunDirectory read_;
    std::string dir_;
    double seconds_ = 0.0;
};

}  // namespace zarno::python

#endif
