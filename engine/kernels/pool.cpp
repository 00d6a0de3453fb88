#include "pool.h"

#include <new>
#include <system_error>

namespace zarno::kernels {

namespace {

// Cache lines, so that no two threads' scratch shares one.
constexpr size_t kLineDoubles = 8;

inline void Pause()
{
#if defined(__x86_64__)
    __builtin_ia32_pause();
#endif
}

}  // namespace

Pool::Pool(int threads, size_t scratchDoubles)
{
    const int n = threads < 1 ? 1 : threads;
    stride_ = (scratchDoubles + kLineDoubles - 1) / kLineDoubles * kLineDoubles;
    scratch_ = static_cast<double*>(::operator new[](
        (stride_ == 0 ? 1 : stride_) * sizeof(double) * static_cast<size_t>(n),
        std::align_val_t{64}, std::nothrow));
    if (scratch_ == nullptr) return;  // Ok() is false; the caller runs on its own
    size_ = 1;
    threads_.reserve(static_cast<size_t>(n - 1));
    for (int t = 1; t < n; t++) {
        try {
            threads_.emplace_back(&Pool::Work, this, t);
        } catch (const std::system_error&) {
            break;  // the threads started so far do the work
        }
    }
    // The barrier counts the threads that did start; they wait at the gate
    // until the count is final.
    std::lock_guard<std::mutex> lock(mutex_);
    size_ = static_cast<int>(threads_.size()) + 1;
    open_ = true;
    wake_.notify_all();
}

Pool::~Pool()
{
    if (!threads_.empty()) {
        stop_ = true;
        Barrier();  // releases the parked threads, which see stop_ and end
        for (auto& t : threads_) t.join();
    }
    if (scratch_ != nullptr) ::operator delete[](scratch_, std::align_val_t{64});
}

void Pool::Work(int thread)
{
    {
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait(lock, [&] { return open_; });
    }
    for (;;) {
        Barrier();  // wait for a job (or the end)
        if (stop_) return;
        job_(context_, thread);
        Barrier();  // the job is done everywhere
    }
}

void Pool::Run(void (*job)(void*, int), void* context)
{
    if (threads_.empty()) {
        job(context, 0);
        return;
    }
    job_ = job;
    context_ = context;
    Barrier();
    job(context, 0);
    Barrier();
}

// The last of size_ threads to arrive opens the next generation. A thread
// spins a little first (a half-round of a large run ends within microseconds
// on every thread), then sleeps on the condition variable.
void Pool::Barrier()
{
    const unsigned gen = generation_.load(std::memory_order_acquire);
    if (arrived_.fetch_add(1, std::memory_order_acq_rel) + 1 == size_) {
        arrived_.store(0, std::memory_order_relaxed);
        {
            std::lock_guard<std::mutex> lock(mutex_);
            generation_.store(gen + 1, std::memory_order_release);
        }
        wake_.notify_all();
        return;
    }
    for (int i = 0; i < 1000; i++) {
        if (generation_.load(std::memory_order_acquire) != gen) return;
        Pause();
    }
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait(lock, [&] { return generation_.load(std::memory_order_acquire) != gen; });
}

}  // namespace zarno::kernels
