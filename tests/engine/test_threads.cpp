// Engines running on several threads at once give, bit for bit, what each
// gives alone: nothing on a run's path is shared between engines. Run under
// the sanitizers too (tests/sanitize.sh).
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "engine_probe.h"
#include "kernels/pool.h"

namespace {

struct Outcome {
    std::vector<double> amplitude, pattern, mock;
    double chi, rmsd;
    int seedA, seedP, rounds;

    bool operator==(const Outcome& o) const
    {
        // Exact equality; a NaN anywhere fails it, as it should.
        return amplitude == o.amplitude && pattern == o.pattern && mock == o.mock &&
               chi == o.chi && rmsd == o.rmsd && seedA == o.seedA && seedP == o.seedP &&
               rounds == o.rounds;
    }
};

// Lets a fixed number of threads start each repetition together.
class Barrier {
public:
    explicit Barrier(int n) : count(n) {}
    void Wait()
    {
        std::unique_lock<std::mutex> lock(m);
        const long gen = generation;
        if (++arrived == count) {
            arrived = 0;
            generation++;
            cv.notify_all();
        } else {
            cv.wait(lock, [&] { return gen != generation; });
        }
    }

private:
    std::mutex m;
    std::condition_variable cv;
    int count, arrived = 0;
    long generation = 0;
};

// Job k: its own shape, data, chain and pattern count. Many patterns and few
// rounds make the random start a large part of the run, so that starts on
// different threads overlap often.
Outcome RunJob(int k)
{
    const int genes = 300 + 11 * k, samples = 4 + k % 3, patterns = 60 + k;
    Standalone s(genes, samples, patterns, k % 2);
    unsigned x = 2463534242u + 977u * static_cast<unsigned>(k);
    for (size_t e = 0; e < s.data.size(); e++) {
        x ^= x << 13, x ^= x >> 17, x ^= x << 5;
        s.data[e] = 0.5 + (x % 1000) / 100.0;
        s.uncert[e] = 0.2 + (x % 37) / 50.0;
    }
    L& e = s.engine;
    e.chain = 1 + k % 3;
    e.SimulateIterations = 2;
    EXPECT_EQ(s.probe.Allocate(), 1);
    s.probe.Start();
    EXPECT_EQ(e.SA_simulation(), 1);
    Outcome o{{e.Amplitude, e.Amplitude + static_cast<size_t>(genes) * patterns},
              {e.Pattern, e.Pattern + static_cast<size_t>(patterns) * samples},
              {e.Mock, e.Mock + s.data.size()},
              e.ChiSquare,
              e.rmsd,
              e.SeedA,
              e.SeedP,
              e.UsedRound};
    s.probe.Free();
    return o;
}

TEST(Threads, ConcurrentRunsMatchEachRunAlone)
{
    const int threads = 4, repetitions = 60;
    std::vector<Outcome> alone;
    for (int k = 0; k < threads; k++) alone.push_back(RunJob(k));
    for (int k = 1; k < threads; k++) ASSERT_FALSE(alone[k] == alone[0]);

    Barrier start(threads);
    std::atomic<int> mismatches{0};
    std::vector<std::thread> pool;
    for (int k = 0; k < threads; k++) {
        pool.emplace_back([&, k] {
            for (int r = 0; r < repetitions; r++) {
                start.Wait();
                if (!(RunJob(k) == alone[k])) mismatches++;
            }
        });
    }
    for (auto& t : pool) t.join();
    EXPECT_EQ(mismatches.load(), 0);
}

// The pool of one run: each Run has every thread do its part exactly once,
// and a barrier inside a job orders the phases around it, over many jobs in
// quick succession (the waits both spin and sleep).
TEST(Threads, PoolRunsEveryThreadOnceAndItsBarrierOrdersPhases)
{
    for (int n = 1; n <= 4; n++) {
        SCOPED_TRACE(testing::Message() << "threads " << n);
        zarno::kernels::Pool pool(n, 16);
        ASSERT_TRUE(pool.Ok());
        ASSERT_EQ(pool.Size(), n);
        struct Job {
            zarno::kernels::Pool* pool;
            std::vector<long> slot, seen;
            std::atomic<int> calls{0};
            long round = 0;
        } job{&pool, std::vector<long>(n), std::vector<long>(n), {}, 0};
        for (long r = 1; r <= 1000; r++) {
            job.round = r;
            pool.Run(
                [](void* c, int t) {
                    Job& j = *static_cast<Job*>(c);
                    j.calls++;
                    j.pool->Scratch(t)[0] = static_cast<double>(t);  // own scratch
                    j.slot[t] = j.round;
                    j.pool->Barrier();
                    long sum = 0;
                    for (long v : j.slot) sum += v;
                    j.seen[t] = sum;
                },
                &job);
            for (int t = 0; t < n; t++) ASSERT_EQ(job.seen[t], r * n) << "round " << r;
            for (int t = 0; t < n; t++) ASSERT_EQ(pool.Scratch(t)[0], t);
        }
        EXPECT_EQ(job.calls.load(), 1000 * n);
    }
}

}  // namespace
