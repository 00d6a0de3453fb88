// Consensus patterns and amplitudes: the matched patterns averaged over the
// chains kept, in the order of the samples where they peak, and the genes
// that stand out in each.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

#include "Common.h"
#include "survey_steps.h"

namespace zarno {
namespace survey {

// Groups ordered by the sample where their mean peaks, then by centre of
// mass; the assignment and silhouettes follow.
void OrderGroupsByPeak(const MatchedChains& m, const std::vector<bool>& keep, CountSurvey* out)
{
    const int C = m.C, P = m.P, S = m.S;
    std::vector<double> kept;
    m.Means(keep, &kept);
    std::vector<std::pair<double, int>> key(P);
    for (int g = 0; g < P; g++) {
        const double* mean = kept.data() + static_cast<size_t>(g) * S;
        const int peak = static_cast<int>(std::max_element(mean, mean + S) - mean);
        double centre = 0.0, mass = 0.0;
        for (int s = 0; s < S; s++) centre += s * mean[s], mass += mean[s];
        key[g] = {peak + (mass > 0.0 ? centre / mass : 0.0) / (S + 1.0), g};
    }
    std::stable_sort(key.begin(), key.end());
    std::vector<std::vector<int>> a(C, std::vector<int>(P));
    std::vector<std::optional<double>> sil(P);
    for (int g = 0; g < P; g++) {
        for (int c = 0; c < C; c++) a[c][g] = out->assignment[c][key[g].second];
        sil[g] = out->silhouette[key[g].second];
    }
    out->assignment = a;
    out->silhouette = sil;
}

// Mean and sample standard deviation of patterns and amplitude columns.
void ConsensusMeans(const MatchedChains& m, const std::vector<bool>& keep, int genes,
                    CountSurvey* out)
{
    const int C = m.C, P = m.P, S = m.S, G = genes, n = out->chainsUsed;
    out->patternMean.assign(static_cast<size_t>(P) * S, 0.0);
    out->patternSd.assign(static_cast<size_t>(P) * S, 0.0);
    out->amplitudeMean.assign(static_cast<size_t>(G) * P, 0.0);
    out->amplitudeSd.assign(static_cast<size_t>(G) * P, 0.0);
    // Each kept chain's (group, matched pattern) in turn.
    auto each = [&](auto f) {
        for (int c = 0; c < C; c++)
            if (keep[c])
                for (int g = 0; g < P; g++)
                    f(m.rows[c], m.runs[c]->amplitudes.data(), g, out->assignment[c][g]);
    };
    each([&](const double* rows, const double* amplitudes, int g, int p) {
        for (int s = 0; s < S; s++)
            out->patternMean[static_cast<size_t>(g) * S + s] +=
                rows[static_cast<size_t>(p) * S + s];
        for (int gene = 0; gene < G; gene++)
            out->amplitudeMean[static_cast<size_t>(gene) * P + g] +=
                amplitudes[static_cast<size_t>(gene) * P + p];
    });
    for (double& v : out->patternMean) v /= n;
    for (double& v : out->amplitudeMean) v /= n;
    if (!out->hasSd) return;
    each([&](const double* rows, const double* amplitudes, int g, int p) {
        for (int s = 0; s < S; s++) {
            const size_t k = static_cast<size_t>(g) * S + s;
            const double e = rows[static_cast<size_t>(p) * S + s] - out->patternMean[k];
            out->patternSd[k] += e * e;
        }
        for (int gene = 0; gene < G; gene++) {
            const size_t k = static_cast<size_t>(gene) * P + g;
            const double e = amplitudes[static_cast<size_t>(gene) * P + p] - out->amplitudeMean[k];
            out->amplitudeSd[k] += e * e;
        }
    });
    for (double& v : out->patternSd) v = std::sqrt(v / (n - 1));
    for (double& v : out->amplitudeSd) v = std::sqrt(v / (n - 1));
}

// Top genes: each gene's consensus amplitudes z-scored across the patterns
// with the sample deviation (the information file's z-score), ranked per pattern.
void TopGenes(const SurveyOptions& opt, int genes, CountSurvey* out)
{
    const int G = genes, P = out->patterns;
    Common common;
    std::vector<double> z(static_cast<size_t>(G) * P, 0.0);
    std::vector<double> amp(P);
    for (int gene = 0; gene < G && P >= 2; gene++) {
        std::copy_n(out->amplitudeMean.data() + static_cast<size_t>(gene) * P, P, amp.data());
        common.Zscoring(amp.data(), z.data() + static_cast<size_t>(gene) * P, P);
    }
    if (P < 2) out->notes.push_back("one pattern: top genes by amplitude, no z-scores");
    const int top = std::min(opt.topGenes, G);
    out->topGenes.assign(P, {});
    std::vector<int> order(G);
    for (int g = 0; g < P; g++) {
        std::iota(order.begin(), order.end(), 0);
        auto zAt = [&](int gene) { return z[static_cast<size_t>(gene) * P + g]; };
        auto aAt = [&](int gene) { return out->amplitudeMean[static_cast<size_t>(gene) * P + g]; };
        // z-scores across few patterns take few values (with two, every gene
        // is +-1/sqrt(2)) and differ only by rounding; ranked at 1e-9 so that
        // such ties go to the amplitude rather than to rounding noise.
        auto zKey = [&](int gene) { return std::llround(zAt(gene) * 1e9); };
        std::stable_sort(order.begin(), order.end(), [&](int x, int y) {
            if (P >= 2 && zKey(x) != zKey(y)) return zKey(x) > zKey(y);
            return aAt(x) > aAt(y);
        });
        for (int k = 0; k < top; k++) {
            TopGene t;
            t.gene = order[k];
            if (P >= 2) t.zscore = zAt(order[k]);
            t.amplitude = aAt(order[k]);
            out->topGenes[g].push_back(t);
        }
    }
}

}  // namespace survey
}  // namespace zarno
