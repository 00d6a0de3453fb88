// zarno._native: the native half of the Python package, over the core's public
// headers alone. The pure-Python half (zarno/) turns the caller's data into
// genes x samples float64 arrays, words refusals in the caller's terms and
// presents results; here the arrays are viewed without a copy, checked and run
// by the core, and results handed back as views of native memory.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <system_error>

#include "study.h"
#include "zarno/annotations.h"
#include "zarno/api.h"
#include "zarno/errors.h"
#include "zarno/survey_files.h"
#include "zarno/table_reader.h"

namespace zarno::python {

namespace {

// A 2-D float64 C-ordered array's memory; TypeError for anything else (the
// Python half converts before it calls).
const double* Matrix(const py::array& a, const char* what, int* rows, int* columns)
{
    if (a.ndim() != 2 || !a.dtype().is(py::dtype::of<double>()) ||
        !(a.flags() & py::array::c_style))
        throw py::type_error(std::string(what) + " must be a 2-D C-ordered float64 array");
    if (a.shape(0) > 0x7fffffff || a.shape(1) > 0x7fffffff)
        throw py::value_error(std::string(what) + " has more rows or columns than 32 bits count");
    *rows = static_cast<int>(a.shape(0));
    *columns = static_cast<int>(a.shape(1));
    return static_cast<const double*>(a.data());
}

// A view of the caller's arrays, which stay referenced by the call.
zarno::Dataset View(const py::array& values, const py::object& sigmas, bool allowMissing = false)
{
    zarno::Dataset d;
    d.allowMissing = allowMissing;
    d.values = Matrix(values, "data", &d.genes, &d.samples);
    if (!sigmas.is_none()) {
        int rows = 0, columns = 0;
        d.sigmas = Matrix(sigmas.cast<py::array>(), "sigma", &rows, &columns);
        if (rows != d.genes || columns != d.samples) throw py::value_error("sigma's shape differs from data's");
        d.weighted = true;
    }
    return d;
}

const char* CodeName(zarno::Refusal::Code code)
{
    switch (code) {
    case zarno::Refusal::kGenes: return "genes";
    case zarno::Refusal::kSamples: return "samples";
    case zarno::Refusal::kCells: return "cells";
    case zarno::Refusal::kNoValues: return "no_values";
    case zarno::Refusal::kNoSigmas: return "no_sigmas";
    case zarno::Refusal::kValue: return "value";
    case zarno::Refusal::kSigma: return "sigma";
    case zarno::Refusal::kFirstRank: return "first_rank";
    case zarno::Refusal::kLastRank: return "last_rank";
    case zarno::Refusal::kTooManyPatterns: return "too_many_patterns";
    case zarno::Refusal::kChains: return "chains";
    case zarno::Refusal::kRounds: return "rounds";
    case zarno::Refusal::kLabels: return "labels";
    case zarno::Refusal::kTolerance: return "tolerance";
    case zarno::Refusal::kHoldout: return "holdout";
    case zarno::Refusal::kThreads: return "threads_per_run";
    case zarno::Refusal::kNoObserved: return "no_observed";
    case zarno::Refusal::kTooFewObserved: return "too_few_observed";
    case zarno::Refusal::kNothingAbove: return "nothing_above_zero";
    case zarno::Refusal::kNone: break;
    }
    return "none";
}

py::object RefusalDict(const zarno::Refusal& r)
{
    if (!r) return py::none();
    py::dict d;
    d["code"] = CodeName(r.code);
    d["gene"] = r.gene;
    d["sample"] = r.sample;
    d["value"] = r.value;
    d["text"] = r.text;
    return std::move(d);
}

zarno::JobSpec Job(int firstRank, int lastRank, int firstChain, int chains, int rounds, bool trace,
                   double tolerance, double holdout, int threads, int threadsPerRun,
                   const std::string& arithmetic = "classic")
{
    zarno::JobSpec job;
    if (!zarno::ParseArithmetic(arithmetic, &job.run.arithmetic))
        throw py::value_error("arithmetic=" + py::repr(py::str(arithmetic)).cast<std::string>() +
                              ": expected 'gram' or 'classic'");
    job.firstRank = firstRank;
    job.lastRank = lastRank;
    job.firstChain = firstChain;
    job.chains = chains;
    job.run.rounds = rounds;
    job.run.trace = trace;
    job.run.tolerance = tolerance;
    job.run.holdout = holdout;
    job.run.threadsPerRun = threadsPerRun;
    job.threads = threads;
    return job;
}

// The core's values of a table, handed to numpy without a copy.
py::array Owned(std::vector<double>&& values, py::ssize_t rows, py::ssize_t columns)
{
    auto* held = new std::vector<double>(std::move(values));
    py::capsule owner(held, [](void* p) { delete static_cast<std::vector<double>*>(p); });
    return py::array(py::dtype::of<double>(), {rows, columns},
                     {columns * static_cast<py::ssize_t>(sizeof(double)), static_cast<py::ssize_t>(sizeof(double))},
                     held->data(), owner);
}

}  // namespace

}  // namespace zarno::python

namespace {

// The core's exceptions as Python's.
void BindErrors(pybind11::module_& m)
{
    namespace py = pybind11;
    namespace zp = zarno::python;
    py::register_exception<zp::RunFailed>(m, "ZarnoError", PyExc_RuntimeError);
    py::register_exception<zp::StudyCancelled>(m, "Cancelled", PyExc_Exception);
    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const zarno::InputError& e) {
            PyErr_SetString(PyExc_ValueError, e.what());
        } catch (const std::system_error& e) {
            // OSError(errno, text) becomes FileNotFoundError, PermissionError, ...
            PyErr_SetObject(PyExc_OSError, py::make_tuple(e.code().value(), e.what()).ptr());
        }
    });
}

// What the machine offers and the checks a study makes before it runs.
void BindChecks(pybind11::module_& m)
{
    namespace py = pybind11;
    namespace zp = zarno::python;
    m.def("processors", &zarno::AvailableProcessors, "The processors this process may run on.");
    m.def("has_charts", &zarno::HasChartLibraries, "Whether this build can write report.html.");

    m.attr("study_tolerance") = zarno::kStudyTolerance;

    m.def(
        "check_data",
        [](const py::array& values, const py::object& sigmas, bool allowMissing, std::vector<std::string> geneNames,
           std::vector<std::string> sampleLabels) {
            zarno::Dataset d = zp::View(values, sigmas, allowMissing);
            d.geneNames = std::move(geneNames);
            d.sampleLabels = std::move(sampleLabels);
            zarno::Refusal r;
            {
                py::gil_scoped_release free;
                r = zarno::CheckDataset(d);
            }
            return zp::RefusalDict(r);
        },
        py::arg("values"), py::arg("sigmas"), py::arg("allow_missing"), py::arg("gene_names"),
        py::arg("sample_labels"),
        "The core's refusal of the data (a dict: code, gene, sample, value, text), or None; with allow_missing "
        "a NaN is a missing cell.");
    m.def(
        "check_job",
        [](const py::array& values, const py::object& sigmas, bool allowMissing, int firstRank, int lastRank,
           int firstChain, int chains, int rounds, double tolerance, double holdout, int threadsPerRun,
           const std::string& arithmetic) {
            const zarno::Dataset d = zp::View(values, sigmas, allowMissing);
            const zarno::JobSpec job = zp::Job(firstRank, lastRank, firstChain, chains, rounds, false, tolerance,
                                               holdout, 0, threadsPerRun, arithmetic);
            zarno::Refusal r;
            {
                py::gil_scoped_release free;  // with missing cells it counts them
                r = zarno::CheckJob(d, job);
            }
            return zp::RefusalDict(r);
        },
        "The core's refusal of a study's settings for these data, or None.");
    m.def(
        "count_negative",
        [](const py::array& values) {
            const zarno::Dataset d = zp::View(values, py::none());
            long long gene = -1, sample = -1;
            const long long n = zarno::CountNegative(d, &gene, &sample);
            return py::make_tuple(n, gene, sample);
        },
        "(count, first gene, first sample) of the values below zero.");
}

// The readers of data and annotation tables.
void BindTables(pybind11::module_& m)
{
    namespace py = pybind11;
    namespace zp = zarno::python;
    m.def(
        "read_table",
        [](const std::string& path) {
            zarno::Table t;
            {
                py::gil_scoped_release free;
                // As `zarno run` reads its tables: NA, NaN and empty fields are missing (NaN).
                zarno::ReadOptions options;
                options.allowMissing = true;
                t = zarno::ReadTable(path, options);
            }
            return py::make_tuple(zp::Owned(std::move(t.values), t.genes, t.samples), t.geneNames, t.sampleLabels);
        },
        py::arg("path"),
        "A table as `zarno run` reads its data: (values, gene names, sample labels); missing values are NaN.");

    py::class_<zarno::AnnotationTable>(m, "AnnotationTable")
        .def(py::init([](std::string source, std::string labelHeader, std::vector<std::string> columns,
                         std::vector<std::string> labels, std::vector<std::vector<std::string>> cells) {
                 zarno::AnnotationTable t;
                 t.source = std::move(source);
                 t.labelHeader = std::move(labelHeader);
                 t.columns = std::move(columns);
                 t.labels = std::move(labels);
                 t.cells = std::move(cells);
                 return t;
             }),
             py::arg("source"), py::arg("label_header"), py::arg("columns"), py::arg("labels"), py::arg("cells"),
             "Sample annotations built in memory: per row a label and the text of each column (\"\" missing).")
        .def_readonly("source", &zarno::AnnotationTable::source)
        .def_readonly("columns", &zarno::AnnotationTable::columns)
        .def_readonly("labels", &zarno::AnnotationTable::labels);
    m.def(
        "read_annotations",
        [](const std::string& path) {
            py::gil_scoped_release free;
            return zarno::ReadAnnotationTable(path);
        },
        py::arg("path"), "Sample annotations read from a table file, as `zarno run --annotations` reads it.");
}

// A study: run, controlled, surveyed, saved and loaded.
void BindStudy(pybind11::module_& m)
{
    namespace py = pybind11;
    namespace zp = zarno::python;
    py::class_<zp::StudyControl>(m, "Control")
        .def(py::init<>())
        .def("cancel", [](zp::StudyControl& c) { c.control.cancel = true; })
        .def_property_readonly("cancelled", [](const zp::StudyControl& c) { return c.control.cancel.load(); })
        .def_property_readonly("runs_done", [](const zp::StudyControl& c) { return c.control.runsDone.load(); })
        .def_property_readonly("rounds_done", [](const zp::StudyControl& c) { return c.control.roundsDone.load(); })
        .def_property_readonly("runs_in_flight",
                               [](const zp::StudyControl& c) { return c.control.runsInFlight.load(); });

    py::class_<zp::NativeStudy>(m, "NativeStudy")
        .def_property_readonly("loaded", &zp::NativeStudy::Loaded)
        .def_property_readonly("genes", &zp::NativeStudy::Genes)
        .def_property_readonly("samples", &zp::NativeStudy::Samples)
        .def_property_readonly("weighted", &zp::NativeStudy::Weighted)
        .def_property_readonly("gene_names", &zp::NativeStudy::GeneNames)
        .def_property_readonly("sample_labels", &zp::NativeStudy::SampleLabels)
        .def_property_readonly("job_json", &zp::NativeStudy::JobJson)
        .def_property_readonly("directory", &zp::NativeStudy::Directory)
        .def_property_readonly("seconds", &zp::NativeStudy::Seconds)
        .def("runs", [](py::object self) { return self.cast<const zp::NativeStudy&>().Runs(self); })
        .def("failed", &zp::NativeStudy::Failed)
        .def("incomplete", &zp::NativeStudy::Incomplete)
        .def("annotations", &zp::NativeStudy::Annotations)
        .def(
            "survey",
            [](const zp::NativeStudy& s, const zarno::AnnotationTable* table, std::map<std::string, std::string> kinds,
               std::optional<std::vector<std::string>> batch) {
                return s.Survey(zp::NotesArgs{table, std::move(kinds), std::move(batch)});
            },
            py::arg("table").none(true), py::arg("kinds"), py::arg("batch").none(true))
        .def(
            "report",
            [](const zp::NativeStudy& s, const std::string& path, const zarno::AnnotationTable* table,
               std::map<std::string, std::string> kinds, std::optional<std::vector<std::string>> batch) {
                return s.Report(path, zp::NotesArgs{table, std::move(kinds), std::move(batch)});
            },
            py::arg("path"), py::arg("table").none(true), py::arg("kinds"), py::arg("batch").none(true))
        .def(
            "save",
            [](zp::NativeStudy& s, const std::string& dir, bool survey, const zarno::AnnotationTable* table,
               std::map<std::string, std::string> kinds, std::optional<std::vector<std::string>> batch) {
                return s.Save(dir, survey, zp::NotesArgs{table, std::move(kinds), std::move(batch)});
            },
            py::arg("directory"), py::arg("survey"), py::arg("table").none(true), py::arg("kinds"),
            py::arg("batch").none(true));

    m.def(
        "run_study",
        [](const py::array& values, const py::object& sigmas, bool allowMissing, std::vector<std::string> geneNames,
           std::vector<std::string> sampleLabels, int firstRank, int lastRank, int firstChain, int chains, int rounds,
           bool trace, double tolerance, double holdout, int threads, int threadsPerRun,
           const std::string& arithmetic, py::object tick, zp::StudyControl* control) {
            zarno::Dataset d = zp::View(values, sigmas, allowMissing);
            d.geneNames = std::move(geneNames);
            d.sampleLabels = std::move(sampleLabels);
            zp::StudyArgs args;
            args.job = zp::Job(firstRank, lastRank, firstChain, chains, rounds, trace, tolerance, holdout, threads,
                               threadsPerRun, arithmetic);
            args.tick = std::move(tick);
            args.control = control;
            return zp::NativeStudy::Run(d, args);
        },
        py::arg("values"), py::arg("sigmas"), py::arg("allow_missing"), py::arg("gene_names"),
        py::arg("sample_labels"), py::arg("first_rank"), py::arg("last_rank"), py::arg("first_chain"),
        py::arg("chains"), py::arg("rounds"), py::arg("trace"), py::arg("tolerance"), py::arg("holdout"),
        py::arg("threads"), py::arg("threads_per_run"), py::arg("arithmetic"), py::arg("tick"),
        py::arg("control").none(true),
        "Runs a study over genes x samples float64 arrays (viewed, not copied) and returns its NativeStudy.");
    m.def("load", &zp::NativeStudy::Load, py::arg("directory"), "Reads a run directory.");
}

}  // namespace

PYBIND11_MODULE(_native, m)
{
    m.doc() = "The native half of zarno, over the core library (see the package zarno).";
    m.attr("version") = zarno::kVersion;
    BindErrors(m);
    BindChecks(m);
    BindTables(m);
    BindStudy(m);
}
