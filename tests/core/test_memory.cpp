// Huge-page placement of the streamed matrices: advice that must never
// change a value, and that takes effect where the system offers huge pages.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "zarno/api.h"
#include "huge_pages.h"

namespace {

// The AnonHugePages of the mapping holding `p`, in kB; -1 when unreadable.
long HugeKbAt(const void* p)
{
    std::ifstream smaps("/proc/self/smaps");
    const uintptr_t at = reinterpret_cast<uintptr_t>(p);
    std::string line;
    bool inside = false;
    while (std::getline(smaps, line)) {
        uintptr_t lo, hi;
        char dash;
        std::istringstream head(line);
        if (line.find(':') > line.find(' ') && head >> std::hex >> lo >> dash >> hi && dash == '-') {
            inside = lo <= at && at < hi;
            continue;
        }
        if (inside && line.rfind("AnonHugePages:", 0) == 0) return std::stol(line.substr(14));
    }
    return -1;
}

// The first whole huge page inside the array at p.
const void* FirstWholePage(const void* p)
{
    return reinterpret_cast<const void*>(
        zarno::huge_pages::RoundUp(reinterpret_cast<uintptr_t>(p), zarno::huge_pages::kHugePage));
}

// Whether this system hands out transparent huge pages on request at all:
// the setting allows it and a collapse of a fresh aligned mapping works.
bool SystemOffersHugePages(std::string* why)
{
    std::ifstream f("/sys/kernel/mm/transparent_hugepage/enabled");
    std::string setting;
    std::getline(f, setting);
    if (setting.empty() || setting.find("[never]") != std::string::npos) {
        *why = "transparent huge pages are off here (" + setting + ")";
        return false;
    }
    const size_t bytes = 2 * zarno::huge_pages::kHugePage;
    void* m = zarno::huge_pages::MapHuge(bytes);
    if (m == nullptr) {
        *why = "no memory for a probe mapping";
        return false;
    }
    std::memset(m, 1, bytes);
    const bool ok = madvise(m, zarno::huge_pages::kHugePage, MADV_COLLAPSE) == 0 && HugeKbAt(m) > 0;
    munmap(m, bytes);
    if (!ok) *why = "the system did not collapse a probe mapping into a huge page";
    return ok;
}

TEST(HugePages, MapHugeStartsOnABoundaryZeroedAndWholeToItsEnd)
{
    for (size_t bytes : {size_t(1), zarno::huge_pages::kHugePage, 5 * zarno::huge_pages::kHugePage + 123}) {
        char* p = static_cast<char*>(zarno::huge_pages::MapHuge(bytes));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(p) % zarno::huge_pages::kHugePage, 0u) << bytes;
        for (size_t i = 0; i < bytes; i += 4096) ASSERT_EQ(p[i], 0) << i;
        EXPECT_EQ(p[bytes - 1], 0);
        std::memset(p, 7, bytes);  // every byte writable
        EXPECT_EQ(munmap(p, bytes), 0);
    }
}

TEST(HugePages, AdviceKeepsEveryValueAndIgnoresRangesWithoutAWholePage)
{
    // An odd start and length: the advised part lies strictly inside.
    std::vector<double> v(9 * zarno::huge_pages::kHugePage / sizeof(double) + 3);
    for (size_t i = 0; i < v.size(); i++) v[i] = static_cast<double>(i) * 0.5 - 7.0;
    const std::vector<double> copy = v;
    zarno::huge_pages::AdviseHugePages(v.data() + 1, (v.size() - 2) * sizeof(double));
    EXPECT_EQ(std::memcmp(v.data(), copy.data(), v.size() * sizeof(double)), 0);
    std::vector<double> small(1000, 3.0);
    zarno::huge_pages::AdviseHugePages(small.data(), small.size() * sizeof(double));
    zarno::huge_pages::AdviseHugePages(nullptr, 1 << 30);
    EXPECT_EQ(small[999], 3.0);
}

TEST(HugePages, AdvisedMemoryLandsOnHugePagesWhereTheSystemOffersThem)
{
    std::string why;
    if (!SystemOffersHugePages(&why)) GTEST_SKIP() << why;
    std::vector<double> v(8 * zarno::huge_pages::kHugePage / sizeof(double), 1.5);
    zarno::huge_pages::AdviseHugePages(v.data(), v.size() * sizeof(double));
    EXPECT_GT(HugeKbAt(FirstWholePage(v.data())), 0);
    EXPECT_EQ(v.back(), 1.5);

    const size_t bytes = 6 * zarno::huge_pages::kHugePage;
    char* m = static_cast<char*>(zarno::huge_pages::MapHuge(bytes));
    ASSERT_NE(m, nullptr);
    std::memset(m, 2, bytes);  // first touch: huge pages come with the faults
    EXPECT_GT(HugeKbAt(m), 0);
    munmap(m, bytes);
}

class Count : public zarno::JobSink {
public:
    int runs = 0;
    bool RunFinished(const zarno::RunView&) override { return ++runs > 0; }
};

TEST(HugePages, AJobPutsWhatItStreamsOnHugePagesAndChangesNoValue)
{
    std::string why;
    if (!SystemOffersHugePages(&why)) GTEST_SKIP() << why;
    const int genes = 6000, samples = 200;
    std::vector<double> values(static_cast<size_t>(genes) * samples), sigmas(values.size());
    for (size_t e = 0; e < values.size(); e++) {
        values[e] = 1.0 + static_cast<double>(e % 97) / 7.0;
        sigmas[e] = 0.1 + 0.1 * values[e];
    }
    const std::vector<double> v0 = values, s0 = sigmas;
    for (bool weighted : {true, false}) {
        zarno::Dataset d;
        d.genes = genes;
        d.samples = samples;
        d.values = values.data();
        d.sigmas = sigmas.data();
        d.weighted = weighted;
        zarno::JobSpec job;
        job.firstRank = job.lastRank = 2;
        job.chains = 1;
        job.run.rounds = 1;
        job.threads = 1;
        Count sink;
        ASSERT_EQ(zarno::RunJob(d, job, sink).status, zarno::JobOutcome::kDone);
        const double* streamed = weighted ? sigmas.data() : values.data();
        EXPECT_GT(HugeKbAt(FirstWholePage(streamed)), 0) << "weighted " << weighted;
    }
    EXPECT_EQ(values, v0);
    EXPECT_EQ(sigmas, s0);
}

}  // namespace
