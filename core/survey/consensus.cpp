// The sample consensus: how often the chains put two samples in the same
// pattern, its average-linkage tree and the figures of its contrast.
#include <algorithm>
#include <cmath>
#include <limits>

#include "survey_steps.h"

namespace zarno {
namespace survey {

namespace {

// Sample s goes, in each chain, to the pattern p that contributes most to it,
// sum over genes of A[g][p] times P[p][s]; the consensus counts the chains
// that put two samples together, as a share.
void CoClustering(const SurveyData& data, const std::vector<const SurveyRun*>& runs, int P,
                  CountSurvey* out)
{
    const int S = data.samples, G = data.genes;
    std::vector<double> colsum(P);
    std::vector<int> label(S);
    out->consensus.assign(static_cast<size_t>(S) * S, 0.0);
    for (const SurveyRun* r : runs) {
        std::fill(colsum.begin(), colsum.end(), 0.0);
        for (int g = 0; g < G; g++)
            for (int p = 0; p < P; p++) colsum[p] += r->amplitudes[static_cast<size_t>(g) * P + p];
        for (int s = 0; s < S; s++) {
            int best = 0;
            double top = -std::numeric_limits<double>::infinity();
            for (int p = 0; p < P; p++) {
                const double c = colsum[p] * r->patternRows[static_cast<size_t>(p) * S + s];
                if (c > top) top = c, best = p;
            }
            label[s] = best;
        }
        for (int i = 0; i < S; i++)
            for (int j = 0; j < S; j++)
                if (label[i] == label[j]) out->consensus[static_cast<size_t>(i) * S + j] += 1.0;
    }
    for (double& m : out->consensus) m /= static_cast<double>(runs.size());
}

// Dispersion over all pairs, the diagonal included; PAC over distinct pairs.
void DispersionAndPac(int S, CountSurvey* out)
{
    double disp = 0.0;
    long long ambiguous = 0;
    for (int i = 0; i < S; i++)
        for (int j = 0; j < S; j++) {
            const double m = out->consensus[static_cast<size_t>(i) * S + j];
            disp += 4.0 * (m - 0.5) * (m - 0.5);
            if (j > i && m > 0.1 && m < 0.9) ambiguous++;
        }
    out->dispersion = disp / (static_cast<double>(S) * S);
    out->pac = static_cast<double>(ambiguous) / (static_cast<double>(S) * (S - 1) / 2.0);
}

}  // namespace

void SampleConsensus(const SurveyData& data, const std::vector<const SurveyRun*>& runs, int P,
                     CountSurvey* out)
{
    const int S = data.samples;
    CoClustering(data, runs, P, out);
    std::vector<double> distance(out->consensus.size()), coph;
    for (size_t k = 0; k < distance.size(); k++) distance[k] = 1.0 - out->consensus[k];
    std::vector<std::pair<int, int>> merges;
    AverageLinkage(distance, S, &coph, &out->sampleOrder, &merges);
    out->clusters = CutTree(merges, S, std::min(P, S), out->sampleOrder);
    if (S < 2) {
        out->notes.push_back("one sample: no consensus figures");
        return;
    }
    // One chain's grouping is trivially clean: its figures would say nothing.
    if (runs.size() < 2) return;
    out->cophenetic = UpperCorrelation(distance, coph, S);
    if (!out->cophenetic) {
        bool together = true;
        for (double m : out->consensus) together = together && m == 1.0;
        out->notes.push_back(together ? "all samples in one group in every chain: "
                                        "cophenetic correlation undefined"
                                      : "consensus without contrast: cophenetic correlation "
                                        "undefined");
    }
    DispersionAndPac(S, out);
}

void AverageLinkage(const std::vector<double>& distance, int n, std::vector<double>* cophenetic,
                    std::vector<int>* order, std::vector<std::pair<int, int>>* merges)
{
    if (merges != nullptr) merges->clear();
    cophenetic->assign(static_cast<size_t>(n) * n, 0.0);
    // Clusters: members in leaf order; d holds the average distance between clusters.
    std::vector<std::vector<int>> members(n);
    for (int i = 0; i < n; i++) members[i] = {i};
    std::vector<double> d = distance;
    std::vector<bool> alive(n, true);
    // Each cluster's nearest cluster of higher index. A merge only moves the
    // merged cluster's distances between its parts', so a row needs a new
    // search only when its neighbour took part in the merge: O(n^2) in practice.
    std::vector<int> nn(n, -1);
    std::vector<double> nnd(n, std::numeric_limits<double>::infinity());
    auto search = [&](int i) {
        nn[i] = -1;
        nnd[i] = std::numeric_limits<double>::infinity();
        for (int j = i + 1; j < n; j++)
            if (alive[j] && d[static_cast<size_t>(i) * n + j] < nnd[i])
                nnd[i] = d[static_cast<size_t>(i) * n + j], nn[i] = j;
    };
    for (int i = 0; i < n; i++) search(i);
    for (int step = 1; step < n; step++) {
        int a = -1;
        for (int i = 0; i < n; i++)
            if (alive[i] && nn[i] >= 0 && (a < 0 || nnd[i] < nnd[a])) a = i;
        const int b = nn[a];
        const double best = nnd[a];
        if (merges != nullptr) merges->emplace_back(a, b);
        for (int x : members[a])
            for (int y : members[b])
                (*cophenetic)[static_cast<size_t>(x) * n + y] =
                    (*cophenetic)[static_cast<size_t>(y) * n + x] = best;
        // Average linkage: the merged cluster's distance is the size-weighted mean.
        const double na = static_cast<double>(members[a].size());
        const double nb = static_cast<double>(members[b].size());
        for (int k = 0; k < n; k++) {
            if (!alive[k] || k == a || k == b) continue;
            const double x = (na * d[static_cast<size_t>(a) * n + k] +
                              nb * d[static_cast<size_t>(b) * n + k]) / (na + nb);
            d[static_cast<size_t>(a) * n + k] = d[static_cast<size_t>(k) * n + a] = x;
        }
        members[a].insert(members[a].end(), members[b].begin(), members[b].end());
        members[b].clear();
        alive[b] = false;
        for (int k = 0; k < n; k++) {
            if (!alive[k]) continue;
            if (k == a || nn[k] == a || nn[k] == b) {
                search(k);
            } else if (k < a && d[static_cast<size_t>(k) * n + a] < nnd[k]) {
                nnd[k] = d[static_cast<size_t>(k) * n + a], nn[k] = a;
            }
        }
    }
    order->clear();
    for (int i = 0; i < n; i++)
        if (alive[i]) *order = members[i];
}

std::vector<int> CutTree(const std::vector<std::pair<int, int>>& merges, int n, int k,
                         const std::vector<int>& order)
{
    // Union-find over the first n - k merges; each set is named by a leaf.
    std::vector<int> parent(n);
    for (int i = 0; i < n; i++) parent[i] = i;
    auto root = [&](int i) {
        while (parent[i] != i) i = parent[i] = parent[parent[i]];
        return i;
    };
    const int made = std::max(0, std::min(n - k, static_cast<int>(merges.size())));
    for (int m = 0; m < made; m++) parent[root(merges[m].second)] = root(merges[m].first);
    std::vector<int> number(n, -1), clusters(n, -1);
    int next = 0;
    for (int leaf : order) {
        const int r = root(leaf);
        if (number[r] < 0) number[r] = next++;
        clusters[leaf] = number[r];
    }
    return clusters;
}

std::optional<double> UpperCorrelation(const std::vector<double>& x, const std::vector<double>& y,
                                       int n)
{
    double sx = 0.0, sy = 0.0;
    long long m = 0;
    for (int i = 0; i < n; i++)
        for (int j = i + 1; j < n; j++) {
            sx += x[static_cast<size_t>(i) * n + j];
            sy += y[static_cast<size_t>(i) * n + j];
            m++;
        }
    if (m < 2) return std::nullopt;
    const double mx = sx / m, my = sy / m;
    double xx = 0.0, yy = 0.0, xy = 0.0;
    for (int i = 0; i < n; i++)
        for (int j = i + 1; j < n; j++) {
            const double a = x[static_cast<size_t>(i) * n + j] - mx;
            const double b = y[static_cast<size_t>(i) * n + j] - my;
            xx += a * a, yy += b * b, xy += a * b;
        }
    // Variance below rounding of the values' size counts as none.
    const double tiny = 1e-24 * m;
    if (xx <= tiny || yy <= tiny) return std::nullopt;
    return xy / (std::sqrt(xx) * std::sqrt(yy));
}

}  // namespace survey
}  // namespace zarno
