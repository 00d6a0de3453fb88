// Benchmarks of the command zarno (not tests: figures for docs/performance.md).
//
//   zarno_cli_bench read [GENES SAMPLES]        reading data + uncertainties,
//                                               against the bytes alone (floor)
//                                               and an iostream parser (peer)
//   zarno_cli_bench write [GENES SAMPLES PATTERNS]
//                                               a run's files against the run
//                                               itself at 2000 rounds
//   zarno_cli_bench bandwidth [GENES SAMPLES PATTERNS]
//                                               memory bandwidth on 1 and 2
//                                               threads and what one run uses
//   zarno_cli_bench shape [GENES SAMPLES]       the data's size without its values
//                                               (what `zarno slurm` reads) against
//                                               reading the table, plain and .gz
//   zarno_cli_bench sweep [GENES SAMPLES ROUNDS]
//                                               patterns 2 to 8, 2 chains, on 1
//                                               and 2 threads (no files)
//   zarno_cli_bench gen DIR [GENES SAMPLES]     writes DIR/data.txt, DIR/unc.txt
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <zlib.h>

#include "zarno/api.h"
#include "zarno/run_dir.h"
#include "zarno/table_reader.h"

using namespace zarno;
using Clock = std::chrono::steady_clock;

namespace {

double Since(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

template <class F>
double Median(int reps, F f)
{
    std::vector<double> t;
    for (int r = 0; r < reps; r++) {
        const auto start = Clock::now();
        f();
        t.push_back(Since(start));
    }
    std::sort(t.begin(), t.end());
    return t[t.size() / 2];
}

// An expression-like table: lognormal values with 6 significant digits, and
// uncertainties of 10% plus a floor.
void Generate(const std::string& dir, int G, int S)
{
    std::mt19937_64 rng(42);
    std::lognormal_distribution<double> value(1.0, 1.5);
    std::string d = "gene", u = "gene";
    for (int j = 0; j < S; j++) {
        d += "\tS" + std::to_string(j + 1);
        u += "\tS" + std::to_string(j + 1);
    }
    d += '\n';
    u += '\n';
    char buf[64];
    for (int i = 0; i < G; i++) {
        const std::string name = "gene" + std::to_string(i + 1);
        d += name;
        u += name;
        for (int j = 0; j < S; j++) {
            const double v = value(rng);
            std::snprintf(buf, sizeof buf, "\t%.6g", v);
            d += buf;
            std::snprintf(buf, sizeof buf, "\t%.6g", 0.1 * v + 0.05);
            u += buf;
        }
        d += '\n';
        u += '\n';
    }
    std::ofstream(dir + "/data.txt", std::ios::binary) << d;
    std::ofstream(dir + "/unc.txt", std::ios::binary) << u;
}

std::string TempDir()
{
    std::string t = std::filesystem::temp_directory_path().string() + "/zarno-bench-XXXXXX";
    if (mkdtemp(&t[0]) == nullptr) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return t;
}

// The usual C++ way: whitespace-separated words through an ifstream.
double IostreamRead(const std::string& path, int S)
{
    std::ifstream in(path);
    std::string word;
    for (int j = 0; j <= S; j++) in >> word;  // header (with the corner label)
    double sum = 0, v;
    while (in >> word) {
        for (int j = 0; j < S && in >> v; j++) sum += v;
    }
    return sum;
}

int Read(int G, int S)
{
    const std::string dir = TempDir();
    Generate(dir, G, S);
    const std::string data = dir + "/data.txt", unc = dir + "/unc.txt";
    const double mb =
        static_cast<double>(std::filesystem::file_size(data) + std::filesystem::file_size(unc)) / 1e6;
    volatile double sink = 0;
    const double floor = Median(5, [&] {
        sink = sink + static_cast<double>(ReadFileContents(data).size() + ReadFileContents(unc).size());
    });
    const double ours = Median(5, [&] {
        Table d, u;
        ReadDataAndUncertainties(data, unc, &d, &u);
        sink = sink + d.values[0] + u.values[0];
    });
    double cpu = 0;
    {
        const std::clock_t c0 = std::clock();
        Table d = ReadTable(data);
        Table u = ReadTable(unc, ReadOptions{true, "uncertainty"});
        cpu = static_cast<double>(std::clock() - c0) / CLOCKS_PER_SEC;
        sink = sink + d.values[0] + u.values[0];
    }
    const double peer = Median(3, [&] { sink = sink + IostreamRead(data, S) + IostreamRead(unc, S); });
    std::printf("reading %d x %d data and uncertainties (%.1f MB of text), median of 5:\n", G, S, mb);
    std::printf("  zarno reader (parse, checks, SHA-256): %.3f s  (%.0f MB/s; the two files on two "
                "threads; %.3f s of processor time one after the other)\n",
                ours, mb / ours, cpu);
    std::printf("  bytes alone (read(2), no parsing):      %.3f s  -> the reader is %.1fx the floor\n",
                floor, ours / floor);
    std::printf("  iostream >> double:                     %.3f s  -> the reader is %.1fx faster\n",
                peer, peer / ours);
    std::filesystem::remove_all(dir);
    return 0;
}

int Shape(int G, int S)
{
    const std::string dir = TempDir();
    Generate(dir, G, S);
    const std::string plain = dir + "/data.txt", packed = dir + "/data.txt.gz";
    const std::string text = ReadFileContents(plain);
    gzFile gz = gzopen(packed.c_str(), "wb6");
    gzwrite(gz, text.data(), static_cast<unsigned>(text.size()));
    gzclose(gz);
    std::printf("the shape of %d x %d data (%.1f MB of text), median of 5:\n", G, S,
                static_cast<double>(text.size()) / 1e6);
    volatile double sink = 0;
    for (const std::string& path : {plain, packed}) {
        const double shape = Median(5, [&] {
            const TableShape t = ReadTableShape(path);
            sink = sink + static_cast<double>(t.genes + t.samples);
        });
        const double table = Median(5, [&] { sink = sink + ReadTable(path).values[0]; });
        std::printf("  %-12s ReadTableShape %.3f s (64 KiB buffer), ReadTable %.3f s (text and "
                    "values held: %.0f MB)\n",
                    path == plain ? "data.txt" : "data.txt.gz", shape, table,
                    (static_cast<double>(text.size()) + 8.0 * G * S) / 1e6);
    }
    std::filesystem::remove_all(dir);
    return 0;
}

struct Synthetic {
    std::vector<double> values, sigmas;
    Dataset data;
    Synthetic(int G, int S)
    {
        std::mt19937_64 rng(1);
        std::lognormal_distribution<double> value(1.0, 1.5);
        values.resize(static_cast<size_t>(G) * S);
        sigmas.resize(values.size());
        for (size_t e = 0; e < values.size(); e++) {
            values[e] = value(rng);
            sigmas[e] = 0.1 * values[e] + 0.05;
        }
        data.genes = G;
        data.samples = S;
        data.values = values.data();
        data.sigmas = sigmas.data();
        data.weighted = true;
        for (int i = 0; i < G; i++) data.geneNames.push_back("gene" + std::to_string(i + 1));
        for (int j = 0; j < S; j++) data.sampleLabels.push_back("S" + std::to_string(j + 1));
    }
};

int Write(int G, int S, int P)
{
    Synthetic syn(G, S);
    RunOptions o;
    o.rounds = 100;
    const RunResult r = RunOne(syn.data, P, 1, o);
    if (!r.complete()) {
        std::fprintf(stderr, "run failed: %s\n", r.error.c_str());
        return 1;
    }
    const double run2000 = r.seconds * 2000.0 / o.rounds;
    const std::string dir = TempDir();
    JobIdentity id;
    id.dataSha256 = std::string(64, 'a');
    id.uncertSha256 = std::string(64, 'b');
    id.genes = G;
    id.samples = S;
    id.weighted = true;
    id.rounds = 2000;
    RunDir rd(dir + "/study", id, kVersion);
    RunView v;
    v.patterns = P;
    v.chain = 1;
    v.genes = G;
    v.samples = S;
    v.weighted = true;
    v.amplitudes = r.amplitudes.data();
    v.patternRows = r.patternRows.data();
    v.chiSquare = r.chiSquare;
    v.ssr = r.ssr;
    v.rounds = 2000;
    v.seconds = run2000;
    const double write = Median(5, [&] {
        rd.WriteRun(v, syn.data.geneNames, syn.data.sampleLabels);
        rd.WriteSummary();
    });
    std::printf("a %d x %d run at %d patterns: %.2f s for %d rounds -> %.1f s at 2000 rounds\n", G,
                S, P, r.seconds, o.rounds, run2000);
    std::printf("writing its files (amplitudes, patterns, run.json, summary; fsync'd), median of 5: "
                "%.4f s = %.2f%% of the 2000-round run\n",
                write, 100.0 * write / run2000);
    std::filesystem::remove_all(dir);
    return 0;
}

// Two streams read together, summed, as a round reads data and weights.
double ReadTwo(const double* a, const double* b, size_t n)
{
    double s0 = 0, s1 = 0, s2 = 0, s3 = 0;
    for (size_t i = 0; i + 4 <= n; i += 4) {
        s0 += a[i] + b[i];
        s1 += a[i + 1] + b[i + 1];
        s2 += a[i + 2] + b[i + 2];
        s3 += a[i + 3] + b[i + 3];
    }
    return s0 + s1 + s2 + s3;
}

double Bandwidth(int threads)
{
    const size_t n = size_t(1) << 25;  // 256 MiB per stream and thread
    std::vector<std::vector<double>> a(static_cast<size_t>(threads), std::vector<double>(n, 1.0)),
        b(static_cast<size_t>(threads), std::vector<double>(n, 2.0));
    std::vector<double> sums(static_cast<size_t>(threads));
    const double t = Median(3, [&] {
        std::vector<std::thread> pool;
        for (int k = 0; k < threads; k++) {
            pool.emplace_back([&, k] { sums[k] = ReadTwo(a[k].data(), b[k].data(), n); });
        }
        for (auto& th : pool) th.join();
    });
    return threads * 2.0 * n * sizeof(double) / t / 1e9;
}

int BandwidthModel(int G, int S, int P)
{
    Synthetic syn(G, S);
    RunOptions o;
    o.rounds = 50;
    const RunResult r = RunOne(syn.data, P, 1, o);
    const double round = r.seconds / o.rounds;
    // A round streams the scaled data and weights in both halves and writes
    // the reconstruction: five G x S passes of doubles.
    const double bytes = 5.0 * 8.0 * G * S;
    const double perRun = bytes / round / 1e9;
    const double b1 = Bandwidth(1), b2 = Bandwidth(2);
    std::printf("one run at %d x %d x %d: %.2f ms a round, streaming %.0f MB -> %.1f GB/s\n", G, S,
                P, round * 1e3, bytes / 1e6, perRun);
    std::printf("memory bandwidth, two streams read: %.1f GB/s on 1 thread, %.1f GB/s on 2\n", b1, b2);
    std::printf("model: T concurrent runs go T times as fast until T x %.1f GB/s reaches the "
                "machine's bandwidth B; beyond, runs/s stay at B / %.1f GB/s x (runs/s of one)\n",
                perRun, perRun);
    return 0;
}

// A sink that only counts: the sweep's own cost, without files.
class CountingSink : public JobSink {
public:
    bool RunFinished(const RunView& run) override
    {
        (void)run;
        runs++;
        return true;
    }
    int runs = 0;
};

double ProcessSeconds()
{
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

// Runs per second of one sweep on 1 and 2 threads, and the processor time per
// run in each: on a shared machine the wall-clock ratio says what this
// process got, the processor time per run what the runs cost each other
// (memory stalls count as processor time).
int Sweep(int G, int S, int rounds)
{
    Synthetic syn(G, S);
    JobSpec job;
    job.firstRank = 2;
    job.lastRank = 8;
    job.chains = 2;
    job.run.rounds = rounds;
    double rate[3] = {0, 0, 0}, cpuPerRun[3] = {0, 0, 0};
    for (int threads : {1, 2}) {
        job.threads = threads;
        CountingSink sink;
        const double c0 = ProcessSeconds();
        const auto start = Clock::now();
        const JobOutcome o = RunJob(syn.data, job, sink);
        const double wall = Since(start), cpu = ProcessSeconds() - c0;
        if (o.status != JobOutcome::kDone) {
            std::fprintf(stderr, "sweep failed: %s\n", o.error.c_str());
            return 1;
        }
        rate[threads] = sink.runs / wall;
        cpuPerRun[threads] = cpu / sink.runs;
        std::printf("%d thread%s: %d runs in %.1f s = %.3f runs/s; %.2f s of processor time per "
                    "run (process: %.1f s, %.0f%% of %d processors)\n",
                    threads, threads == 1 ? "" : "s", sink.runs, wall, rate[threads],
                    cpuPerRun[threads], cpu, 100.0 * cpu / wall / threads, threads);
    }
    std::printf("2 threads / 1 thread: %.2fx runs/s; processor time per run %.2fx -> on otherwise "
                "idle processors %.2fx\n",
                rate[2] / rate[1], cpuPerRun[2] / cpuPerRun[1], 2.0 * cpuPerRun[1] / cpuPerRun[2]);
    return 0;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string mode = argc > 1 ? argv[1] : "";
    auto arg = [&](int i, int dflt) { return argc > i ? std::atoi(argv[i]) : dflt; };
    if (mode == "read") return Read(arg(2, 20000), arg(3, 200));
    if (mode == "shape") return Shape(arg(2, 20000), arg(3, 200));
    if (mode == "write") return Write(arg(2, 20000), arg(3, 200), arg(4, 8));
    if (mode == "sweep") return Sweep(arg(2, 20000), arg(3, 200), arg(4, 200));
    if (mode == "bandwidth") return BandwidthModel(arg(2, 20000), arg(3, 200), arg(4, 8));
    if (mode == "gen" && argc > 2) {
        Generate(argv[2], arg(3, 20000), arg(4, 200));
        return 0;
    }
    std::fprintf(stderr, "usage: zarno_cli_bench read|shape|write|bandwidth [G S [P]] | sweep [G S R] | gen DIR [G S]\n");
    return 2;
}
