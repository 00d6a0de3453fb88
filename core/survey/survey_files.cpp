// `zarno survey` and `zarno report` (see survey_cmd.h).
#include "zarno/survey_files.h"

#include "zarno/cluster_plan.h"

#include <fmt/core.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <utility>

namespace fs = std::filesystem;

// The chart libraries' bundle (charts_blob.cpp); empty in a build without npm.
extern "C" const char zarno_charts_js[];

namespace zarno {

namespace {

using nlohmann::json;

// Samples up to which survey.json carries the consensus matrix (and the
// report draws it).
constexpr int kConsensusInJson = 300;

json Opt(const std::optional<double>& x) { return x ? json(*x) : json(nullptr); }
json Opt(const std::optional<bool>& x) { return x ? json(*x) : json(nullptr); }
json SpreadJson(const std::optional<Spread>& s)
{
    if (!s) return nullptr;
    return {{"best", s->best}, {"median", s->median}, {"worst", s->worst}};
}

std::string Na(const std::optional<double>& x) { return x ? NumberText(*x) : "NA"; }
std::string Na(const std::optional<bool>& x) { return x ? (*x ? "yes" : "no") : "NA"; }

std::string Label(const std::vector<std::string>& names, int i, char prefix)
{
    return i < static_cast<int>(names.size()) ? names[i] : prefix + std::to_string(i + 1);
}

// Files to write, all prepared before the first is written.
using Outputs = std::vector<std::pair<std::string, std::string>>;

// Each file goes to a temporary name and is renamed, so a reader never sees a
// half-written one.
bool WriteAll(const Outputs& files)
{
    for (const auto& [path, text] : files) {
        std::error_code ec;
        fs::create_directories(fs::path(path).parent_path(), ec);
        const std::string tmp = path + ".tmp";
        {
            std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
            out << text;
            out.close();
            if (!out) {
                std::fprintf(stderr, "zarno: %s: cannot be written\n", tmp.c_str());
                fs::remove(tmp, ec);
                return false;
            }
        }
        fs::rename(tmp, path, ec);
        if (ec) {
            std::fprintf(stderr, "zarno: %s: cannot be written (%s)\n", path.c_str(),
                         ec.message().c_str());
            fs::remove(tmp, ec);
            return false;
        }
    }
    return true;
}

std::string MatrixTsv(const std::string& corner, const std::vector<std::string>& rowNames,
                      const std::vector<std::string>& colNames, const std::vector<double>& m,
                      bool valid)
{
    std::string out = corner;
    for (const auto& c : colNames) out += "\t" + c;
    out += "\n";
    const size_t C = colNames.size();
    for (size_t r = 0; r < rowNames.size(); r++) {
        out += rowNames[r];
        for (size_t c = 0; c < C; c++) out += "\t" + (valid ? NumberText(m[r * C + c]) : "NA");
        out += "\n";
    }
    return out;
}

void ConsensusFiles(const RunDirectory& d, const CountSurvey& c, Outputs* files)
{
    const SurveyData& data = d.data;
    const int P = c.patterns, S = data.samples, G = data.genes;
    const std::string base = d.dir + "/consensus/k" + std::to_string(P) + "/";
    std::vector<std::string> pnames, samples, genes;
    for (int p = 0; p < P; p++) pnames.push_back("P" + std::to_string(p + 1));
    for (int s = 0; s < S; s++) samples.push_back(Label(data.sampleLabels, s, 's'));
    for (int g = 0; g < G; g++) genes.push_back(Label(data.geneNames, g, 'g'));
    files->push_back({base + "patterns.tsv", MatrixTsv("pattern", pnames, samples, c.patternMean, true)});
    files->push_back({base + "patterns_sd.tsv", MatrixTsv("pattern", pnames, samples, c.patternSd, c.hasSd)});
    files->push_back({base + "amplitudes.tsv", MatrixTsv("gene", genes, pnames, c.amplitudeMean, true)});
    files->push_back({base + "amplitudes_sd.tsv", MatrixTsv("gene", genes, pnames, c.amplitudeSd, c.hasSd)});
    std::string top = "pattern\trank\tgene\tzscore\tamplitude\n";
    for (int p = 0; p < P; p++)
        for (size_t k = 0; k < c.topGenes[p].size(); k++) {
            const TopGene& t = c.topGenes[p][k];
            top += fmt::format("P{}\t{}\t{}\t{}\t{}\n", p + 1, k + 1, genes[t.gene], Na(t.zscore),
                               NumberText(t.amplitude));
        }
    files->push_back({base + "top_genes.tsv", top});
    // The consensus in the leaf order of its linkage tree, as it is looked at.
    std::vector<std::string> ordered;
    std::vector<double> m;
    for (int i : c.sampleOrder) ordered.push_back(samples[i]);
    for (int i : c.sampleOrder)
        for (int j : c.sampleOrder) m.push_back(c.consensus[static_cast<size_t>(i) * S + j]);
    files->push_back({base + "sample_consensus.tsv", MatrixTsv("sample", ordered, ordered, m, true)});
}

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
            return NumberText(which == 0 ? x->best : which == 1 ? x->median : x->worst);
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

void PrintTable(const RunDirectory& d, const Survey& s)
{
    bool weighted = false;
    for (const CountSurvey& c : s.counts) weighted = weighted || c.weighted;
    auto num = [](const std::optional<double>& x, int width, int digits) {
        return x ? fmt::format("{:>{}.{}f}", *x, width, digits) : fmt::format("{:>{}}", "-", width);
    };
    fmt::print("Survey of {} ({} pattern counts)\n", d.dir, s.counts.size());
    fmt::print("{:>3} {:>6} {:>12} {:>12} {:>7} {:>7} {:>6} {:>7} {:>7}  {}\n", "P", "chains",
               weighted ? "chi2/dof" : "chi2 best", "ssr best", "coph", "disp", "PAC",
               "stab", "stabmin", "status");
    for (const CountSurvey& c : s.counts) {
        std::optional<double> fit;
        if (weighted && c.chiSquarePerDof) fit = c.chiSquarePerDof->best;
        if (!weighted && c.chiSquare) fit = c.chiSquare->best;
        std::optional<double> ssr;
        if (c.ssr) ssr = c.ssr->best;
        const bool mark = s.suggested && *s.suggested == c.patterns;
        fmt::print("{:>3} {:>6} {} {} {} {} {} {} {}  {}{}\n", c.patterns,
                   fmt::format("{}/{}", c.chains.size(),
                               c.chains.size() + c.failedChains.size() + c.missingChains.size()),
                   num(fit, 12, weighted ? 4 : 2), num(ssr, 12, 2), num(c.cophenetic, 7, 3),
                   num(c.dispersion, 7, 3), num(c.pac, 6, 3), num(c.meanStability, 7, 3),
                   num(c.minStability, 7, 3), c.Status(), mark ? "  <- suggested" : "");
    }
    if (!d.missing.empty()) {
        fmt::print("Missing runs ({}):", d.missing.size());
        for (const auto& m : d.missing) fmt::print(" k{}/c{}", m.first, m.second);
        fmt::print("\n");
    }
    if (s.suggested)
        fmt::print("Suggested pattern count: {} ({})\n", *s.suggested, s.note);
    else
        fmt::print("Suggested pattern count: none ({})\n", s.note);
}

// Reads and surveys DIR; on a bad directory prints the message and returns false.
bool Load(const std::string& dir, RunDirectory* d, Survey* s, const SurveyOptions& options)
{
    try {
        *d = ReadRunDirectory(dir);
    } catch (const RunDirError& e) {
        std::fprintf(stderr, "zarno: %s\n", e.what());
        return false;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "zarno: %s: %s\n", dir.c_str(), e.what());
        return false;
    }
    *s = RunSurvey(d->data, d->runs, options);
    return true;
}

Outputs SurveyOutputs(const RunDirectory& d, const Survey& s, const json& j)
{
    Outputs files;
    for (const CountSurvey& c : s.counts)
        if (!c.chains.empty()) ConsensusFiles(d, c, &files);
    files.push_back({d.dir + "/survey.tsv", SurveyTsv(s)});
    // Invalid UTF-8 in a name (a Latin-1 data file) becomes U+FFFD, never an abort.
    files.push_back({d.dir + "/survey.json",
                     j.dump(1, ' ', false, json::error_handler_t::replace) + "\n"});
    return files;
}

}  // namespace

json SurveyJson(const RunDirectory& d, const Survey& s, const SurveyOptions& o)
{
    const SurveyData& data = d.data;
    json j;
    j["suggested_patterns"] = s.suggested ? json(*s.suggested) : json(nullptr);
    j["suggestion_note"] = s.note;
    j["rule"] = {{"min_mean_stability", o.minMeanStability},
                 {"min_min_stability", o.minMinStability},
                 {"min_one_pattern_match", o.minOnePatternMatch},
                 {"fit_tolerance", o.fitTolerance},
                 {"outlier_mads", o.outlierMads},
                 {"outlier_floor", o.outlierFloor}};
    j["directory"] = d.dir;
    j["job"] = d.job;
    j["genes"] = data.genes;
    j["samples"] = data.samples;
    j["sample_labels"] = data.sampleLabels;
    j["data_sha256"] = d.dataSha256;
    j["uncert_sha256"] = d.uncertSha256;
    std::string version;
    if (d.job.contains("version") && d.job["version"].is_string())
        version = d.job["version"].get<std::string>();
    else if (!d.records.empty() && d.records.front().meta.contains("version") &&
             d.records.front().meta["version"].is_string())
        version = d.records.front().meta["version"].get<std::string>();
    j["version"] = version;
    j["missing_runs"] = json::array();
    for (const auto& m : d.missing) j["missing_runs"].push_back({{"patterns", m.first}, {"chain", m.second}});
    json counts = json::array();
    for (const CountSurvey& c : s.counts) {
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
        if (!c.chains.empty()) {
            const int S = data.samples, P = c.patterns;
            json order = json::array();
            for (int i : c.sampleOrder) order.push_back(Label(data.sampleLabels, i, 's'));
            k["sample_order"] = order;
            k["sample_order_index"] = c.sampleOrder;
            // The whole matrix only where a heatmap of it can be read; it is
            // always in consensus/k<P>/sample_consensus.tsv.
            if (S <= kConsensusInJson) {
                json m = json::array();
                for (int i = 0; i < S; i++)
                    m.push_back(std::vector<double>(c.consensus.begin() + static_cast<long>(i) * S,
                                                    c.consensus.begin() + static_cast<long>(i + 1) * S));
                k["consensus"] = m;
            } else {
                k["consensus"] = nullptr;
            }
            json pm = json::array(), psd = json::array();
            for (int p = 0; p < P; p++) {
                pm.push_back(std::vector<double>(c.patternMean.begin() + static_cast<long>(p) * S,
                                                 c.patternMean.begin() + static_cast<long>(p + 1) * S));
                if (c.hasSd)
                    psd.push_back(std::vector<double>(c.patternSd.begin() + static_cast<long>(p) * S,
                                                      c.patternSd.begin() + static_cast<long>(p + 1) * S));
            }
            k["pattern_mean"] = pm;
            k["pattern_sd"] = c.hasSd ? psd : json(nullptr);
            json top = json::array();
            for (int p = 0; p < P; p++) {
                json list = json::array();
                for (const TopGene& t : c.topGenes[p])
                    list.push_back({{"gene", Label(data.geneNames, t.gene, 'g')},
                                    {"zscore", Opt(t.zscore)},
                                    {"amplitude", t.amplitude}});
                top.push_back(list);
            }
            k["top_genes"] = top;
        }
        counts.push_back(k);
    }
    j["counts"] = counts;
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
    j["runs"] = runs;
    return j;
}

int RunSurveyCommand(const std::string& dir, bool quiet)
{
    RunDirectory d;
    Survey s;
    const SurveyOptions options;
    if (!Load(dir, &d, &s, options)) return 2;
    const json j = SurveyJson(d, s, options);
    if (!WriteAll(SurveyOutputs(d, s, j))) return 2;
    if (!quiet) {
        PrintTable(d, s);
        fmt::print("{}", MissingRuns(d.dir));
        fmt::print("Written: {}/survey.tsv, {}/survey.json, {}/consensus/\n", d.dir, d.dir, d.dir);
    }
    return 0;
}

int RunReportCommand(const std::string& dir, bool quiet)
{
    if (zarno_charts_js[0] == '\0') {
        std::fprintf(stderr, "zarno: this build has no chart libraries (npm was not found when it "
                             "was built): no report written; zarno survey %s gives the survey\n",
                     dir.c_str());
        return 2;
    }
    RunDirectory d;
    Survey s;
    const SurveyOptions options;
    if (!Load(dir, &d, &s, options)) return 2;
    const json j = SurveyJson(d, s, options);
    Outputs files = SurveyOutputs(d, s, j);
    files.push_back({d.dir + "/report.html", ReportHtml(j)});
    if (!WriteAll(files)) return 2;
    if (!quiet) {
        PrintTable(d, s);
        fmt::print("{}", MissingRuns(d.dir));
        fmt::print("Report: {}/report.html\n", d.dir);
    }
    return 0;
}

}  // namespace zarno
