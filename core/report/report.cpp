// report.html: one self-contained page (the chart libraries inlined) drawn
// from survey.json's numbers. The page computes nothing; every value plotted
// is a number of the survey, carried in the chart definitions. Its markup
// is the template report/report.html; the sections that repeat per count,
// run or chart are built here.
#include <fmt/core.h>

#include <algorithm>
#include <map>
#include <string>
#include <utility>

#include "sample_charts.h"
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
    // Ticks at the counts themselves: left to choose, a narrow chart put them
    // at halves too, which "d" printed as repeated counts (3 4 4 5 5).
    json axis = {{"tickMinStep", 1}, {"format", "d"}};
    if (hi - lo <= 30) {
        json ticks = json::array();
        for (int k = lo; k <= hi; k++) ticks.push_back(k);
        axis["values"] = ticks;
    }
    return {{"field", "patterns"},
            {"type", "quantitative"},
            {"title", "pattern count"},
            {"scale", {{"domain", {lo, hi}}, {"nice", false}}},
            {"axis", axis}};
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

// The charts a page places, and their definitions for its script.
class Charts {
public:
    // A chart's element, or the note of a chart that cannot be drawn (vl null).
    std::string Place(const std::string& id, const json& vl, const std::string& missing)
    {
        if (vl.is_null()) return "<div class=\"nochart\">" + Escape(missing) + "</div>";
        views[id] = vl;
        return "<div class=\"chart\" id=\"" + id + "\"></div>";
    }
    const json& Views() const { return views; }

private:
    json views = json::object();
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

// An agreement figure against the pattern count, with the suggested count's rule.
json AgreementChart(const json& survey, const char* figure, int lo, int hi)
{
    json rules = json::array();
    AddSuggestedRule(survey, lo, hi, rules);
    return report::AgreementChart(survey, figure, PatternAxis(lo, hi), rules.empty() ? json(nullptr) : rules[0]);
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
    html += charts.Place("c_stab", StabilityChart(survey, lo, hi),
                         "stability: not measurable (one chain per pattern count)") + "\n";
    // With annotations, how the clusters follow them, beside the figures the rule weighs.
    const json ari = AgreementChart(survey, "ari", lo, hi);
    return ari.is_null() ? html : html + charts.Place("c_ari", ari, "") + "\n";
}

bool HasAnnotations(const json& survey)
{
    return survey.contains("annotations") && survey["annotations"].is_object();
}

std::string Fixed(const json& x, int digits)
{
    return x.is_number() ? fmt::format("{:.{}f}", x.get<double>(), digits) : std::string("&ndash;");
}

// A count's agreement with one column, in words: "lineage ARI 0.93" or
// "age: P2 r = -0.81".
std::string AgreementWords(const json& a)
{
    const std::string name = Escape(a["column"].get<std::string>());
    if (a["kind"] == "categories") return name + " ARI " + Fixed(a["ari"], 2);
    if (!a["best_pattern"].is_number()) return name + ": &ndash;";
    const int p = a["best_pattern"].get<int>();
    return fmt::format("{}: P{} r = {}", name, p, Fixed(a["r"][p - 1], 2));
}

// What the page says of the annotations at its top: what they are, how the
// suggested count agrees with them, their warnings and likely batch effects.
std::string AnnotationsNote(const json& survey)
{
    if (!HasAnnotations(survey))
        return "<p class=\"note\">No sample annotations: <code>zarno report DIR --annotations FILE</code> "
               "adds tracks of what is known of the samples and how the clusters and patterns follow it.</p>\n";
    const json& a = survey["annotations"];
    std::string cols;
    for (const json& c : a["columns"])
        cols += (cols.empty() ? "" : ", ") + Escape(c["name"].get<std::string>()) +
                (c["kind"] == "numbers" ? std::string(" (numbers)")
                                        : fmt::format(" ({} categories)", c["levels"].size()));
    std::string html = "<p class=\"note\" id=\"annotations\">Sample annotations from " +
                       Escape(a["source"].get<std::string>()) + ": " + cols +
                       ". The suggested count does not use them";
    const json& sug = survey["suggested_patterns"];
    for (const json& c : survey["counts"])
        if (sug.is_number() && c["patterns"] == sug && c.contains("agreement")) {
            std::string words;
            for (const json& x : c["agreement"]["columns"]) words += (words.empty() ? "" : "; ") + AgreementWords(x);
            html += "; at " + std::to_string(sug.get<int>()) + " patterns: " + words;
        }
    html += ".</p>\n";
    for (const json& w : a["warnings"]) html += "<p class=\"warn\">" + Escape(w.get<std::string>()) + "</p>\n";
    // One line per batch-like column, with every count where it shows.
    std::map<std::string, std::string> effects;
    std::vector<std::string> order;
    for (const json& e : survey["batch_effects"]) {
        const std::string col = e["column"].get<std::string>();
        if (effects.count(col) == 0) order.push_back(col);
        std::string& line = effects[col];
        line += line.empty() ? "" : "; ";
        line += e["figure"] == "ari"
                    ? fmt::format("at {} patterns the clusters (ARI {})", e["patterns"].get<int>(), Fixed(e["value"], 2))
                    : fmt::format("at {} patterns P{} ({} {})", e["patterns"].get<int>(), e["pattern"].get<int>(),
                                  e["figure"] == "r2" ? "r&sup2;" : "&eta;&sup2;", Fixed(e["value"], 2));
        if (e["flagged"].get<bool>()) line += " [flagged]";
    }
    for (const std::string& col : order)
        html += "<p class=\"warn batch\">Likely batch effect: column " + Escape(col) + " records a batch and " +
                effects[col] + " follow it.</p>\n";
    return html;
}

// The agreement section: the figures against the pattern count and a table.
std::string AgreementSection(const json& survey, Charts& charts)
{
    if (!HasAnnotations(survey))
        return "<p class=\"nochart\">No sample annotations (zarno report DIR --annotations FILE).</p>\n";
    const auto [lo, hi] = PatternRange(survey);
    // The ARI is in the rank survey's charts.
    std::string html = "<div class=\"grid\">";
    for (const auto& [id, figure] : {std::pair<const char*, const char*>{"c_nmi", "nmi"}, {"c_corr", "r"}}) {
        const json vl = AgreementChart(survey, figure, lo, hi);
        if (!vl.is_null()) html += charts.Place(id, vl, "");
    }
    html += "</div>\n<table class=\"agreement\"><thead><tr><th>patterns</th>";
    for (const json& c : survey["annotations"]["columns"]) {
        const std::string name = Escape(c["name"].get<std::string>()) + (c["batch"].get<bool>() ? " (batch)" : "");
        html += c["kind"] == "numbers" ? "<th>" + name + ": pattern, r</th>"
                                       : "<th>" + name + " ARI</th><th>" + name + " NMI</th><th>" + name +
                                             ": pattern, &eta;&sup2;</th>";
    }
    html += "<th>best</th></tr></thead><tbody>\n";
    const json& sug = survey["suggested_patterns"];
    for (const json& c : survey["counts"]) {
        html += fmt::format("<tr{}><td>{}</td>", sug.is_number() && sug == c["patterns"] ? " class=\"suggested\"" : "",
                            c["patterns"].get<int>());
        const json none = json::array();
        const json& cols = c.contains("agreement") ? c["agreement"]["columns"] : none;
        size_t i = 0;
        for (const json& col : survey["annotations"]["columns"]) {
            const json& a = i < cols.size() ? cols[i] : json(nullptr);
            i++;
            const bool numbers = col["kind"] == "numbers";
            if (!numbers)
                html += "<td>" + (a.is_null() ? std::string("&ndash;") : Fixed(a["ari"], 3)) + "</td><td>" +
                        (a.is_null() ? std::string("&ndash;") : Fixed(a["nmi"], 3)) + "</td>";
            if (a.is_null() || !a["best_pattern"].is_number()) {
                html += "<td>&ndash;</td>";
                continue;
            }
            const int p = a["best_pattern"].get<int>();
            html += fmt::format("<td>P{} {}</td>", p, Fixed(a[numbers ? "r" : "eta2"][p - 1], 3));
        }
        const json& best = c.contains("agreement") ? c["agreement"]["best"] : json(nullptr);
        html += "<td>" + (best.is_string() ? Escape(best.get<std::string>()) : std::string("&ndash;")) + "</td></tr>\n";
    }
    return html + "</tbody></table>\n";
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
std::string CountSection(const json& survey, const json& c, const json& labels, Charts& charts)
{
    const json& suggested = survey["suggested_patterns"];
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
    html += "<div class=\"grid\">" +
            charts.Place(fmt::format("k{}_samples", P), report::SampleChart(survey, c, labels),
                         fmt::format("No consensus to draw: it is in consensus/k{}/sample_consensus.tsv", P)) +
            "</div>\n";
    return html + TopGeneTables(c);
}

std::string CountSections(const json& survey, Charts& charts)
{
    const json labels = UniqueLabels(survey["sample_labels"]);
    std::string html;
    for (const json& c : survey["counts"])
        html += CountSection(survey, c, labels, charts);
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
        {"ANNOTATIONS", AnnotationsNote(survey)},
        {"AGREEMENT", AgreementSection(survey, charts)},
        {"COUNTS", CountSections(survey, charts)},
        {"TRACES", Traces(survey, charts)},
        {"RUN_ROWS", RunRows(survey)},
        {"JOB_ROWS", JobRows(survey)},
    };
    // Once every section has placed its charts.
    page["CHARTS_JSON"] = ScriptJson(charts.Views());
    return FillTemplate(zarno_report_html, page);
}

}  // namespace zarno
