// report.html: one self-contained page (the chart libraries inlined) drawn
// from survey.json's numbers. The page computes nothing; every value plotted
// is a number of the survey, carried in the chart specifications.
#include <fmt/core.h>

#include <algorithm>
#include <map>
#include <string>

#include "zarno/survey_files.h"

// The chart libraries (vega, vega-lite, vega-embed, minified, concatenated at
// build time), embedded into the binary so the report needs no network.
extern "C" const char zarno_charts_js[];

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

}  // namespace

std::string ReportHtml(const json& survey)
{
    json specs = json::object();
    std::string body;
    int lo = 1 << 30, hi = 0;
    for (const json& c : survey["counts"]) {
        lo = std::min(lo, c["patterns"].get<int>());
        hi = std::max(hi, c["patterns"].get<int>());
    }
    if (lo == hi) lo = lo > 1 ? lo - 1 : lo, hi = hi + 1;
    auto chart = [&](const std::string& id, const json& vl, const std::string& missing) {
        if (vl.is_null()) return "<div class=\"nochart\">" + Escape(missing) + "</div>";
        specs[id] = vl;
        return "<div class=\"chart\" id=\"" + id + "\"></div>";
    };

    const json& sug = survey["suggested_patterns"];
    body += "<h1>ZARNO rank survey</h1>\n";
    body += "<p class=\"lead\">Suggested pattern count: <strong id=\"suggested\" data-value=\"" +
            (sug.is_number() ? std::to_string(sug.get<int>()) : std::string("null")) + "\">" +
            (sug.is_number() ? std::to_string(sug.get<int>()) : std::string("none")) +
            "</strong></p>\n<p class=\"note\">" + Escape(survey["suggestion_note"].get<std::string>()) + "</p>\n";
    if (!survey["missing_runs"].empty()) {
        body += "<p class=\"warn\">Missing runs (" + std::to_string(survey["missing_runs"].size()) + "):";
        for (const json& m : survey["missing_runs"])
            body += fmt::format(" k{}/c{}", m["patterns"].get<int>(), m["chain"].get<int>());
        body += ". The survey covers the runs present.</p>\n";
    }
    body += "<nav>Sections: <a href=\"#survey\">rank survey</a> &middot; <a href=\"#counts\">per pattern count</a>"
            " &middot; <a href=\"#traces\">convergence</a> &middot; <a href=\"#runs\">runs</a> &middot; "
            "<a href=\"#job\">job</a></nav>\n";

    // The rank survey.
    body += "<h2 id=\"survey\">Rank survey</h2>\n<p>Each figure against the pattern count; lines join the "
            "median over chains, bars span best to worst chain, the dashed red line marks the suggested count. "
            "How to read them: the fit figures fall as patterns are added; with honest uncertainties chi-square "
            "per degree of freedom falls to about 1 once the fit reaches the noise. Stability (cosine silhouette "
            "of the patterns matched across chains, 1 = every chain found the same patterns) drops once the "
            "count is larger than the data support; dashed grey lines are the rule's thresholds. Cophenetic "
            "correlation near 1, dispersion near 1 and a PAC near 0 mean the chains group the samples the same "
            "way.</p>\n<div class=\"grid\">\n";
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
    for (const auto& f : figs) {
        const json vl = SurveyChart(survey, f.title, f.key, f.spread, lo, hi);
        if (vl.is_null() && std::string(f.id) == "c_hold") continue;
        body += chart(f.id, vl, f.missing) + "\n";
    }
    body += chart("c_stab", StabilityChart(survey, lo, hi),
                  "stability: not measurable (one chain per pattern count)") + "\n</div>\n";

    // The table of the survey.
    body += "<table class=\"survey\"><thead><tr><th>patterns</th><th>chains</th><th>chi-square best</th>"
            "<th>chi-square/dof best</th><th>ssr best</th><th>cophenetic</th><th>dispersion</th><th>PAC</th>"
            "<th>stability mean</th><th>stability min</th><th>fits</th><th>stable</th><th>status</th></tr></thead><tbody>\n";
    auto yes = [](const json& b) { return b.is_boolean() ? (b.get<bool>() ? "yes" : "no") : "&ndash;"; };
    for (const json& c : survey["counts"]) {
        const bool mark = sug.is_number() && sug == c["patterns"];
        const size_t total = c["chains"].size() + c["failed_chains"].size() + c["missing_chains"].size();
        body += fmt::format(
            "<tr{}><td>{}</td><td>{}/{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td>"
            "<td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td></tr>\n",
            mark ? " class=\"suggested\"" : "", c["patterns"].get<int>(), c["chains"].size(), total,
            c["chi_square"].is_object() ? Num(c["chi_square"]["best"], 6) : "&ndash;",
            c["chi_square_per_dof"].is_object() ? Num(c["chi_square_per_dof"]["best"], 4) : "&ndash;",
            c["ssr"].is_object() ? Num(c["ssr"]["best"], 6) : "&ndash;", Num(c["cophenetic"], 3),
            Num(c["dispersion"], 3), Num(c["pac"], 3), Num(c["stability_mean"], 3), Num(c["stability_min"], 3),
            yes(c["fits"]), yes(c["stable"]), Escape(c["status"].get<std::string>()));
    }
    body += "</tbody></table>\n";

    // Per pattern count.
    body += "<h2 id=\"counts\">Per pattern count</h2>\n<p>The sample consensus is the share of chains that put "
            "two samples in the same pattern (a sample belongs to the pattern contributing most to it), rows and "
            "columns ordered by its average-linkage tree: clean blocks mean a clear grouping. Consensus patterns "
            "are the means of the matched patterns over the chains kept (outlier chains left out), with their "
            "standard deviation. Top genes rank the genes by the z-score of their consensus amplitudes across "
            "the patterns.</p>\n";
    // Chart axes join values by label: repeated sample labels get their position appended.
    json labels = survey["sample_labels"];
    {
        std::map<std::string, int> seen;
        for (const json& l : labels) seen[l.get<std::string>()]++;
        for (size_t i = 0; i < labels.size(); i++)
            if (seen[labels[i].get<std::string>()] > 1)
                labels[i] = labels[i].get<std::string>() + " #" + std::to_string(i + 1);
    }
    for (const json& c : survey["counts"]) {
        const int P = c["patterns"].get<int>();
        body += fmt::format("<h3 id=\"k{0}\">{0} pattern{1}{2}</h3>\n", P, P > 1 ? "s" : "",
                            sug.is_number() && sug.get<int>() == P ? " (suggested)" : "");
        body += "<p class=\"status\">Status: " + Escape(c["status"].get<std::string>()) + "</p>\n";
        if (!c.contains("consensus")) continue;
        json outl = json::array();
        for (const json& m : c["chain_matches"])
            if (m["outlier"].get<bool>()) outl.push_back(m["chain"]);
        body += fmt::format("<p>Chains used in the consensus: {} of {}{}.</p>\n", c["chains_used"].get<int>(),
                            c["chains"].size(), outl.empty() ? "" : "; outliers left out: " + outl.dump());
        const json h = c["consensus"].is_array() ? HeatmapChart(c, labels) : json(nullptr);
        body += "<div class=\"grid\">" +
                chart(fmt::format("k{}_heat", P), h,
                      fmt::format("More than {} samples: the consensus is in consensus/k{}/sample_consensus.tsv",
                                  S_MAX_HEATMAP, P)) +
                chart(fmt::format("k{}_prof", P), ProfileChart(c, labels), "") + "</div>\n";
        body += "<div class=\"tops\">";
        for (size_t p = 0; p < c["top_genes"].size(); p++) {
            body += fmt::format("<table class=\"top\"><thead><tr><th colspan=\"3\">P{}</th></tr><tr><th>gene</th>"
                                "<th>z</th><th>amplitude</th></tr></thead><tbody>", p + 1);
            const json& list = c["top_genes"][p];
            for (size_t r = 0; r < list.size() && r < kTopGenesShown; r++) {
                const json& t = list[r];
                body += "<tr><td>" + Escape(t["gene"].get<std::string>()) + "</td><td>" + Num(t["zscore"], 3) +
                        "</td><td>" + Num(t["amplitude"], 4) + "</td></tr>";
            }
            body += "</tbody></table>";
        }
        body += "</div>\n";
    }

    // Convergence.
    body += "<h2 id=\"traces\">Convergence</h2>\n";
    bool anyTrace = false;
    std::string traces = "<div class=\"grid\">";
    for (const json& c : survey["counts"]) {
        const json t = TraceChart(survey, c["patterns"].get<int>());
        if (t.is_null()) continue;
        anyTrace = true;
        traces += chart(fmt::format("k{}_trace", c["patterns"].get<int>()), t, "");
    }
    traces += "</div>\n";
    body += anyTrace ? "<p>Chi-square every 10 rounds, one line per chain: a flat end means the run had converged.</p>" + traces
                     : "<p class=\"nochart\">No traces: the runs did not keep them (zarno run --trace).</p>\n";

    // Runs and the job.
    body += "<h2 id=\"runs\">Runs</h2>\n<table class=\"runs\"><thead><tr><th>patterns</th><th>chain</th>"
            "<th>status</th><th>chi-square</th><th>ssr</th><th>held-out error</th><th>rounds</th><th>seconds</th>"
            "<th>seed A</th><th>seed P</th></tr></thead><tbody>\n";
    for (const json& r : survey["runs"]) {
        auto field = [&](const char* k, int d) { return r.contains(k) ? Num(r[k], d) : std::string("&ndash;"); };
        body += fmt::format("<tr><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td><td>{}</td>"
                            "<td>{}</td><td>{}</td><td>{}</td></tr>\n",
                            r["patterns"].get<int>(), r["chain"].get<int>(), Escape(r["status"].get<std::string>()),
                            field("chi_square", 8), field("ssr", 8), field("holdout_error", 6),
                            field("rounds", 10), field("seconds", 3), field("seed_a", 12), field("seed_p", 12));
    }
    body += "</tbody></table>\n<h2 id=\"job\">Job</h2>\n<table class=\"job\"><tbody>\n";
    body += "<tr><th>directory</th><td>" + Escape(survey["directory"].get<std::string>()) + "</td></tr>\n";
    body += fmt::format("<tr><th>data</th><td>{} genes x {} samples</td></tr>\n", survey["genes"].get<int>(),
                        survey["samples"].get<int>());
    for (const auto& [k, v] : survey["job"].items())
        body += "<tr><th>" + Escape(k) + "</th><td>" + Escape(v.is_string() ? v.get<std::string>() : v.dump(-1, ' ', false, json::error_handler_t::replace)) +
                "</td></tr>\n";
    body += "<tr><th>data SHA-256</th><td>" + Escape(survey["data_sha256"].get<std::string>()) + "</td></tr>\n";
    body += "<tr><th>uncertainties SHA-256</th><td>" + Escape(survey["uncert_sha256"].get<std::string>()) +
            "</td></tr>\n";
    body += "<tr><th>version</th><td>" + Escape(survey["version"].get<std::string>()) + "</td></tr>\n";
    body += "<tr><th>suggestion rule</th><td>" + Escape(survey["rule"].dump()) + "</td></tr>\n</tbody></table>\n";

    std::string html =
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">\n<title>ZARNO rank survey</title>\n"
        "<style>body{font:14px/1.45 system-ui,sans-serif;margin:24px auto;max-width:1200px;padding:0 16px;color:#222}"
        "h2{border-bottom:1px solid #ccc;margin-top:2em}.lead{font-size:20px}.note,.status{color:#555}"
        ".warn{color:#a04000}.grid{display:flex;flex-wrap:wrap;gap:12px;align-items:flex-start}"
        ".nochart{color:#777;font-style:italic;padding:8px;border:1px dashed #ccc;width:230px}"
        "table{border-collapse:collapse;margin:8px 0}td,th{border:1px solid #ddd;padding:2px 6px;text-align:right}"
        "th{background:#f4f4f4}tr.suggested{background:#fdecea;font-weight:bold}.tops{display:flex;flex-wrap:wrap;gap:8px}"
        "table.top td:first-child,table.job td,table.job th,table.runs td:nth-child(3){text-align:left}</style>\n"
        "<script>";
    html += zarno_charts_js;
    html += "</script>\n</head><body>\n" + body;
    html += "<script type=\"application/json\" id=\"zarno-specs\">" + ScriptJson(specs) + "</script>\n";
    html += R"(<script>
(function () {
  var specs = JSON.parse(document.getElementById('zarno-specs').textContent);
  var ids = Object.keys(specs);
  Promise.all(ids.map(function (id) {
    return vegaEmbed('#' + id, specs[id], {actions: false, renderer: 'svg'}).catch(function (e) {
      console.error('chart ' + id + ' failed: ' + e);
    });
  })).then(function () { document.body.setAttribute('data-charts', String(ids.length)); });
})();
</script>
</body></html>
)";
    return html;
}

}  // namespace zarno
