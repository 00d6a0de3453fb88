// How often the survey suggests the right pattern count, and how well the
// runs recover a known truth, by convergence stop and missing cells.
//
//   zarno_survey_eval synthetic [--reps R] [--chains C] [--rounds N] [--genes G] [--samples S]
//                               [--true A:B] [--unweighted] [--tolerance T]
//                               [--missing F | --blocks] [--arithmetic gram|classic]
//   zarno_survey_eval stops [same options]     tolerance 0, 1e-6, 1e-5, 1e-4 and 1e-3
//   zarno_survey_eval missing [same options]   none, 10% and 30% at random, 20% in blocks
//   zarno_survey_eval file DATA UNCERT [--ranks A:B] [--chains C] [--rounds N] [--unweighted]
//
// synthetic: data of known pattern count K = 2..8 at two noise levels, with
// their uncertainties; every (K, noise, replicate) case is a sweep of pattern
// counts max(1, K-3) .. K+3 over C chains of the real engine (RunJob on one
// thread), surveyed in memory. Prints one line per case and the share of
// right suggestions. --missing F drops each cell with probability F; --blocks
// drops a block: half the genes in 40% of the samples (20% of the cells).
// stops and missing: the same cases under each setting, one summary row per
// setting: right suggestions, pattern recovery and consensus agreement at the
// true count, the fit's error at the missing cells, rounds and processor time
// (the sweeps run on one thread).
// file: the same survey for a data file and its uncertainties (gene name
// then values per row, a header of sample labels), e.g. the shipped sample.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "eval_figures.h"
#include "survey_fixture.h"
#include "zarno/api.h"
#include "zarno/survey.h"

namespace {

struct Args {
    int reps = 3, chains = 10, rounds = 2000, genes = 150, samples = 30;
    int first = 2, last = 6;
    bool unweighted = false;    // run without the uncertainties (the rule then has no fit verdict)
    int kFirst = 2, kLast = 8;  // true pattern counts evaluated
    double tolerance = 0.0;
    // Of unweighted runs: the classic round (the core's default) or the Gram form.
    zarno::Arithmetic arithmetic = zarno::Arithmetic::kClassic;
    double missing = 0.0;  // fraction of cells missing at random
    bool blocks = false;   // or a block of them
    bool quiet = false;    // no line per case
};

// One synthetic case: the truth and what was observed.
struct Case {
    int K = 0;
    std::vector<double> A, P, truth;   // G x K, K x S, G x S
    std::vector<double> data, sigma;   // data NaN where missing
    std::vector<double> held;          // the noisy values at the missing cells
    std::vector<bool> missing;
    long long missingCells = 0;
};

// Known truth: K smooth patterns peaking across the samples, sparse gene
// amplitudes, and per-cell uncertainties proportional to the signal plus a
// floor; the data are the truth plus Gaussian noise of that size, kept >= 0.
Case Synthetic(int K, double level, int seed, const Args& a)
{
    const int G = a.genes, S = a.samples;
    Case c;
    c.K = K;
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> n(0.0, 1.0);
    c.P.resize(static_cast<size_t>(K) * S);
    c.A.resize(static_cast<size_t>(G) * K);
    for (int k = 0; k < K; k++) {
        const double centre = (k + 0.5) * S / K + (u(rng) - 0.5) * S / (2.0 * K);
        const double width = S / (2.5 * K) * (0.8 + 0.4 * u(rng));
        for (int s = 0; s < S; s++) {
            const double z = (s - centre) / width;
            c.P[static_cast<size_t>(k) * S + s] = std::exp(-0.5 * z * z) + 0.02;
        }
    }
    for (auto& v : c.A) v = u(rng) < 0.4 ? 1.0 + 4.0 * u(rng) : 0.2 * u(rng);
    double mean = 0.0;
    c.truth.assign(static_cast<size_t>(G) * S, 0.0);
    for (int g = 0; g < G; g++)
        for (int s = 0; s < S; s++) {
            double x = 0.0;
            for (int k = 0; k < K; k++) x += c.A[static_cast<size_t>(g) * K + k] * c.P[static_cast<size_t>(k) * S + s];
            c.truth[static_cast<size_t>(g) * S + s] = x;
            mean += x;
        }
    mean /= static_cast<double>(c.truth.size());
    c.data.resize(c.truth.size());
    c.sigma.resize(c.truth.size());
    for (size_t i = 0; i < c.truth.size(); i++) {
        c.sigma[i] = level * c.truth[i] + 0.2 * level * mean;
        c.data[i] = std::max(0.0, c.truth[i] + c.sigma[i] * n(rng));
    }
    // The cells dropped, drawn apart from the truth so that a case's truth
    // and noise are the same with and without them.
    c.missing.assign(c.truth.size(), false);
    std::mt19937_64 drop(seed * 7919 + 17);
    if (a.blocks) {
        std::vector<int> genes(G), samples(S);
        for (int g = 0; g < G; g++) genes[g] = g;
        for (int s = 0; s < S; s++) samples[s] = s;
        std::shuffle(genes.begin(), genes.end(), drop);
        std::shuffle(samples.begin(), samples.end(), drop);
        for (int i = 0; i < G / 2; i++)
            for (int j = 0; j < (2 * S) / 5; j++) c.missing[static_cast<size_t>(genes[i]) * S + samples[j]] = true;
    } else if (a.missing > 0.0) {
        for (size_t i = 0; i < c.missing.size(); i++) c.missing[i] = u(drop) < a.missing;
    }
    for (size_t i = 0; i < c.missing.size(); i++) {
        if (!c.missing[i]) continue;
        c.held.push_back(c.data[i]);
        c.data[i] = std::numeric_limits<double>::quiet_NaN();
        c.missingCells++;
    }
    return c;
}

class Keep : public zarno::JobSink {
public:
    std::vector<zarno::SurveyRun> runs;
    bool RunFinished(const zarno::RunView& v) override
    {
        zarno::SurveyRun r;
        r.patterns = v.patterns;
        r.chain = v.chain;
        r.weighted = v.weighted;
        r.amplitudes.assign(v.amplitudes, v.amplitudes + static_cast<size_t>(v.genes) * v.patterns);
        r.patternRows.assign(v.patternRows, v.patternRows + static_cast<size_t>(v.patterns) * v.samples);
        r.chiSquare = v.chiSquare;
        r.ssr = v.ssr;
        runs.push_back(std::move(r));
        rounds += v.rounds;
        return true;
    }
    long long rounds = 0;
};

struct Swept {
    zarno::Survey survey;
    std::vector<zarno::SurveyRun> runs;
    double seconds = 0.0;
    double meanRounds = 0.0;
};

Swept Sweep(const std::vector<double>& data, const std::vector<double>& sigma, int G, int S, int first,
            int last, long long missingCells, const Args& a)
{
    zarno::Dataset d;
    d.genes = G;
    d.samples = S;
    d.values = data.data();
    d.sigmas = sigma.data();
    d.weighted = !a.unweighted;
    d.allowMissing = missingCells > 0;
    zarno::JobSpec job;
    job.firstRank = first;
    job.lastRank = last;
    job.chains = a.chains;
    job.run.rounds = a.rounds;
    job.run.tolerance = a.tolerance;
    job.run.arithmetic = a.arithmetic;
    job.run.threadsPerRun = 1;
    job.threads = 1;
    if (const zarno::Refusal r = zarno::CheckJob(d, job)) {
        std::fprintf(stderr, "refused: %s\n", r.text.c_str());
        std::exit(2);
    }
    Keep keep;
    const double start = eval::CpuSeconds();
    if (zarno::RunJob(d, job, keep).status != zarno::JobOutcome::kDone) {
        std::fprintf(stderr, "a sweep failed\n");
        std::exit(1);
    }
    Swept out;
    out.seconds = eval::CpuSeconds() - start;
    out.meanRounds = static_cast<double>(keep.rounds) / static_cast<double>(keep.runs.size());
    zarno::SurveyData sd;
    sd.genes = G;
    sd.samples = S;
    sd.cells = static_cast<long long>(G) * S - missingCells;
    out.survey = zarno::RunSurvey(sd, keep.runs);
    out.runs = std::move(keep.runs);
    return out;
}

void PrintCounts(const zarno::Survey& s)
{
    for (const auto& c : s.counts) {
        std::printf("    k=%d chi2/dof %.4f  stab %.3f / %.3f  coph %s  %s\n", c.patterns,
                    c.chiSquarePerDof ? c.chiSquarePerDof->best : -1.0, c.meanStability.value_or(-9),
                    c.minStability.value_or(-9),
                    c.cophenetic ? std::to_string(*c.cophenetic).c_str() : "NA", c.Status().c_str());
    }
}

// What one case says, at its true count K.
struct Outcome {
    bool right = false;
    double minR = std::nan(""), ari = std::nan("");
    // Root mean square of (fit - truth) / uncertainty at the missing and the
    // observed cells, and of (fit - the dropped noisy value) / uncertainty.
    double missingZ = std::nan(""), observedZ = std::nan(""), heldZ = std::nan("");
    double seconds = 0.0, meanRounds = 0.0;
    // The figures the rule weighs: fit at K and K-1, lowest stability at K+1.
    double fitK = std::nan(""), fitBelow = std::nan(""), stabAbove = std::nan("");
};

Outcome Judge(const Case& c, const Swept& w, const Args& a)
{
    const int G = a.genes, S = a.samples, K = c.K;
    Outcome o;
    o.right = w.survey.suggested && *w.survey.suggested == K;
    o.seconds = w.seconds;
    o.meanRounds = w.meanRounds;
    for (const auto& count : w.survey.counts) {
        if (count.patterns != K || count.chains.empty()) continue;
        const std::vector<double> r = eval::MatchedCorrelations(c.P, count.patternMean, K, S);
        o.minR = *std::min_element(r.begin(), r.end());
        // The generating group of a sample: the pattern contributing most to it.
        std::vector<int> groups(S);
        for (int s = 0; s < S; s++) {
            double best = -1;
            for (int k = 0; k < K; k++) {
                double weight = 0;
                for (int g = 0; g < G; g++) weight += c.A[static_cast<size_t>(g) * K + k];
                const double x = weight * c.P[static_cast<size_t>(k) * S + s];
                if (x > best) best = x, groups[s] = k;
            }
        }
        o.ari = eval::AdjustedRand(groups, eval::CutConsensus(count.consensus, S, K));
    }
    // The fit of the best chain at K, cell by cell.
    const zarno::SurveyRun* best = nullptr;
    for (const auto& r : w.runs)
        if (r.patterns == K && (best == nullptr || r.chiSquare < best->chiSquare)) best = &r;
    if (best != nullptr) {
        double sm = 0, so = 0, sh = 0;
        long long nm = 0, no = 0;
        for (int g = 0; g < G; g++)
            for (int s = 0; s < S; s++) {
                const size_t e = static_cast<size_t>(g) * S + s;
                double fit = 0;
                for (int k = 0; k < K; k++)
                    fit += best->amplitudes[static_cast<size_t>(g) * K + k] * best->patternRows[static_cast<size_t>(k) * S + s];
                const double z = (fit - c.truth[e]) / c.sigma[e];
                if (c.missing[e]) {
                    const double h = (fit - c.held[static_cast<size_t>(nm)]) / c.sigma[e];
                    sm += z * z, sh += h * h, nm++;
                } else {
                    so += z * z, no++;
                }
            }
        if (nm > 0) o.missingZ = std::sqrt(sm / nm), o.heldZ = std::sqrt(sh / nm);
        if (no > 0) o.observedZ = std::sqrt(so / no);
    }
    return o;
}

// Every case of the evaluation under one setting.
std::vector<std::pair<double, Outcome>> Cases(const Args& a, bool print)
{
    const double levels[2] = {0.05, 0.15};
    std::vector<std::pair<double, Outcome>> out;
    if (print)
        std::printf("%-3s %-6s %-4s %-9s %-3s %10s %10s %8s %10s %7s %6s\n", "K", "noise", "rep", "suggested",
                    "ok", "fit(K-1)", "fit(K)", "stab(K)", "stab(K+1)", "min r", "ARI");
    auto fit = [](const zarno::Survey& s, int P) {
        for (const auto& c : s.counts)
            if (c.patterns == P && c.chiSquarePerDof) return c.chiSquarePerDof->best;
        return std::nan("");
    };
    auto stab = [](const zarno::Survey& s, int P) {
        for (const auto& c : s.counts)
            if (c.patterns == P && c.minStability) return *c.minStability;
        return std::nan("");
    };
    for (int K = a.kFirst; K <= a.kLast; K++)
        for (double level : levels)
            for (int rep = 0; rep < a.reps; rep++) {
                const Case c = Synthetic(K, level, 1000 * K + 100 * rep + static_cast<int>(level * 100), a);
                const Swept w = Sweep(c.data, c.sigma, a.genes, a.samples, std::max(1, K - 3), K + 3,
                                      c.missingCells, a);
                const zarno::Survey& s = w.survey;
                Outcome o = Judge(c, w, a);
                o.fitK = fit(s, K);
                o.fitBelow = fit(s, K - 1);
                o.stabAbove = stab(s, K + 1);
                out.push_back({level, o});
                if (!print) continue;
                std::printf("%-3d %-6.2f %-4d %-9s %-3s %10.4f %10.4f %8.4f %10.4f %7.4f %6.3f\n", K, level, rep,
                            s.suggested ? std::to_string(*s.suggested).c_str() : "none", o.right ? "yes" : "NO",
                            fit(s, K - 1), fit(s, K), stab(s, K), stab(s, K + 1), o.minR, o.ari);
                if (!o.right || std::getenv("ZARNO_EVAL_VERBOSE")) {
                    std::printf("    note: %s\n", s.note.c_str());
                    PrintCounts(s);
                }
                std::fflush(stdout);
            }
    return out;
}

// One summary row of a setting's cases.
void SummaryHeader()
{
    std::printf("| %s | %s | %s | %s | %s | %s | %s | %s | %s |\n", "setting", "right suggestions",
                "min r at K, noise 0.05: lowest / median", "min r at K, noise 0.15: median",
                "ARI at K: lowest / mean", "fit error at missing cells (z vs truth / vs dropped value)",
                "fit error at observed cells (z vs truth)", "mean rounds", "processor seconds");
    std::printf("|---|---|---|---|---|---|---|---|---|\n");
}

void SummaryRow(const std::string& setting, const std::vector<std::pair<double, Outcome>>& cases)
{
    int right = 0;
    std::vector<double> r05, r15, ari, mz, hz, oz;
    double seconds = 0, rounds = 0;
    for (const auto& [level, o] : cases) {
        right += o.right;
        (level < 0.1 ? r05 : r15).push_back(o.minR);
        ari.push_back(o.ari);
        if (!std::isnan(o.missingZ)) mz.push_back(o.missingZ), hz.push_back(o.heldZ);
        oz.push_back(o.observedZ);
        seconds += o.seconds;
        rounds += o.meanRounds;
    }
    auto median = [](std::vector<double> v) {
        if (v.empty()) return std::nan("");
        std::sort(v.begin(), v.end());
        return v[v.size() / 2];
    };
    auto lowest = [](const std::vector<double>& v) { return v.empty() ? std::nan("") : *std::min_element(v.begin(), v.end()); };
    auto mean = [](const std::vector<double>& v) {
        double s = 0;
        for (double x : v) s += x;
        return v.empty() ? std::nan("") : s / v.size();
    };
    char missing[64] = "-";
    if (!mz.empty()) std::snprintf(missing, sizeof missing, "%.2f / %.2f", median(mz), median(hz));
    std::printf("| %s | %d of %zu | %.4f / %.4f | %.4f | %.3f / %.3f | %s | %.2f | %.0f | %.0f |\n", setting.c_str(),
                right, cases.size(), lowest(r05), median(r05), median(r15), lowest(ari), mean(ari), missing,
                median(oz), rounds / cases.size(), seconds);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s synthetic|stops|missing|file ... (see the source's header)\n", argv[0]);
        return 2;
    }
    Args a;
    const std::string mode = argv[1];
    std::vector<std::string> files;
    for (int i = 2; i < argc; i++) {
        const std::string k = argv[i];
        auto next = [&]() { return i + 1 < argc ? std::atoi(argv[++i]) : 0; };
        if (k == "--reps") a.reps = next();
        else if (k == "--chains") a.chains = next();
        else if (k == "--rounds") a.rounds = next();
        else if (k == "--genes") a.genes = next();
        else if (k == "--samples") a.samples = next();
        else if (k == "--unweighted") a.unweighted = true;
        else if (k == "--blocks") a.blocks = true;
        else if (k == "--quiet") a.quiet = true;
        else if (k == "--tolerance" && i + 1 < argc) a.tolerance = std::atof(argv[++i]);
        else if (k == "--missing" && i + 1 < argc) a.missing = std::atof(argv[++i]);
        else if (k == "--arithmetic" && i + 1 < argc) {
            if (!zarno::ParseArithmetic(argv[++i], &a.arithmetic)) {
                std::fprintf(stderr, "--arithmetic: gram or classic, not %s\n", argv[i]);
                return 2;
            }
        }
        else if (k == "--true" && i + 1 < argc) std::sscanf(argv[++i], "%d:%d", &a.kFirst, &a.kLast);
        else if (k == "--ranks" && i + 1 < argc) std::sscanf(argv[++i], "%d:%d", &a.first, &a.last);
        else files.push_back(k);
    }
    if (mode == "file") {
        std::vector<double> data, sigma;
        int G = 0, S = 0, G2 = 0, S2 = 0;
        if (files.size() != 2 || !fixture::ReadMatrix(files[0], &data, &G, &S) ||
            !fixture::ReadMatrix(files[1], &sigma, &G2, &S2) || G != G2 || S != S2) {
            std::fprintf(stderr, "file mode needs DATA and UNCERT files of one shape\n");
            return 2;
        }
        const zarno::Survey s = Sweep(data, sigma, G, S, a.first, a.last, 0, a).survey;
        PrintCounts(s);
        std::printf("suggested %s (%s)\n", s.suggested ? std::to_string(*s.suggested).c_str() : "none",
                    s.note.c_str());
        return 0;
    }
    const char* weighting = a.unweighted ? "unweighted" : "weighted";
    if (mode == "stops") {
        SummaryHeader();
        for (double tol : {0.0, 1e-6, 1e-5, 1e-4, 1e-3}) {
            Args b = a;
            b.tolerance = tol;
            char missing[32] = "complete";
            if (a.blocks) std::snprintf(missing, sizeof missing, "20%% in blocks");
            else if (a.missing > 0) std::snprintf(missing, sizeof missing, "%.0f%% missing", 100 * a.missing);
            char setting[96];
            std::snprintf(setting, sizeof setting, "%s, %s, tolerance %g", weighting, missing, tol);
            SummaryRow(setting, Cases(b, !a.quiet));
        }
        return 0;
    }
    if (mode == "missing") {
        SummaryHeader();
        struct Setting {
            const char* name;
            double fraction;
            bool blocks;
        };
        for (const Setting& m : {Setting{"none missing", 0.0, false}, Setting{"10% at random", 0.1, false},
                                 Setting{"30% at random", 0.3, false}, Setting{"20% in blocks", 0.0, true}}) {
            Args b = a;
            b.missing = m.fraction;
            b.blocks = m.blocks;
            char setting[96];
            std::snprintf(setting, sizeof setting, "%s, %s, tolerance %g", weighting, m.name, a.tolerance);
            SummaryRow(setting, Cases(b, !a.quiet));
        }
        return 0;
    }
    const std::vector<std::pair<double, Outcome>> cases = Cases(a, true);
    int right = 0;
    for (const auto& c : cases) right += c.second.right;
    const int total = static_cast<int>(cases.size());
    std::printf("right: %d of %d (%.1f%%)\n", right, total, 100.0 * right / total);
    if (!a.unweighted) {
        double worstRight = 0.0, bestBelow = 1e300, worstAbove = -1.0;
        for (const auto& c : cases) {
            if (!std::isnan(c.second.fitK)) worstRight = std::max(worstRight, c.second.fitK);
            if (!std::isnan(c.second.fitBelow)) bestBelow = std::min(bestBelow, c.second.fitBelow);
            if (!std::isnan(c.second.stabAbove)) worstAbove = std::max(worstAbove, c.second.stabAbove);
        }
        std::printf("fit at K at most %.4f; fit at K-1 at least %.4f; lowest stability at K+1 at most %.4f\n",
                    worstRight, bestBelow, worstAbove);
    }
    SummaryHeader();
    SummaryRow(std::string(weighting), cases);
    return right * 10 >= total * 9 ? 0 : 1;
}
