// The threads of one run: started once when the run first needs them, parked
// between passes, joined when the run's memory is released. The thread that
// owns the run works as thread 0, so a pool of n threads starts n - 1.
#ifndef ZARNO_KERNEL_POOL_H
#define ZARNO_KERNEL_POOL_H

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <thread>
#include <vector>

namespace zarno::kernels {

// Thread t's share [first, last) of `total` items split into whole units of
// `unit` items, as evenly as whole units allow; empty where units run out.
inline void Share(int total, int unit, int t, int n, int& first, int& last)
{
    const long long units = (static_cast<long long>(total) + unit - 1) / unit;
    const long long a = units * t / n * unit, b = units * (t + 1) / n * unit;
    first = static_cast<int>(a < total ? a : total);
    last = static_cast<int>(b < total ? b : total);
}

class Pool {
public:
    // Up to `threads` threads, each with `scratchDoubles` doubles of scratch
    // of its own. Fewer when the system refuses to start more (Size() tells;
    // the results do not depend on it).
    Pool(int threads, size_t scratchDoubles);
    ~Pool();
    Pool(const Pool&) = delete;
    Pool& operator=(const Pool&) = delete;

    int Size() const { return size_; }
    double* Scratch(int thread) { return scratch_ + static_cast<size_t>(thread) * stride_; }
    bool Ok() const { return scratch_ != nullptr; }
    size_t ScratchDoubles() const { return stride_; }

    // Runs job(context, t) on every thread t = 0 .. Size()-1 and returns when
    // all are done. Allocates nothing.
    void Run(void (*job)(void* context, int thread), void* context);

    // Waits until every thread of the pool has reached it; for use inside a job.
    void Barrier();

private:
    void Work(int thread);

    int size_ = 1;
    size_t stride_ = 0;
    double* scratch_ = nullptr;
    std::vector<std::thread> threads_;
    void (*job_)(void*, int) = nullptr;
    void* context_ = nullptr;
    bool open_ = false;  // size_ is final: the workers may start
    bool stop_ = false;
    // The barrier: arrivals in this generation, and the generation.
    std::atomic<int> arrived_{0};
    std::atomic<unsigned> generation_{0};
    std::mutex mutex_;
    std::condition_variable wake_;
};

}  // namespace zarno::kernels

#endif
