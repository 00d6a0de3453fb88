// The report's charts over the samples: one sample order for the tracks, the
// heatmap and the profiles; the annotations' tracks, legend and tooltips; the
// agreement panel; blocks and thinned labels for many samples.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cctype>
#include <cmath>
#include <set>

#include "zarno/survey_files.h"

using nlohmann::json;

namespace {

constexpr double kLabelSpacing = 12.0;  // the report's, in pixels

// Three patterns, each owning a third of S samples, in 3 identical chains
// for each count 2 and 3; with annotations: a lineage (the thirds, under an
// awkward name), an age (numbers, one missing) and a plate (the thirds too,
// named like a batch).
struct Study {
    int S = 0;
    json survey;
    json specs;
    std::string html;

    explicit Study(int samples, bool annotate = true) : S(samples)
    {
        const int G = 12;
        zarno::SurveyData data;
        data.genes = G;
        data.samples = S;
        data.cells = static_cast<long long>(G) * S;
        for (int s = 0; s < S; s++) data.sampleLabels.push_back("s" + std::to_string(s + 1));
        std::vector<zarno::SurveyRun> runs;
        for (int P = 2; P <= 3; P++)
            for (int c = 1; c <= 3; c++) {
                zarno::SurveyRun r;
                r.patterns = P;
                r.chain = c;
                r.weighted = true;
                r.chiSquare = data.cells - 1.0;
                r.ssr = 1.0;
                for (int g = 0; g < G; g++)
                    for (int p = 0; p < P; p++) r.amplitudes.push_back(g % P == p ? 5.0 + g : 0.5);
                for (int p = 0; p < P; p++) {
                    double sum = 0.0;
                    std::vector<double> row(S);
                    for (int s = 0; s < S; s++)
                        sum += row[s] = std::min(Group(s), P - 1) == p ? 1.0 + 0.01 * s : 0.02;
                    for (double& x : row) r.patternRows.push_back(x / sum);
                }
                runs.push_back(r);
            }
        zarno::RunDirectory d;
        d.dir = "study";
        d.data = data;
        d.runs = runs;
        const zarno::Survey s = zarno::RunSurvey(data, runs);
        survey = zarno::SurveyJson(d, s, {});
        if (annotate) {
            zarno::AnnotationTable t;
            t.source = "notes.tsv";
            t.columns = {"lin\"e'age</script>", "age", "plate"};
            for (int i = 0; i < S; i++) {
                t.labels.push_back(data.sampleLabels[i]);
                t.cells.push_back({"L" + std::to_string(Group(i)), i == 1 ? "NA" : std::to_string(20 + i % 37) + ".5",
                                   "p" + std::to_string(Group(i))});
            }
            const zarno::Annotations a = zarno::MatchAnnotations(t, data.sampleLabels);
            zarno::AddAgreementJson(a, zarno::AgreementOf(a, s), &survey);
        }
        html = zarno::ReportHtml(survey);
        const std::string open = "<script type=\"application/json\" id=\"zarno-specs\">";
        const size_t from = html.rfind(open);
        specs = json::parse(html.substr(from + open.size(), html.find("</script>", from) - from - open.size()));
    }
    int Group(int s) const { return 3 * s / S; }
    const json& Count(int P) const
    {
        for (const json& c : survey["counts"])
            if (c["patterns"] == P) return c;
        throw std::runtime_error("no such count");
    }
    // The views of a count's chart, by what they draw.
    json View(int P, const std::string& layer) const
    {
        for (const json& v : specs["k" + std::to_string(P) + "_samples"]["vconcat"])
            if (v.contains("layer"))
                for (const json& l : v["layer"])
                    if (l.value("name", "") == layer) return v;
        return nullptr;
    }
};

}  // namespace

TEST(ReportSamples, TracksHeatmapAndProfilesShareOneSampleOrder)
{
    const Study st(9);
    const json& k3 = st.Count(3);
    const json& spec = st.specs["k3_samples"];
    const json& order = k3["sample_order_index"];
    const json& units = spec["datasets"]["units"];
    ASSERT_EQ(units.size(), 9u);
    // A track per column after the clusters', then the heatmap, the profiles, the legend.
    EXPECT_EQ(spec["vconcat"].size(), 4u + 3u);
    for (int t = 0; t <= 3; t++) EXPECT_FALSE(st.View(3, "track" + std::to_string(t)).is_null()) << t;
    const json& notes = st.survey["annotations"]["columns"];
    for (size_t i = 0; i < units.size(); i++) {
        const size_t s = order[i].get<size_t>();
        EXPECT_EQ(units[i]["x"], i);
        EXPECT_EQ(units[i]["l"], "s" + std::to_string(s + 1));
        EXPECT_EQ(units[i]["t0"], std::to_string(k3["clusters"][s].get<int>()));
        EXPECT_EQ(units[i]["t1"], notes[0]["values"][s]);
        EXPECT_EQ(units[i]["m2"], k3["pattern_mean"][1][s]);
    }
    // The missing age is grey and says NA.
    for (const json& u : units)
        if (u["l"] == "s2") {
            EXPECT_EQ(u["t2"], "NA");
            EXPECT_EQ(u["c2"], "#d9d9d9");
        }
    // The profiles: pattern p at position i holds the sample at order[i].
    for (const json& v : spec["datasets"]["profile"]) {
        const size_t i = static_cast<size_t>(v["x"].get<double>());
        const size_t p = std::stoul(v["p"].get<std::string>().substr(1)) - 1;
        EXPECT_EQ(v["m"], k3["pattern_mean"][p][order[i].get<size_t>()]);
    }
    // Few samples: every label shown, every profile point marked.
    EXPECT_EQ(spec["datasets"]["labels"].size(), 9u);
    EXPECT_EQ(st.View(3, "xlabels")["layer"][2]["mark"]["point"], true);
    // The legend names each column and the clusters.
    std::set<std::string> legend;
    for (const json& item : spec["vconcat"].back()["data"]["values"])
        if (item.contains("t")) legend.insert(item["t"].get<std::string>());
    for (const char* t : {"lin\"e'age</script>:", "age:", "plate:", "L0", "L2", "NA", "cluster (tree cut at 3):"})
        EXPECT_EQ(legend.count(t), 1u) << t;
}

TEST(ReportSamples, HeatmapTooltipsNameBothSamplesAndTheirAnnotations)
{
    const Study st(9);
    const json& spec = st.specs["k3_samples"];
    // The tooltip reads the labels and track texts by position from the chart's parameters.
    std::map<std::string, json> params;
    for (const json& p : spec["params"]) params[p["name"].get<std::string>()] = p["value"];
    ASSERT_EQ(params.size(), 5u);  // ul and ut0 to ut3
    for (size_t i = 0; i < 9; i++) {
        EXPECT_EQ(params["ul"][i], spec["datasets"]["units"][i]["l"]);
        EXPECT_EQ(params["ut1"][i], spec["datasets"]["units"][i]["t1"]);
    }
    const std::string tip = st.View(3, "cells")["layer"][0]["mark"]["tooltip"]["expr"].get<std::string>();
    EXPECT_NE(tip.find("\"sample (row)\": ul[datum.i]"), std::string::npos) << tip;
    EXPECT_NE(tip.find("\"consensus\": format(datum.v, '.3f')"), std::string::npos) << tip;
    // A column's name is a string literal there, its quotes escaped.
    EXPECT_NE(tip.find("\"lin\\\"e'age</script> (column)\": ut1[datum.j]"), std::string::npos) << tip;
    // However named, the columns cannot close the page's script elements.
    std::string lower = st.html.substr(st.html.find("<h1>"));
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t scripts = 0;
    for (size_t at = lower.find("</script"); at != std::string::npos; at = lower.find("</script", at + 1)) scripts++;
    EXPECT_EQ(scripts, 2u);
}

TEST(ReportSamples, AgreementPanelCarriesTheSurveysFigures)
{
    const Study st(30);
    for (const char* id : {"c_ari", "c_nmi", "c_corr"}) ASSERT_TRUE(st.specs.contains(id)) << id;
    for (const json& v : st.specs["c_ari"]["data"]["values"]) {
        const json& cols = st.Count(v["patterns"].get<int>())["agreement"]["columns"];
        bool found = false;
        for (const json& c : cols)
            if (c["column"] == v["column"]) {
                found = true;
                EXPECT_EQ(v["value"], c["ari"]);
            }
        EXPECT_TRUE(found);
    }
    EXPECT_EQ(st.specs["c_ari"]["data"]["values"].size(), 4u);  // two columns of categories, two counts
    for (const json& v : st.specs["c_corr"]["data"]["values"]) {
        const json& age = st.Count(v["patterns"].get<int>())["agreement"]["columns"][1];
        EXPECT_EQ(v["value"], std::abs(age["r"][age["best_pattern"].get<int>() - 1].get<double>()));
    }
    // At three patterns the clusters are the lineages.
    EXPECT_EQ(st.Count(3)["agreement"]["columns"][0]["ari"], 1.0);
    // The ARI beside the rank survey's figures, the rest in its own section.
    const size_t survey = st.html.find("<h2 id=\"survey\">"), agreement = st.html.find("<h2 id=\"agreement\">");
    const size_t ari = st.html.find("id=\"c_ari\""), nmi = st.html.find("id=\"c_nmi\"");
    EXPECT_TRUE(survey < ari && ari < agreement && agreement < nmi);
    // Names escaped in the page's text; the plate reported as a likely batch effect.
    EXPECT_NE(st.html.find("<th>lin&quot;e&#39;age&lt;/script&gt; ARI</th>"), std::string::npos);
    EXPECT_NE(st.html.find("<th>plate (batch) ARI</th>"), std::string::npos);
    EXPECT_NE(st.html.find("Likely batch effect: column plate records a batch"), std::string::npos);
    EXPECT_NE(st.html.find("Sample annotations from notes.tsv: lin&quot;e&#39;age&lt;/script&gt; (3 categories), "
                           "age (numbers), plate (3 categories)"),
              std::string::npos);
}

TEST(ReportSamples, WithoutAnnotationsTheClustersAreTheOnlyTrack)
{
    const Study st(9, false);
    EXPECT_EQ(st.specs["k3_samples"]["vconcat"].size(), 4u);
    EXPECT_FALSE(st.specs.contains("c_ari"));
    EXPECT_NE(st.html.find("No sample annotations: <code>zarno report DIR --annotations FILE</code>"),
              std::string::npos);
}

TEST(ReportSamples, ManySamplesAreDrawnInBlocksWithThinnedLabels)
{
    const Study st(250);
    const json& k3 = st.Count(3);
    ASSERT_TRUE(k3.contains("consensus_blocks"));
    const int size = k3["consensus_blocks"]["size"].get<int>(), blocks = k3["consensus_blocks"]["blocks"].get<int>();
    EXPECT_EQ(size, 3);
    EXPECT_EQ(blocks, 84);
    // Each block's mean is the mean of its samples' consensus, in leaf order.
    const json& order = k3["sample_order_index"];
    for (const auto& [a, b] : {std::pair<int, int>{0, 0}, {5, 40}, {83, 83}, {83, 2}}) {
        double sum = 0.0;
        int n = 0;
        for (int i = a * size; i < std::min(250, (a + 1) * size); i++)
            for (int j = b * size; j < std::min(250, (b + 1) * size); j++, n++)
                sum += k3["consensus"][order[i].get<size_t>()][order[j].get<size_t>()].get<double>();
        EXPECT_NEAR(k3["consensus_blocks"]["mean"][a][b].get<double>(), sum / n, 1e-15) << a << "," << b;
    }
    const json& spec = st.specs["k3_samples"];
    EXPECT_EQ(spec["datasets"]["cells"].size(), static_cast<size_t>(blocks * blocks));
    const json& units = spec["datasets"]["units"];
    ASSERT_EQ(units.size(), static_cast<size_t>(blocks));
    EXPECT_EQ(units[1]["x"], 3);
    EXPECT_EQ(units[1]["x2"], 6);
    EXPECT_NE(units[1]["l"].get<std::string>().find(" (3 samples)"), std::string::npos) << units[1]["l"];
    EXPECT_EQ(units[83]["x2"], 250);
    EXPECT_EQ(units[83]["l"], "s" + std::to_string(order[249].get<int>() + 1)) << "a block of one is its sample";
    // A block's track says what it holds: the thirds make most blocks one lineage.
    EXPECT_EQ(units[0]["t1"], "L" + std::to_string(st.Group(order[0].get<int>())) + " 3");
    // Labels every k-th sample, at least kLabelSpacing pixels apart.
    const double width = st.View(3, "cells")["width"].get<double>();
    const json& labels = spec["datasets"]["labels"];
    ASSERT_GT(labels.size(), 10u);
    EXPECT_LT(labels.size(), 250u);
    for (size_t i = 1; i < labels.size(); i++) {
        const double gap = (labels[i]["p"].get<double>() - labels[i - 1]["p"].get<double>()) * width / 250;
        EXPECT_GE(gap, kLabelSpacing);
        EXPECT_LT(gap, 2 * kLabelSpacing);
    }
    EXPECT_EQ(st.View(3, "xlabels")["layer"][2]["mark"]["point"], false);
    // survey.json keeps the whole consensus only up to 300 samples.
    EXPECT_FALSE(Study(320, false).Count(3)["consensus"].is_array());
}
