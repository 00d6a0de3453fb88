// How often the survey suggests the right pattern count.
//
//   zarno_survey_eval synthetic [--reps R] [--chains C] [--rounds N] [--genes G] [--samples S]
//                               [--true A:B] [--unweighted]
//   zarno_survey_eval file DATA UNCERT [--ranks A:B] [--chains C] [--rounds N] [--unweighted]
//
// synthetic: data of known pattern count K = 2..8 at two noise levels, with
// their uncertainties; every (K, noise, replicate) case is a sweep of pattern
// counts max(1, K-3) .. K+3 over C chains of the real engine, surveyed in
// memory. Prints one line per case and the share of right suggestions.
// file: the same survey for a data file and its uncertainties (gene name
// then values per row, a header of sample labels), e.g. the shipped sample.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "zarno/survey.h"
#include "survey_fixture.h"

namespace {

struct Args {
    int reps = 3, chains = 10, rounds = 2000, genes = 150, samples = 30;
    int first = 2, last = 6;
    bool unweighted = false;
    int kFirst = 2, kLast = 8;  // true pattern counts evaluated  // run without the uncertainties (the rule then has no fit verdict)
};

// Known truth: K smooth patterns peaking across the samples, sparse gene
// amplitudes, and per-cell uncertainties proportional to the signal plus a
// floor; the data are the truth plus Gaussian noise of that size, kept >= 0.
void Synthetic(int K, double level, int seed, const Args& a, std::vector<double>* data,
               std::vector<double>* sigma)
{
    const int G = a.genes, S = a.samples;
    std::mt19937_64 rng(seed);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::normal_distribution<double> n(0.0, 1.0);
    std::vector<double> P(static_cast<size_t>(K) * S), A(static_cast<size_t>(G) * K);
    for (int k = 0; k < K; k++) {
        const double centre = (k + 0.5) * S / K + (u(rng) - 0.5) * S / (2.0 * K);
        const double width = S / (2.5 * K) * (0.8 + 0.4 * u(rng));
        for (int s = 0; s < S; s++) {
            const double z = (s - centre) / width;
            P[static_cast<size_t>(k) * S + s] = std::exp(-0.5 * z * z) + 0.02;
        }
    }
    for (auto& v : A) v = u(rng) < 0.4 ? 1.0 + 4.0 * u(rng) : 0.2 * u(rng);
    double mean = 0.0;
    std::vector<double> truth(static_cast<size_t>(G) * S, 0.0);
    for (int g = 0; g < G; g++)
        for (int s = 0; s < S; s++) {
            double x = 0.0;
            for (int k = 0; k < K; k++) x += A[static_cast<size_t>(g) * K + k] * P[static_cast<size_t>(k) * S + s];
            truth[static_cast<size_t>(g) * S + s] = x;
            mean += x;
        }
    mean /= static_cast<double>(truth.size());
    data->resize(truth.size());
    sigma->resize(truth.size());
    for (size_t i = 0; i < truth.size(); i++) {
        (*sigma)[i] = level * truth[i] + 0.2 * level * mean;
        (*data)[i] = std::max(0.0, truth[i] + (*sigma)[i] * n(rng));
    }
}

zarno::Survey Sweep(const std::vector<double>& data, const std::vector<double>& sigma, int G, int S,
                    int first, int last, const Args& a)
{
    zarno::SurveyData d;
    d.genes = G;
    d.samples = S;
    d.cells = static_cast<long long>(G) * S;
    std::vector<zarno::SurveyRun> runs;
    for (int P = first; P <= last; P++)
        for (int c = 1; c <= a.chains; c++)
            runs.push_back(fixture::EngineRun(data, a.unweighted ? nullptr : &sigma, G, S, P, c, a.rounds,
                                              false));
    return zarno::RunSurvey(d, runs);
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

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s synthetic|file ... (see the source's header)\n", argv[0]);
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
        const zarno::Survey s = Sweep(data, sigma, G, S, a.first, a.last, a);
        PrintCounts(s);
        std::printf("suggested %s (%s)\n", s.suggested ? std::to_string(*s.suggested).c_str() : "none",
                    s.note.c_str());
        return 0;
    }
    const double levels[2] = {0.05, 0.15};
    int right = 0, total = 0;
    // Per case: the figures the rule weighs at K - 1, K and K + 1.
    std::printf("%-3s %-6s %-4s %-9s %-3s %10s %10s %8s %10s\n", "K", "noise", "rep", "suggested", "ok",
                "fit(K-1)", "fit(K)", "stab(K)", "stab(K+1)");
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
    double worstRight = 0.0, bestBelow = 1e300, worstAbove = -1.0;
    for (int K = a.kFirst; K <= a.kLast; K++)
        for (double level : levels)
            for (int rep = 0; rep < a.reps; rep++) {
                std::vector<double> data, sigma;
                Synthetic(K, level, 1000 * K + 100 * rep + static_cast<int>(level * 100), a, &data, &sigma);
                const zarno::Survey s = Sweep(data, sigma, a.genes, a.samples, std::max(1, K - 3), K + 3, a);
                const bool ok = s.suggested && *s.suggested == K;
                right += ok;
                total++;
                std::printf("%-3d %-6.2f %-4d %-9s %-3s %10.4f %10.4f %8.4f %10.4f\n", K, level, rep,
                            s.suggested ? std::to_string(*s.suggested).c_str() : "none", ok ? "yes" : "NO",
                            fit(s, K - 1), fit(s, K), stab(s, K), stab(s, K + 1));
                if (!std::isnan(fit(s, K))) worstRight = std::max(worstRight, fit(s, K));
                if (!std::isnan(fit(s, K - 1))) bestBelow = std::min(bestBelow, fit(s, K - 1));
                if (!std::isnan(stab(s, K + 1))) worstAbove = std::max(worstAbove, stab(s, K + 1));
                if (!ok || std::getenv("ZARNO_EVAL_VERBOSE")) {
                    std::printf("    note: %s\n", s.note.c_str());
                    PrintCounts(s);
                }
                std::fflush(stdout);
            }
    std::printf("right: %d of %d (%.1f%%)\n", right, total, 100.0 * right / total);
    if (!a.unweighted)
        std::printf("fit at K at most %.4f; fit at K-1 at least %.4f; lowest stability at K+1 at most %.4f\n",
                    worstRight, bestBelow, worstAbove);
    return right * 10 >= total * 9 ? 0 : 1;
}
