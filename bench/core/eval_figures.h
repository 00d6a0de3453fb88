// Figures the core's evaluations share: how well a survey's consensus and
// patterns agree with a known truth.
#ifndef ZARNO_BENCH_EVAL_FIGURES_H
#define ZARNO_BENCH_EVAL_FIGURES_H

#include <time.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

#include "zarno/survey.h"

namespace eval {

// Processor time of this process: an evaluation's sweeps run on one thread,
// and a shared machine's other work changes their wall time but hardly this.
inline double CpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

// Adjusted Rand index of two labelings of the same items (Hubert and Arabie):
// 1 for the same partition, about 0 for chance agreement.
inline double AdjustedRand(const std::vector<int>& a, const std::vector<int>& b)
{
    std::map<std::pair<int, int>, double> both;
    std::map<int, double> ra, rb;
    for (size_t i = 0; i < a.size(); i++) {
        both[{a[i], b[i]}]++;
        ra[a[i]]++;
        rb[b[i]]++;
    }
    auto pairs = [](double n) { return n * (n - 1) / 2; };
    double index = 0, sa = 0, sb = 0;
    for (const auto& x : both) index += pairs(x.second);
    for (const auto& x : ra) sa += pairs(x.second);
    for (const auto& x : rb) sb += pairs(x.second);
    const double expected = sa * sb / pairs(static_cast<double>(a.size()));
    const double most = 0.5 * (sa + sb);
    return most == expected ? 1.0 : (index - expected) / (most - expected);
}

// The consensus (n x n shares of chains) cut into at most k groups: its
// average-linkage tree on 1 - consensus, cut at the lowest height that leaves
// no more than k groups. Returns each item's group.
inline std::vector<int> CutConsensus(const std::vector<double>& consensus, int n, int k)
{
    std::vector<double> distance(consensus.size()), cophenetic;
    for (size_t i = 0; i < consensus.size(); i++) distance[i] = 1.0 - consensus[i];
    std::vector<int> order;
    zarno::survey::AverageLinkage(distance, n, &cophenetic, &order);
    std::vector<double> heights(cophenetic);
    heights.push_back(0.0);
    std::sort(heights.begin(), heights.end());
    heights.erase(std::unique(heights.begin(), heights.end()), heights.end());
    std::vector<int> group(n);
    for (double h : heights) {
        // Cophenetic distances are an ultrametric: "within h" is an equivalence.
        int groups = 0;
        std::fill(group.begin(), group.end(), -1);
        for (int i = 0; i < n; i++) {
            if (group[i] >= 0) continue;
            for (int j = i; j < n; j++)
                if (group[j] < 0 && cophenetic[static_cast<size_t>(i) * n + j] <= h) group[j] = groups;
            groups++;
        }
        if (groups <= k) break;
    }
    return group;
}

inline double Correlation(const double* x, const double* y, int n)
{
    double mx = 0, my = 0;
    for (int i = 0; i < n; i++) mx += x[i], my += y[i];
    mx /= n, my /= n;
    double sxy = 0, sxx = 0, syy = 0;
    for (int i = 0; i < n; i++) {
        sxy += (x[i] - mx) * (y[i] - my);
        sxx += (x[i] - mx) * (x[i] - mx);
        syy += (y[i] - my) * (y[i] - my);
    }
    return sxx > 0 && syy > 0 ? sxy / std::sqrt(sxx * syy) : 0.0;
}

// The K found pattern rows matched one to one to the K true ones (most
// correlation in all), and each true pattern's correlation with its match.
inline std::vector<double> MatchedCorrelations(const std::vector<double>& truth,
                                               const std::vector<double>& found, int K, int S)
{
    std::vector<double> r(static_cast<size_t>(K) * K), cost(r.size());
    for (int i = 0; i < K; i++)
        for (int j = 0; j < K; j++) {
            r[static_cast<size_t>(i) * K + j] =
                Correlation(truth.data() + static_cast<size_t>(i) * S, found.data() + static_cast<size_t>(j) * S, S);
            cost[static_cast<size_t>(i) * K + j] = 1.0 - r[static_cast<size_t>(i) * K + j];
        }
    const std::vector<int> match = zarno::survey::Assign(cost, K);
    std::vector<double> out(K);
    for (int i = 0; i < K; i++) out[i] = r[static_cast<size_t>(i) * K + match[i]];
    return out;
}

}  // namespace eval

#endif
