// The survey's steps (private to core/survey/): the driver in survey.cpp runs
// them per pattern count; matching.cpp matches patterns across chains,
// consensus.cpp groups samples, consensus_patterns.cpp averages the matched
// patterns and ranks genes, suggestion.cpp applies the rule.
#ifndef ZARNO_CORE_SURVEY_STEPS_H
#define ZARNO_CORE_SURVEY_STEPS_H

#include <string>
#include <vector>

#include "zarno/survey.h"

namespace zarno {
namespace survey {

double Median(std::vector<double> v);
std::string JoinInts(const std::vector<int>& v);  // "1, 2, 3"

// One count's complete chains with their patterns matched into groups: group
// g of chain c is pattern (*assignment)[c][g], the count's assignment, which
// later steps reorder in place.
struct MatchedChains {
    std::vector<const SurveyRun*> runs;
    std::vector<const double*> rows;  // each chain's pattern rows, P x S
    const std::vector<std::vector<int>>* assignment = nullptr;
    int P = 0, S = 0, C = 0;

    const double* Row(int c, int g) const
    {
        return rows[c] + static_cast<size_t>((*assignment)[c][g]) * S;
    }
    // Group means (P x S) over the chains `use` marks.
    void Means(const std::vector<bool>& use, std::vector<double>* m) const;
};

// Matching (matching.cpp): the chains matched from the one of lowest
// chi-square into out->assignment; the matched similarity of each pattern to
// its group's mean; each chain's match to the others; the outlier chains;
// the groups' cosine silhouettes.
MatchedChains MatchPatterns(const std::vector<const SurveyRun*>& runs, int P, int S,
                            CountSurvey* out);
void MatchFigures(const MatchedChains& m, CountSurvey* out);
void ChainMatches(const MatchedChains& m, CountSurvey* out);
void FlagOutliers(const MatchedChains& m, const SurveyOptions& opt, CountSurvey* out);
void Silhouettes(const MatchedChains& m, CountSurvey* out);

// The sample consensus of the complete chains, its tree, cophenetic
// correlation, dispersion and PAC (consensus.cpp).
void SampleConsensus(const SurveyData& data, const std::vector<const SurveyRun*>& runs, int P,
                     CountSurvey* out);

// Consensus patterns (consensus_patterns.cpp), over the chains `keep` marks:
// groups ordered by the sample where their mean peaks, mean and deviation of
// patterns and amplitudes, top genes.
void OrderGroupsByPeak(const MatchedChains& m, const std::vector<bool>& keep, CountSurvey* out);
void ConsensusMeans(const MatchedChains& m, const std::vector<bool>& keep, int genes,
                    CountSurvey* out);
void TopGenes(const SurveyOptions& opt, int genes, CountSurvey* out);

// The rule (suggestion.cpp): each count judged alone, then the suggestion,
// then what the held-out errors say of it.
void Judge(const SurveyOptions& opt, CountSurvey* c);
void Suggest(const SurveyOptions& opt, Survey* s);
void CheckHoldout(Survey* s);

}  // namespace survey
}  // namespace zarno

#endif
