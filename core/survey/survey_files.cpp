// The survey's files (see survey_files.h).
#include "zarno/survey_files.h"

#include <fmt/core.h>

#include <utility>

#include "zarno/run_dir.h"
#include "zarno/run_layout.h"

// The chart libraries' bundle (report/embedded.cpp); empty in a build without npm.
extern "C" const char zarno_charts_js[];

namespace zarno {

namespace {

using nlohmann::json;

// Samples up to which survey.json carries the consensus matrix (and the
// report draws it sample by sample).
constexpr int kConsensusInJson = 300;
// Beyond kConsensusInJson samples survey.json carries the consensus averaged
// over blocks of consecutive samples in leaf order instead, at most this many
// a side: what a heatmap can show.
constexpr int kBlocksASide = 150;

json Opt(const std::optional<double>& x) { return x ? json(*x) : json(nullptr); }
json Opt(const std::optional<bool>& x) { return x ? json(*x) : json(nullptr); }
json SpreadJson(const std::optional<Spread>& s)
{
    if (!s) return nullptr;
    return {{"best", s->best}, {"median", s->median}, {"worst", s->worst}};
}

std::string Na(const std::optional<double>& x) { return x ? FormatDouble(*x) : "NA"; }
std::string Na(const std::optional<bool>& x) { return x ? (*x ? "yes" : "no") : "NA"; }

// Files to write, all prepared before the first is written.
using Outputs = std::vector<std::pair<std::string, std::string>>;

void WriteAll(const Outputs& files)
{
    for (const auto& [path, text] : files) {
        const size_t slash = path.find_last_of('/');
        if (slash != std::string::npos && slash > 0) MakeDirectories(path.substr(0, slash));
        WriteFileAtomic(path, text);
    }
}

void ConsensusFiles(const RunDirectory& d, const CountSurvey& c, Outputs* files)
{
    const SurveyData& data = d.data;
    const int P = c.patterns, S = data.samples;
    const std::string base = RunLayout(d.dir).Consensus(P) + "/";
    const std::vector<std::string> pnames = Names({}, static_cast<size_t>(P), 'P');
    const std::vector<std::string> samples = Names(data.sampleLabels, static_cast<size_t>(S), 's');
    const std::vector<std::string> genes =
        Names(data.geneNames, static_cast<size_t>(data.genes), 'g');
    auto sd = [&](const std::vector<double>& m) { return c.hasSd ? m.data() : nullptr; };
    files->push_back({base + "patterns.tsv", MatrixTsv("pattern", pnames, samples, c.patternMean.data())});
    files->push_back({base + "patterns_sd.tsv", MatrixTsv("pattern", pnames, samples, sd(c.patternSd))});
    files->push_back({base + "amplitudes.tsv", MatrixTsv("gene", genes, pnames, c.amplitudeMean.data())});
    files->push_back({base + "amplitudes_sd.tsv", MatrixTsv("gene", genes, pnames, sd(c.amplitudeSd))});
    // score = share x amplitude / the pattern's largest amplitude (TopGene).
    std::string top = "pattern\trank\tgene\tscore\tshare\tamplitude\n";
    for (int p = 0; p < P; p++)
        for (size_t k = 0; k < c.topGenes[p].size(); k++) {
            const TopGene& t = c.topGenes[p][k];
            top += fmt::format("P{}\t{}\t{}\t{}\t{}\t{}\n", p + 1, k + 1, genes[t.gene],
                               FormatDouble(t.score), FormatDouble(t.share), FormatDouble(t.amplitude));
        }
    files->push_back({base + "top_genes.tsv", top});
    // The consensus in the leaf order of its linkage tree, as it is looked at.
    std::vector<std::string> ordered;
    std::vector<double> m;
    for (int i : c.sampleOrder) ordered.push_back(samples[i]);
    for (int i : c.sampleOrder)
        for (int j : c.sampleOrder) m.push_back(c.consensus[static_cast<size_t>(i) * S + j]);
    files->push_back({base + "sample_consensus.tsv", MatrixTsv("sample", ordered, ordered, m.data())});
}

}  // namespace

std::string SurveyTsv(const Survey& s)
{
    std::string out =
        "patterns\tchains\tfailed\tmissing\tchi_square_best\tchi_square_median\tchi_square_worst\t"
        "chi_square_per_dof_best\tchi_square_per_dof_median\tssr_best\tssr_median\tssr_worst\t"
        "holdout_error_median\tcophenetic\tdispersion\tpac\tstability_mean\tstability_min\t"
        "match_mean\tmatch_min\toutlier_chains\tfits\tstable\tsuggested\tstatus\n";
    for (const CountSurvey& c : s.counts) {
        auto sp = [](const std::optional<Spread>& x, int which) {
            if (!x) return std::string("NA");
            return FormatDouble(which == 0 ? x->best : which == 1 ? x->median : x->worst);
        };
        int outliers = 0;
        for (bool o : c.outlier) outliers += o;
        out += fmt::format(
            "{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\t{}\n",
            c.patterns, c.chains.size(), c.failedChains.size(), c.missingChains.size(),
            sp(c.chiSquare, 0), sp(c.chiSquare, 1), sp(c.chiSquare, 2), sp(c.chiSquarePerDof, 0),
            sp(c.chiSquarePerDof, 1), sp(c.ssr, 0), sp(c.ssr, 1), sp(c.ssr, 2),
            sp(c.holdoutError, 1), Na(c.cophenetic), Na(c.dispersion), Na(c.pac),
            Na(c.meanStability), Na(c.minStability), Na(c.meanMatch), Na(c.minMatch), outliers,
            Na(c.fits), Na(c.stable), s.suggested && *s.suggested == c.patterns ? "yes" : "no",
            c.Status());
    }
    return out;
}

namespace {

// ---- survey.json, a piece at a time

json RuleJson(const SurveyOptions& o)
{
    return {{"min_mean_stability", o.minMeanStability},
            {"min_min_stability", o.minMinStability},
            {"min_one_pattern_match", o.minOnePatternMatch},
            {"fit_tolerance", o.fitTolerance},
            {"outlier_mads", o.outlierMads},
            {"outlier_floor", o.outlierFloor}};
}

// The version that wrote the runs: job.json's, else the first run's.
std::string WriterVersion(const RunDirectory& d)
{
    if (d.job.contains("version") && d.job["version"].is_string())
        return d.job["version"].get<std::string>();
    if (!d.records.empty() && d.records.front().meta.contains("version") &&
        d.records.front().meta["version"].is_string())
        return d.records.front().meta["version"].get<std::string>();
    return "";
}

// A rows x columns matrix (row-major) as a list of rows.
json RowsJson(const std::vector<double>& m, int rows, int columns)
{
    json out = json::array();
    for (int i = 0; i < rows; i++)
        out.push_back(std::vector<double>(m.begin() + static_cast<long>(i) * columns,
                                          m.begin() + static_cast<long>(i + 1) * columns));
    return out;
}

// The figures of one pattern count and how its chains matched.
json CountFiguresJson(const CountSurvey& c)
{
    json k;
    k["patterns"] = c.patterns;
    k["chains"] = c.chains;
    k["failed_chains"] = c.failedChains;
    k["missing_chains"] = c.missingChains;
    k["weighted"] = c.weighted;
    k["status"] = c.Status();
    k["notes"] = c.notes;
    k["chi_square"] = SpreadJson(c.chiSquare);
    k["ssr"] = SpreadJson(c.ssr);
    k["dof"] = c.dof;
    k["chi_square_per_dof"] = SpreadJson(c.chiSquarePerDof);
    k["holdout_error"] = SpreadJson(c.holdoutError);
    k["cophenetic"] = Opt(c.cophenetic);
    k["dispersion"] = Opt(c.dispersion);
    k["pac"] = Opt(c.pac);
    k["stability_mean"] = Opt(c.meanStability);
    k["stability_min"] = Opt(c.minStability);
    k["match_mean"] = Opt(c.meanMatch);
    k["match_min"] = Opt(c.minMatch);
    k["fits"] = Opt(c.fits);
    k["stable"] = Opt(c.stable);
    k["chains_used"] = c.chainsUsed;
    json sil = json::array();
    for (const auto& x : c.silhouette) sil.push_back(Opt(x));
    k["silhouettes"] = sil;
    json chains = json::array();
    for (size_t i = 0; i < c.chains.size(); i++)
        chains.push_back({{"chain", c.chains[i]},
                          {"match", c.chainMatch[i]},
                          {"outlier", static_cast<bool>(c.outlier[i])},
                          {"assignment", c.assignment[i]}});
    k["chain_matches"] = chains;
    return k;
}

// A P x S matrix's rows in leaf order averaged over blocks of `size` samples.
json RowBlocksJson(const std::vector<double>& m, const CountSurvey& c, int S, int size)
{
    const int P = c.patterns, blocks = (S + size - 1) / size;
    std::vector<double> out(static_cast<size_t>(P) * blocks, 0.0);
    for (int p = 0; p < P; p++)
        for (int i = 0; i < S; i++)
            out[static_cast<size_t>(p) * blocks + i / size] += m[static_cast<size_t>(p) * S + c.sampleOrder[i]];
    for (int p = 0; p < P; p++)
        for (int b = 0; b < blocks; b++) out[static_cast<size_t>(p) * blocks + b] /= std::min(size, S - b * size);
    return RowsJson(out, P, blocks);
}

// The consensus in leaf order averaged over blocks of `size` samples (the
// last may be smaller): blocks x blocks means, row-major lists; and the
// consensus patterns (and their deviations) averaged over the same blocks.
json ConsensusBlocksJson(const CountSurvey& c, int S, int size)
{
    const int blocks = (S + size - 1) / size;
    std::vector<double> m(static_cast<size_t>(blocks) * blocks, 0.0);
    for (int i = 0; i < S; i++)
        for (int j = 0; j < S; j++)
            m[static_cast<size_t>(i / size) * blocks + j / size] +=
                c.consensus[static_cast<size_t>(c.sampleOrder[i]) * S + c.sampleOrder[j]];
    for (int a = 0; a < blocks; a++)
        for (int b = 0; b < blocks; b++) {
            const int na = std::min(size, S - a * size), nb = std::min(size, S - b * size);
            m[static_cast<size_t>(a) * blocks + b] /= static_cast<double>(na) * nb;
        }
    return {{"size", size},
            {"blocks", blocks},
            {"mean", RowsJson(m, blocks, blocks)},
            {"pattern_mean", RowBlocksJson(c.patternMean, c, S, size)},
            {"pattern_sd", c.hasSd ? RowBlocksJson(c.patternSd, c, S, size) : json(nullptr)}};
}

// The consensus of a pattern count with complete chains, into `k`.
void AddConsensusJson(const CountSurvey& c, const SurveyData& data, json& k)
{
    const int S = data.samples, P = c.patterns;
    json order = json::array();
    for (int i : c.sampleOrder) order.push_back(NameAt(data.sampleLabels, static_cast<size_t>(i), 's'));
    k["sample_order"] = order;
    k["sample_order_index"] = c.sampleOrder;
    // The whole matrix only where a heatmap of it can be read; it is always
    // in consensus/k<P>/sample_consensus.tsv.
    k["consensus"] = S <= kConsensusInJson ? RowsJson(c.consensus, S, S) : json(nullptr);
    if (S > kConsensusInJson)
        k["consensus_blocks"] = ConsensusBlocksJson(c, S, (S + kBlocksASide - 1) / kBlocksASide);
    json clusters = json::array();
    for (int x : c.clusters) clusters.push_back(x + 1);
    k["clusters"] = clusters;
    k["pattern_mean"] = RowsJson(c.patternMean, P, S);
    k["pattern_sd"] = c.hasSd ? RowsJson(c.patternSd, P, S) : json(nullptr);
    json top = json::array();
    for (int p = 0; p < P; p++) {
        json list = json::array();
        for (const TopGene& t : c.topGenes[p])
            list.push_back({{"gene", NameAt(data.geneNames, static_cast<size_t>(t.gene), 'g')},
                            {"score", t.score},
                            {"share", t.share},
                            {"amplitude", t.amplitude}});
        top.push_back(list);
    }
    k["top_genes"] = top;
}

json RunsJson(const RunDirectory& d)
{
    json runs = json::array();
    for (const SurveyRun& r : d.runs) {
        json x = {{"patterns", r.patterns}, {"chain", r.chain}};
        x["status"] = r.status == SurveyRun::kComplete ? "complete"
                      : r.status == SurveyRun::kFailed ? "failed: " + r.problem
                                                       : "missing: " + r.problem;
        if (r.status == SurveyRun::kComplete) {
            x["chi_square"] = r.chiSquare;
            x["ssr"] = r.ssr;
            x["holdout_error"] = Opt(r.holdoutError);
            if (!r.trace.empty()) x["trace"] = r.trace;
        }
        for (const RunRecord& rec : d.records)
            if (rec.patterns == r.patterns && rec.chain == r.chain)
                for (const char* key : {"rounds", "seconds", "seed_a", "seed_p"})
                    if (rec.meta.contains(key)) x[key] = rec.meta[key];
        runs.push_back(x);
    }
    return runs;
}

}  // namespace

json SurveyJson(const RunDirectory& d, const Survey& s, const SurveyOptions& o)
{
    json j;
    j["suggested_patterns"] = s.suggested ? json(*s.suggested) : json(nullptr);
    j["suggestion_note"] = s.note;
    j["rule"] = RuleJson(o);
    j["directory"] = d.dir;
    j["job"] = d.job;
    j["genes"] = d.data.genes;
    j["samples"] = d.data.samples;
    j["missing_cells"] = d.missingCells;
    j["sample_labels"] = d.data.sampleLabels;
    j["data_sha256"] = d.dataSha256;
    j["uncert_sha256"] = d.uncertSha256;
    j["version"] = WriterVersion(d);
    j["missing_runs"] = json::array();
    for (const auto& m : d.missing) j["missing_runs"].push_back({{"patterns", m.first}, {"chain", m.second}});
    json counts = json::array();
    for (const CountSurvey& c : s.counts) {
        json k = CountFiguresJson(c);
        if (!c.chains.empty()) AddConsensusJson(c, d.data, k);
        counts.push_back(k);
    }
    j["counts"] = counts;
    j["runs"] = RunsJson(d);
    return j;
}

namespace {

// The directory's annotations: the update's table, or its copy with the
// update's flags.
std::optional<Annotations> DirectoryAnnotations(const RunDirectory& d, const AnnotationUpdate& update)
{
    const std::vector<std::string> samples =
        Names(d.data.sampleLabels, static_cast<size_t>(d.data.samples), 's');
    if (update.table) {
        AnnotationOptions o;
        if (update.batch) o.batch = *update.batch;
        return MatchAnnotations(*update.table, samples, o);
    }
    std::optional<Annotations> a =
        LoadAnnotations(d.dir, samples, update.batch ? &*update.batch : nullptr);
    if (!a && update.batch && !update.batch->empty()) {
        throw InputError(fmt::format("--batch {}: {} has no sample annotations (give them with "
                                     "--annotations FILE)",
                                     update.batch->front(), d.dir));
    }
    return a;
}

}  // namespace

SurveyedDirectory WriteSurvey(const std::string& dir, const SurveyOptions& options,
                              const AnnotationUpdate& update)
{
    RunDirectory read = ReadRunDirectory(dir);
    std::optional<Annotations> annotations = DirectoryAnnotations(read, update);
    SurveyedDirectory out = SurveyDirectory(std::move(read), options, std::move(annotations));
    const RunDirectory& d = out.directory;
    Outputs files;
    if (out.annotations && (update.table || update.batch))
        for (auto& f : AnnotationFiles(d.dir, *out.annotations)) files.push_back(f);
    for (const CountSurvey& c : out.survey.counts)
        if (!c.chains.empty()) ConsensusFiles(d, c, &files);
    const RunLayout layout(d.dir);
    files.push_back({layout.SurveyTsv(), out.tsv});
    // Invalid UTF-8 in a name (a Latin-1 data file) becomes U+FFFD, never an abort.
    files.push_back({layout.SurveyJson(),
                     out.json.dump(1, ' ', false, json::error_handler_t::replace) + "\n"});
    WriteAll(files);
    return out;
}

bool HasChartLibraries()
{
    return zarno_charts_js[0] != '\0';
}

void WriteReport(const SurveyedDirectory& surveyed)
{
    if (!HasChartLibraries()) {
        throw std::runtime_error("this build has no chart libraries (npm was not found when it "
                                 "was built): no report written");
    }
    WriteFileAtomic(RunLayout(surveyed.directory.dir).Report(), ReportHtml(surveyed.json));
}

}  // namespace zarno
