// Sample annotations: the agreement figures on cases computed by hand, the
// table's refusals and kinds, the copy a run directory keeps, and the
// survey's files with them (additions only; the suggestion untouched).
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <functional>
#include <filesystem>
#include <random>

#include "file_fixture.h"
#include "survey_fixture.h"
#include "zarno/agreement.h"
#include "zarno/annotations.h"
#include "zarno/run_layout.h"
#include "zarno/survey_files.h"

using nlohmann::json;
namespace ag = zarno::agreement;

TEST(Agreement, IdenticalAndPermutedPartitionsAgreeFully)
{
    const std::vector<int> a = {0, 0, 1, 1, 2, 2, 2};
    const std::vector<int> renamed = {2, 2, 0, 0, 1, 1, 1};
    for (const auto& b : {a, renamed}) {
        EXPECT_DOUBLE_EQ(*ag::AdjustedRand(a, b), 1.0);
        EXPECT_NEAR(*ag::NormalizedMutualInformation(a, b), 1.0, 1e-15);
    }
    // The trivial partitions match themselves.
    EXPECT_EQ(*ag::AdjustedRand({0, 0, 0}, {1, 1, 1}), 1.0);
    EXPECT_EQ(*ag::AdjustedRand({0, 1, 2}, {2, 0, 1}), 1.0);
    EXPECT_EQ(*ag::NormalizedMutualInformation({0, 0, 0}, {1, 1, 1}), 1.0);
}

TEST(Agreement, HandComputedPartitions)
{
    // {0,0,1,1} against {0,0,1,2}: pairs together in both 1, expected 2 x 1 / 6,
    // most (2 + 1) / 2: ARI (1 - 1/3) / (3/2 - 1/3) = 4/7. Mutual information
    // ln 2 over the mean entropy (ln 2 + 1.5 ln 2) / 2: NMI 0.8.
    EXPECT_NEAR(*ag::AdjustedRand({0, 0, 1, 1}, {0, 0, 1, 2}), 4.0 / 7.0, 1e-15);
    EXPECT_NEAR(*ag::NormalizedMutualInformation({0, 0, 1, 1}, {0, 0, 1, 2}), 0.8, 1e-15);
    // Clusters {0,0,0,1,1,1,2,2,2} against a column {a x5, b x4}: 7 pairs
    // together in both, expected 9 x 16 / 36 = 4, most 12.5: 3 / 8.5.
    EXPECT_NEAR(*ag::AdjustedRand({0, 0, 0, 1, 1, 1, 2, 2, 2}, {0, 0, 0, 0, 0, 1, 1, 1, 1}), 3.0 / 8.5, 1e-15);
    // Missing labels leave their samples out; one group against several is 0.
    EXPECT_NEAR(*ag::AdjustedRand({0, 0, 1, 1, 5, 1}, {0, 0, 1, 2, -1, -1}), 4.0 / 7.0, 1e-15);
    EXPECT_EQ(*ag::AdjustedRand({0, 0, 0, 0}, {0, 0, 1, 1}), 0.0);
    EXPECT_EQ(*ag::NormalizedMutualInformation({0, 0, 0, 0}, {0, 0, 1, 1}), 0.0);
    EXPECT_FALSE(ag::AdjustedRand({0, -1}, {1, 1}));
}

TEST(Agreement, IndependentPartitionsAreNearZero)
{
    std::mt19937 rng(3);
    std::vector<int> a(4000), b(4000);
    for (size_t i = 0; i < a.size(); i++) a[i] = static_cast<int>(rng() % 3), b[i] = static_cast<int>(rng() % 4);
    EXPECT_LT(std::abs(*ag::AdjustedRand(a, b)), 0.01);
    EXPECT_LT(*ag::NormalizedMutualInformation(a, b), 0.01);
}

TEST(Agreement, EtaSquaredAndCorrelation)
{
    const double v[] = {1, 2, 3, 4};
    // Group means 1.5 and 3.5 around 2.5: between 4 of a total 5.
    EXPECT_NEAR(*ag::EtaSquared(v, {0, 0, 1, 1}), 0.8, 1e-15);
    // Groups {1} and {2, 4}, the third sample left out: within 2 of a total 14/3.
    EXPECT_NEAR(*ag::EtaSquared(v, {0, 1, -1, 1}), 4.0 / 7.0, 1e-12);
    EXPECT_FALSE(ag::EtaSquared(v, {0, 0, 0, 0}));  // one group
    const double flat[] = {2, 2, 2, 2};
    EXPECT_FALSE(ag::EtaSquared(flat, {0, 0, 1, 1}));
    EXPECT_NEAR(*ag::Pearson(v, {3.0, 5.0, 7.0, 9.0}), 1.0, 1e-15);
    EXPECT_NEAR(*ag::Pearson(v, {9.0, std::nullopt, 5.0, 3.0}), -1.0, 1e-15);
    EXPECT_FALSE(ag::Pearson(v, {1.0, 1.0, 1.0, 1.0}));
    EXPECT_FALSE(ag::Pearson(v, {1.0, std::nullopt, std::nullopt, 2.0}));
}

TEST(Agreement, TheTreeCutKeepsTheLastMergesApart)
{
    // Two tight pairs {0,2} and {1,3}, far from each other.
    const int n = 4;
    std::vector<double> d = {0, 9, 1, 9,  9, 0, 9, 2,  1, 9, 0, 9,  9, 2, 9, 0};
    std::vector<double> coph;
    std::vector<int> order;
    std::vector<std::pair<int, int>> merges;
    zarno::survey::AverageLinkage(d, n, &coph, &order, &merges);
    ASSERT_EQ(merges.size(), 3u);
    const std::vector<int> two = zarno::survey::CutTree(merges, n, 2, order);
    EXPECT_EQ(two[0], two[2]);
    EXPECT_EQ(two[1], two[3]);
    EXPECT_NE(two[0], two[1]);
    EXPECT_EQ(two[order[0]], 0) << "numbered in leaf order";
    EXPECT_EQ(zarno::survey::CutTree(merges, n, 1, order), std::vector<int>(4, 0));
    std::vector<int> four = zarno::survey::CutTree(merges, n, 4, order);
    for (int i = 0; i < n; i++) EXPECT_EQ(four[order[i]], i);
}

namespace {

zarno::AnnotationTable Table(std::vector<std::string> columns, std::vector<std::vector<std::string>> rows)
{
    zarno::AnnotationTable t;
    t.source = "notes";
    t.labelHeader = "sample";
    t.columns = std::move(columns);
    for (auto& r : rows) {
        t.labels.push_back(r[0]);
        t.cells.emplace_back(r.begin() + 1, r.end());
    }
    return t;
}

std::string Refusal(const std::function<void()>& f)
{
    try {
        f();
    } catch (const zarno::InputError& e) {
        return e.what();
    }
    return "";
}

}  // namespace

class AnnotationFile : public FileTest {};

TEST_F(AnnotationFile, ColumnsAreCategoriesOrNumbersWithMissingValues)
{
    const std::string path = Write("notes.csv",
                                   "id,lineage,age,stage,Plate\r\n"
                                   "s2,\"T, mature\",41.5,2,p1\r\n"
                                   "s1,B,NA,1,p1\r\n"
                                   "\r\n"
                                   "s3,B,,3,p1\r\n"
                                   "s4,B,60,1,p1\r\n");
    const zarno::AnnotationTable t = zarno::ReadAnnotationTable(path);
    EXPECT_EQ(t.labelHeader, "id");
    EXPECT_EQ(t.lines, (std::vector<int>{2, 3, 5, 6}));
    const zarno::Annotations a = zarno::MatchAnnotations(t, {"s1", "s2", "s3", "s1", "s4"});
    ASSERT_EQ(a.columns.size(), 4u);
    const auto& lineage = a.columns[0];
    EXPECT_EQ(lineage.kind, zarno::AnnotationColumn::kCategories);
    EXPECT_EQ(lineage.levels, (std::vector<std::string>{"B", "T, mature"}));
    EXPECT_EQ(lineage.codes, (std::vector<int>{0, 1, 0, 0, 0})) << "in the data's order, a repeated label its one row";
    const auto& age = a.columns[1];
    EXPECT_EQ(age.kind, zarno::AnnotationColumn::kNumbers);
    EXPECT_EQ(age.missing, 3);
    EXPECT_EQ(age.numbers[1], 41.5);
    EXPECT_FALSE(age.numbers[0]);
    // Whole numbers with few values are codes, not a scale.
    EXPECT_EQ(a.columns[2].kind, zarno::AnnotationColumn::kCategories);
    EXPECT_TRUE(a.columns[3].batchName);
    EXPECT_FALSE(lineage.Batch());
    // A single value is kept and warned of, naming the column.
    ASSERT_EQ(a.warnings.size(), 1u);
    EXPECT_NE(a.warnings[0].find("\"Plate\" has a single value"), std::string::npos) << a.warnings[0];
    // Kinds given by a caller win; a flagged batch is always groups.
    zarno::AnnotationOptions o;
    o.kinds["stage"] = zarno::AnnotationColumn::kNumbers;
    o.kinds["age"] = zarno::AnnotationColumn::kCategories;
    o.batch = {"lineage"};
    const zarno::Annotations b = zarno::MatchAnnotations(t, {"s1", "s2", "s3", "s4"}, o);
    EXPECT_EQ(b.columns[2].kind, zarno::AnnotationColumn::kNumbers);
    EXPECT_EQ(b.columns[1].kind, zarno::AnnotationColumn::kCategories);
    EXPECT_TRUE(b.columns[0].flagged);
}

TEST_F(AnnotationFile, RefusalsNameTheFileLineAndWhat)
{
    const std::vector<std::string> samples = {"s1", "s2", "s3"};
    auto refused = [&](const std::string& text, const std::string& name = "n.tsv") {
        const std::string path = Write(name, text);
        return Refusal([&] { zarno::MatchAnnotations(zarno::ReadAnnotationTable(path), samples); });
    };
    const std::string p = dir + "n.tsv";
    EXPECT_EQ(refused("sample\tg\ns1\ta\ns9\tb\ns2\ta\ns3\tb\n").rfind(p + ":3:1: sample \"s9\" is not a sample", 0), 0u)
        << refused("sample\tg\ns1\ta\ns9\tb\n");
    const std::string missing = refused("sample\tg\ns2\ta\n");
    EXPECT_NE(missing.find(p + ": no row for 2 of the data's 3 samples: \"s1\", \"s3\""), std::string::npos) << missing;
    EXPECT_EQ(refused("sample\tg\ns1\ta\ns1\tb\n").rfind(p + ":3:1: sample \"s1\" has a row already, at line 2", 0), 0u);
    EXPECT_EQ(refused("sample\tg\th\ns1\ta\n").rfind(p + ":2:", 0), 0u) << refused("sample\tg\th\ns1\ta\n");
    EXPECT_NE(refused("sample\tg\th\ns1\ta\n").find("holds 2 fields, the header 3"), std::string::npos);
    EXPECT_EQ(refused("sample\ns1\n").rfind(p + ":1:1: the header holds 1 name", 0), 0u);
    EXPECT_EQ(refused("sample\tg\t\ns1\ta\tb\n").rfind(p + ":1:", 0), 0u);
    EXPECT_NE(refused("sample\tg\tg\ns1\ta\tb\n").find("the column name \"g\" is repeated"), std::string::npos);
    EXPECT_EQ(refused("sample\tg\n").rfind(p + ":1:1: the header is followed by no sample rows", 0), 0u);
    EXPECT_EQ(refused("").rfind(p + ":1:1: the file is empty", 0), 0u);
    const std::string tab = refused("s,g\ns1,\"a\tb\"\n", "t.csv");
    EXPECT_EQ(tab.rfind(dir + "t.csv:2:4: the value \"a", 0), 0u) << tab;
    EXPECT_EQ(Refusal([&] { zarno::ReadAnnotationTable(dir + "none.tsv"); }).rfind(dir + "none.tsv: cannot open", 0), 0u);
    // A flag for a column that is not there names the flag.
    zarno::AnnotationOptions o;
    o.batch = {"plate"};
    const std::string flag = Refusal([&] { zarno::MatchAnnotations(Table({"g"}, {{"s1", "a"}}), {"s1"}, o); });
    EXPECT_EQ(flag.rfind("--batch plate: notes has no such column (it has \"g\")", 0), 0u) << flag;
    // A table built in memory names its row; a caller's numbers must be numbers.
    o.batch.clear();
    o.kinds["g"] = zarno::AnnotationColumn::kNumbers;
    const std::string text = Refusal([&] { zarno::MatchAnnotations(Table({"g"}, {{"s1", "1"}, {"s2", "x"}}), {"s1", "s2"}, o); });
    EXPECT_EQ(text.rfind("notes, row 2: \"x\" is not a number", 0), 0u) << text;
}

TEST(AnnotationNames, BatchLikeNamesAreWordsOfTheName)
{
    for (const char* yes : {"batch", "Batch_ID", "seqbatch", "plate2", "Plate", "seqRun", "processing_date",
                            "flowcell", "Sequencing.Center", "lane 3"})
        EXPECT_TRUE(zarno::BatchLikeName(yes)) << yes;
    for (const char* no : {"lineage", "runner", "sex", "age", "primary site", "platelets", "Dated"})
        EXPECT_FALSE(zarno::BatchLikeName(no)) << no;
}

namespace {

// Three patterns over 9 samples, each owning three, in 3 identical chains;
// written as a run directory.
class AnnotatedSurvey : public FileTest {
protected:
    static constexpr int G = 12, S = 9, P = 3;
    std::vector<std::string> samples, genes;
    std::string run;
    std::vector<double> truth;  // P x S

    void SetUp() override
    {
        FileTest::SetUp();
        for (int s = 0; s < S; s++) samples.push_back("s" + std::to_string(s + 1));
        for (int g = 0; g < G; g++) genes.push_back("g" + std::to_string(g + 1));
        run = dir + "job";
        fixture::WriteJob(run, 2, 3, 3, true);
        truth.assign(P * S, 0.0);
        for (int p = 0; p < P; p++) {
            double sum = 0.0;
            for (int s = 0; s < S; s++) sum += truth[p * S + s] = s / 3 == p ? 1.0 + 0.1 * s : 0.01 * (s + 1);
            for (int s = 0; s < S; s++) truth[p * S + s] /= sum;
        }
        for (int k = 2; k <= P; k++)
            for (int c = 1; c <= 3; c++) fixture::WriteRun(run, Run(k, c), genes, samples);
    }
    zarno::SurveyRun Run(int patterns, int chain) const
    {
        zarno::SurveyRun r;
        r.patterns = patterns;
        r.chain = chain;
        r.weighted = true;
        r.chiSquare = 100.0 + chain;
        r.ssr = 10.0 + chain;
        for (int g = 0; g < G; g++)
            for (int p = 0; p < patterns; p++) r.amplitudes.push_back(g % patterns == p ? 5.0 + g : 0.5);
        for (int p = 0; p < patterns; p++)
            for (int s = 0; s < S; s++)  // two patterns: the first two truths, the third folded in
                r.patternRows.push_back(patterns == P || p == 0 ? truth[p * S + s]
                                                                : (truth[S + s] + truth[2 * S + s]) / 2);
        return r;
    }
    std::string Notes() const
    {
        std::string t = "sample\tgroup\trenamed\thalf\tplate\tlevel\tconstant\n";
        for (int s = 0; s < S; s++)
            t += samples[s] + "\t" + "abc"[s / 3] + "\t" + "zxy"[s / 3] + "\t" + (s < 5 ? "a" : "b") + "\t" +
                 "qrs"[s / 3] + "\t" + zarno::FormatDouble(truth[2 * S + s] * 7.5 + 1.0) + "\tx\n";
        return t;
    }
    static json Without(json j)
    {
        j.erase("annotations");
        j.erase("batch_effects");
        for (json& c : j["counts"]) c.erase("agreement");
        return j;
    }
};

const json& CountOf(const json& survey, int P)
{
    for (const json& c : survey["counts"])
        if (c["patterns"] == P) return c;
    throw std::runtime_error("no such count");
}

}  // namespace

TEST_F(AnnotatedSurvey, FiguresPerCountFollowTheGroups)
{
    const zarno::RunDirectory d = zarno::ReadRunDirectory(run);
    const zarno::Survey s = zarno::RunSurvey(d.data, d.runs);
    const zarno::Annotations a =
        zarno::MatchAnnotations(zarno::ReadAnnotationTable(Write("n.tsv", Notes())), samples);
    const zarno::Agreement ag = zarno::AgreementOf(a, s);
    ASSERT_EQ(ag.counts.size(), 2u);
    const zarno::CountAgreement& three = ag.counts[1];
    ASSERT_EQ(three.patterns, 3);
    EXPECT_NEAR(*three.columns[0].ari, 1.0, 1e-15);
    EXPECT_NEAR(*three.columns[1].ari, 1.0, 1e-15) << "other names, the same groups";
    EXPECT_NEAR(*three.columns[0].nmi, 1.0, 1e-12);
    EXPECT_NEAR(*three.columns[2].ari, 3.0 / 8.5, 1e-12);
    EXPECT_EQ(*three.best, 0u);
    // The numbers are the third true pattern, rescaled: the consensus
    // pattern peaking last follows them exactly.
    const zarno::ColumnAgreement& level = three.columns[4];
    EXPECT_TRUE(level.numbers);
    ASSERT_TRUE(level.bestPattern);
    EXPECT_EQ(*level.bestPattern, 2);
    EXPECT_NEAR(*level.patterns[2], 1.0, 1e-12);
    EXPECT_FALSE(three.columns[5].ari) << "a single value says nothing";
    // At two patterns the tree is cut in two: the groups agree less.
    EXPECT_LT(*ag.counts[0].columns[0].ari, 0.9);
    // "plate" is named like a batch and the clusters and a pattern follow it.
    ASSERT_FALSE(ag.batchEffects.empty());
    for (const zarno::BatchEffect& e : ag.batchEffects) EXPECT_EQ(e.column, "plate");
    EXPECT_EQ(ag.batchEffects.back().patterns, 3);
    EXPECT_GE(ag.batchEffects.back().value, 0.5);
}

TEST_F(AnnotatedSurvey, TheCopyIsKeptReplacedAndOnlyAddsToTheSurveysFiles)
{
    const zarno::SurveyedDirectory plain = zarno::WriteSurvey(run);
    const std::vector<std::string> plainTsv = Lines(run + "/survey.tsv");
    EXPECT_FALSE(plain.annotations);
    EXPECT_FALSE(std::filesystem::exists(run + "/annotations.tsv"));

    zarno::AnnotationUpdate u;
    u.table = zarno::ReadAnnotationTable(Write("n.tsv", Notes()));
    const zarno::SurveyedDirectory with = zarno::WriteSurvey(run, {}, u);
    ASSERT_TRUE(with.annotations);
    // The old fields are as they were, the suggestion included.
    EXPECT_EQ(Without(with.json), plain.json);
    EXPECT_EQ(with.json["suggested_patterns"], plain.json["suggested_patterns"]);
    const std::vector<std::string> tsv = Lines(run + "/survey.tsv");
    ASSERT_EQ(tsv.size(), plainTsv.size());
    for (size_t i = 0; i < tsv.size(); i++) EXPECT_EQ(tsv[i].rfind(plainTsv[i] + "\t", 0), 0u) << tsv[i];
    EXPECT_NE(tsv[0].find("\tari_group\tnmi_group\tari_renamed"), std::string::npos);
    EXPECT_NE(tsv[0].find("\tr_level\tari_constant\tnmi_constant\tbest_annotation"), std::string::npos) << tsv[0];
    EXPECT_EQ(tsv[2].substr(tsv[2].rfind('\t')), "\tgroup");
    const json& k3 = CountOf(with.json, 3);
    EXPECT_EQ(k3["agreement"]["columns"][0]["ari"], 1.0);
    EXPECT_EQ(k3["agreement"]["best"], "group");
    EXPECT_EQ(with.json["annotations"]["columns"][5]["values"][0], "x");
    EXPECT_EQ(with.json["annotations"]["columns"][4]["kind"], "numbers");
    EXPECT_EQ(with.json["annotations"]["columns"][3]["batch_reason"], "named like a batch");
    EXPECT_FALSE(with.json["batch_effects"].empty());

    // Kept: a later survey finds the copy and gives the same figures.
    EXPECT_TRUE(std::filesystem::exists(run + "/annotations.tsv"));
    const zarno::SurveyedDirectory again = zarno::WriteSurvey(run);
    EXPECT_EQ(again.json, with.json);
    // Flags replace the copy's, and are kept with it.
    u.table.reset();
    u.batch = std::vector<std::string>{"group"};
    const zarno::SurveyedDirectory flagged = zarno::WriteSurvey(run, {}, u);
    EXPECT_EQ(flagged.json["annotations"]["columns"][0]["batch_reason"], "flagged with --batch");
    EXPECT_EQ(zarno::WriteSurvey(run).json, flagged.json);
    // A new table replaces the old one.
    u.batch.reset();
    u.table = zarno::ReadAnnotationTable(Write("m.tsv", "sample\tother\ns1\t1.5\ns2\t2\ns3\t3\ns4\t4\ns5\t5\ns6\t6\n"
                                                        "s7\t7\ns8\t8\ns9\t9\n"));
    EXPECT_EQ(zarno::WriteSurvey(run, {}, u).json["annotations"]["columns"].size(), 1u);
    EXPECT_EQ(zarno::WriteSurvey(run).json["annotations"]["columns"][0]["name"], "other");
}

TEST_F(AnnotatedSurvey, ABadTableOrFlagIsRefusedBeforeAnythingIsWritten)
{
    zarno::AnnotationUpdate u;
    u.table = zarno::ReadAnnotationTable(Write("n.tsv", "sample\tg\ns1\ta\ns2\tb\n"));
    const std::string why = Refusal([&] { zarno::WriteSurvey(run, {}, u); });
    EXPECT_NE(why.find("no row for 7 of the data's 9 samples"), std::string::npos) << why;
    u.table.reset();
    u.batch = std::vector<std::string>{"plate"};
    EXPECT_EQ(Refusal([&] { zarno::WriteSurvey(run, {}, u); }).rfind("--batch plate: " + run + " has no sample annotations", 0), 0u);
    EXPECT_FALSE(std::filesystem::exists(run + "/survey.json"));
    EXPECT_FALSE(std::filesystem::exists(run + "/annotations.tsv"));
    // A damaged copy is the directory's fault, named.
    Write("job/annotations.tsv", "sample\tg\ns1\ta\n");
    EXPECT_THROW(zarno::WriteSurvey(run), zarno::RunDirError);
}
