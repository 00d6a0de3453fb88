// Fixed rounds against the convergence stop, on whole studies: rounds used,
// wall time and the chi-square reached, per tolerance.
//
//   zarno_tolerance [DATA_DIR] [ROUNDS] [THREADS]
//
// Two studies, pattern counts 2 to 5 with 10 chains each: the shipped sample
// (DATA_DIR/sample.txt and sample.unc) and synthetic data of a small public
// leukemia expression set's shape (5000 genes x 38 samples, 4 programs of
// gamma-distributed activity, multiplicative noise, uncertainties that grow
// with the value).
#include <chrono>
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

#include "zarno/api.h"

namespace {

struct Table {
    int genes = 0, samples = 0;
    std::vector<double> values, sigmas;
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

void Study(const char* name, const Table& t, int rounds, int threads)
{
    zarno::Dataset d;
    d.genes = t.genes;
    d.samples = t.samples;
    d.values = t.values.data();
    d.sigmas = t.sigmas.data();
    d.weighted = true;
    std::printf("\n%s: %d x %d, pattern counts 2-5, 10 chains, at most %d rounds, %d threads\n",
                name, t.genes, t.samples, rounds, threads);
    std::printf("%-10s %8s %12s %10s %22s %22s\n", "tolerance", "seconds", "mean rounds",
                "min-max", "median chi2 vs fixed", "worst chi2 vs fixed");
    std::map<std::pair<int, int>, zarno::RunResult> fixed;
    for (double tol : {0.0, 1e-6, 1e-5, 1e-4}) {
        zarno::JobSpec job;
        job.firstRank = 2;
        job.lastRank = 5;
        job.chains = 10;
        job.run.rounds = rounds;
        job.run.tolerance = tol;
        job.threads = threads;
        Keep keep;
        const auto start = std::chrono::steady_clock::now();
        if (zarno::RunJob(d, job, keep).status != zarno::JobOutcome::kDone) {
            std::fprintf(stderr, "the study failed\n");
            std::exit(1);
        }
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (tol == 0.0) fixed = keep.runs;
        double sum = 0;
        int least = rounds, most = 0;
        std::vector<double> ratio;
        for (const auto& [key, r] : keep.runs) {
            sum += r.rounds;
            least = std::min(least, r.rounds);
            most = std::max(most, r.rounds);
            ratio.push_back(r.chiSquare / fixed[key].chiSquare - 1.0);
        }
        std::sort(ratio.begin(), ratio.end());
        char label[32];
        std::snprintf(label, sizeof label, tol == 0.0 ? "fixed" : "%g", tol);
        char span[32];
        std::snprintf(span, sizeof span, "%d-%d", least, most);
        std::printf("%-10s %8.2f %12.0f %10s %+21.3e%% %+21.3e%%\n", label, seconds,
                    sum / keep.runs.size(), span, 100 * ratio[ratio.size() / 2],
                    100 * ratio.back());
    }
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string dir = argc > 1 ? argv[1] : "data";
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 2000;
    const int threads = argc > 3 ? std::atoi(argv[3]) : 1;
    Table sample;
    if (!ReadMatrix(dir + "/sample.txt", &sample.genes, &sample.samples, &sample.values) ||
        !ReadMatrix(dir + "/sample.unc", &sample.genes, &sample.samples, &sample.sigmas)) {
        std::fprintf(stderr, "cannot read %s/sample.txt and sample.unc\n", dir.c_str());
        return 2;
    }
    Study("shipped sample", sample, rounds, threads);
    Study("leukemia-shaped", Leukemia(), rounds, threads);
    return 0;
}
