// The rank survey: what a job's runs say about the number of patterns the data
// hold, and which patterns they are.
//
// It works on runs held in memory (a run directory read back, or a sweep just
// finished) and computes, per pattern count over its chains: the fit (chi-square,
// residual sum, chi-square per degree of freedom), the sample consensus and its
// cophenetic correlation, dispersion and PAC, the stability of the patterns
// (chains matched one to one, cosine silhouettes), consensus patterns and
// amplitudes with outlier chains left out, top genes by a marker score, and
// the suggested pattern count. Values that cannot be measured are empty optionals
// with a note saying why, never NaN.
#ifndef ZARNO_CORE_SURVEY_H
#define ZARNO_CORE_SURVEY_H

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zarno {

// One (pattern count, chain) run as the survey sees it.
struct SurveyRun {
    enum Status { kComplete, kFailed, kMissing };
    Status status = kComplete;
    std::string problem;  // why a run is failed or missing
    int patterns = 0;
    int chain = 0;
    bool weighted = false;
    std::vector<double> amplitudes;   // genes x patterns, row-major
    std::vector<double> patternRows;  // patterns x samples, rows summing to 1
    double chiSquare = 0.0;
    double ssr = 0.0;
    std::vector<double> trace;             // chi-square every 10 rounds from 0, when kept
    std::optional<double> holdoutError;    // from the run's masked twin, when measured
};

// The data the runs came from.
struct SurveyData {
    int genes = 0;
    int samples = 0;
    long long cells = 0;  // cells fitted (genes x samples); the degrees of freedom start here
    std::vector<std::string> geneNames;     // one per gene (empty: g1, g2, ...)
    std::vector<std::string> sampleLabels;  // one per sample (empty: s1, s2, ...)
};

// The suggestion rule's thresholds (docs/survey.md states the rule).
struct SurveyOptions {
    int topGenes = 20;                 // genes listed per consensus pattern
    double minMeanStability = 0.80;    // mean cosine silhouette of the groups
    double minMinStability = 0.60;     // lowest group silhouette
    double minOnePatternMatch = 0.95;  // one pattern: lowest matched similarity instead
    double fitTolerance = 0.25;        // fits the noise: best chi-square / dof <= 1 + this
    double outlierFloor = 0.05;        // an outlier's match is at least this far below the median
    double outlierMads = 3.0;          // ... and this many scaled MADs below it
};

// Best (lowest), median and worst (highest) of a figure over chains.
struct Spread {
    double best = 0.0, median = 0.0, worst = 0.0;
};

// A gene that marks a consensus pattern. Its score is its share of its
// consensus amplitude in this pattern times that amplitude relative to the
// pattern's largest: 1 for the pattern's strongest gene found in it alone,
// and among genes found only here, the larger first. A gene is listed for
// the pattern (or patterns, in a tie) that holds its largest share.
struct TopGene {
    int gene = 0;            // row in the data
    double score = 0.0;      // share x amplitude / the pattern's largest, in (0, 1]
    double share = 0.0;      // amplitude here / the gene's amplitudes summed over patterns
    double amplitude = 0.0;  // consensus amplitude
};

// The survey of one pattern count.
struct CountSurvey {
    int patterns = 0;
    std::vector<int> chains;         // complete runs, in chain order
    std::vector<int> failedChains;   // runs that failed
    std::vector<int> missingChains;  // runs the job planned that are not there
    bool weighted = false;
    std::vector<std::string> notes;  // every degenerate or unmeasurable figure, said plainly

    std::optional<Spread> chiSquare, ssr;
    double dof = 0.0;                     // cells - (genes x P + P x samples - P)
    std::optional<Spread> chiSquarePerDof;  // weighted runs with dof > 0
    std::optional<Spread> holdoutError;

    // Sample consensus over the complete chains (samples x samples, row-major).
    std::vector<double> consensus;
    std::vector<int> sampleOrder;          // leaf order of the average-linkage tree
    std::vector<int> clusters;             // per sample: its cluster when the tree is cut
                                           // into P, numbered from 0 in leaf order
    std::optional<double> cophenetic;      // empty when the consensus has no contrast
    std::optional<double> dispersion;
    std::optional<double> pac;

    // Matching: group g holds pattern assignment[c][g] of chains[c].
    std::vector<std::vector<int>> assignment;
    std::vector<double> chainMatch;        // per chain: mean cosine to the other chains' group means
    std::vector<bool> outlier;             // per chain
    std::vector<std::optional<double>> silhouette;  // per group
    std::optional<double> meanStability, minStability;  // mean and lowest group silhouette
    std::optional<double> meanMatch, minMatch;          // cosine of each pattern to its group mean

    // Consensus over the chains that are not outliers; groups ordered by the
    // sample where their mean pattern peaks.
    int chainsUsed = 0;
    std::vector<double> patternMean, patternSd;      // P x samples
    std::vector<double> amplitudeMean, amplitudeSd;  // genes x P
    bool hasSd = false;                              // needs two chains
    std::vector<std::vector<TopGene>> topGenes;      // per group; empty when no gene is
                                                     // most in it (a note says so)

    // The rule's verdicts on this count alone (empty: not judged).
    std::optional<bool> fits, stable;

    std::string Status() const;  // "ok", or the notes joined
};

struct Survey {
    std::vector<CountSurvey> counts;  // ascending pattern counts
    std::optional<int> suggested;
    std::string note;  // why, or why none
};

// Runs may come in any order; they are grouped by pattern count.
Survey RunSurvey(const SurveyData& data, const std::vector<SurveyRun>& runs,
                 const SurveyOptions& options = SurveyOptions());

// Building blocks, exposed for the tests.
namespace survey {

// Cosine similarity of two non-negative vectors; 0 when either is all zero.
double Cosine(const double* x, const double* y, int n);

// Minimum-cost one-to-one assignment of an n x n cost matrix (row-major):
// result[row] = column.
std::vector<int> Assign(const std::vector<double>& cost, int n);

// Average-linkage tree of an n x n distance matrix: the cophenetic distance of
// every pair (n x n), the leaf order and, when asked, the merges in the order
// made (the cluster each merge kept and the one it took in, each named by a
// member).
void AverageLinkage(const std::vector<double>& distance, int n, std::vector<double>* cophenetic,
                    std::vector<int>* order, std::vector<std::pair<int, int>>* merges = nullptr);

// The tree of `merges` (over n leaves) cut into k clusters: the first n - k
// merges made. Per leaf its cluster, numbered from 0 in the order the
// clusters first appear in `order`.
std::vector<int> CutTree(const std::vector<std::pair<int, int>>& merges, int n, int k,
                         const std::vector<int>& order);

// Pearson correlation of the upper triangles of two n x n matrices; empty
// when either has no variance.
std::optional<double> UpperCorrelation(const std::vector<double>& x, const std::vector<double>& y,
                                       int n);

// Matches the pattern rows of every chain (each P x samples) into P groups,
// one pattern of each chain per group, starting from chain `reference`.
std::vector<std::vector<int>> MatchChains(const std::vector<const double*>& chains, int patterns,
                                          int samples, int reference);

}  // namespace survey

}  // namespace zarno

#endif
