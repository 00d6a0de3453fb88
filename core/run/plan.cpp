// A job's plan: its runs, a cluster worker's share of them, the processors
// they may use, and the memory model of a run in flight.
#include <sched.h>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <queue>
#include <thread>
#include <utility>
#include <vector>

#include "kernels/gram.h"
#include "kernels/kernels.h"
#include "zarno/sweep.h"

namespace zarno {

std::vector<RunKey> PlanRuns(const JobSpec& job)
{
    std::vector<RunKey> runs;
    if (job.chains < 1) return runs;
    for (long long p = job.firstRank; p <= job.lastRank; p++) {
        for (long long c = job.firstChain; c < static_cast<long long>(job.firstChain) + job.chains; c++) {
            const RunKey k{static_cast<int>(p), static_cast<int>(c)};
            if (job.only.empty() || std::find(job.only.begin(), job.only.end(), k) != job.only.end())
                runs.push_back(k);
        }
    }
    return runs;
}

std::vector<RunKey> WorkerShare(const std::vector<RunKey>& runs, int worker, int workers)
{
    std::vector<RunKey> mine;
    if (workers < 1 || worker < 0 || worker >= workers) return mine;
    // Longest processing time first: the costliest run goes to the worker
    // with the least work so far (the lowest number among equals). Rounds are
    // the same for every run of a job, so the cost is the pattern count. Ties
    // between runs keep job order, so every worker computes the same plan.
    std::vector<size_t> order(runs.size());
    for (size_t i = 0; i < order.size(); i++) order[i] = i;
    std::stable_sort(order.begin(), order.end(),
                     [&](size_t a, size_t b) { return runs[a].patterns > runs[b].patterns; });
    // The least-loaded worker on top, the lowest number among equals.
    typedef std::pair<long long, int> Load;
    std::priority_queue<Load, std::vector<Load>, std::greater<Load>> loads;
    for (int w = 0; w < workers; w++) loads.push(Load(0, w));
    std::vector<int> owner(runs.size(), 0);
    for (size_t i : order) {
        Load least = loads.top();
        loads.pop();
        owner[i] = least.second;
        least.first += runs[i].patterns;
        loads.push(least);
    }
    for (size_t i = 0; i < runs.size(); i++)
        if (owner[i] == worker) mine.push_back(runs[i]);
    return mine;
}

int AvailableProcessors()
{
    for (int n = 1024; n <= 1 << 16; n *= 2) {
        cpu_set_t* set = CPU_ALLOC(n);
        if (set == nullptr) break;
        const size_t size = CPU_ALLOC_SIZE(n);
        CPU_ZERO_S(size, set);
        if (sched_getaffinity(0, size, set) == 0) {
            const int count = CPU_COUNT_S(size, set);
            CPU_FREE(set);
            return count > 0 ? count : 1;
        }
        CPU_FREE(set);
        if (errno != EINVAL) break;
    }
    const unsigned hc = std::thread::hardware_concurrency();
    return hc > 0 ? static_cast<int>(hc) : 1;
}

std::size_t RunBytes(int genes, int samples, int patterns, bool weighted, bool gram)
{
    (void)weighted;  // a sweep shares the scaled data (SharedBytes)
    const std::size_t G = static_cast<std::size_t>(genes), S = static_cast<std::size_t>(samples),
                      K = static_cast<std::size_t>(patterns);
    const std::size_t GS = G * S, GK = G * K, KS = K * S;
    if (gram) {
        // The engine: amplitudes and their weights (doubles) and visit counts
        // (ints); patterns and their normalized copy (doubles) and counts
        // (ints); the Gram block: four patterns x padded samples arrays, two
        // patterns x patterns, a residual per gene and a thread's scratch.
        // Then the result's copy and the headers, as below.
        const std::size_t S8 = (S + 7) / 8 * 8, K8 = (K + 7) / 8 * 8;
        const std::size_t block = 4 * K * S8 + 2 * K * K8 + (G + 7) / 8 * 8 +
                                  zarno::kernels::GramThreadScratch(samples, patterns);
        return 20 * GK + 20 * KS + 8 * block + 8 * (GK + KS) + 12 * 128;
    }
    // The engine: Mock; amplitudes and their weights (doubles) and visit
    // counts (ints); patterns, their weights and normalized copy (doubles)
    // and counts (ints); the kernels' scratch. Then the result's own copy of
    // amplitudes and patterns, and the headers of a dozen blocks.
    const std::size_t engine = 8 * GS + 20 * GK + 28 * KS +
                               8 * (3 * KS + 4 * zarno::kernels::kRows * S + 2 * zarno::kernels::kRows * K);
    return engine + 8 * (GK + KS) + 12 * 128;
}

std::size_t SharedBytes(int genes, int samples, bool weighted, bool missing)
{
    const std::size_t GS = static_cast<std::size_t>(genes) * static_cast<std::size_t>(samples);
    // Values; weighted, their uncertainties and the quotients the runs share.
    // Missing cells: values, the data's uncertainties when weighted, and the
    // uncertainties and quotients made for the runs.
    if (missing) return 8 * GS * (weighted ? 4 : 3);
    return 8 * GS * (weighted ? 3 : 1);
}

}  // namespace zarno
