// The rank survey (see survey.h).
#include "zarno/survey.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <map>
#include <numeric>

#include "Common.h"

namespace zarno {

namespace {

std::string Fmt(const char* format, double x)
{
    char out[64];
    std::snprintf(out, sizeof out, format, x);
    return out;
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

Spread SpreadOf(const std::vector<double>& v)
{
    Spread s;
    s.best = *std::min_element(v.begin(), v.end());
    s.worst = *std::max_element(v.begin(), v.end());
    s.median = Median(v);
    return s;
}

std::string JoinInts(const std::vector<int>& v)
{
    std::string s;
    for (size_t i = 0; i < v.size(); i++) s += (i ? ", " : "") + std::to_string(v[i]);
    return s;
}

// Sample consensus of the complete chains: sample s goes, in each chain, to the
// pattern p that contributes most to it, sum over genes of A[g][p] times P[p][s].
void SampleConsensus(const SurveyData& data, const std::vector<const SurveyRun*>& runs, int P,
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

    std::vector<double> distance(out->consensus.size()), coph;
    for (size_t k = 0; k < distance.size(); k++) distance[k] = 1.0 - out->consensus[k];
    survey::AverageLinkage(distance, S, &coph, &out->sampleOrder);
    if (S < 2) {
        out->notes.push_back("one sample: no consensus figures");
        return;
    }
    // One chain's grouping is trivially clean: its figures would say nothing.
    if (runs.size() < 2) return;
    out->cophenetic = survey::UpperCorrelation(distance, coph, S);
    if (!out->cophenetic) {
        bool together = true;
        for (double m : out->consensus) together = together && m == 1.0;
        out->notes.push_back(together ? "all samples in one group in every chain: "
                                        "cophenetic correlation undefined"
                                      : "consensus without contrast: cophenetic correlation "
                                        "undefined");
    }
    // Dispersion over all pairs, the diagonal included; PAC over distinct pairs.
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

// Matching, stability and the consensus patterns of one count's complete chains.
void Patterns(const SurveyData& data, const std::vector<const SurveyRun*>& runs, int P,
              const SurveyOptions& opt, CountSurvey* out)
{
    const int S = data.samples, G = data.genes;
    const int C = static_cast<int>(runs.size());
    std::vector<const double*> rows(C);
    int reference = 0;
    for (int c = 0; c < C; c++) {
        rows[c] = runs[c]->patternRows.data();
        if (runs[c]->chiSquare < runs[reference]->chiSquare) reference = c;
    }
    out->assignment = survey::MatchChains(rows, P, S, reference);
    auto row = [&](int c, int g) {
        return rows[c] + static_cast<size_t>(out->assignment[c][g]) * S;
    };

    // Group means over a set of chains.
    auto means = [&](const std::vector<bool>& use, std::vector<double>* m) {
        m->assign(static_cast<size_t>(P) * S, 0.0);
        int n = 0;
        for (int c = 0; c < C; c++) {
            if (!use[c]) continue;
            n++;
            for (int g = 0; g < P; g++)
                for (int s = 0; s < S; s++) (*m)[static_cast<size_t>(g) * S + s] += row(c, g)[s];
        }
        for (double& v : *m) v /= n;
    };
    std::vector<double> mean;
    means(std::vector<bool>(C, true), &mean);

    // Matched similarity of every pattern to its group's mean.
    double sum = 0.0, low = 1.0;
    for (int c = 0; c < C; c++)
        for (int g = 0; g < P; g++) {
            const double cs = survey::Cosine(row(c, g), mean.data() + static_cast<size_t>(g) * S, S);
            sum += cs;
            low = std::min(low, cs);
        }
    if (C >= 2) {
        out->meanMatch = sum / (static_cast<double>(C) * P);
        out->minMatch = low;
    }

    // Chain match: each chain against the means of the others (leave one out),
    // so that with few chains an odd one does not pull the mean to itself.
    out->chainMatch.assign(C, 1.0);
    out->outlier.assign(C, false);
    if (C >= 2) {
        std::vector<double> others;
        for (int c = 0; c < C; c++) {
            std::vector<bool> use(C, true);
            use[c] = false;
            means(use, &others);
            double m = 0.0;
            for (int g = 0; g < P; g++)
                m += survey::Cosine(row(c, g), others.data() + static_cast<size_t>(g) * S, S);
            out->chainMatch[c] = m / P;
        }
    }
    // Outliers: a match below the median by more than outlierMads scaled MADs
    // and by at least outlierFloor. Fewer than half the chains can lie below
    // the median, so a group always keeps most of its members.
    if (C >= 3) {
        const double med = Median(out->chainMatch);
        std::vector<double> dev(C);
        for (int c = 0; c < C; c++) dev[c] = std::fabs(out->chainMatch[c] - med);
        const double cut = med - std::max(opt.outlierMads * 1.4826 * Median(dev), opt.outlierFloor);
        std::vector<int> flagged;
        for (int c = 0; c < C; c++)
            if (out->chainMatch[c] < cut) out->outlier[c] = true, flagged.push_back(runs[c]->chain);
        if (!flagged.empty())
            out->notes.push_back(std::to_string(flagged.size()) + " outlier chain" +
                                 (flagged.size() > 1 ? "s" : "") + " left out of the consensus: " +
                                 JoinInts(flagged));
    }

    // Cosine silhouettes, distance 1 - cosine, per group over all chains.
    out->silhouette.assign(P, std::nullopt);
    if (C >= 2 && P >= 2) {
        const int N = C * P;
        std::vector<double> d(static_cast<size_t>(N) * N);
        for (int i = 0; i < N; i++)
            for (int j = 0; j < N; j++)
                d[static_cast<size_t>(i) * N + j] =
                    1.0 - survey::Cosine(row(i / P, i % P), row(j / P, j % P), S);
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
    } else if (C < 2) {
        out->notes.push_back("one chain: stability and consensus figures not measurable");
    } else {
        out->notes.push_back("one pattern: no silhouette (stability from the matched similarity)");
    }

    // Consensus over the chains kept.
    std::vector<bool> keep(C);
    for (int c = 0; c < C; c++) keep[c] = !out->outlier[c];
    out->chainsUsed = static_cast<int>(std::count(keep.begin(), keep.end(), true));
    const int n = out->chainsUsed;
    out->hasSd = n >= 2;
    if (!out->hasSd) out->notes.push_back("one chain in the consensus: no standard deviations");

    // Groups ordered by the sample where their mean peaks, then by centre of mass.
    std::vector<double> kept;
    means(keep, &kept);
    std::vector<std::pair<double, int>> key(P);
    for (int g = 0; g < P; g++) {
        const double* m = kept.data() + static_cast<size_t>(g) * S;
        const int peak = static_cast<int>(std::max_element(m, m + S) - m);
        double centre = 0.0, mass = 0.0;
        for (int s = 0; s < S; s++) centre += s * m[s], mass += m[s];
        key[g] = {peak + (mass > 0.0 ? centre / mass : 0.0) / (S + 1.0), g};
    }
    std::stable_sort(key.begin(), key.end());
    std::vector<int> order(P);
    for (int g = 0; g < P; g++) order[g] = key[g].second;
    {
        std::vector<std::vector<int>> a(C, std::vector<int>(P));
        std::vector<std::optional<double>> sil(P);
        for (int g = 0; g < P; g++) {
            for (int c = 0; c < C; c++) a[c][g] = out->assignment[c][order[g]];
            sil[g] = out->silhouette[order[g]];
        }
        out->assignment = a;
        out->silhouette = sil;
    }

    // Mean and sample standard deviation of patterns and amplitude columns.
    out->patternMean.assign(static_cast<size_t>(P) * S, 0.0);
    out->patternSd.assign(static_cast<size_t>(P) * S, 0.0);
    out->amplitudeMean.assign(static_cast<size_t>(G) * P, 0.0);
    out->amplitudeSd.assign(static_cast<size_t>(G) * P, 0.0);
    for (int c = 0; c < C; c++) {
        if (!keep[c]) continue;
        for (int g = 0; g < P; g++) {
            const int p = out->assignment[c][g];
            for (int s = 0; s < S; s++)
                out->patternMean[static_cast<size_t>(g) * S + s] +=
                    rows[c][static_cast<size_t>(p) * S + s];
            for (int gene = 0; gene < G; gene++)
                out->amplitudeMean[static_cast<size_t>(gene) * P + g] +=
                    runs[c]->amplitudes[static_cast<size_t>(gene) * P + p];
        }
    }
    for (double& v : out->patternMean) v /= n;
    for (double& v : out->amplitudeMean) v /= n;
    if (out->hasSd) {
        for (int c = 0; c < C; c++) {
            if (!keep[c]) continue;
            for (int g = 0; g < P; g++) {
                const int p = out->assignment[c][g];
                for (int s = 0; s < S; s++) {
                    const size_t k = static_cast<size_t>(g) * S + s;
                    const double e = rows[c][static_cast<size_t>(p) * S + s] - out->patternMean[k];
                    out->patternSd[k] += e * e;
                }
                for (int gene = 0; gene < G; gene++) {
                    const size_t k = static_cast<size_t>(gene) * P + g;
                    const double e =
                        runs[c]->amplitudes[static_cast<size_t>(gene) * P + p] - out->amplitudeMean[k];
                    out->amplitudeSd[k] += e * e;
                }
            }
        }
        for (double& v : out->patternSd) v = std::sqrt(v / (n - 1));
        for (double& v : out->amplitudeSd) v = std::sqrt(v / (n - 1));
    }

    // Top genes: each gene's consensus amplitudes z-scored across the patterns
    // with the sample deviation (the information file's z-score), ranked per pattern.
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
    std::vector<int> genes(G);
    for (int g = 0; g < P; g++) {
        std::iota(genes.begin(), genes.end(), 0);
        auto zAt = [&](int gene) { return z[static_cast<size_t>(gene) * P + g]; };
        auto aAt = [&](int gene) { return out->amplitudeMean[static_cast<size_t>(gene) * P + g]; };
        // z-scores across few patterns take few values (with two, every gene
        // is +-1/sqrt(2)) and differ only by rounding; ranked at 1e-9 so that
        // such ties go to the amplitude rather than to rounding noise.
        auto zKey = [&](int gene) { return std::llround(zAt(gene) * 1e9); };
        std::stable_sort(genes.begin(), genes.end(), [&](int x, int y) {
            if (P >= 2 && zKey(x) != zKey(y)) return zKey(x) > zKey(y);
            return aAt(x) > aAt(y);
        });
        for (int k = 0; k < top; k++) {
            TopGene t;
            t.gene = genes[k];
            if (P >= 2) t.zscore = zAt(genes[k]);
            t.amplitude = aAt(genes[k]);
            out->topGenes[g].push_back(t);
        }
    }
}

void Judge(const SurveyOptions& opt, CountSurvey* c)
{
    if (c->chains.size() >= 2) {
        if (c->patterns >= 2)
            c->stable = *c->meanStability >= opt.minMeanStability &&
                        *c->minStability >= opt.minMinStability;
        else
            c->stable = *c->minMatch >= opt.minOnePatternMatch;
    }
    if (c->chiSquarePerDof) c->fits = c->chiSquarePerDof->best <= 1.0 + opt.fitTolerance;
}

// Where held-out errors were measured, says whether they agree with the
// suggestion (the lowest median held-out error at the suggested count).
void CheckHoldout(Survey* s)
{
    const CountSurvey* lowest = nullptr;
    for (const CountSurvey& c : s->counts)
        if (c.holdoutError && (lowest == nullptr || c.holdoutError->median < lowest->holdoutError->median))
            lowest = &c;
    if (lowest == nullptr || !s->suggested) return;
    if (lowest->patterns == *s->suggested)
        s->note += "; the held-out error agrees (lowest at this count)";
    else
        s->note += "; note: the held-out error is lowest at " + std::to_string(lowest->patterns) +
                   " patterns";
}

void Suggest(const SurveyOptions& opt, Survey* s)
{
    std::vector<const CountSurvey*> measured;
    bool weighted = false;
    for (const CountSurvey& c : s->counts) {
        if (c.chains.empty()) continue;
        measured.push_back(&c);
        weighted = weighted || c.weighted;
    }
    if (measured.empty()) {
        s->note = "no complete run: nothing to suggest";
        return;
    }
    bool anyStability = false;
    for (const CountSurvey* c : measured) anyStability = anyStability || c->stable.has_value();
    if (!anyStability) {
        s->note = "one chain per pattern count: stability not measurable, no count suggested "
                  "(run at least 2 chains, better 10)";
        return;
    }
    std::vector<int> stable;
    for (const CountSurvey* c : measured)
        if (c->stable.value_or(false)) stable.push_back(c->patterns);
    if (weighted) {
        for (const CountSurvey* c : measured) {
            if (c->stable.value_or(false) && c->fits.value_or(false)) {
                s->suggested = c->patterns;
                s->note = "smallest count whose patterns are stable (mean silhouette " +
                          (c->meanStability ? Fmt("%.3f", *c->meanStability)
                                            : std::string("n/a")) +
                          ") and whose best chi-square per degree of freedom (" +
                          Fmt("%.3f", c->chiSquarePerDof->best) + ") is within " +
                          Fmt("%g", opt.fitTolerance) + " of 1";
                if (c == measured.front() && c->patterns > 1)
                    s->note += "; it is the smallest count run: a smaller one may fit too";
                return;
            }
        }
        std::string fitting;
        for (const CountSurvey* c : measured)
            if (c->fits.value_or(false)) fitting += (fitting.empty() ? "" : ", ") + std::to_string(c->patterns);
        s->note = "no count is both stable and fitted to the noise (stable: " +
                  (stable.empty() ? std::string("none") : JoinInts(stable)) + "; fitted: " +
                  (fitting.empty() ? std::string("none") : fitting) +
                  "); try more patterns or rounds, or check the uncertainties";
        return;
    }
    if (stable.empty()) {
        s->note = "no pattern count has stable patterns";
        return;
    }
    s->suggested = stable.back();
    s->note = "unweighted runs: no fit to the noise can be judged; the largest count with stable "
              "patterns";
    if (stable.back() == measured.back()->patterns)
        s->note += "; it is the largest count run: a larger one may be stable too";
}

}  // namespace

std::string CountSurvey::Status() const
{
    if (notes.empty()) return "ok";
    std::string s;
    for (size_t i = 0; i < notes.size(); i++) s += (i ? "; " : "") + notes[i];
    return s;
}

Survey RunSurvey(const SurveyData& data, const std::vector<SurveyRun>& runs,
                 const SurveyOptions& options)
{
    std::map<int, std::vector<const SurveyRun*>> byCount;
    for (const SurveyRun& r : runs) byCount[r.patterns].push_back(&r);
    Survey out;
    for (auto& [P, list] : byCount) {
        std::stable_sort(list.begin(), list.end(),
                         [](const SurveyRun* a, const SurveyRun* b) { return a->chain < b->chain; });
        CountSurvey c;
        c.patterns = P;
        std::vector<const SurveyRun*> complete;
        std::vector<double> chi, ssr, hold;
        for (const SurveyRun* r : list) {
            if (r->status == SurveyRun::kMissing) {
                c.missingChains.push_back(r->chain);
                continue;
            }
            if (r->status == SurveyRun::kFailed) {
                c.failedChains.push_back(r->chain);
                continue;
            }
            complete.push_back(r);
            c.chains.push_back(r->chain);
            c.weighted = c.weighted || r->weighted;
            chi.push_back(r->chiSquare);
            ssr.push_back(r->ssr);
            if (r->holdoutError) hold.push_back(*r->holdoutError);
        }
        if (!c.missingChains.empty())
            c.notes.push_back("missing chains: " + JoinInts(c.missingChains));
        if (!c.failedChains.empty())
            c.notes.push_back("failed chains: " + JoinInts(c.failedChains));
        c.dof = static_cast<double>(data.cells) -
                (static_cast<double>(data.genes) * P + static_cast<double>(P) * data.samples - P);
        if (complete.empty()) {
            c.notes.push_back("no complete run");
            out.counts.push_back(std::move(c));
            continue;
        }
        c.chiSquare = SpreadOf(chi);
        c.ssr = SpreadOf(ssr);
        if (!hold.empty()) c.holdoutError = SpreadOf(hold);
        if (c.weighted) {
            if (c.dof > 0) {
                Spread d = *c.chiSquare;
                d.best /= c.dof, d.median /= c.dof, d.worst /= c.dof;
                c.chiSquarePerDof = d;
            } else {
                c.notes.push_back("no degrees of freedom left: chi-square per degree of freedom "
                                  "undefined");
            }
        }
        SampleConsensus(data, complete, P, &c);
        Patterns(data, complete, P, options, &c);
        Judge(options, &c);
        out.counts.push_back(std::move(c));
    }
    Suggest(options, &out);
    CheckHoldout(&out);
    return out;
}

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

void AverageLinkage(const std::vector<double>& distance, int n, std::vector<double>* cophenetic,
                    std::vector<int>* order)
{
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

}  // namespace survey

}  // namespace zarno
