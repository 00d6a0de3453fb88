// Fixed rounds against the convergence stop, on whole studies: rounds used,
// time and the chi-square reached per tolerance, and what the survey makes of
// the runs: the suggested count, the agreement of the sample consensus with
// the generating groups (adjusted Rand index) and the recovery of the
// patterns, both at the true count.
//
//   zarno_tolerance [DATA_DIR] [ROUNDS] [THREADS] [--unweighted] [--missing F]
//
// Two studies, pattern counts 2 to 5 with 10 chains each: the shipped sample
// (DATA_DIR/sample.txt and sample.unc; its 3 true patterns in
// sample.patterns) and synthetic data of a small public leukemia expression
// set's shape (5000 genes x 38 samples, 4 programs of gamma-distributed
// activity, multiplicative noise, uncertainties that grow with the value).
// --missing F drops each cell with probability F. A sample's generating
// group is the true pattern largest at it.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <algorithm>
#include <map>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "eval_figures.h"
#include "zarno/api.h"
#include "zarno/survey.h"

namespace {

struct Table {
    int genes = 0, samples = 0;
    std::vector<double> values, sigmas;
    int K = 0;                  // the true pattern count
    std::vector<double> truth;  // its patterns, K x samples
};

struct Options {
    int rounds = 2000, threads = 1;
    bool unweighted = false;
    double missing = 0.0;
};

// A data file of the shipped layout: a header of labels, then a name and the
// values per gene.
bool ReadMatrix(const std::string& path, int* genes, int* samples, std::vector<double>* out)
{
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    std::getline(in, line);
    int rows = 0, cols = -1;
    out->clear();
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string name;
        if (!(words >> name)) continue;
        double v;
        int n = 0;
        while (words >> v) {
            out->push_back(v);
            n++;
        }
        if (cols >= 0 && n != cols) return false;
        cols = n;
        rows++;
    }
    *genes = rows;
    *samples = cols;
    return rows > 0;
}

// Rows of plain numbers (the true patterns of the sample), without labels.
bool ReadNumbers(const std::string& path, int* rows, std::vector<double>* out)
{
    std::ifstream in(path);
    if (!in) return false;
    out->clear();
    *rows = 0;
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        bool any = false;
        for (double v; words >> v;) out->push_back(v), any = true;
        *rows += any;
    }
    return *rows > 0;
}

Table Leukemia()
{
    Table t;
    t.genes = 5000;
    t.samples = 38;
    std::mt19937_64 rng(38);
    std::gamma_distribution<double> activity(0.8, 1.0);
    std::lognormal_distribution<double> noise(0.0, 0.15);
    const int K = 4;
    std::vector<double> a(static_cast<size_t>(t.genes) * K), p(static_cast<size_t>(K) * t.samples);
    for (auto& v : a) v = activity(rng);
    for (int k = 0; k < K; k++)
        for (int s = 0; s < t.samples; s++)
            p[static_cast<size_t>(k) * t.samples + s] = (s * K / t.samples == k ? 3.0 : 0.3) * activity(rng);
    t.values.resize(static_cast<size_t>(t.genes) * t.samples);
    t.sigmas.resize(t.values.size());
    for (int g = 0; g < t.genes; g++)
        for (int s = 0; s < t.samples; s++) {
            double x = 0;
            for (int k = 0; k < K; k++) x += a[static_cast<size_t>(g) * K + k] * p[static_cast<size_t>(k) * t.samples + s];
            const size_t e = static_cast<size_t>(g) * t.samples + s;
            t.values[e] = x * noise(rng);
            t.sigmas[e] = 0.05 + 0.15 * t.values[e];
        }
    t.K = K;
    t.truth = p;
    return t;
}

class Keep : public zarno::JobSink {
public:
    std::map<std::pair<int, int>, zarno::RunResult> runs;
    bool RunFinished(const zarno::RunView& v) override
    {
        runs[{v.patterns, v.chain}] = zarno::CopyRun(v);
        return true;
    }
};

// What the survey of a study's runs says at the true count.
struct Verdict {
    std::string suggested = "none";
    double ari = std::nan(""), minR = std::nan("");
};

Verdict Judge(const Table& t, const std::map<std::pair<int, int>, zarno::RunResult>& runs, long long missing)
{
    zarno::SurveyData d;
    d.genes = t.genes;
    d.samples = t.samples;
    d.cells = static_cast<long long>(t.genes) * t.samples - missing;
    std::vector<zarno::SurveyRun> list;
    for (const auto& [key, r] : runs) {
        zarno::SurveyRun x;
        x.patterns = r.patterns;
        x.chain = r.chain;
        x.weighted = r.weighted;
        x.amplitudes = r.amplitudes;
        x.patternRows = r.patternRows;
        x.chiSquare = r.chiSquare;
        x.ssr = r.ssr;
        list.push_back(std::move(x));
    }
    const zarno::Survey s = zarno::RunSurvey(d, list);
    Verdict v;
    if (s.suggested) v.suggested = std::to_string(*s.suggested);
    const int S = t.samples, K = t.K;
    std::vector<int> groups(S);
    for (int j = 0; j < S; j++)
        for (int k = 0; k < K; k++)
            if (t.truth[static_cast<size_t>(k) * S + j] > t.truth[static_cast<size_t>(groups[j]) * S + j]) groups[j] = k;
    for (const auto& c : s.counts) {
        if (c.patterns != K || c.chains.empty()) continue;
        v.ari = eval::AdjustedRand(groups, eval::CutConsensus(c.consensus, S, K));
        const std::vector<double> r = eval::MatchedCorrelations(t.truth, c.patternMean, K, S);
        v.minR = *std::min_element(r.begin(), r.end());
    }
    return v;
}

void Study(const char* name, Table t, const Options& o)
{
    std::mt19937_64 drop(5);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    long long missing = 0;
    for (double& v : t.values)
        if (o.missing > 0 && u(drop) < o.missing) v = std::nan(""), missing++;
    zarno::Dataset d;
    d.genes = t.genes;
    d.samples = t.samples;
    d.values = t.values.data();
    d.sigmas = t.sigmas.data();
    d.weighted = !o.unweighted;
    d.allowMissing = missing > 0;
    std::printf("\n%s: %d x %d%s, %lld cells missing, pattern counts 2-5, 10 chains, at most %d rounds, "
                "%d threads\n",
                name, t.genes, t.samples, o.unweighted ? " unweighted" : " weighted", missing, o.rounds,
                o.threads);
    std::printf("| tolerance | processor seconds | mean rounds | min-max | median chi2 vs fixed | worst chi2 vs "
                "fixed | suggested | ARI at %d | min r at %d |\n|---|---|---|---|---|---|---|---|---|\n",
                t.K, t.K);
    std::map<std::pair<int, int>, zarno::RunResult> fixed;
    for (double tol : {0.0, 1e-6, 1e-5, 1e-4, 1e-3}) {
        zarno::JobSpec job;
        job.firstRank = 2;
        job.lastRank = 5;
        job.chains = 10;
        job.run.rounds = o.rounds;
        job.run.tolerance = tol;
        job.threads = o.threads;
        Keep keep;
        const double start = eval::CpuSeconds();
        if (zarno::RunJob(d, job, keep).status != zarno::JobOutcome::kDone) {
            std::fprintf(stderr, "the study failed\n");
            std::exit(1);
        }
        const double seconds = eval::CpuSeconds() - start;
        if (tol == 0.0) fixed = keep.runs;
        double sum = 0;
        int least = o.rounds, most = 0;
        std::vector<double> ratio;
        for (const auto& [key, r] : keep.runs) {
            sum += r.rounds;
            least = std::min(least, r.rounds);
            most = std::max(most, r.rounds);
            ratio.push_back(r.chiSquare / fixed[key].chiSquare - 1.0);
        }
        std::sort(ratio.begin(), ratio.end());
        const Verdict v = Judge(t, keep.runs, missing);
        char label[32];
        std::snprintf(label, sizeof label, tol == 0.0 ? "fixed" : "%g", tol);
        std::printf("| %s | %.1f | %.0f | %d-%d | %+.3e%% | %+.3e%% | %s | %.3f | %.4f |\n", label, seconds,
                    sum / keep.runs.size(), least, most, 100 * ratio[ratio.size() / 2], 100 * ratio.back(),
                    v.suggested.c_str(), v.ari, v.minR);
        std::fflush(stdout);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> words;
    Options o;
    for (int i = 1; i < argc; i++) {
        const std::string w = argv[i];
        if (w == "--unweighted") o.unweighted = true;
        else if (w == "--missing" && i + 1 < argc) o.missing = std::atof(argv[++i]);
        else words.push_back(w);
    }
    const std::string dir = words.size() > 0 ? words[0] : "data";
    if (words.size() > 1) o.rounds = std::atoi(words[1].c_str());
    if (words.size() > 2) o.threads = std::atoi(words[2].c_str());
    Table sample;
    if (!ReadMatrix(dir + "/sample.txt", &sample.genes, &sample.samples, &sample.values) ||
        !ReadMatrix(dir + "/sample.unc", &sample.genes, &sample.samples, &sample.sigmas) ||
        !ReadNumbers(dir + "/sample.patterns", &sample.K, &sample.truth) ||
        sample.truth.size() != static_cast<size_t>(sample.K) * sample.samples) {
        std::fprintf(stderr, "cannot read %s/sample.txt, sample.unc and sample.patterns\n", dir.c_str());
        return 2;
    }
    Study("shipped sample", sample, o);
    Study("leukemia-shaped", Leukemia(), o);
    return 0;
}
