// The report's charts over the samples: one sample order for the tracks, the
// heatmap and the profiles; the annotations' tracks, legend and tooltips; the
// agreement panel; blocks and thinned labels for many samples.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <zlib.h>

#include <cctype>
#include <cstring>
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
    json views;
    std::string html;
    zarno::CountSurvey survey3;  // the count of three patterns, in memory

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
        survey3 = s.counts[1];
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
        const std::string open = "<script type=\"application/json\" id=\"zarno-charts\">";
        const size_t from = html.rfind(open);
        views = json::parse(html.substr(from + open.size(), html.find("</script>", from) - from - open.size()));
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
        for (const json& v : views["k" + std::to_string(P) + "_samples"]["vconcat"])
            if (v.contains("layer"))
                for (const json& l : v["layer"])
                    if (l.value("name", "") == layer) return v;
        return nullptr;
    }
};

// The RGB pixels of an n x n PNG data URL (8-bit RGB, one IDAT, no
// interlace, each row's filter byte 0, as the report writes them).
std::vector<unsigned char> Pixels(const std::string& url, int n)
{
    const std::string prefix = "data:image/png;base64,";
    EXPECT_EQ(url.rfind(prefix, 0), 0u);
    std::string bytes;
    unsigned v = 0;
    int bits = 0;
    for (char c : url.substr(prefix.size())) {
        const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        if (c == '=') break;
        v = v << 6 | static_cast<unsigned>(std::strchr(digits, c) - digits);
        if ((bits += 6) >= 8) bytes += static_cast<char>(v >> (bits -= 8) & 255);
    }
    EXPECT_EQ(bytes.substr(0, 8), "\x89PNG\r\n\x1a\n");
    auto be32 = [&](size_t at) {
        return static_cast<uint32_t>(static_cast<unsigned char>(bytes[at])) << 24 |
               static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 1])) << 16 |
               static_cast<uint32_t>(static_cast<unsigned char>(bytes[at + 2])) << 8 |
               static_cast<unsigned char>(bytes[at + 3]);
    };
    EXPECT_EQ(bytes.substr(12, 4), "IHDR");
    EXPECT_EQ(be32(16), static_cast<uint32_t>(n));
    EXPECT_EQ(be32(20), static_cast<uint32_t>(n));
    const size_t idat = 8 + 12 + be32(8);
    EXPECT_EQ(bytes.substr(idat + 4, 4), "IDAT");
    std::vector<unsigned char> raw(static_cast<size_t>(n) * (3 * n + 1));
    uLongf size = raw.size();
    EXPECT_EQ(uncompress(raw.data(), &size, reinterpret_cast<const Bytef*>(bytes.data() + idat + 8), be32(idat)), Z_OK);
    EXPECT_EQ(size, raw.size());
    std::vector<unsigned char> rgb;
    for (int r = 0; r < n; r++) {
        EXPECT_EQ(raw[static_cast<size_t>(r) * (3 * n + 1)], 0);
        rgb.insert(rgb.end(), raw.begin() + static_cast<long>(r) * (3 * n + 1) + 1,
                   raw.begin() + static_cast<long>(r + 1) * (3 * n + 1));
    }
    return rgb;
}

}  // namespace

TEST(ReportSamples, TracksHeatmapAndProfilesShareOneSampleOrder)
{
    const Study st(9);
    const json& k3 = st.Count(3);
    const json& view = st.views["k3_samples"];
    const json& order = k3["sample_order_index"];
    const json& units = view["datasets"]["units"];
    ASSERT_EQ(units.size(), 9u);
    // A track per column after the clusters', then the heatmap, the profiles, the legend.
    EXPECT_EQ(view["vconcat"].size(), 4u + 3u);
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
    ASSERT_EQ(view["datasets"]["profile"].size(), 27u);
    for (const json& v : view["datasets"]["profile"]) {
        const size_t i = v["i"].get<size_t>(), p = v["p"].get<size_t>() - 1;
        EXPECT_EQ(v["m"], k3["pattern_mean"][p][order[i].get<size_t>()]);
        EXPECT_EQ(v["s"], k3["pattern_sd"][p][order[i].get<size_t>()]);
    }
    // Few samples: every label shown, every profile point marked.
    EXPECT_EQ(view["datasets"]["labels"].size(), 9u);
    EXPECT_EQ(st.View(3, "xlabels")["layer"][2]["mark"]["point"], true);
    // The legend names each column and the clusters.
    std::set<std::string> legend;
    for (const json& item : view["vconcat"].back()["data"]["values"])
        if (item.contains("t")) legend.insert(item["t"].get<std::string>());
    for (const char* t : {"lin\"e'age</script>:", "age:", "plate:", "L0", "L2", "NA", "cluster (tree cut at 3):"})
        EXPECT_EQ(legend.count(t), 1u) << t;
}

TEST(ReportSamples, TheHeatmapIsOneImageOfTheConsensusWithTooltipsByPosition)
{
    const Study st(9);
    const json& view = st.views["k3_samples"];
    const json& k3 = st.Count(3);
    const json& order = k3["sample_order_index"];
    // The image: a pixel per sample pair in leaf order, coloured on the legend's ramp.
    const json cells = st.View(3, "cells");
    const json& mark = cells["layer"][0]["mark"];
    EXPECT_EQ(mark["tooltip"]["expr"], "'zarno:heat'");
    const std::vector<unsigned char> rgb = Pixels(mark["url"].get<std::string>(), 9);
    const json& ramp = cells["layer"][1]["encoding"]["color"]["scale"]["range"];
    for (size_t i = 0; i < 9; i++)
        for (size_t j = 0; j < 9; j++) {
            const double v = k3["consensus"][order[i].get<size_t>()][order[j].get<size_t>()].get<double>();
            ASSERT_TRUE(v == 0.0 || v == 1.0);  // the study's chains agree
            const std::string want = ramp[v == 0.0 ? 0 : ramp.size() - 1].get<std::string>();
            char got[8];
            std::snprintf(got, sizeof got, "#%02x%02x%02x", rgb[(i * 9 + j) * 3], rgb[(i * 9 + j) * 3 + 1],
                          rgb[(i * 9 + j) * 3 + 2]);
            EXPECT_EQ(got, want) << i << "," << j;
        }
    // What the page's tooltip reads by position: labels, track texts, the consensus.
    ASSERT_EQ(view["params"].size(), 1u);
    const json& heat = view["params"][0]["value"];
    EXPECT_EQ(heat["units"], 9);
    EXPECT_EQ(heat["sample"], "sample");
    ASSERT_EQ(heat["tracks"].size(), 4u);
    EXPECT_EQ(heat["tracks"][1]["name"], "lin\"e'age</script>");
    for (size_t i = 0; i < 9; i++) {
        EXPECT_EQ(heat["labels"][i], view["datasets"]["units"][i]["l"]);
        EXPECT_EQ(heat["tracks"][1]["texts"][i], view["datasets"]["units"][i]["t1"]);
    }
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
    for (const char* id : {"c_ari", "c_nmi", "c_corr"}) ASSERT_TRUE(st.views.contains(id)) << id;
    for (const json& v : st.views["c_ari"]["data"]["values"]) {
        const json& cols = st.Count(v["patterns"].get<int>())["agreement"]["columns"];
        bool found = false;
        for (const json& c : cols)
            if (c["column"] == v["column"]) {
                found = true;
                EXPECT_EQ(v["value"], c["ari"]);
            }
        EXPECT_TRUE(found);
    }
    EXPECT_EQ(st.views["c_ari"]["data"]["values"].size(), 4u);  // two columns of categories, two counts
    for (const json& v : st.views["c_corr"]["data"]["values"]) {
        const json& age = st.Count(v["patterns"].get<int>())["agreement"]["columns"][1];
        EXPECT_EQ(v["value"], std::abs(age["r"][age["best_pattern"].get<int>() - 1].get<double>()));
    }
    // Ticks at the counts alone, never at halves printed as repeated counts.
    EXPECT_EQ(st.views["c_ari"]["layer"][0]["encoding"]["x"]["axis"]["values"], (json{2, 3}));
    EXPECT_EQ(st.views["c_chi"]["layer"][0]["encoding"]["x"]["axis"]["values"], (json{2, 3}));
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
    EXPECT_EQ(st.views["k3_samples"]["vconcat"].size(), 4u);
    EXPECT_FALSE(st.views.contains("c_ari"));
    EXPECT_NE(st.html.find("No sample annotations: <code>zarno report DIR --annotations FILE</code>"),
              std::string::npos);
}

TEST(ReportSamples, ManySamplesAreDrawnInBlocksWithThinnedLabels)
{
    // Beyond 300 samples survey.json holds the consensus in blocks: of 3 here, the last of one.
    const Study st(301);
    const json& k3 = st.Count(3);
    EXPECT_TRUE(k3["consensus"].is_null());
    ASSERT_TRUE(k3.contains("consensus_blocks"));
    const json& b = k3["consensus_blocks"];
    const int size = b["size"].get<int>(), blocks = b["blocks"].get<int>();
    EXPECT_EQ(size, 3);
    EXPECT_EQ(blocks, 101);
    // Each block's mean is the mean of its samples' consensus, in leaf order;
    // its patterns the mean of its samples'.
    const json& order = k3["sample_order_index"];
    const std::vector<double>& consensus = st.survey3.consensus;
    for (const auto& [a, c] : {std::pair<int, int>{0, 0}, {5, 40}, {100, 100}, {100, 2}}) {
        double sum = 0.0;
        int n = 0;
        for (int i = a * size; i < std::min(301, (a + 1) * size); i++)
            for (int j = c * size; j < std::min(301, (c + 1) * size); j++, n++)
                sum += consensus[order[i].get<size_t>() * 301 + order[j].get<size_t>()];
        EXPECT_NEAR(b["mean"][a][c].get<double>(), sum / n, 1e-15) << a << "," << c;
    }
    double share = 0.0;
    for (int i = 3; i < 6; i++) share += k3["pattern_mean"][1][order[i].get<size_t>()].get<double>() / 3;
    EXPECT_NEAR(b["pattern_mean"][1][1].get<double>(), share, 1e-15);

    const json& view = st.views["k3_samples"];
    EXPECT_EQ(Pixels(st.View(3, "cells")["layer"][0]["mark"]["url"].get<std::string>(), blocks).size(),
              static_cast<size_t>(3 * blocks * blocks));
    EXPECT_EQ(view["params"][0]["value"]["values"].size(), static_cast<size_t>(blocks * blocks));
    EXPECT_EQ(view["params"][0]["value"]["sample"], "samples");
    const json& units = view["datasets"]["units"];
    ASSERT_EQ(units.size(), static_cast<size_t>(blocks));
    EXPECT_EQ(units[1]["x"], 3);
    EXPECT_EQ(units[1]["x2"], 6);
    EXPECT_NE(units[1]["l"].get<std::string>().find(" (3 samples)"), std::string::npos) << units[1]["l"];
    EXPECT_EQ(units[1]["m2"], b["pattern_mean"][1][1]);
    EXPECT_EQ(units[100]["x2"], 301);
    EXPECT_EQ(units[100]["l"], "s" + std::to_string(order[300].get<int>() + 1)) << "a block of one is its sample";
    // A block's track says what it holds: the thirds make most blocks one lineage.
    EXPECT_EQ(units[0]["t1"], "L" + std::to_string(st.Group(order[0].get<int>())) + " (3)");
    // The profiles by block.
    EXPECT_EQ(view["datasets"]["profile"].size(), static_cast<size_t>(3 * blocks));
    // Labels every k-th sample, at least kLabelSpacing pixels apart.
    const double width = st.View(3, "cells")["width"].get<double>();
    const json& labels = view["datasets"]["labels"];
    ASSERT_GT(labels.size(), 10u);
    EXPECT_LT(labels.size(), 301u);
    for (size_t i = 1; i < labels.size(); i++) {
        const double gap = (labels[i]["p"].get<double>() - labels[i - 1]["p"].get<double>()) * width / 301;
        EXPECT_GE(gap, kLabelSpacing);
        EXPECT_LT(gap, 2 * kLabelSpacing);
    }
    EXPECT_EQ(st.View(3, "xlabels")["layer"][2]["mark"]["point"], false);
}
