#include "study.h"

#include <pybind11/stl.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <new>
#include <set>

#include "zarno/cells.h"
#include "zarno/survey.h"
#include "zarno/survey_files.h"

namespace zarno::python {

namespace {

// Collects the runs of a sweep and ticks Python. Runs arrive on the thread
// that called RunJob, without the GIL; a tick takes the GIL, lets Python
// handle its signals (Ctrl-C becomes KeyboardInterrupt here) and calls the
// tick function. An exception from either stops the sweep and is kept for
// the caller, who raises it once RunJob has returned.
class Collector : public zarno::JobSink {
public:
    Collector(const py::object& tick, std::vector<zarno::RunResult>* out) : tick_(tick), out_(out) {}

    bool RunFinished(const zarno::RunView& run) override
    {
        try {
            out_->push_back(zarno::CopyRun(run));
            // Numbers that are not finite make a failed run, kept with its
            // reason as the command keeps one; the other runs go on.
            const std::string fault = zarno::RunFault(run);
            if (!fault.empty()) {
                out_->back().status = zarno::RunResult::kFailed;
                out_->back().error = fault;
            }
            return true;
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
            return false;
        }
    }

    bool Tick(const zarno::Control& c) override
    {
        py::gil_scoped_acquire gil;
        if (error) return false;
        try {
            if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            if (!tick_.is_none()) {
                tick_(c.runsDone.load(), c.roundsDone.load(), c.runsInFlight.load());
                // A signal that came during the call stops the runs now, not a tick later.
                if (PyErr_CheckSignals() != 0) throw py::error_already_set();
            }
            return true;
        } catch (py::error_already_set& e) {
            error = std::make_unique<py::error_already_set>(std::move(e));
        } catch (const std::exception& e) {
            PyErr_SetString(PyExc_RuntimeError, e.what());
            error = std::make_unique<py::error_already_set>();
        }
        return false;
    }

    std::unique_ptr<py::error_already_set> error;  // raised by a tick
    bool outOfMemory = false;

private:
    const py::object& tick_;
    std::vector<zarno::RunResult>* out_;
};

// One sweep into `out`, the GIL released while it runs.
void Sweep(const zarno::Dataset& data, const zarno::JobSpec& job, StudyArgs& args, zarno::Control& control,
           std::vector<zarno::RunResult>* out)
{
    Collector sink(args.tick, out);
    zarno::JobOutcome outcome;
    {
        py::gil_scoped_release free;
        outcome = zarno::RunJob(data, job, sink, &control);
    }
    if (sink.error) throw std::move(*sink.error);
    if (sink.outOfMemory) throw std::bad_alloc();
    switch (outcome.status) {
    case zarno::JobOutcome::kDone:
        return;
    case zarno::JobOutcome::kCancelled:
        throw StudyCancelled("the study was cancelled through its Control");
    default:
        throw RunFailed(outcome.error.empty() ? "the sweep stopped" : outcome.error);
    }
}

py::array View(const std::vector<double>& v, py::ssize_t rows, py::ssize_t columns, py::handle base)
{
    py::array a(py::dtype::of<double>(), {rows, columns},
                {columns * static_cast<py::ssize_t>(sizeof(double)), static_cast<py::ssize_t>(sizeof(double))},
                v.data(), base);
    a.attr("setflags")(py::arg("write") = false);  // a run is what it computed
    return a;
}

py::array Copy(const std::vector<double>& v, py::ssize_t rows, py::ssize_t columns)
{
    py::array_t<double> a({rows, columns});
    std::copy(v.begin(), v.end(), a.mutable_data());
    return std::move(a);
}

py::object Optional(const std::optional<double>& x) { return x ? py::object(py::float_(*x)) : py::object(py::none()); }
// The matrices of a pattern count's survey; its figures are in survey.json.
py::dict CountMatrices(const zarno::CountSurvey& c, int genes, int samples)
{
    const py::ssize_t P = c.patterns, S = samples, G = genes;
    const bool complete = !c.chains.empty();
    auto matrix = [&](const std::vector<double>& v, py::ssize_t rows, py::ssize_t columns, bool there) {
        return complete && there ? py::object(Copy(v, rows, columns)) : py::object(py::none());
    };
    py::dict d;
    d["k"] = c.patterns;
    d["consensus"] = matrix(c.consensus, S, S, true);
    d["sample_order"] = c.sampleOrder;
    d["pattern_mean"] = matrix(c.patternMean, P, S, true);
    d["pattern_sd"] = matrix(c.patternSd, P, S, c.hasSd);
    d["amplitude_mean"] = matrix(c.amplitudeMean, G, P, true);
    d["amplitude_sd"] = matrix(c.amplitudeSd, G, P, c.hasSd);
    py::list top;  // (pattern from 1, rank from 1, gene row, score, share, amplitude)
    for (size_t p = 0; p < c.topGenes.size(); p++)
        for (size_t r = 0; r < c.topGenes[p].size(); r++) {
            const zarno::TopGene& t = c.topGenes[p][r];
            top.append(py::make_tuple(p + 1, r + 1, t.gene, t.score, t.share, t.amplitude));
        }
    d["top_genes"] = top;
    return d;
}

// A study's annotations with other batch flags: its table again, each
// column's kind kept, matched as a table given with those flags.
zarno::Annotations Reflagged(const zarno::Annotations& a, const std::vector<std::string>& batch,
                             const std::vector<std::string>& samples)
{
    zarno::AnnotationTable t;
    t.source = a.source;
    t.labelHeader = a.labelHeader;
    zarno::AnnotationOptions o;
    o.batch = batch;
    o.batchFrom = "batch";
    for (const zarno::AnnotationColumn& c : a.columns) {
        t.columns.push_back(c.name);
        o.kinds[c.name] = c.kind;
    }
    std::set<std::string> seen;
    for (size_t s = 0; s < a.samples.size(); s++) {
        if (!seen.insert(a.samples[s]).second) continue;
        t.labels.push_back(a.samples[s]);
        std::vector<std::string> row;
        for (const zarno::AnnotationColumn& c : a.columns) row.push_back(c.text[s]);
        t.cells.push_back(std::move(row));
    }
    return zarno::MatchAnnotations(t, samples, o);
}

py::list Strings(const std::vector<std::string>& v)
{
    py::list out;
    for (const std::string& s : v) out.append(py::str(s));
    return out;
}

}  // namespace

NativeStudy NativeStudy::Run(const zarno::Dataset& data, StudyArgs& args)
{
    zarno::JobSpec job = args.job;
    const double holdout = job.run.holdout;
    if (const zarno::Refusal r = zarno::CheckDataset(data)) throw zarno::InputError(r.text);
    if (const zarno::Refusal r = zarno::CheckJob(data, job)) throw zarno::InputError(r.text);
    StudyControl own;
    zarno::Control& control = args.control != nullptr ? args.control->control : own.control;

    NativeStudy study;
    zarno::StudyRuns& s = study.computed_;
    s.geneNames = data.geneNames;
    s.sampleLabels = data.sampleLabels;
    zarno::JobIdentity& id = s.id;
    id.genes = data.genes;
    id.samples = data.samples;
    id.weighted = data.weighted;
    id.rounds = job.run.rounds;
    id.trace = job.run.trace;
    id.tolerance = job.run.tolerance;
    id.holdout = holdout;
    {
        py::gil_scoped_release free;
        id.dataSha256 = zarno::ArraySha256(data, false);
        if (data.weighted) id.uncertSha256 = zarno::ArraySha256(data, true);
        id.missingCells = data.allowMissing ? zarno::CountCells(data).missing : 0;
    }
    // What the plain runs take, as job.json of the command records it.
    zarno::RunOptions plain = job.run;
    plain.holdout = 0.0;
    id.arithmetic = zarno::ArithmeticName(zarno::UsesGramForm(data, plain, id.missingCells > 0)
                                              ? zarno::Arithmetic::kGram
                                              : zarno::Arithmetic::kClassic);
    // As the command does: each run as soon as it is done, the plain runs
    // first, then (with a holdout) their twins.
    job.ordered = false;
    const auto start = std::chrono::steady_clock::now();
    job.run.holdout = 0.0;
    Sweep(data, job, args, control, &s.runs);
    if (holdout > 0.0) {
        job.run.holdout = holdout;
        Sweep(data, job, args, control, &s.heldOut);
    }
    study.seconds_ = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    auto byKey = [](const zarno::RunResult& a, const zarno::RunResult& b) {
        return zarno::RunKey{a.patterns, a.chain} < zarno::RunKey{b.patterns, b.chain};
    };
    std::sort(s.runs.begin(), s.runs.end(), byKey);
    std::sort(s.heldOut.begin(), s.heldOut.end(), byKey);
    // A study whose every run failed is returned too: the package raises
    // ZarnoError holding it, so that its failures can be read and saved.
    return study;
}

NativeStudy NativeStudy::Load(const std::string& dir)
{
    NativeStudy study;
    study.loaded_ = true;
    {
        py::gil_scoped_release free;
        study.read_ = zarno::ReadRunDirectory(dir);
        const zarno::SurveyData& d = study.read_.data;
        study.notes_ = zarno::LoadAnnotations(study.read_.dir,
                                              zarno::Names(d.sampleLabels, static_cast<size_t>(d.samples), 's'));
    }
    study.dir_ = study.read_.dir;
    return study;
}

int NativeStudy::Genes() const { return loaded_ ? read_.data.genes : computed_.id.genes; }
int NativeStudy::Samples() const { return loaded_ ? read_.data.samples : computed_.id.samples; }
bool NativeStudy::Weighted() const
{
    if (!loaded_) return computed_.id.weighted;
    return read_.job.value("weighted", false);
}
std::vector<std::string> NativeStudy::GeneNames() const { return loaded_ ? read_.data.geneNames : computed_.geneNames; }
std::vector<std::string> NativeStudy::SampleLabels() const
{
    return loaded_ ? read_.data.sampleLabels : computed_.sampleLabels;
}
std::string NativeStudy::JobJson() const { return loaded_ ? read_.job.dump() : computed_.id.ToJson(); }

py::list NativeStudy::Runs(py::handle self) const
{
    py::list out;
    const py::ssize_t G = Genes(), S = Samples();
    auto entry = [&](int P, int chain, const std::vector<double>& a, const std::vector<double>& p) {
        py::dict d;
        d["k"] = P;
        d["chain"] = chain;
        d["amplitudes"] = View(a, G, P, self);
        d["patterns"] = View(p, P, S, self);
        return d;
    };
    if (!loaded_) {
        std::map<zarno::RunKey, double> twins;
        for (const zarno::RunResult& t : computed_.heldOut)
            if (zarno::StudyRunFault(t).empty()) twins[{t.patterns, t.chain}] = t.holdoutError;
        for (const zarno::RunResult& r : computed_.runs) {
            if (!zarno::StudyRunFault(r).empty()) continue;
            py::dict d = entry(r.patterns, r.chain, r.amplitudes, r.patternRows);
            d["chi_square"] = r.chiSquare;
            d["ssr"] = r.ssr;
            d["rounds"] = r.rounds;
            d["seconds"] = r.seconds;
            d["seed_a"] = r.seedA;
            d["seed_p"] = r.seedP;
            d["trace"] = r.trace;
            d["arithmetic"] = computed_.id.arithmetic;
            const auto twin = twins.find({r.patterns, r.chain});
            d["holdout_error"] = twin != twins.end() ? py::object(py::float_(twin->second)) : py::object(py::none());
            out.append(d);
        }
        return out;
    }
    for (const zarno::SurveyRun& r : read_.runs) {
        if (r.status != zarno::SurveyRun::kComplete) continue;
        py::dict d = entry(r.patterns, r.chain, r.amplitudes, r.patternRows);
        d["chi_square"] = r.chiSquare;
        d["ssr"] = r.ssr;
        for (const zarno::RunRecord& rec : read_.records) {
            if (rec.patterns != r.patterns || rec.chain != r.chain) continue;
            const nlohmann::json& m = rec.meta;
            auto number = [&m](const char* key) {
                return m.contains(key) && m[key].is_number() ? py::object(py::cast(m[key].get<double>()))
                                                             : py::object(py::none());
            };
            auto integer = [&m](const char* key) {
                return m.contains(key) && m[key].is_number_integer() ? py::object(py::cast(m[key].get<long long>()))
                                                                     : py::object(py::none());
            };
            d["rounds"] = integer("rounds");
            d["seconds"] = number("seconds");
            d["seed_a"] = integer("seed_a");
            d["seed_p"] = integer("seed_p");
            // A run written before the switch existed ran the classic arithmetic.
            d["arithmetic"] = m.contains("arithmetic") && m["arithmetic"].is_string()
                                  ? m["arithmetic"].get<std::string>()
                                  : std::string("classic");
        }
        d["trace"] = r.trace;
        d["holdout_error"] = Optional(r.holdoutError);
        out.append(d);
    }
    return out;
}

py::list NativeStudy::Failed() const
{
    py::list out;
    auto entry = [](int k, int chain, const std::string& why, py::object rounds, py::object seconds) {
        py::dict d;
        d["k"] = k;
        d["chain"] = chain;
        d["why"] = why;
        d["rounds"] = std::move(rounds);
        d["seconds"] = std::move(seconds);
        return d;
    };
    if (!loaded_) {
        for (const zarno::RunResult& r : computed_.runs) {
            const std::string why = zarno::StudyRunFault(r);
            if (!why.empty())
                out.append(entry(r.patterns, r.chain, why, py::int_(r.rounds), py::float_(r.seconds)));
        }
        return out;
    }
    for (const zarno::SurveyRun& r : read_.runs) {
        if (r.status != zarno::SurveyRun::kFailed) continue;
        py::object rounds = py::none(), seconds = py::none();
        for (const zarno::RunRecord& rec : read_.records) {
            if (rec.patterns != r.patterns || rec.chain != r.chain) continue;
            if (rec.meta.contains("rounds") && rec.meta["rounds"].is_number_integer())
                rounds = py::int_(rec.meta["rounds"].get<long long>());
            if (rec.meta.contains("seconds") && rec.meta["seconds"].is_number())
                seconds = py::float_(rec.meta["seconds"].get<double>());
        }
        out.append(entry(r.patterns, r.chain, r.problem, rounds, seconds));
    }
    return out;
}

py::list NativeStudy::Incomplete() const
{
    py::list out;
    if (!loaded_) {
        for (const zarno::RunResult& r : computed_.runs) {
            const std::string why = zarno::StudyRunFault(r);
            if (!why.empty()) out.append(py::make_tuple(r.patterns, r.chain, "failed: " + why));
        }
        return out;
    }
    for (const zarno::SurveyRun& r : read_.runs)
        if (r.status != zarno::SurveyRun::kComplete)
            out.append(py::make_tuple(r.patterns, r.chain,
                                      (r.status == zarno::SurveyRun::kFailed ? "failed: " : "missing: ") + r.problem));
    return out;
}

py::object NativeStudy::Annotations() const
{
    if (!notes_) return py::none();
    const zarno::Annotations& a = *notes_;
    // One row per distinct label, as the run directory's copy holds them.
    std::vector<size_t> rows;
    std::set<std::string> seen;
    for (size_t s = 0; s < a.samples.size(); s++)
        if (seen.insert(a.samples[s]).second) rows.push_back(s);
    py::list labels, columns;
    for (size_t s : rows) labels.append(py::str(a.samples[s]));
    for (const zarno::AnnotationColumn& c : a.columns) {
        const bool numbers = c.kind == zarno::AnnotationColumn::kNumbers;
        py::list values;
        for (size_t s : rows) {
            if (numbers)
                values.append(c.numbers[s] ? py::object(py::float_(*c.numbers[s])) : py::object(py::none()));
            else
                values.append(c.text[s].empty() ? py::object(py::none()) : py::object(py::str(c.text[s])));
        }
        py::dict col;
        col["name"] = c.name;
        col["kind"] = numbers ? "numbers" : "categories";
        col["values"] = values;
        col["flagged"] = c.flagged;
        columns.append(col);
    }
    py::dict d;
    d["source"] = a.source;
    d["label_column"] = a.labelHeader;
    d["labels"] = labels;
    d["columns"] = columns;
    return std::move(d);
}

zarno::RunDirectory NativeStudy::Described(const std::string& dir) const
{
    return loaded_ ? read_ : zarno::DescribeStudyRuns(dir, computed_);
}

std::optional<zarno::Annotations> NativeStudy::Notes(const NotesArgs& notes) const
{
    const std::vector<std::string> samples = zarno::Names(SampleLabels(), static_cast<size_t>(Samples()), 's');
    if (notes.table != nullptr) {
        zarno::AnnotationOptions o;
        o.batchFrom = "batch";
        if (notes.batch) o.batch = *notes.batch;
        for (const auto& [column, kind] : notes.kinds)
            o.kinds[column] = kind == "numbers" ? zarno::AnnotationColumn::kNumbers : zarno::AnnotationColumn::kCategories;
        return zarno::MatchAnnotations(*notes.table, samples, o);
    }
    if (!notes.batch) return notes_;
    if (notes_) return Reflagged(*notes_, *notes.batch, samples);
    if (notes.batch->empty()) return std::nullopt;
    throw zarno::InputError("batch " + notes.batch->front() +
                            ": the study has no sample annotations (give them with annotations=)");
}

zarno::SurveyedDirectory NativeStudy::Surveyed(const NotesArgs& notes) const
{
    std::optional<zarno::Annotations> a = Notes(notes);
    const std::string dir = dir_;  // read with the GIL: Save may set it on another thread
    py::gil_scoped_release free;
    return zarno::SurveyDirectory(Described(dir), zarno::SurveyOptions(), std::move(a));
}

py::dict NativeStudy::Survey(const NotesArgs& notes) const
{
    const zarno::SurveyedDirectory s = Surveyed(notes);
    std::string json;
    {
        py::gil_scoped_release free;
        // As survey.json is written: invalid UTF-8 in a name becomes U+FFFD.
        json = s.json.dump(1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
    const zarno::Survey& survey = s.survey;
    py::dict out;
    out["suggested"] = survey.suggested ? py::object(py::int_(*survey.suggested)) : py::object(py::none());
    out["note"] = survey.note;
    py::list counts;
    for (const zarno::CountSurvey& c : survey.counts)
        counts.append(CountMatrices(c, s.directory.data.genes, s.directory.data.samples));
    out["counts"] = counts;
    out["json"] = json;
    out["table"] = s.tsv;
    out["warnings"] = Strings(s.annotations ? s.annotations->warnings : std::vector<std::string>());
    return out;
}

std::vector<std::string> NativeStudy::Report(const std::string& path, const NotesArgs& notes) const
{
    if (!zarno::HasChartLibraries())
        throw std::runtime_error("this build has no chart libraries (npm was not found when it was built): no "
                                 "report written");
    const zarno::SurveyedDirectory s = Surveyed(notes);
    py::gil_scoped_release free;
    zarno::WriteFileAtomic(path, zarno::ReportHtml(s.json));
    return s.annotations ? s.annotations->warnings : std::vector<std::string>();
}

py::tuple NativeStudy::Save(const std::string& dir, bool survey, const NotesArgs& notes)
{
    if (loaded_) throw zarno::InputError("this study was read from " + dir_ + ", where it stays; copy that directory");
    // Matched before anything is written: a table that does not fit writes nothing.
    std::optional<zarno::Annotations> a = Notes(notes);
    bool report = false;
    {
        py::gil_scoped_release free;
        zarno::WriteStudyRuns(dir, computed_);
        // Beside the runs, as `zarno run --annotations` keeps them; the survey finds them there.
        if (a) zarno::StoreAnnotations(dir, *a);
        // As `zarno run` ends: no survey when every run failed (nothing to survey).
        const bool anyComplete =
            std::any_of(computed_.runs.begin(), computed_.runs.end(),
                        [](const zarno::RunResult& r) { return zarno::StudyRunFault(r).empty(); });
        if (survey && anyComplete) {
            const zarno::SurveyedDirectory surveyed = zarno::WriteSurvey(dir);
            report = zarno::HasChartLibraries();
            if (report) zarno::WriteReport(surveyed);
        }
    }
    // Where the survey's JSON says the runs are from now on, as the reader
    // names the directory; the annotations are the study's own.
    dir_ = dir;
    while (dir_.size() > 1 && dir_.back() == '/') dir_.pop_back();
    notes_ = a;
    return py::make_tuple(report, Strings(a ? a->warnings : std::vector<std::string>()));
}

}  // namespace zarno::python
