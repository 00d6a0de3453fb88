// The report's charts over the samples (private to core/report/): per
// pattern count one chart of the consensus heatmap and the consensus
// patterns in one sample order, the consensus tree's leaf order, under
// annotation tracks; and the agreement with the annotations over the counts.
#ifndef ZARNO_CORE_SAMPLE_CHARTS_H
#define ZARNO_CORE_SAMPLE_CHARTS_H

#include <nlohmann/json.hpp>

#include <string>

namespace zarno {
namespace report {

// Pixels between two sample labels shown: fewer labels are shown (every
// k-th) when the samples are closer; the rest are in the tooltips.
constexpr double kLabelSpacing = 12.0;
// Samples up to which the profiles mark each sample with a point.
constexpr int kProfilePoints = 60;

// The Vega-Lite definition of a count's sample chart (survey.json's count
// `count`, sample labels made unique), or null when the count has no
// consensus. Above survey.json's block size the heatmap shows its blocks.
nlohmann::json SampleChart(const nlohmann::json& survey, const nlohmann::json& count,
                           const nlohmann::json& labels);

// One agreement figure ("ari", "nmi", or "r" for the numbers' largest |r|)
// against the pattern count, a line per column; null when no column has it.
// `rule` is a layer to add (the suggested count), or null.
nlohmann::json AgreementChart(const nlohmann::json& survey, const std::string& figure,
                              const nlohmann::json& patternAxis, const nlohmann::json& rule);

}  // namespace report
}  // namespace zarno

#endif
