// Agreement of the survey's clusters and patterns with the sample
// annotations (see agreement.h).
#include "zarno/agreement.h"

#include <algorithm>
#include <cmath>

namespace zarno {

namespace agreement {

namespace {

// The contingency table of two labellings over the samples both label.
struct Contingency {
    int rows = 0, columns = 0;
    double n = 0.0;
    std::vector<double> cell, rowSum, columnSum;
};

Contingency Table(const std::vector<int>& a, const std::vector<int>& b)
{
    Contingency t;
    const size_t S = std::min(a.size(), b.size());
    for (size_t s = 0; s < S; s++)
        if (a[s] >= 0 && b[s] >= 0) t.rows = std::max(t.rows, a[s] + 1), t.columns = std::max(t.columns, b[s] + 1);
    t.cell.assign(static_cast<size_t>(t.rows) * t.columns, 0.0);
    t.rowSum.assign(t.rows, 0.0);
    t.columnSum.assign(t.columns, 0.0);
    for (size_t s = 0; s < S; s++) {
        if (a[s] < 0 || b[s] < 0) continue;
        t.cell[static_cast<size_t>(a[s]) * t.columns + b[s]] += 1.0;
        t.rowSum[a[s]] += 1.0;
        t.columnSum[b[s]] += 1.0;
        t.n += 1.0;
    }
    return t;
}

double Pairs(double x) { return 0.5 * x * (x - 1.0); }

double Entropy(const std::vector<double>& sums, double n)
{
    double h = 0.0;
    for (double x : sums)
        if (x > 0) h -= x / n * std::log(x / n);
    return h;
}

}  // namespace

std::optional<double> AdjustedRand(const std::vector<int>& a, const std::vector<int>& b)
{
    const Contingency t = Table(a, b);
    if (t.n < 2) return std::nullopt;
    double index = 0.0, sa = 0.0, sb = 0.0;
    for (double x : t.cell) index += Pairs(x);
    for (double x : t.rowSum) sa += Pairs(x);
    for (double x : t.columnSum) sb += Pairs(x);
    const double expected = sa * sb / Pairs(t.n);
    const double most = 0.5 * (sa + sb);
    // Equal only when both partitions are one group, or both all singletons.
    if (most == expected) return 1.0;
    return (index - expected) / (most - expected);
}

std::optional<double> NormalizedMutualInformation(const std::vector<int>& a,
                                                  const std::vector<int>& b)
{
    const Contingency t = Table(a, b);
    if (t.n < 2) return std::nullopt;
    const double ha = Entropy(t.rowSum, t.n), hb = Entropy(t.columnSum, t.n);
    const double mean = 0.5 * (ha + hb);
    if (mean <= 0.0) return 1.0;  // both one group: the same partition
    double mi = 0.0;
    for (int i = 0; i < t.rows; i++)
        for (int j = 0; j < t.columns; j++) {
            const double x = t.cell[static_cast<size_t>(i) * t.columns + j];
            if (x > 0) mi += x / t.n * std::log(x * t.n / (t.rowSum[i] * t.columnSum[j]));
        }
    return std::clamp(mi / mean, 0.0, 1.0);
}

std::optional<double> EtaSquared(const double* values, const std::vector<int>& groups)
{
    int most = -1;
    double n = 0.0, sum = 0.0, squares = 0.0;
    for (size_t s = 0; s < groups.size(); s++) {
        if (groups[s] < 0) continue;
        most = std::max(most, groups[s]);
        n += 1.0;
        sum += values[s];
        squares += values[s] * values[s];
    }
    if (n < 2) return std::nullopt;
    std::vector<double> gsum(most + 1, 0.0), gn(most + 1, 0.0);
    for (size_t s = 0; s < groups.size(); s++)
        if (groups[s] >= 0) gsum[groups[s]] += values[s], gn[groups[s]] += 1.0;
    const double mean = sum / n;
    double total = 0.0, between = 0.0;
    int present = 0;
    for (size_t s = 0; s < groups.size(); s++)
        if (groups[s] >= 0) total += (values[s] - mean) * (values[s] - mean);
    for (int g = 0; g <= most; g++) {
        if (gn[g] == 0) continue;
        present++;
        const double d = gsum[g] / gn[g] - mean;
        between += gn[g] * d * d;
    }
    // Variance below the rounding of the values counts as none.
    if (present < 2 || total <= 1e-24 * squares) return std::nullopt;
    return std::clamp(between / total, 0.0, 1.0);
}

std::optional<double> Pearson(const double* values, const std::vector<std::optional<double>>& numbers)
{
    double n = 0.0, sx = 0.0, sy = 0.0;
    for (size_t s = 0; s < numbers.size(); s++)
        if (numbers[s]) n += 1.0, sx += values[s], sy += *numbers[s];
    if (n < 3) return std::nullopt;
    const double mx = sx / n, my = sy / n;
    double xx = 0.0, yy = 0.0, xy = 0.0, x2 = 0.0, y2 = 0.0;
    for (size_t s = 0; s < numbers.size(); s++) {
        if (!numbers[s]) continue;
        const double a = values[s] - mx, b = *numbers[s] - my;
        xx += a * a, yy += b * b, xy += a * b;
        x2 += values[s] * values[s], y2 += *numbers[s] * *numbers[s];
    }
    if (xx <= 1e-24 * x2 || yy <= 1e-24 * y2) return std::nullopt;
    return std::clamp(xy / (std::sqrt(xx) * std::sqrt(yy)), -1.0, 1.0);
}

}  // namespace agreement

namespace {

ColumnAgreement OfColumn(const AnnotationColumn& col, const CountSurvey& c, int S)
{
    ColumnAgreement out;
    out.column = col.name;
    out.numbers = col.kind == AnnotationColumn::kNumbers;
    out.samples = S - col.missing;
    const bool categories = !out.numbers;
    // A single category says nothing: no figure rather than a misleading 0.
    if (categories && col.levels.size() < 2) return out;
    if (categories) {
        out.ari = agreement::AdjustedRand(c.clusters, col.codes);
        out.nmi = agreement::NormalizedMutualInformation(c.clusters, col.codes);
    }
    double best = -1.0;
    for (int p = 0; p < c.patterns; p++) {
        const double* row = c.patternMean.data() + static_cast<size_t>(p) * S;
        const std::optional<double> x =
            categories ? agreement::EtaSquared(row, col.codes) : agreement::Pearson(row, col.numbers);
        out.patterns.push_back(x);
        if (x && std::abs(*x) > best) best = std::abs(*x), out.bestPattern = p;
    }
    return out;
}

std::optional<size_t> BestColumn(const std::vector<ColumnAgreement>& columns)
{
    std::optional<size_t> best;
    for (size_t i = 0; i < columns.size(); i++)
        if (columns[i].ari && (!best || *columns[i].ari > *columns[*best].ari)) best = i;
    if (best) return best;
    auto r = [&](size_t i) { return std::abs(*columns[i].patterns[*columns[i].bestPattern]); };
    for (size_t i = 0; i < columns.size(); i++)
        if (columns[i].numbers && columns[i].bestPattern && (!best || r(i) > r(*best))) best = i;
    return best;
}

// The strongest sign that a batch-like column drives a pattern or the clusters.
std::optional<BatchEffect> EffectOf(const AnnotationColumn& col, const ColumnAgreement& a, int P,
                                    double strong)
{
    BatchEffect e;
    e.column = col.name;
    e.flagged = col.flagged;
    e.patterns = P;
    if (a.bestPattern) {
        const double x = *a.patterns[*a.bestPattern];
        e.figure = a.numbers ? "r2" : "eta2";
        e.value = a.numbers ? x * x : x;
        e.pattern = *a.bestPattern;
    }
    if (a.ari && *a.ari > e.value) {
        e.figure = "ari";
        e.value = *a.ari;
        e.pattern.reset();
    }
    if (e.figure.empty() || e.value < strong) return std::nullopt;
    return e;
}

}  // namespace

Agreement AgreementOf(const Annotations& annotations, const Survey& survey,
                      const AgreementOptions& options)
{
    Agreement out;
    const int S = static_cast<int>(annotations.samples.size());
    for (const CountSurvey& c : survey.counts) {
        CountAgreement k;
        k.patterns = c.patterns;
        const bool measured = !c.chains.empty() && static_cast<int>(c.clusters.size()) == S &&
                              c.patternMean.size() == static_cast<size_t>(c.patterns) * S;
        if (measured) {
            for (const AnnotationColumn& col : annotations.columns) {
                k.columns.push_back(OfColumn(col, c, S));
                if (!col.Batch()) continue;
                if (auto e = EffectOf(col, k.columns.back(), c.patterns, options.strong))
                    out.batchEffects.push_back(*e);
            }
            k.best = BestColumn(k.columns);
        }
        out.counts.push_back(std::move(k));
    }
    return out;
}

}  // namespace zarno
