// report.html: one self-contained page (the chart libraries inlined) drawn
// from survey.json's numbers. The page computes nothing; every value plotted
// is a number of the survey, carried in the chart specifications. Its markup
// is the template report/report.html; the sections that repeat per count,
// run or chart are built here.
#include <fmt/core.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "zarno/page_template.h"
#include "zarno/survey_files.h"

// The chart libraries (vega, vega-lite, vega-embed, minified, concatenated at
// build time) and the page's template, embedded into the binary so the report
// needs no network and no file beside the program (report/embedded.cpp).
extern "C" const char zarno_charts_js[];
extern "C" const char zarno_report_html[];

namespace zarno {

namespace {

using nlohmann::json;

constexpr int S_MAX_HEATMAP = 300;  // survey.json carries the consensus up to this
constexpr size_t kTopGenesShown = 10;

std::string Escape(const std::string& s)
{
    std::string out;
    for (char c : s) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        default: out += c;
        }
    }
    return out;
}

// JSON inside a <script> element: "</" could close it early; "<\/" is the same string.
std::string ScriptJson(const json& j)
{
    std::string s = j.dump(-1, ' ', false, json::error_handler_t::replace);
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] == '<' && i + 1 < s.size() && (s[i + 1] == '/' || s[i + 1] == '!'))
            out += "\\u003c";
        else
            out += s[i];
    }
    return out;
}

std::string Num(const json& x, int digits)
{
    if (!x.is_number()) return "&ndash;";
    return fmt::format("{:.{}g}", x.get<double>(), digits);
}

json Base(const std::string& title)
{
    return {{"$schema", "https://vega.github.io/schema/vega-lite/v5.json"},
            {"title", title},
            {"width", 230},
            {"height", 150}};
}

json PatternAxis(int lo, int hi)
{
    return {{"field", "patterns"},
            {"type", "quantitative"},
            {"title", "pattern count"},
            {"scale", {{"domain", {lo, hi}}, {"nice", false}}},
            {"axis", {{"tickMinStep", 1}, {"format", "d"}}}};
}

// A dashed red rule at the suggested pattern count, where there is one.
void AddSuggestedRule(const json& survey, int lo, int hi, json& layers)
{
    if (!survey["suggested_patterns"].is_number()) return;
    layers.push_back({{"data", {{"values", {{{"patterns", survey["suggested_patterns"]}}}}}},
                      {"mark", {{"type", "rule"}, {"strokeDash", {4, 4}}, {"color", "#c0392b"}}},
                      {"encoding", {{"x", PatternAxis(lo, hi)}}}});
}

// A figure against the pattern count: its median as a line, the spread over
// chains (best to worst) as a vertical bar, the suggested count as a dashed rule.
json SurveyChart(const json& survey, const std::string& title, const std::string& key,
                 bool spread, int lo, int hi)
{
    json values = json::array();
    for (const json& c : survey["counts"]) {
        const json& v = c[key];
        if (spread && v.is_object())
            values.push_back({{"patterns", c["patterns"]}, {"mid", v["median"]},
                              {"low", v["best"]}, {"high", v["worst"]}});
        else if (!spread && v.is_number())
            values.push_back({{"patterns", c["patterns"]}, {"mid", v}});
    }
    if (values.empty()) return nullptr;
    json vl = Base(title);
    json layers = json::array();
    json y = {{"field", "mid"}, {"type", "quantitative"}, {"title", spread ? "median, best to worst" : title},
              {"scale", {{"zero", false}}}};
    if (spread)
        layers.push_back({{"mark", {{"type", "rule"}, {"strokeWidth", 3}, {"opacity", 0.45}}},
                          {"encoding", {{"x", PatternAxis(lo, hi)},
                                        {"y", {{"field", "low"}, {"type", "quantitative"}}},
                                        {"y2", {{"field", "high"}}}}}});
    layers.push_back({{"mark", {{"type", "line"}, {"point", true}}},
                      {"encoding", {{"x", PatternAxis(lo, hi)}, {"y", y}}}});
    AddSuggestedRule(survey, lo, hi, layers);
    vl["data"] = {{"values", values}};
    vl["layer"] = layers;
    return vl;
}

json StabilityChart(const json& survey, int lo, int hi)
{
    json values = json::array();
    for (const json& c : survey["counts"]) {
        if (c["stability_mean"].is_number())
            values.push_back({{"patterns", c["patterns"]}, {"value", c["stability_mean"]}, {"figure", "mean silhouette"}});
        if (c["stability_min"].is_number())
            values.push_back({{"patterns", c["patterns"]}, {"value", c["stability_min"]}, {"figure", "lowest silhouette"}});
        if (c["match_min"].is_number())
            values.push_back({{"patterns", c["patterns"]}, {"value", c["match_min"]}, {"figure", "lowest matched cosine"}});
    }
    if (values.empty()) return nullptr;
    json vl = Base("pattern stability");
    vl["width"] = 300;
    json layers = json::array();
    layers.push_back({{"mark", {{"type", "line"}, {"point", true}}},
                      {"encoding", {{"x", PatternAxis(lo, hi)},
                                    {"y", {{"field", "value"}, {"type", "quantitative"}, {"title", "stability"},
                                           {"scale", {{"domain", {-1, 1}}}}}},
                                    {"color", {{"field", "figure"}, {"type", "nominal"}, {"title", nullptr}}}}}});
    const json& rule = survey["rule"];
    layers.push_back({{"data", {{"values", {{{"t", rule["min_mean_stability"]}}, {{"t", rule["min_min_stability"]}}}}}},
                      {"mark", {{"type", "rule"}, {"strokeDash", {2, 2}}, {"color", "#888"}}},
                      {"encoding", {{"y", {{"field", "t"}, {"type", "quantitative"}}}}}});
    AddSuggestedRule(survey, lo, hi, layers);
    vl["data"] = {{"values", values}};
    vl["layer"] = layers;
    return vl;
}

// The consensus in the data's sample order, drawn in the tree's leaf order.
json HeatmapChart(const json& c, const json& labels)
{
    json order = json::array();
    for (const json& i : c["sample_order_index"]) order.push_back(labels[i.get<size_t>()]);
    const json& m = c["consensus"];
    const size_t S = labels.size();
    json values = json::array();
    for (size_t i = 0; i < S; i++)
        for (size_t j = 0; j < S; j++) values.push_back({{"a", labels[i]}, {"b", labels[j]}, {"v", m[i][j]}});
    json vl = Base(fmt::format("sample consensus, {} patterns", c["patterns"].get<int>()));
    const int side = static_cast<int>(std::max<size_t>(160, std::min<size_t>(420, S * 12)));
    vl["width"] = side;
    vl["height"] = side;
    vl["data"] = {{"values", values}};
    vl["mark"] = "rect";
    vl["encoding"] = {{"x", {{"field", "a"}, {"type", "ordinal"}, {"sort", order}, {"title", nullptr}}},
                        {"y", {{"field", "b"}, {"type", "ordinal"}, {"sort", order}, {"title", nullptr}}},
                        {"color", {{"field", "v"}, {"type", "quantitative"}, {"title", "consensus"},
                                   {"scale", {{"domain", {0, 1}}, {"scheme", "blues"}}}}}};
    return vl;
}

json ProfileChart(const json& c, const json& labels)
{
    json values = json::array();
    const json& mean = c["pattern_mean"];
    const json& sd = c["pattern_sd"];
    for (size_t p = 0; p < mean.size(); p++)
        for (size_t s = 0; s < mean[p].size(); s++) {
            json v = {{"pattern", "P" + std::to_string(p + 1)}, {"sample", labels[s]}, {"mean", mean[p][s]}};
            if (sd.is_array()) {
                const double m = mean[p][s].get<double>(), d = sd[p][s].get<double>();
                v["low"] = m - d > 0 ? m - d : 0.0;
                v["high"] = m + d;
            }
            values.push_back(v);
        }
    json x = {{"field", "sample"}, {"type", "ordinal"}, {"sort", labels}, {"title", "sample"}};
    json color = {{"field", "pattern"}, {"type", "nominal"}};
    json layers = json::array();
    if (sd.is_array())
        layers.push_back({{"mark", {{"type", "area"}, {"opacity", 0.25}}},
                          {"encoding", {{"x", x}, {"y", {{"field", "low"}, {"type", "quantitative"}}},
                                        {"y2", {{"field", "high"}}}, {"color", color}}}});
    layers.push_back({{"mark", {{"type", "line"}, {"point", true}}},
                      {"encoding", {{"x", x},
                                    {"y", {{"field", "mean"}, {"type", "quantitative"}, {"title", "share of the pattern (rows sum to 1)"}}},
                                    {"color", color}}}});
    json vl = Base(fmt::format("consensus patterns, {} patterns{}", c["patterns"].get<int>(),
                                 sd.is_array() ? " (band: one standard deviation over chains)" : ""));
    vl["width"] = 480;
    vl["height"] = 200;
    vl["data"] = {{"values", values}};
    vl["layer"] = layers;
    return vl;
}

json TraceChart(const json& survey, int P)
{
    json values = json::array();
    for (const json& r : survey["runs"]) {
        if (r["patterns"] != P || !r.contains("trace")) continue;
        const json& t = r["trace"];
        for (size_t i = 0; i < t.size(); i++)
            if (t[i].is_number() && t[i].get<double>() > 0)
                values.push_back({{"chain", r["chain"]}, {"round", 10 * i}, {"chi", t[i]}});
    }
    if (values.empty()) return nullptr;
    json vl = Base(fmt::format("chi-square by round, {} patterns", P));
    vl["width"] = 300;
    vl["data"] = {{"values", values}};
    vl["mark"] = {{"type", "line"}, {"strokeWidth", 1}};
    vl["encoding"] = {{"x", {{"field", "round"}, {"type", "quantitative"}}},
                        {"y", {{"field", "chi"}, {"type", "quantitative"}, {"title", "chi-square"},
                               {"scale", {{"type", "log"}}}}},
                        {"color", {{"field", "chain"}, {"type", "nominal"}}}};
    return vl;
}

// The charts a page places, and their specifications for its script.
class Charts {
public:
    // A chart's element, or the note of a chart that cannot be drawn (vl null).
    std::string Place(const std::string& id, const json& vl, const std::string& missing)
    {
        if (vl.is_null()) return "<div class=\"nochart\">" + Escape(missing) + "</div>";
        specs[id] = vl;
        return "<div class=\"chart\" id=\"" + id + "\"></div>";
    }
    const json& Specs() const { return specs; }

private:
    json specs = json::object();
};

// The pattern counts' axis: the range surveyed, widened around a single count.
std::pair<int, int> PatternRange(const json& survey)
{
    int lo = 1 << 30, hi = 0;
    for (const json& c : survey["counts"]) {
        lo = std::min(lo, c["patterns"].get<int>());
        hi = std::max(hi, c["patterns"].get<int>());
    }
    if (lo == hi) lo = lo > 1 ? lo - 1 : lo, hi = hi + 1;
    return {lo, hi};
}

std::string MissingRuns(const json& survey)
{
    if (survey["missing_runs"].empty()) return "";
    std::string html = "<p class=\"warn\">Missing runs (" + std::to_string(survey["missing_runs"].size()) + "):";
    for (const json& m : survey["missing_runs"])
        html += fmt::format(" k{}/c{}", m["patterns"].get<int>(), m["chain"].get<int>());
    return html + ". The survey covers the runs present.</p>\n";
}

// Each figure against the pattern count, one chart per line.
std::string SurveyCharts(const json& survey, Charts& charts)
{
    const auto [lo, hi] = PatternRange(survey);
    const struct { const char* id; const char* title; const char* key; bool spread; const char* missing; } figs[] = {
        {"c_chi", "chi-square", "chi_square", true, "no chi-square"},
        {"c_dof", "chi-square per degree of freedom", "chi_square_per_dof", true,
         "chi-square per degree of freedom: not measurable (unweighted runs)"},
        {"c_ssr", "sum of squared residuals", "ssr", true, "no residual sums"},
        {"c_hold", "held-out error", "holdout_error", true, "held-out error: not measured (run with --holdout F)"},
        {"c_coph", "cophenetic correlation", "cophenetic", false,
         "cophenetic correlation: not measurable (see the table's status)"},
        {"c_disp", "dispersion", "dispersion", false, "dispersion: not measurable"},
        {"c_pac", "PAC (ambiguous sample pairs)", "pac", false, "PAC: not measurable"},
    };
    std::string html;
    for (const auto& f : figs) {
        const json vl = SurveyChart(survey, f.title, f.key, f.spread, lo, hi);
        if (vl.is_null() && std::string(f.id) == "c_hold") continue;
        html += charts.Place(f.id, vl, f.missing) + "\n";
    }
    return html + charts.Place("c_stab", StabilityChart(survey, lo, hi),
                               "stability: not measurable (one chain per pattern count)") + "\n";
}

// The survey's table, a row per pattern count.
std::string SurveyRows(const json& survey)
{
    const json& sug = survey["suggested_patterns"];
    auto yes = [](const json& b) { return b.is_boolean() ? (b.get<bool>() ? "yes" : "no") : "&ndash;"; };
    std::string html;
    for (const json& c : survey["counts"]) {
        const bool mark = sug.is_number() && sug == c["patterns"];
        const size_t total = c["chains"].size() + c["failed_chains"].size() + c["missing_chains"].size();
        html += fmt::format(
            "<tr{}><td>{}</td><td>{}/{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td>"
            "<td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td></tr>\n",
            mark ? " class=\"suggested\"" : "", c["patterns"].get<int>(), c["chains"].size(), total,
            c["chi_square"].is_object() ? Num(c["chi_square"]["best"], 6) : "&ndash;",
            c["chi_square_per_dof"].is_object() ? Num(c["chi_square_per_dof"]["best"], 4) : "&ndash;",
            c["ssr"].is_object() ? Num(c["ssr"]["best"], 6) : "&ndash;", Num(c["cophenetic"], 3),
            Num(c["dispersion"], 3), Num(c["pac"], 3), Num(c["stability_mean"], 3), Num(c["stability_min"], 3),
            yes(c["fits"]), yes(c["stable"]), Escape(c["status"].get<std::string>()));
    }
    return html;
}

// Chart axes join values by label: repeated sample labels get their position appended.
json UniqueLabels(json labels)
{
    std::map<std::string, int> seen;
    for (const json& l : labels) seen[l.get<std::string>()]++;
    for (size_t i = 0; i < labels.size(); i++)
        if (seen[labels[i].get<std::string>()] > 1)
            labels[i] = labels[i].get<std::string>() + " #" + std::to_string(i + 1);
    return labels;
}

// A table per consensus pattern of its top genes.
std::string TopGeneTables(const json& c)
{
    std::string html = "<div class=\"tops\">";
    for (size_t p = 0; p < c["top_genes"].size(); p++) {
        html += fmt::format("<table class=\"top\"><thead><tr><th colspan=\"4\">P{}</th></tr><tr><th>gene</th>"
                            "<th title=\"share x amplitude / the pattern's largest\">score</th>"
                            "<th title=\"the gene's amplitude here / its amplitudes summed\">share</th>"
                            "<th>amplitude</th></tr></thead><tbody>", p + 1);
        const json& list = c["top_genes"][p];
        if (list.empty()) html += "<tr><td colspan=\"4\">no gene has its largest share here</td></tr>";
        for (size_t r = 0; r < list.size() && r < kTopGenesShown; r++) {
            const json& t = list[r];
            html += "<tr><td>" + Escape(t["gene"].get<std::string>()) + "</td><td>" + Num(t["score"], 3) +
                    "</td><td>" + Num(t["share"], 3) + "</td><td>" + Num(t["amplitude"], 4) + "</td></tr>";
        }
        html += "</tbody></table>";
    }
    return html + "</div>\n";
}

// One pattern count: its status, the chains used, the consensus and its
// patterns, the top genes.
std::string CountSection(const json& c, const json& suggested, const json& labels, Charts& charts)
{
    const int P = c["patterns"].get<int>();
    std::string html = fmt::format("<h3 id=\"k{0}\">{0} pattern{1}{2}</h3>\n", P, P > 1 ? "s" : "",
                                   suggested.is_number() && suggested.get<int>() == P ? " (suggested)" : "");
    html += "<p class=\"status\">Status: " + Escape(c["status"].get<std::string>()) + "</p>\n";
    if (!c.contains("consensus")) return html;
    json outl = json::array();
    for (const json& m : c["chain_matches"])
        if (m["outlier"].get<bool>()) outl.push_back(m["chain"]);
    html += fmt::format("<p>Chains used in the consensus: {} of {}{}.</p>\n", c["chains_used"].get<int>(),
                        c["chains"].size(), outl.empty() ? "" : "; outliers left out: " + outl.dump());
    const json h = c["consensus"].is_array() ? HeatmapChart(c, labels) : json(nullptr);
    html += "<div class=\"grid\">" +
            charts.Place(fmt::format("k{}_heat", P), h,
                         fmt::format("More than {} samples: the consensus is in consensus/k{}/sample_consensus.tsv",
                                     S_MAX_HEATMAP, P)) +
            charts.Place(fmt::format("k{}_prof", P), ProfileChart(c, labels), "") + "</div>\n";
    return html + TopGeneTables(c);
}

std::string CountSections(const json& survey, Charts& charts)
{
    const json labels = UniqueLabels(survey["sample_labels"]);
    std::string html;
    for (const json& c : survey["counts"])
        html += CountSection(c, survey["suggested_patterns"], labels, charts);
    return html;
}

// Chi-square by round per pattern count, where the runs kept traces.
std::string Traces(const json& survey, Charts& charts)
{
    bool anyTrace = false;
    std::string traces = "<div class=\"grid\">";
    for (const json& c : survey["counts"]) {
        const json t = TraceChart(survey, c["patterns"].get<int>());
        if (t.is_null()) continue;
        anyTrace = true;
        traces += charts.Place(fmt::format("k{}_trace", c["patterns"].get<int>()), t, "");
    }
    traces += "</div>\n";
    return anyTrace ? "<p>Chi-square every 10 rounds, one line per chain: a flat end means the run had converged.</p>" + traces
                    : "<p class=\"nochart\">No traces: the runs did not keep them (zarno run --trace).</p>\n";
}

std::string RunRows(const json& survey)
{
    std::string html;
    for (const json& r : survey["runs"]) {
        auto field = [&](const char* k, int d) { return r.contains(k) ? Num(r[k], d) : std::string("&ndash;"); };
        html += fmt::format("<tr><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td>"
                            "<td>{}</td><td>{}</td><td>{}</td></tr>\n",
                            r["patterns"].get<int>(), r["chain"].get<int>(), Escape(r["status"].get<std::string>()),
                            field("chi_square", 8), field("ssr", 8), field("holdout_error", 6),
                            field("rounds", 10), field("seconds", 3), field("seed_a", 12), field("seed_p", 12));
    }
    return html;
}

// The job: its directory, data, settings, checksums, version and rule.
std::string JobRows(const json& survey)
{
    std::string html = "<tr><th>directory</th><td>" + Escape(survey["directory"].get<std::string>()) + "</td></tr>\n";
    html += fmt::format("<tr><th>data</th><td>{} genes x {} samples</td></tr>\n", survey["genes"].get<int>(),
                        survey["samples"].get<int>());
    for (const auto& [k, v] : survey["job"].items())
        html += "<tr><th>" + Escape(k) + "</th><td>" + Escape(v.is_string() ? v.get<std::string>() : v.dump(-1, ' ', false, json::error_handler_t::replace)) +
                "</td></tr>\n";
    html += "<tr><th>data SHA-256</th><td>" + Escape(survey["data_sha256"].get<std::string>()) + "</td></tr>\n";
    html += "<tr><th>uncertainties SHA-256</th><td>" + Escape(survey["uncert_sha256"].get<std::string>()) +
            "</td></tr>\n";
    html += "<tr><th>version</th><td>" + Escape(survey["version"].get<std::string>()) + "</td></tr>\n";
    return html + "<tr><th>suggestion rule</th><td>" + Escape(survey["rule"].dump()) + "</td></tr>\n";
}

}  // namespace

std::string ReportHtml(const json& survey)
{
    const json& sug = survey["suggested_patterns"];
    Charts charts;
    std::map<std::string, std::string> page = {
        {"CHARTS_JS", zarno_charts_js},
        {"SUGGESTED_VALUE", sug.is_number() ? std::to_string(sug.get<int>()) : std::string("null")},
        {"SUGGESTED", sug.is_number() ? std::to_string(sug.get<int>()) : std::string("none")},
        {"SUGGESTION_NOTE", Escape(survey["suggestion_note"].get<std::string>())},
        {"MISSING_RUNS", MissingRuns(survey)},
        {"SURVEY_CHARTS", SurveyCharts(survey, charts)},
        {"SURVEY_ROWS", SurveyRows(survey)},
        {"COUNTS", CountSections(survey, charts)},
        {"TRACES", Traces(survey, charts)},
        {"RUN_ROWS", RunRows(survey)},
        {"JOB_ROWS", JobRows(survey)},
    };
    // Once every section has placed its charts.
    page["SPECS_JSON"] = ScriptJson(charts.Specs());
    return FillTemplate(zarno_report_html, page);
}

}  // namespace zarno
