// A job's runs, on the calling thread or on worker threads, handed to the
// caller's sink.
#include <algorithm>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "huge_pages.h"
#include "run_private.h"

namespace zarno {

namespace {

using detail::Clock;
using detail::CoreEngine;
using detail::Format;
using detail::kMostThreadsPerRun;

JobOutcome Outcome(JobOutcome::Status status, std::string error, int done)
{
    JobOutcome o;
    o.status = status;
    o.error = std::move(error);
    o.runsDone = done;
    return o;
}

// data / uncertainties, once for every engine of a sweep: the same division
// each engine would make for itself.
std::vector<double> Quotients(const Dataset& d)
{
    std::vector<double> q;
    if (!d.weighted) return q;
    const size_t n = static_cast<size_t>(d.genes) * static_cast<size_t>(d.samples);
    q.resize(n);
    for (size_t e = 0; e < n; e++) q[e] = d.values[e] / d.sigmas[e];
    return q;
}

// Every run on the calling thread, handed to the sink live: the classic job.
JobOutcome RunSequential(const Dataset& data, const JobSpec& job, const std::vector<RunKey>& runs,
                         const double* scaled, const detail::MissingCells* missing, int budget,
                         JobSink& sink, Control* control)
{
    CoreEngine x(data, job.run, control, &sink, scaled, missing);
    x.ShareThreads(nullptr, std::min(budget, kMostThreadsPerRun));
    int done = 0;
    for (const RunKey& k : runs) {
        if (control != nullptr && control->cancel) return Outcome(JobOutcome::kCancelled, "", done);
        if (!sink.Message(Format("Npatterns %d chain %d", k.patterns, k.chain)))
            return Outcome(JobOutcome::kStopped, "", done);
        if (!x.Run(k.patterns, k.chain)) {
            if (x.host.cancelled) return Outcome(JobOutcome::kCancelled, "", done);
            if (x.host.sinkStopped) return Outcome(JobOutcome::kStopped, "", done);
            return Outcome(JobOutcome::kFailed,
                           Format("the run of %d patterns, chain %d failed", k.patterns, k.chain),
                           done);
        }
        done++;
    }
    return Outcome(JobOutcome::kDone, "", done);
}

// Runs on worker threads, largest pattern counts first; the calling thread
// hands them to the sink (in job order when asked) and ticks.
//
// Once the sweep stops (a cancel, a failed run, a tick that says no), the
// workers take no new run, and every complete run that still finishes is
// handed over before RunJob returns: finished work is never dropped. Only a
// sink that said stop gets nothing more.
class ThreadedSweep {
public:
    ThreadedSweep(const Dataset& data, const JobSpec& job, const std::vector<RunKey>& runs,
                  const double* scaled, const detail::MissingCells* missing, int threads, int budget,
                  JobSink& sink, Control* control)
        : data(data), job(job), runs(runs), scaled(scaled), missing(missing), threads(threads), sink(sink),
          ctl(control != nullptr ? *control : own), spare(budget - threads),
          joining(job.run.threadsPerRun == 0), n(runs.size()), handed(runs.size(), false),
          working(threads)
    {
        order.resize(n);
        for (size_t i = 0; i < n; i++) order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return runs[a].patterns > runs[b].patterns; });
    }

    JobOutcome Run()
    {
        std::vector<std::thread> pool;
        pool.reserve(static_cast<size_t>(threads));
        for (int t = 0; t < threads; t++) pool.emplace_back([this] { Work(); });
        lastTick = Clock::now();
        std::unique_lock<std::mutex> lock(m);
        while (delivered < n && !sinkSaidStop) {
            size_t index = n;
            std::unique_ptr<RunResult> r = TakeFinished(&index);
            if (r) {
                lock.unlock();
                Deliver(*r);
                lock.lock();
                Settle(*r, index);
                continue;
            }
            if (working == 0) {
                EndedEarly();
                break;
            }
            WaitAndTick(lock);
        }
        stop = true;
        lock.unlock();
        for (std::thread& t : pool) t.join();
        return outcome;
    }

private:
    // A worker thread: runs from the shared order until none is left or the
    // sweep stops, each into its own result.
    void Work()
    {
        try {
            CoreEngine x(data, job.run, &ctl, nullptr, scaled, missing);
            if (joining) x.ShareThreads(&spare, 1);
            size_t index;
            while (TakeRun(&index)) {
                std::unique_ptr<RunResult> r(new RunResult());
                detail::RunInto(x, runs[index].patterns, runs[index].chain, *r);
                std::lock_guard<std::mutex> lock(m);
                finished[index] = std::move(r);
                cv.notify_all();
            }
        } catch (...) {
            // Out of memory outside a run: the sweep stops, and says why.
            std::lock_guard<std::mutex> lock(m);
            stop = outOfMemory = true;
            ctl.cancel = true;
        }
        std::lock_guard<std::mutex> lock(m);
        working--;
        if (joining) spare.fetch_add(1);  // this thread is idle from now on
        cv.notify_all();
    }

    // The next run for a worker, false when it is to take none.
    bool TakeRun(size_t* index)
    {
        std::lock_guard<std::mutex> lock(m);
        if (stop || next == n || ctl.cancel) return false;
        *index = order[next++];
        return true;
    }

    // The next run to hand over (m held): in job order, or any finished one.
    std::unique_ptr<RunResult> TakeFinished(size_t* index)
    {
        auto it = job.ordered ? finished.find(nextInOrder) : finished.begin();
        if (it == finished.end()) return nullptr;
        *index = it->first;
        std::unique_ptr<RunResult> r = std::move(it->second);
        finished.erase(it);
        return r;
    }

    // A run to the sink (m not held): a complete one handed over, a failed
    // one's message passed on unless a failure is already the outcome.
    void Deliver(const RunResult& r)
    {
        if (r.status == RunResult::kComplete) {
            const bool go = sink.Message(Format("Npatterns %d chain %d", r.patterns, r.chain)) &&
                            sink.RunFinished(ViewOf(r));
            if (go) {
                outcome.runsDone++;
            } else {
                outcome.status = JobOutcome::kStopped;
                outcome.error.clear();
                sinkSaidStop = true;
            }
        } else if (r.status == RunResult::kFailed && outcome.status != JobOutcome::kFailed) {
            if (!r.error.empty()) sink.Message(r.error);
        }
    }

    // What a run handed over means for the sweep (m held).
    void Settle(const RunResult& r, size_t index)
    {
        if (sinkSaidStop) {
            stop = true;
            ctl.cancel = true;
        } else if (r.status == RunResult::kCancelled) {
            Stopping(JobOutcome::kCancelled, "");
        } else if (r.status == RunResult::kFailed) {
            // A failure outweighs a cancel that came first.
            if (outcome.status == JobOutcome::kDone || outcome.status == JobOutcome::kCancelled) {
                outcome.status = JobOutcome::kFailed;
                outcome.error = Format("the run of %d patterns, chain %d failed: %s", r.patterns,
                                       r.chain, r.error.c_str());
            }
            stop = true;
            ctl.cancel = true;
        }
        handed[index] = true;
        delivered++;
        while (nextInOrder < n && handed[nextInOrder]) nextInOrder++;
    }

    // Nothing more will finish (m held): the workers stopped before every run
    // was done (a stop above, a cancel from elsewhere, or no memory).
    void EndedEarly()
    {
        if (outOfMemory) Stopping(JobOutcome::kFailed, "out of memory");
        else Stopping(ctl.cancel ? JobOutcome::kCancelled : JobOutcome::kFailed,
                      ctl.cancel ? "" : "the sweep ended early");
    }

    // Waits for a run to finish, at most 100 ms, and ticks the sink (m held
    // except during the tick).
    void WaitAndTick(std::unique_lock<std::mutex>& lock)
    {
        cv.wait_for(lock, std::chrono::milliseconds(100));
        const Clock::time_point now = Clock::now();
        if (!stop && now - lastTick >= std::chrono::milliseconds(100)) {
            lastTick = now;
            lock.unlock();
            const bool go = sink.Tick(ctl);
            lock.lock();
            if (!go) Stopping(JobOutcome::kCancelled, "");
        }
        // Cancelled from elsewhere: the workers let go within a round.
        if (ctl.cancel) Stopping(JobOutcome::kCancelled, "");
    }

    // The sweep stops (m held); the first reason is the outcome.
    void Stopping(JobOutcome::Status why, std::string error)
    {
        if (outcome.status == JobOutcome::kDone) {
            outcome.status = why;
            outcome.error = std::move(error);
        }
        stop = true;
        ctl.cancel = true;
    }

    const Dataset& data;
    const JobSpec& job;
    const std::vector<RunKey>& runs;
    const double* scaled;
    const detail::MissingCells* missing;
    const int threads;
    JobSink& sink;
    Control own;
    Control& ctl;
    // Automatic threads per run: the budget's threads beyond one per worker,
    // and each worker's once it finds no run left, join the runs going on.
    std::atomic<int> spare;
    const bool joining;
    const size_t n;
    std::vector<size_t> order;  // into runs: largest pattern counts first

    // The calling thread's.
    JobOutcome outcome;
    size_t delivered = 0;
    std::vector<bool> handed;
    size_t nextInOrder = 0;
    Clock::time_point lastTick;
    bool sinkSaidStop = false;

    // Shared, under m.
    std::mutex m;
    std::condition_variable cv;
    size_t next = 0;  // into order
    std::map<size_t, std::unique_ptr<RunResult>> finished;
    bool stop = false;
    bool outOfMemory = false;
    int working;
};

}  // namespace

JobOutcome RunJob(const Dataset& data, const JobSpec& job, JobSink& sink, Control* control)
{
    const std::vector<RunKey> runs = PlanRuns(job);
    if (runs.empty()) return Outcome(JobOutcome::kDone, "", 0);
    const int budget = job.threads > 0 ? job.threads : AvailableProcessors();
    int threads = budget;  // concurrent runs
    if (static_cast<size_t>(threads) > runs.size()) threads = static_cast<int>(runs.size());
    try {
        // Missing cells: their uncertainties and quotients, made once.
        detail::MissingCells missingCells;
        const detail::MissingCells* missing = missingCells.Make(data) ? &missingCells : nullptr;
        // Runs with a holdout scale their own data: each chain masks others.
        const std::vector<double> scaled = job.run.holdout > 0.0 || missing != nullptr
                                               ? std::vector<double>()
                                               : Quotients(data);
        const double* shared = scaled.empty() ? nullptr : scaled.data();
        // What every half-round streams besides Mock: the quotients and the
        // uncertainties, or the data themselves when unweighted.
        const size_t bytes = static_cast<size_t>(data.genes) * data.samples * sizeof(double);
        if (missing != nullptr && !(job.run.holdout > 0.0)) {
            zarno::huge_pages::AdviseHugePages(missing->scaled.data(), bytes);
            zarno::huge_pages::AdviseHugePages(missing->sigmas.data(), bytes);
        } else {
            zarno::huge_pages::AdviseHugePages(shared, bytes);
            zarno::huge_pages::AdviseHugePages(data.weighted ? data.sigmas : data.values, bytes);
        }
        if (threads <= 1) return RunSequential(data, job, runs, shared, missing, budget, sink, control);
        return ThreadedSweep(data, job, runs, shared, missing, threads, budget, sink, control).Run();
    } catch (const std::bad_alloc&) {
        return Outcome(JobOutcome::kFailed, "out of memory", 0);
    }
}

}  // namespace zarno
