// Timings of the engine's update round, of the literal loops it must match,
// of the sampling step and of the memory bandwidth that bounds the round.
//
//   zarno_bench [--rounds=N] [Google Benchmark flags]
//
// --rounds=N fixes the rounds (iterations) of every round benchmark, so that a
// comparison with other programs can run all of them for the same count.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "engine_probe.h"
#include "kernels/kernels.h"
#include "literal_oracle.h"

namespace {

int gRounds = 0;  // 0: let Google Benchmark choose

// Non-negative data near rank K, multiplicative noise, and uncertainties that
// grow with the value: what the engine meets in practice.
void MakeData(int G, int S, int K, std::vector<double>& data, std::vector<double>& uncert)
{
    std::mt19937_64 rng(12345 + G + S + K);
    std::uniform_real_distribution<double> u(0.0, 1.0);
    std::vector<double> a(static_cast<size_t>(G) * K), p(static_cast<size_t>(K) * S);
    for (auto& v : a) v = u(rng) < 0.3 ? 0.0 : u(rng);
    for (auto& v : p) v = u(rng);
    data.assign(static_cast<size_t>(G) * S, 0.0);
    uncert.assign(data.size(), 1.0);
    for (int g = 0; g < G; g++)
        for (int s = 0; s < S; s++) {
            double x = 0.0;
            for (int k = 0; k < K; k++)
                x += a[static_cast<size_t>(g) * K + k] * p[static_cast<size_t>(k) * S + s];
            x *= 0.8 + 0.4 * u(rng);
            data[static_cast<size_t>(g) * S + s] = x;
            uncert[static_cast<size_t>(g) * S + s] = 0.05 + 0.1 * x;
        }
}

// A standalone engine after the run's preparation: started, scaled, with Mock
// and weights built, as before the first round.
struct Prepared {
    Standalone s;
    Prepared(int G, int S, int K, int flag, int simd, int threads = 1) : s(G, S, K, flag)
    {
        MakeData(G, S, K, s.data, s.uncert);
        s.engine.data = s.data.data();
        s.engine.uncert = s.uncert.data();
        s.probe.Simd(simd);
        s.engine.UseThreads(threads);
        if (s.probe.Allocate() != 1) std::abort();
        s.probe.Start();
        s.probe.Scale();
        s.probe.Mock();
        s.probe.Weights();
    }
    ~Prepared() { s.probe.Free(); }
};

void SetRoundCounters(benchmark::State& state, int G, int S, int K)
{
    // Bytes the round must stream at least: scaled data and uncertainties in
    // both halves, Mock written once.
    const double gs = static_cast<double>(G) * S;
    state.counters["GB/s"] = benchmark::Counter(
        5.0 * 8.0 * gs, benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::kIs1000);
    // The six essential multiply-adds per element and pattern.
    state.counters["Gmadd/s"] =
        benchmark::Counter(6.0 * gs * K * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
}

// args: genes, samples, patterns, uncertainties (0/1), instruction set
// (0 SSE2, 1 AVX2, 2 AVX-512)
void BM_Round(benchmark::State& state)
{
    const int G = state.range(0), S = state.range(1), K = state.range(2);
    const int flag = state.range(3), simd = state.range(4);
    if ((simd == 1 && !__builtin_cpu_supports("avx2")) ||
        (simd == 2 && !__builtin_cpu_supports("avx512f"))) {
        state.SkipWithError("this processor lacks the instruction set");
        return;
    }
    Prepared run(G, S, K, flag, simd);
    for (auto _ : state) {
        run.s.probe.Update(0);
        benchmark::DoNotOptimize(run.s.engine.Mock);
        benchmark::ClobberMemory();
    }
    SetRoundCounters(state, G, S, K);
}

// The round with a share of the cells missing, as the core runs it: an
// infinite uncertainty and data of zero there, uncertainties of 1 elsewhere
// when the data are unweighted (the weighted path, which unweighted data with
// missing cells take). args: genes, samples, patterns, uncertainties (0/1),
// missing per cent
void BM_MissingRound(benchmark::State& state)
{
    const int G = state.range(0), S = state.range(1), K = state.range(2);
    const int flag = state.range(3), percent = state.range(4);
    Standalone s(G, S, K, 1);
    MakeData(G, S, K, s.data, s.uncert);
    std::mt19937_64 rng(99);
    std::uniform_int_distribution<int> u(0, 99);
    for (size_t e = 0; e < s.data.size(); e++) {
        if (flag == 0) s.uncert[e] = 1.0;
        if (u(rng) < percent) s.data[e] = 0.0, s.uncert[e] = __builtin_inf();
    }
    s.engine.data = s.data.data();
    s.engine.uncert = s.uncert.data();
    if (s.probe.Allocate() != 1) std::abort();
    s.probe.Start();
    s.probe.Scale();
    s.probe.Mock();
    s.probe.Weights();
    for (auto _ : state) {
        s.probe.Update(0);
        benchmark::DoNotOptimize(s.engine.Mock);
        benchmark::ClobberMemory();
    }
    s.probe.Free();
    SetRoundCounters(state, G, S, K);
}

// One half of the round alone (0: patterns, 1: amplitudes), the other half
// run untimed between: where the time goes, and, next to a shape whose
// matrices stay in the caches, how much of it is memory.
// args: genes, samples, patterns, half, threads of the run
void BM_HalfRound(benchmark::State& state)
{
    const int G = state.range(0), S = state.range(1), K = state.range(2);
    const int half = state.range(3);
    Prepared run(G, S, K, 1, 2, state.range(4));
    for (auto _ : state) {
        if (half == 0) {
            run.s.probe.HalfP();
            state.PauseTiming();
            run.s.probe.HalfA();
            state.ResumeTiming();
        } else {
            state.PauseTiming();
            run.s.probe.HalfP();
            state.ResumeTiming();
            run.s.probe.HalfA();
        }
        benchmark::ClobberMemory();
    }
    state.counters["ns/element"] = benchmark::Counter(
        static_cast<double>(G) * S * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// One run's round on several threads (L::UseThreads), the widest instruction
// set; wall-clock time. args: genes, samples, patterns, threads
void BM_ThreadedRound(benchmark::State& state)
{
    const int G = state.range(0), S = state.range(1), K = state.range(2);
    const int threads = state.range(3);
    Prepared run(G, S, K, 1, 2, threads);
    for (auto _ : state) {
        run.s.probe.Update(0);
        benchmark::DoNotOptimize(run.s.engine.Mock);
        benchmark::ClobberMemory();
    }
    SetRoundCounters(state, G, S, K);
}

// The unweighted round in Gram form (L::UseGramForm), one run after its
// start pass; wall-clock time. args: genes, samples, patterns, instruction
// set, threads of the run
void BM_GramRound(benchmark::State& state)
{
    const int G = state.range(0), S = state.range(1), K = state.range(2);
    const int simd = state.range(3), threads = state.range(4);
    if ((simd == 1 && !__builtin_cpu_supports("avx2")) ||
        (simd == 2 && !__builtin_cpu_supports("avx512f"))) {
        state.SkipWithError("this processor lacks the instruction set");
        return;
    }
    Standalone s(G, S, K, 0);
    std::vector<double> unused;
    MakeData(G, S, K, s.data, unused);
    s.engine.UseGramForm(true);
    s.engine.UseThreads(threads);
    s.probe.Simd(simd);
    if (s.probe.Allocate() != 1) std::abort();
    s.probe.Start();
    s.probe.Gram(false, false);
    for (auto _ : state) {
        s.probe.Gram(true, false);
        benchmark::DoNotOptimize(s.engine.Amplitude);
        benchmark::ClobberMemory();
    }
    s.probe.Free();
    // Bytes of the two passes over the data the floor counts, and the four
    // multiplies per element and pattern (two per pass).
    const double gs = static_cast<double>(G) * S;
    state.counters["GB/s"] = benchmark::Counter(
        2.0 * 8.0 * gs, benchmark::Counter::kIsIterationInvariantRate, benchmark::Counter::kIs1000);
    state.counters["Gmul/s"] =
        benchmark::Counter(2.0 * gs * K * 1e-9, benchmark::Counter::kIsIterationInvariantRate);
}

// The literal loops of the same round on the same data.
void BM_LiteralRound(benchmark::State& state)
{
    const int G = state.range(0), S = state.range(1), K = state.range(2), flag = state.range(3);
    Prepared run(G, S, K, flag, 0);
    L& e = run.s.engine;
    const size_t GS = static_cast<size_t>(G) * S, GK = static_cast<size_t>(G) * K,
                 KS = static_cast<size_t>(K) * S;
    Literal lit{G,
                S,
                K,
                flag,
                std::vector<double>(run.s.probe.Work(), run.s.probe.Work() + GS),
                run.s.uncert,
                std::vector<double>(e.Amplitude, e.Amplitude + GK),
                std::vector<double>(e.Pattern, e.Pattern + KS),
                std::vector<double>(GS),
                std::vector<double>(GK),
                std::vector<double>(KS)};
    lit.GenerateMock();
    lit.GenerateWeights();
    for (auto _ : state) {
        lit.PatternHalf();
        lit.AmplitudeHalf();
        benchmark::DoNotOptimize(lit.Mock.data());
        benchmark::ClobberMemory();
    }
    SetRoundCounters(state, G, S, K);
}

// The sampling mode: one pick, amplitude or pattern as the draw falls, and
// each kind on its own.
void BM_SamplingStep(benchmark::State& state)
{
    const int G = state.range(0), S = state.range(1), K = state.range(2), kind = state.range(3);
    Prepared run(G, S, K, 1, 2);
    run.s.probe.SeedDraws(7);
    int i = 0, j = 0;
    for (auto _ : state) {
        if (kind == 0) {
            run.s.probe.Update(1);
        } else if (kind == 1) {
            run.s.probe.UpdateP(i, j);
            if (++j == S) j = 0, i = (i + 1) % K;
        } else {
            run.s.probe.UpdateA(i, j);
            if (++j == K) j = 0, i = (i + 1) % G;
        }
        benchmark::ClobberMemory();
    }
    state.SetLabel(kind == 0 ? "random pick" : kind == 1 ? "pattern pick" : "amplitude pick");
}

// A run's fixed costs outside the rounds and the exports: allocation, random
// start, scaling, the first Mock and weights, the final fit, normalization.
void BM_RunWithoutRounds(benchmark::State& state)
{
    const int G = state.range(0), S = state.range(1), K = state.range(2);
    Standalone s(G, S, K, 1);
    MakeData(G, S, K, s.data, s.uncert);
    s.engine.SimulateIterations = 0;
    for (auto _ : state)
        if (s.engine.DoSimulation() != 1) state.SkipWithError("run failed");
}

// Memory bandwidth as the round sees it: two streams read together (scaled
// data and uncertainties), summed in independent lanes.
typedef double V4 __attribute__((vector_size(32)));

__attribute__((target("avx2"), noinline)) double ReadTwoStreams(const double* a, const double* b,
                                                                size_t n)
{
    V4 s0 = {}, s1 = {}, s2 = {}, s3 = {};
    for (size_t i = 0; i + 8 <= n; i += 8) {
        V4 x0, x1, y0, y1;
        std::memcpy(&x0, a + i, 32);
        std::memcpy(&x1, a + i + 4, 32);
        std::memcpy(&y0, b + i, 32);
        std::memcpy(&y1, b + i + 4, 32);
        s0 += x0;
        s1 += x1;
        s2 += y0;
        s3 += y1;
    }
    const V4 t = s0 + s1 + s2 + s3;
    return t[0] + t[1] + t[2] + t[3];
}

void BM_Bandwidth(benchmark::State& state)
{
    const size_t n = static_cast<size_t>(state.range(0)) << 17;  // MiB per stream
    std::vector<double> a(n, 1.0), b(n, 2.0);
    for (auto _ : state) benchmark::DoNotOptimize(ReadTwoStreams(a.data(), b.data(), n));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 2 * n * sizeof(double));
}

// The arithmetic that bounds the round: separate multiplies and adds (the
// engine may not fuse them), seven independent chains of each (they fit the
// sixteen AVX2 registers), at one lane width.
typedef double V8 __attribute__((vector_size(64)));

template <class V>
__attribute__((always_inline)) inline double MulAddLoop(long n, double seed)
{
    V c, m[7], a[7];
    for (unsigned i = 0; i < sizeof(V) / 8; i++) c[i] = seed;
    for (int j = 0; j < 7; j++) m[j] = a[j] = c + j;
    for (long i = 0; i < n; i++) {
        for (int j = 0; j < 7; j++) {
            m[j] *= c;
            a[j] += c;
        }
        __asm__ volatile("" : "+v"(c));  // keeps the products in the loop
    }
    V t = c;
    for (int j = 0; j < 7; j++) t += m[j] + a[j];
    return t[0];
}

__attribute__((target("avx2"), noinline)) double MulAddAvx2(long n, double seed)
{
    return MulAddLoop<V4>(n, seed);
}

__attribute__((target("avx512f"), noinline)) double MulAddAvx512(long n, double seed)
{
    return MulAddLoop<V8>(n, seed);
}

// The division the round cannot avoid (each reconstruction value is divided
// by its uncertainty, twice a round): seven independent chains, one lane width.
template <class V>
__attribute__((always_inline)) inline double DivLoop(long n, double seed)
{
    V c, q[7];
    for (unsigned i = 0; i < sizeof(V) / 8; i++) c[i] = seed;
    for (int j = 0; j < 7; j++) q[j] = c + j;
    for (long i = 0; i < n; i++) {
        for (int j = 0; j < 7; j++) q[j] /= c;
        __asm__ volatile("" : "+v"(c));
    }
    V t = c;
    for (int j = 0; j < 7; j++) t += q[j];
    return t[0];
}

__attribute__((target("avx2"), noinline)) double DivAvx2(long n, double seed)
{
    return DivLoop<V4>(n, seed);
}

__attribute__((target("avx512f"), noinline)) double DivAvx512(long n, double seed)
{
    return DivLoop<V8>(n, seed);
}

// Runs one of the probes below at the widest set asked for, and counts its
// operations per second: seven chains x n iterations x lanes.
void TimeProbe(benchmark::State& state, long n, double (*avx512)(long, double),
               double (*avx2)(long, double), const char* counter)
{
    const int isa = state.range(0);
    if ((isa == 1 && !__builtin_cpu_supports("avx2")) ||
        (isa == 2 && !__builtin_cpu_supports("avx512f"))) {
        state.SkipWithError("this processor lacks the instruction set");
        return;
    }
    for (auto _ : state) benchmark::DoNotOptimize(isa == 2 ? avx512(n, 1.0) : avx2(n, 1.0));
    state.counters[counter] = benchmark::Counter(7.0 * n * (isa == 2 ? 8 : 4) * 1e-9,
                                                 benchmark::Counter::kIsIterationInvariantRate);
}

void BM_DivPeak(benchmark::State& state)
{
    TimeProbe(state, 1 << 20, DivAvx512, DivAvx2, "Gdiv/s");
}

// One pass of the widest kernels over 160 rows of 200 samples, whose
// operands stay in a core's L2 cache: the arithmetic of a half-round without
// the memory. Its time over the pattern count separates what each pattern
// costs from what every element costs once (the division, the masks and
// copies); with divide 0 the pass skips the division.
// args: patterns, divide, kind (2 the pattern half, 3 the amplitude half)
void BM_PassInCache(benchmark::State& state)
{
    const int G = 160, S = 200, K = state.range(0);
    const bool divide = state.range(1) != 0;
    const int kind = state.range(2);
    std::vector<double> data, uncert;
    MakeData(G, S, K, data, uncert);
    std::mt19937_64 rng(7);
    std::uniform_real_distribution<double> u(0.1, 1.0);
    std::vector<double> mock(data.size()), a(static_cast<size_t>(G) * K), aw(a.size(), 1.0),
        awOut(a.size()), pat(static_cast<size_t>(K) * S), up(pat.size()), lp(pat.size()),
        pm(pat.size()), pwT(pat.size());
    for (auto& v : a) v = u(rng);
    for (auto& v : pat) v = u(rng);
    for (int k = 0; k < K; k++)
        for (int s = 0; s < S; s++) {
            pm[static_cast<size_t>(k) * S + s] = pat[static_cast<size_t>(k) * S + s];
            pwT[static_cast<size_t>(s) * K + k] = pat[static_cast<size_t>(k) * S + s];
        }
    std::vector<double> scratch(zarno::kernels::ThreadScratchSize(S, K));
    zarno::kernels::Pass p;
    p.G = G, p.S = S, p.K = K, p.g1 = G, p.s1 = S;
    p.eps = 1e-10;
    p.D = data.data();
    p.sigma = divide ? uncert.data() : nullptr;
    p.Mock = mock.data();
    p.A = a.data();
    p.AW = aw.data();
    p.updateA = false;  // the same amplitudes every pass
    p.P = pat.data();
    p.AWout = awOut.data();
    p.UP = up.data();
    p.LP = lp.data();
    p.finiteP = true;
    p.Pm = pm.data();
    p.PwT = pwT.data();
    zarno::kernels::PlaceThreadScratch(p, scratch.data());
    const int level = zarno::kernels::CpuSimdLevel();
    for (auto _ : state) {
        zarno::kernels::Sweep(level, kind, p);
        benchmark::ClobberMemory();
    }
    state.counters["ns/element"] = benchmark::Counter(
        static_cast<double>(G) * S * 1e-9,
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void BM_MulAddPeak(benchmark::State& state)
{
    // Double-precision multiplies per second (as many adds run alongside).
    TimeProbe(state, 1 << 22, MulAddAvx512, MulAddAvx2, "Gmul/s");
}

void Register()
{
    struct Size {
        int G, S, K;
    };
    // Two narrow shapes (samples not a multiple of the vector width), a middle
    // one and the large one.
    const Size sizes[] = {{2000, 50, 3}, {5000, 38, 3}, {5000, 100, 5}, {20000, 200, 8}};
    auto fix = [](benchmark::internal::Benchmark* b) {
        b->Unit(benchmark::kMillisecond)->UseRealTime();
        if (gRounds > 0) b->Iterations(gRounds);
        return b;
    };
    for (const Size& z : sizes)
        for (int flag = 1; flag >= 0; flag--)
            for (int simd = 2; simd >= 0; simd--)
                fix(benchmark::RegisterBenchmark("BM_Round", BM_Round))
                    ->Args({z.G, z.S, z.K, flag, simd})
                    ->ArgNames({"genes", "samples", "patterns", "uncert", "isa"});
    // The Gram form on one thread at every set, and on two; 2000 x 100000 x
    // 10 is a single-cell-sized table.
    for (const Size& z : sizes)
        for (int simd = 2; simd >= 0; simd--)
            fix(benchmark::RegisterBenchmark("BM_GramRound", BM_GramRound))
                ->Args({z.G, z.S, z.K, simd, 1})
                ->ArgNames({"genes", "samples", "patterns", "isa", "threads"});
    // (And 2500 x 200 x 8, whose data stay in the caches: the arithmetic alone.)
    for (const Size& z : {Size{20000, 200, 8}, Size{2000, 100000, 10}, Size{2500, 200, 8}})
        for (int threads = 1; threads <= 2; threads++)
            fix(benchmark::RegisterBenchmark("BM_GramRound", BM_GramRound))
                ->Args({z.G, z.S, z.K, 2, threads})
                ->ArgNames({"genes", "samples", "patterns", "isa", "threads"});
    // Missing cells, beside the complete rounds above (the widest set).
    for (const Size& z : {Size{5000, 100, 5}, Size{20000, 200, 8}})
        for (int flag = 1; flag >= 0; flag--)
            for (int percent : {10, 30})
                fix(benchmark::RegisterBenchmark("BM_MissingRound", BM_MissingRound))
                    ->Args({z.G, z.S, z.K, flag, percent})
                    ->ArgNames({"genes", "samples", "patterns", "uncert", "missing"});
    for (const Size& z : sizes)
        for (int flag = 1; flag >= 0; flag--)
            fix(benchmark::RegisterBenchmark("BM_LiteralRound", BM_LiteralRound))
                ->Args({z.G, z.S, z.K, flag})
                ->ArgNames({"genes", "samples", "patterns", "uncert"});
    for (const Size& z : sizes)
        for (int kind = 0; kind < 3; kind++)
            benchmark::RegisterBenchmark("BM_SamplingStep", BM_SamplingStep)
                ->Args({z.G, z.S, z.K, kind})
                ->ArgNames({"genes", "samples", "patterns", "kind"})
                ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_RunWithoutRounds", BM_RunWithoutRounds)
        ->Args({20000, 200, 4})
        ->ArgNames({"genes", "samples", "patterns"})
        ->Unit(benchmark::kMillisecond);
    // Halves at the large size and at one whose matrices stay in L3.
    for (const Size& z : {Size{2500, 200, 8}, Size{20000, 200, 8}, Size{5000, 38, 3}})
        for (int half = 0; half < 2; half++)
            for (int threads = 1; threads <= 2; threads++)
                benchmark::RegisterBenchmark("BM_HalfRound", BM_HalfRound)
                    ->Args({z.G, z.S, z.K, half, threads})
                    ->ArgNames({"genes", "samples", "patterns", "half", "threads"})
                    ->Unit(benchmark::kMicrosecond)
                    ->UseRealTime();
    // The threaded run at the large size and a much larger one.
    const Size threadSizes[] = {{20000, 200, 8}, {60000, 2000, 10}};
    for (const Size& z : threadSizes)
        for (int threads = 1; threads <= 2; threads++)
            fix(benchmark::RegisterBenchmark("BM_ThreadedRound", BM_ThreadedRound))
                ->Args({z.G, z.S, z.K, threads})
                ->ArgNames({"genes", "samples", "patterns", "threads"});
    for (int K : {4, 8, 16})
        for (int divide = 1; divide >= 0; divide--)
            for (int kind = 2; kind <= 3; kind++)
                benchmark::RegisterBenchmark("BM_PassInCache", BM_PassInCache)
                    ->Args({K, divide, kind})
                    ->ArgNames({"patterns", "divide", "kind"})
                    ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark("BM_DivPeak", BM_DivPeak)
        ->Arg(2)
        ->Arg(1)
        ->ArgName("isa")
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark("BM_MulAddPeak", BM_MulAddPeak)
        ->Arg(2)
        ->Arg(1)
        ->ArgName("isa")
        ->Unit(benchmark::kMillisecond);
    // One core, then every thread of a two-thread run streaming at once.
    benchmark::RegisterBenchmark("BM_Bandwidth", BM_Bandwidth)
        ->Arg(256)
        ->ArgName("MiB_per_stream")
        ->Unit(benchmark::kMillisecond)
        ->UseRealTime()
        ->Threads(1)
        ->Threads(2);
}

}  // namespace

int main(int argc, char** argv)
{
    // Our own flag first; Google Benchmark rejects flags it does not know.
    std::vector<char*> rest;
    for (int i = 0; i < argc; i++) {
        if (i > 0 && std::strncmp(argv[i], "--rounds=", 9) == 0) {
            gRounds = std::atoi(argv[i] + 9);
            if (gRounds <= 0) {
                std::fprintf(stderr, "--rounds must be a positive count\n");
                return 2;
            }
            continue;
        }
        rest.push_back(argv[i]);
    }
    int n = static_cast<int>(rest.size());
    Register();
    benchmark::Initialize(&n, rest.data());
    if (benchmark::ReportUnrecognizedArguments(n, rest.data())) return 2;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
