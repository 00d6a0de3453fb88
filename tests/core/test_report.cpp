// report.html: the page's template filled in (and its refusals), every chart
// with its definition and the survey's numbers in it, and labels that
// cannot break out of the elements that show them.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <random>
#include <regex>
#include <set>

#include "file_fixture.h"
#include "survey_fixture.h"
#include "zarno/page_template.h"
#include "zarno/survey_files.h"

using nlohmann::json;

namespace {

// What FillTemplate refused with, "" when it did not.
std::string Refusal(const std::string& page, const std::map<std::string, std::string>& values)
{
    try {
        zarno::FillTemplate(page, values);
    } catch (const zarno::TemplateError& e) {
        return e.what();
    }
    return "";
}

size_t CountCaseless(std::string text, std::string what)
{
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) n++;
    return n;
}

}  // namespace

TEST(PageTemplate, FillsEveryPlaceholderOnceOverAndLeavesOtherAtSignsAlone)
{
    const std::string page = "<p>@A@ and @B_2@, again @A@; mail@host @lower@ @@A@ 5 @ 6 @END";
    EXPECT_EQ(zarno::FillTemplate(page, {{"A", "x@B_2@y"}, {"B_2", ""}}),
              "<p>x@B_2@y and , again x@B_2@y; mail@host @lower@ @x@B_2@y 5 @ 6 @END");
    EXPECT_EQ(zarno::FillTemplate("no placeholder @ all", {}), "no placeholder @ all");
}

TEST(PageTemplate, RefusesAPlaceholderWithoutValueAndAValueWithoutPlaceholder)
{
    const std::string page = "<title>@TITLE@</title>@BODY@";
    EXPECT_NE(Refusal(page, {{"TITLE", "t"}}).find("@BODY@"), std::string::npos);
    EXPECT_NE(Refusal(page, {{"TITLE", "t"}, {"BODY", "b"}, {"FOOT", "f"}}).find("@FOOT@"),
              std::string::npos);
    EXPECT_EQ(Refusal(page, {{"TITLE", "t"}, {"BODY", "b"}}), "");
}

namespace {

// A survey of real engine runs over samples and genes with awkward labels:
// quotes, '<', "</script" in either case, and a repeated label.
class ReportTest : public FileTest {
protected:
    static constexpr int G = 10, S = 8;
    const std::vector<std::string> samples = {"s\"1", "<s2>", "dup", "dup", "</script", "s6", "s7", "s8"};
    std::vector<std::string> genes;
    json survey;
    std::string html, body;  // body: the page after its inlined chart libraries
    json views;

    void SetUp() override
    {
        FileTest::SetUp();
        std::mt19937_64 rng(5);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        std::vector<double> data(G * S), sigma(G * S);
        for (int g = 0; g < G; g++)
            for (int s = 0; s < S; s++) {
                const double x = (s < 4 ? 1.0 + g % 3 : 0.1) + (s >= 4 ? 2.0 + g % 4 : 0.1);
                sigma[g * S + s] = 0.05 * x + 0.01;
                data[g * S + s] = x + sigma[g * S + s] * (u(rng) - 0.5);
            }
        for (int g = 0; g < G; g++) genes.push_back("g" + std::to_string(g));
        genes[1] = "a\"b";
        genes[2] = "<x>";
        genes[3] = "</SCRIPT>";
        const std::string run = dir + "job";
        fixture::WriteJob(run, 1, 3, 3, true);
        for (int P = 1; P <= 3; P++)
            for (int c = 1; c <= 3; c++)
                if (!(P == 3 && c == 2))  // one run missing
                    fixture::WriteRun(run, fixture::EngineRun(data, &sigma, G, S, P, c, 40, true), genes,
                                      samples);
        const zarno::RunDirectory d = zarno::ReadRunDirectory(run);
        const zarno::SurveyOptions options;
        survey = zarno::SurveyJson(d, zarno::RunSurvey(d.data, d.runs, options), options);
        html = zarno::ReportHtml(survey);
        // The libraries' own text mentions tags; the page's heading follows them.
        const size_t head = html.find("</script>\n</head><body>\n<h1>");
        ASSERT_NE(head, std::string::npos);
        body = html.substr(head + 9);
        const std::string open = "<script type=\"application/json\" id=\"zarno-charts\">";
        const size_t from = body.find(open);
        ASSERT_NE(from, std::string::npos);
        const size_t to = body.find("</script>", from);
        views = json::parse(body.substr(from + open.size(), to - from - open.size()));
    }
    const json& Count(int P) const
    {
        for (const json& c : survey["counts"])
            if (c["patterns"] == P) return c;
        throw std::runtime_error("no such count");
    }
    // The data of a chart's layer that draws field `y`.
    static json LayerWith(const json& view, const std::string& y)
    {
        for (const json& l : view["layer"])
            if (l["encoding"].contains("y") && l["encoding"]["y"]["field"] == y) return l;
        return nullptr;
    }
};

}  // namespace

TEST_F(ReportTest, EveryChartPlacedHasItsSpecAndEverySpecItsChart)
{
    std::set<std::string> placed, defined;
    const std::regex chart("<div class=\"chart\" id=\"([^\"]+)\"></div>");
    for (std::sregex_iterator i(body.begin(), body.end(), chart), end; i != end; ++i) placed.insert((*i)[1]);
    for (const auto& [id, view] : views.items()) defined.insert(id);
    EXPECT_EQ(placed, defined);
    for (const char* id : {"c_chi", "c_dof", "c_ssr", "c_coph", "c_disp", "c_pac", "c_stab", "k2_samples",
                           "k1_trace", "k3_trace"})
        EXPECT_EQ(placed.count(id), 1u) << id;
    // No held-out errors were measured: that chart is left out, not shown empty.
    EXPECT_EQ(placed.count("c_hold"), 0u);
    EXPECT_EQ(body.find("held-out error: not measured"), std::string::npos);
    // Every placeholder of the template was filled.
    EXPECT_FALSE(std::regex_search(html.substr(0, 2000) + body, std::regex("@[A-Z][A-Z0-9_]*@")));
    EXPECT_NE(body.find("<p class=\"warn\">Missing runs (1): k3/c2."), std::string::npos);
}

TEST_F(ReportTest, ChartsCarryTheSurveysNumbers)
{
    // Chi-square: per count the median as the line, best to worst as the bar.
    const json& chi = views["c_chi"]["data"]["values"];
    ASSERT_EQ(chi.size(), survey["counts"].size());
    for (const json& v : chi) {
        const json& spread = Count(v["patterns"].get<int>())["chi_square"];
        EXPECT_EQ(v["mid"], spread["median"]);
        EXPECT_EQ(v["low"], spread["best"]);
        EXPECT_EQ(v["high"], spread["worst"]);
    }
    ASSERT_FALSE(LayerWith(views["c_chi"], "low").is_null());
    // The suggested count as a rule on each figure, when there is one.
    const json& sug = survey["suggested_patterns"];
    bool rule = false;
    for (const json& l : views["c_chi"]["layer"])
        if (l.contains("data") && l["data"]["values"][0]["patterns"] == sug) rule = true;
    EXPECT_EQ(rule, sug.is_number());
    // The stability thresholds are the rule's.
    const json thresholds = views["c_stab"]["layer"][1]["data"]["values"];
    EXPECT_EQ(thresholds[0]["t"], survey["rule"]["min_mean_stability"]);
    EXPECT_EQ(thresholds[1]["t"], survey["rule"]["min_min_stability"]);
    // The heat map: every pair of samples with its consensus by position in
    // leaf order, to 4 decimals in what its tooltips read.
    const json& k2 = Count(2);
    const json& heat = views["k2_samples"]["params"][0]["value"];
    ASSERT_EQ(heat["values"].size(), static_cast<size_t>(S * S));
    const json& order = k2["sample_order_index"];
    for (size_t i = 0; i < S; i++)
        for (size_t j = 0; j < S; j++)
            EXPECT_NEAR(heat["values"][i * S + j].get<double>(),
                        k2["consensus"][order[i].get<size_t>()][order[j].get<size_t>()].get<double>(), 5e-5);
    // Traces: one line per chain, a point every 10 rounds.
    const json& trace = views["k1_trace"]["data"]["values"];
    std::set<int> chains;
    for (const json& v : trace) chains.insert(v["chain"].get<int>());
    EXPECT_EQ(chains, (std::set<int>{1, 2, 3}));
    EXPECT_EQ(trace[1]["round"], 10);
}

TEST_F(ReportTest, LabelsAndNamesCannotBreakOutOfTheirElements)
{
    // Two scripts after the libraries, the definitions and the loader,
    // whatever the labels hold.
    EXPECT_EQ(CountCaseless(body, "<script"), 2u);
    EXPECT_EQ(CountCaseless(body, "</script"), 2u);
    // In the definitions the labels read back exactly; repeated ones are
    // told apart by position.
    const json& units = views["k2_samples"]["datasets"]["units"];
    const json labels = {"s\"1", "<s2>", "dup #3", "dup #4", "</script", "s6", "s7", "s8"};
    ASSERT_EQ(units.size(), labels.size());
    for (size_t i = 0; i < units.size(); i++)
        EXPECT_EQ(units[i]["l"], labels[Count(2)["sample_order_index"][i].get<size_t>()]);
    // In the page's tables the names are escaped, never raw.
    for (const char* shown : {"a&quot;b", "&lt;x&gt;", "&lt;/SCRIPT&gt;"})
        EXPECT_NE(body.find(shown), std::string::npos) << shown;
    for (const char* raw : {"a\"b", "<x>", "</SCRIPT>", "<s2>"}) {
        // Outside the definitions' JSON, where they are escaped as JSON.
        const size_t at = body.find(raw);
        EXPECT_TRUE(at == std::string::npos || body.rfind("id=\"zarno-charts\">", at) != std::string::npos)
            << raw;
    }
}
