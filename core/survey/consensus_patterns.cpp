// Consensus patterns and amplitudes: the matched patterns averaged over the
// chains kept, in the order of the samples where they peak, and the genes
// that stand out in each.
#include <algorithm>
#include <cmath>
#include <numeric>
#include <utility>

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

// Top genes: each gene is a candidate for the pattern holding its largest
// share of its consensus amplitude, ranked there by the marker score of
// TopGene. A z-score across patterns would not do: with few patterns it
// takes the same value for every gene found in one pattern only, and it
// turns negative in a pattern that no gene prefers.
void TopGenes(const SurveyOptions& opt, int genes, CountSurvey* out)
{
    const int G = genes, P = out->patterns;
    const double* a = out->amplitudeMean.data();
    auto at = [&](int gene, int p) { return a[static_cast<size_t>(gene) * P + p]; };
    std::vector<double> largest(P, 0.0);
    for (int gene = 0; gene < G; gene++)
        for (int p = 0; p < P; p++) largest[p] = std::max(largest[p], at(gene, p));
    std::vector<std::vector<TopGene>> candidates(P);
    for (int gene = 0; gene < G; gene++) {
        double sum = 0.0, most = 0.0;
        for (int p = 0; p < P; p++) sum += at(gene, p), most = std::max(most, at(gene, p));
        if (!(most > 0.0)) continue;  // a gene of zeros marks nothing
        for (int p = 0; p < P; p++) {
            if (at(gene, p) != most) continue;
            TopGene t;
            t.gene = gene;
            t.amplitude = at(gene, p);
            t.share = t.amplitude / sum;
            t.score = t.share * (t.amplitude / largest[p]);
            candidates[p].push_back(t);
        }
    }
    out->topGenes.assign(P, {});
    for (int p = 0; p < P; p++) {
        std::vector<TopGene>& list = candidates[p];
        std::stable_sort(list.begin(), list.end(), [](const TopGene& x, const TopGene& y) {
            return x.score != y.score ? x.score > y.score : x.amplitude > y.amplitude;
        });
        if (list.size() > static_cast<size_t>(std::max(opt.topGenes, 0))) list.resize(opt.topGenes);
        if (list.empty())
            out->notes.push_back("P" + std::to_string(p + 1) +
                                 ": no gene has its largest share here (no top genes)");
        out->topGenes[p] = std::move(list);
    }
}

}  // namespace survey
}  // namespace zarno
