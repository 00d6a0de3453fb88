// Patterns matched across chains: one pattern of each chain per group, and
// how well the groups hold together.
#include <algorithm>
#include <cmath>
#include <limits>

#include "survey_steps.h"

namespace zarno {
namespace survey {

double Cosine(const double* x, const double* y, int n)
{
    double xy = 0.0, xx = 0.0, yy = 0.0;
    for (int i = 0; i < n; i++) xy += x[i] * y[i], xx += x[i] * x[i], yy += y[i] * y[i];
    if (xx == 0.0 || yy == 0.0) return 0.0;
    return xy / (std::sqrt(xx) * std::sqrt(yy));
}

// Hungarian method with row and column potentials, O(n^3).
std::vector<int> Assign(const std::vector<double>& cost, int n)
{
    const double inf = std::numeric_limits<double>::infinity();
    std::vector<double> u(n + 1, 0.0), v(n + 1, 0.0), minv(n + 1);
    std::vector<int> p(n + 1, 0), way(n + 1, 0);
    std::vector<bool> used(n + 1);
    for (int i = 1; i <= n; i++) {
        p[0] = i;
        int j0 = 0;
        std::fill(minv.begin(), minv.end(), inf);
        std::fill(used.begin(), used.end(), false);
        do {
            used[j0] = true;
            const int i0 = p[j0];
            double delta = inf;
            int j1 = 0;
            for (int j = 1; j <= n; j++) {
                if (used[j]) continue;
                const double cur = cost[static_cast<size_t>(i0 - 1) * n + (j - 1)] - u[i0] - v[j];
                if (cur < minv[j]) minv[j] = cur, way[j] = j0;
                if (minv[j] < delta) delta = minv[j], j1 = j;
            }
            for (int j = 0; j <= n; j++) {
                if (used[j]) {
                    u[p[j]] += delta;
                    v[j] -= delta;
                } else {
                    minv[j] -= delta;
                }
            }
            j0 = j1;
        } while (p[j0] != 0);
        do {
            const int j1 = way[j0];
            p[j0] = p[j1];
            j0 = j1;
        } while (j0 != 0);
    }
    std::vector<int> result(n);
    for (int j = 1; j <= n; j++) result[p[j] - 1] = j - 1;
    return result;
}

std::vector<std::vector<int>> MatchChains(const std::vector<const double*>& chains, int patterns,
                                          int samples, int reference)
{
    const int C = static_cast<int>(chains.size()), P = patterns, S = samples;
    std::vector<std::vector<int>> assignment(C, std::vector<int>(P));
    std::vector<double> mean(chains[reference], chains[reference] + static_cast<size_t>(P) * S);
    std::vector<double> cost(static_cast<size_t>(P) * P);
    // Assign every chain to the current means, recompute the means, until no
    // assignment changes (a cycle is cut after 100 passes).
    for (int pass = 0; pass < 100; pass++) {
        bool changed = false;
        for (int c = 0; c < C; c++) {
            for (int g = 0; g < P; g++)
                for (int p = 0; p < P; p++)
                    cost[static_cast<size_t>(g) * P + p] =
                        -Cosine(mean.data() + static_cast<size_t>(g) * S,
                                chains[c] + static_cast<size_t>(p) * S, S);
            std::vector<int> a = Assign(cost, P);
            if (pass == 0 || a != assignment[c]) changed = true;
            assignment[c] = a;
        }
        if (!changed) break;
        std::fill(mean.begin(), mean.end(), 0.0);
        for (int c = 0; c < C; c++)
            for (int g = 0; g < P; g++)
                for (int s = 0; s < S; s++)
                    mean[static_cast<size_t>(g) * S + s] +=
                        chains[c][static_cast<size_t>(assignment[c][g]) * S + s] / C;
    }
    return assignment;
}

void MatchedChains::Means(const std::vector<bool>& use, std::vector<double>* m) const
{
    m->assign(static_cast<size_t>(P) * S, 0.0);
    int n = 0;
    for (int c = 0; c < C; c++) {
        if (!use[c]) continue;
        n++;
        for (int g = 0; g < P; g++)
            for (int s = 0; s < S; s++) (*m)[static_cast<size_t>(g) * S + s] += Row(c, g)[s];
    }
    for (double& v : *m) v /= n;
}

MatchedChains MatchPatterns(const std::vector<const SurveyRun*>& runs, int P, int S,
                            CountSurvey* out)
{
    MatchedChains m;
    m.runs = runs;
    m.P = P;
    m.S = S;
    m.C = static_cast<int>(runs.size());
    m.rows.resize(m.C);
    int reference = 0;
    for (int c = 0; c < m.C; c++) {
        m.rows[c] = runs[c]->patternRows.data();
        if (runs[c]->chiSquare < runs[reference]->chiSquare) reference = c;
    }
    out->assignment = MatchChains(m.rows, P, S, reference);
    m.assignment = &out->assignment;
    return m;
}

// Matched similarity of every pattern to its group's mean.
void MatchFigures(const MatchedChains& m, CountSurvey* out)
{
    const int C = m.C, P = m.P, S = m.S;
    std::vector<double> mean;
    m.Means(std::vector<bool>(C, true), &mean);
    double sum = 0.0, low = 1.0;
    for (int c = 0; c < C; c++)
        for (int g = 0; g < P; g++) {
            const double cs = Cosine(m.Row(c, g), mean.data() + static_cast<size_t>(g) * S, S);
            sum += cs;
            low = std::min(low, cs);
        }
    if (C >= 2) {
        out->meanMatch = sum / (static_cast<double>(C) * P);
        out->minMatch = low;
    }
}

// Chain match: each chain against the means of the others (leave one out),
// so that with few chains an odd one does not pull the mean to itself.
void ChainMatches(const MatchedChains& m, CountSurvey* out)
{
    const int C = m.C, P = m.P, S = m.S;
    out->chainMatch.assign(C, 1.0);
    out->outlier.assign(C, false);
    if (C < 2) return;
    std::vector<double> others;
    for (int c = 0; c < C; c++) {
        std::vector<bool> use(C, true);
        use[c] = false;
        m.Means(use, &others);
        double match = 0.0;
        for (int g = 0; g < P; g++)
            match += Cosine(m.Row(c, g), others.data() + static_cast<size_t>(g) * S, S);
        out->chainMatch[c] = match / P;
    }
}

// Outliers: a match below the median by more than outlierMads scaled MADs
// and by at least outlierFloor. Fewer than half the chains can lie below
// the median, so a group always keeps most of its members.
void FlagOutliers(const MatchedChains& m, const SurveyOptions& opt, CountSurvey* out)
{
    const int C = m.C;
    if (C < 3) return;
    const double med = Median(out->chainMatch);
    std::vector<double> dev(C);
    for (int c = 0; c < C; c++) dev[c] = std::fabs(out->chainMatch[c] - med);
    const double cut = med - std::max(opt.outlierMads * 1.4826 * Median(dev), opt.outlierFloor);
    std::vector<int> flagged;
    for (int c = 0; c < C; c++)
        if (out->chainMatch[c] < cut) out->outlier[c] = true, flagged.push_back(m.runs[c]->chain);
    if (!flagged.empty())
        out->notes.push_back(std::to_string(flagged.size()) + " outlier chain" +
                             (flagged.size() > 1 ? "s" : "") + " left out of the consensus: " +
                             JoinInts(flagged));
}

// Cosine silhouettes, distance 1 - cosine, per group over all chains.
void Silhouettes(const MatchedChains& m, CountSurvey* out)
{
    const int C = m.C, P = m.P, S = m.S;
    out->silhouette.assign(P, std::nullopt);
    if (C < 2) {
        out->notes.push_back("one chain: stability and consensus figures not measurable");
        return;
    }
    if (P < 2) {
        out->notes.push_back("one pattern: no silhouette (stability from the matched similarity)");
        return;
    }
    const int N = C * P;
    std::vector<double> d(static_cast<size_t>(N) * N);
    for (int i = 0; i < N; i++)
        for (int j = 0; j < N; j++)
            d[static_cast<size_t>(i) * N + j] =
                1.0 - Cosine(m.Row(i / P, i % P), m.Row(j / P, j % P), S);
    std::vector<double> toGroup(P);
    double total = 0.0, lowest = std::numeric_limits<double>::infinity();
    for (int g = 0; g < P; g++) {
        double sg = 0.0;
        for (int c = 0; c < C; c++) {
            const int i = c * P + g;
            std::fill(toGroup.begin(), toGroup.end(), 0.0);
            for (int j = 0; j < N; j++)
                if (j != i) toGroup[j % P] += d[static_cast<size_t>(i) * N + j];
            const double a = toGroup[g] / (C - 1);
            double b = std::numeric_limits<double>::infinity();
            for (int h = 0; h < P; h++)
                if (h != g) b = std::min(b, toGroup[h] / C);
            const double top = std::max(a, b);
            sg += top > 0.0 ? (b - a) / top : 0.0;
        }
        out->silhouette[g] = sg / C;
        total += sg / C;
        lowest = std::min(lowest, sg / C);
    }
    out->meanStability = total / P;
    out->minStability = lowest;
}

}  // namespace survey
}  // namespace zarno
