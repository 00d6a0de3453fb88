// The floor the kit is measured against: the same study through the core's
// RunJob directly, with a sink that keeps nothing. Prints the wall seconds of
// each repetition.
//
//   zarno_kit_floor GENES SAMPLES FIRST_RANK LAST_RANK CHAINS ROUNDS THREADS REPS
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include <sys/resource.h>

#include "zarno/api.h"
#include "data.h"

namespace {
// Processor seconds of the whole process (every thread), user and system.
double ProcessCpu()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

class Discard : public zarno::JobSink {
public:
    bool RunFinished(const zarno::RunView&) override { return true; }
};
}  // namespace

int main(int argc, char** argv)
{
    if (argc != 9) {
        std::fprintf(stderr, "usage: %s GENES SAMPLES FIRST_RANK LAST_RANK CHAINS ROUNDS THREADS REPS\n", argv[0]);
        return 2;
    }
    const int genes = std::atoi(argv[1]), samples = std::atoi(argv[2]);
    std::vector<double> values, sigmas;
    kitbench::Fill(genes, samples, values, sigmas);
    zarno::Dataset data;
    data.genes = genes;
    data.samples = samples;
    data.values = values.data();
    data.sigmas = sigmas.data();
    data.weighted = true;
    zarno::JobSpec job;
    job.firstRank = std::atoi(argv[3]);
    job.lastRank = std::atoi(argv[4]);
    job.chains = std::atoi(argv[5]);
    job.run.rounds = std::atoi(argv[6]);
    job.threads = std::atoi(argv[7]);
    for (int rep = std::atoi(argv[8]); rep > 0; rep--) {
        Discard sink;
        const auto start = std::chrono::steady_clock::now();
        const double cpu = ProcessCpu();
        const zarno::JobOutcome outcome = zarno::RunJob(data, job, sink);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        if (outcome.status != zarno::JobOutcome::kDone) {
            std::fprintf(stderr, "the job failed: %s\n", outcome.error.c_str());
            return 1;
        }
        std::printf("core %.3f cpu %.3f\n", seconds, ProcessCpu() - cpu);
        std::fflush(stdout);
    }
    return 0;
}
