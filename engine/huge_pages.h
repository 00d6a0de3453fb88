// Huge pages for the matrices a round streams. With 4 KiB pages every
// streamed 4 KiB costs a page walk; at 20000x200 a round streams three
// 32 MB matrices twice, and a benchmark round ran 10% faster with the
// uncertainties and data on 2 MiB pages. All of this is advice: where the system has no
// transparent huge pages, or refuses, memory stays as it was.
#ifndef ZARNO_HUGE_PAGES_H
#define ZARNO_HUGE_PAGES_H

#include <cstddef>
#include <cstdint>

#include <sys/mman.h>

namespace zarno::huge_pages {

constexpr size_t kHugePage = size_t(2) << 20;

// x rounded up to a multiple of the power of two `unit`.
constexpr uintptr_t RoundUp(uintptr_t x, uintptr_t unit)
{
    return (x + unit - 1) & ~(unit - 1);
}

#if defined(__linux__) && !defined(MADV_COLLAPSE)
#define MADV_COLLAPSE 25  // Linux 6.1; older headers lack the name
#endif

// Asks for huge pages under [p, p + bytes) of memory already in use: the
// whole 2 MiB pages inside it are collapsed now (their contents kept), so
// the advice does not wait for the kernel's background scan. The pages at
// the ends are shared with other allocations and stay as they are.
inline void AdviseHugePages(const void* p, size_t bytes)
{
#if defined(__linux__)
    const uintptr_t begin = reinterpret_cast<uintptr_t>(p);
    if (p == nullptr || bytes < kHugePage || begin + bytes < begin) return;
    const uintptr_t first = RoundUp(begin, kHugePage);
    const uintptr_t last = (begin + bytes) & ~(kHugePage - 1);
    if (last <= first) return;
    void* range = reinterpret_cast<void*>(first);
    if (madvise(range, last - first, MADV_HUGEPAGE) == 0)
        (void)madvise(range, last - first, MADV_COLLAPSE);
#else
    (void)p;
    (void)bytes;
#endif
}

// A fresh zeroed mapping of `bytes` that starts on a 2 MiB boundary, advised
// for huge pages, so that every whole 2 MiB of it can be one page when first
// touched. Release it with munmap(p, bytes). Null when the system has no
// memory for it.
inline void* MapHuge(size_t bytes)
{
    // Map a huge page more and give back what lies before the boundary and
    // past the end.
    const size_t span = bytes + kHugePage;
    if (span < bytes) return nullptr;
    void* m = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return nullptr;
    const uintptr_t at = reinterpret_cast<uintptr_t>(m);
    const uintptr_t start = RoundUp(at, kHugePage);
    const uintptr_t end = RoundUp(start + bytes, 4096);
    if (start > at) munmap(m, start - at);
    if (at + span > end) munmap(reinterpret_cast<void*>(end), at + span - end);
    void* p = reinterpret_cast<void*>(start);
#if defined(__linux__)
    (void)madvise(p, bytes, MADV_HUGEPAGE);
#endif
    return p;
}

}  // namespace zarno::huge_pages

#endif  // ZARNO_HUGE_PAGES_H
