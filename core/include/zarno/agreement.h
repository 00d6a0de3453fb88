// How the survey's results follow the sample annotations (annotations.h), per
// pattern count: for each column of categories, the adjusted Rand index and
// the normalized mutual information between the consensus clusters (the
// sample consensus tree cut into as many clusters as patterns) and the
// column, and how much of each consensus pattern's variance the groups
// explain (eta squared); for each column of numbers, the Pearson correlation
// of each consensus pattern with it. Computed after the survey from its
// results: the suggestion never sees them.
#ifndef ZARNO_AGREEMENT_H
#define ZARNO_AGREEMENT_H

#include <optional>
#include <string>
#include <vector>

#include "zarno/annotations.h"
#include "zarno/survey.h"

namespace zarno {

struct ColumnAgreement {
    std::string column;
    bool numbers = false;  // a column of numbers (else categories)
    int samples = 0;       // samples with a value
    std::optional<double> ari, nmi;  // categories: consensus clusters against the column
    // Per consensus pattern: eta squared (categories) or r (numbers); empty
    // when the pattern or the column does not vary over the samples with a value.
    std::vector<std::optional<double>> patterns;
    std::optional<int> bestPattern;  // the largest eta squared or |r|
};

struct CountAgreement {
    int patterns = 0;
    std::vector<ColumnAgreement> columns;  // the annotations' columns, in order; empty
                                           // when the count has no complete run
    // The column that agrees best: among the categories the highest ARI; with
    // no categories, the numbers' highest |r|.
    std::optional<size_t> best;
};

// A column named like a batch or flagged as one that a pattern or the
// clusters follow strongly at a pattern count.
struct BatchEffect {
    std::string column;
    bool flagged = false;  // by the user; else named like a batch
    int patterns = 0;
    std::string figure;  // "eta2", "r2" (a pattern follows it) or "ari" (the clusters do)
    std::optional<int> pattern;  // the pattern, for eta2 and r2
    double value = 0.0;
};

struct AgreementOptions {
    // Strong: a pattern's variance half explained by the column (eta squared
    // or r squared), or the clusters at an ARI of a half.
    double strong = 0.5;
};

struct Agreement {
    std::vector<CountAgreement> counts;  // one per survey count, in its order
    std::vector<BatchEffect> batchEffects;
};

Agreement AgreementOf(const Annotations& annotations, const Survey& survey,
                      const AgreementOptions& options = {});

// Building blocks, exposed for the tests. Labels from 0; a label below 0 is
// missing and its sample left out. Empty results: fewer than two samples, or
// figures with nothing to compare (no variance).
namespace agreement {

// Adjusted Rand index (Hubert and Arabie); 1 for two identical partitions,
// including the trivial ones.
std::optional<double> AdjustedRand(const std::vector<int>& a, const std::vector<int>& b);

// Mutual information over the arithmetic mean of the two entropies (natural
// logarithms); 1 for identical partitions, 0 for independent ones.
std::optional<double> NormalizedMutualInformation(const std::vector<int>& a,
                                                  const std::vector<int>& b);

// Share of the variance of `values` between the groups of `groups`.
std::optional<double> EtaSquared(const double* values, const std::vector<int>& groups);

// Pearson correlation of `values` with `numbers` where they are present.
std::optional<double> Pearson(const double* values, const std::vector<std::optional<double>>& numbers);

}  // namespace agreement

}  // namespace zarno

#endif
