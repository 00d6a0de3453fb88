// Engine runs for the survey's tests and its evaluation: one (pattern count,
// chain) run of the real engine without a host, kept as a SurveyRun, and a
// writer of the run-directory layout the `zarno run` command produces, so
// that tests build their own directories.
#ifndef ZARNO_SURVEY_FIXTURE_H
#define ZARNO_SURVEY_FIXTURE_H

#include <charconv>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "engine_probe.h"
#include "zarno/survey.h"

namespace fixture {

// One run from the engine's seeded start, the steps of L::SA_simulation with
// a chi-square kept every 10 rounds when trace is set.
inline zarno::SurveyRun EngineRun(const std::vector<double>& data, const std::vector<double>* uncert,
                                  int genes, int samples, int patterns, int chain, int rounds,
                                  bool trace)
{
    Standalone s(genes, samples, patterns, uncert != nullptr ? 1 : 0);
    s.data = data;
    if (uncert != nullptr) s.uncert = *uncert;
    s.engine.data = s.data.data();
    s.engine.uncert = s.uncert.data();
    s.engine.chain = chain;
    s.engine.SimulateIterations = rounds;
    zarno::SurveyRun r;
    r.patterns = patterns;
    r.chain = chain;
    r.weighted = uncert != nullptr;
    if (s.probe.Allocate() != 1) {
        r.status = zarno::SurveyRun::kFailed;
        return r;
    }
    s.probe.Start();
    s.probe.Scale();
    s.probe.Mock();
    s.probe.Weights();
    for (int i = 0; i < rounds; i++) {
        if (trace && i % 10 == 0) {
            s.probe.Chi();
            r.trace.push_back(s.engine.ChiSquare);
        }
        s.probe.Update(0);
    }
    s.probe.Chi();
    if (trace && rounds % 10 == 0) r.trace.push_back(s.engine.ChiSquare);
    s.probe.Normalize();
    s.probe.DeScale();
    r.chiSquare = s.engine.ChiSquare;
    r.ssr = s.engine.rmsd;
    r.amplitudes.assign(s.engine.Amplitude, s.engine.Amplitude + static_cast<size_t>(genes) * patterns);
    r.patternRows.assign(s.engine.Pattern, s.engine.Pattern + static_cast<size_t>(patterns) * samples);
    s.probe.Free();
    return r;
}

inline std::string Num(double x)
{
    char buf[64];
    auto r = std::to_chars(buf, buf + sizeof buf, x);
    return std::string(buf, r.ptr);
}

inline void WriteText(const std::string& path, const std::string& text)
{
    std::filesystem::create_directories(std::filesystem::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// runs/k<P>/c<C>/ of one complete run, in the command's layout.
inline void WriteRun(const std::string& dir, const zarno::SurveyRun& r,
                     const std::vector<std::string>& genes, const std::vector<std::string>& samples,
                     const std::string& sha = "d0", const std::string& usha = "u0")
{
    const int P = r.patterns, S = static_cast<int>(samples.size());
    const std::string base = dir + "/runs/k" + std::to_string(P) + "/c" + std::to_string(r.chain) + "/";
    std::string a = "gene";
    for (int p = 0; p < P; p++) a += "\tP" + std::to_string(p + 1);
    a += "\n";
    for (size_t g = 0; g < genes.size(); g++) {
        a += genes[g];
        for (int p = 0; p < P; p++) a += "\t" + Num(r.amplitudes[g * P + p]);
        a += "\n";
    }
    WriteText(base + "amplitudes.tsv", a);
    std::string t = "pattern";
    for (const auto& s : samples) t += "\t" + s;
    t += "\n";
    for (int p = 0; p < P; p++) {
        t += "P" + std::to_string(p + 1);
        for (int s = 0; s < S; s++) t += "\t" + Num(r.patternRows[static_cast<size_t>(p) * S + s]);
        t += "\n";
    }
    WriteText(base + "patterns.tsv", t);
    std::string j = "{\"patterns\": " + std::to_string(P) + ", \"chain\": " + std::to_string(r.chain) +
                    ", \"rounds\": 100, \"weighted\": " + (r.weighted ? "true" : "false") +
                    ", \"chi_square\": " + Num(r.chiSquare) + ", \"ssr\": " + Num(r.ssr) +
                    ", \"seed_a\": 1, \"seed_p\": 2, \"seconds\": 0.5";
    if (!r.trace.empty()) {
        j += ", \"trace\": [";
        for (size_t i = 0; i < r.trace.size(); i++) j += (i ? ", " : "") + Num(r.trace[i]);
        j += "]";
    }
    j += ", \"data_sha256\": \"" + sha + "\", \"uncert_sha256\": " +
         (usha.empty() ? std::string("null") : "\"" + usha + "\"") + ", \"version\": \"test\"}\n";
    WriteText(base + "run.json", j);
}

// A data file of the shipped layout: a header of sample labels, then per row
// a gene name and its values (tabs or spaces).
inline bool ReadMatrix(const std::string& path, std::vector<double>* m, int* rows, int* cols,
                       std::vector<std::string>* rowNames = nullptr,
                       std::vector<std::string>* colNames = nullptr)
{
    std::ifstream in(path);
    if (!in) return false;
    std::string line;
    std::getline(in, line);
    if (colNames != nullptr) {
        std::istringstream hs(line);
        std::string corner, label;
        hs >> corner;
        while (hs >> label) colNames->push_back(label);
    }
    *rows = 0;
    m->clear();
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        std::istringstream ls(line);
        std::string name;
        ls >> name;
        if (rowNames != nullptr) rowNames->push_back(name);
        int c = 0;
        for (double x; ls >> x;) m->push_back(x), c++;
        *cols = c;
        (*rows)++;
    }
    return *rows > 0;
}

inline void WriteJob(const std::string& dir, int first, int last, int chains, bool weighted,
                     const std::string& sha = "d0", const std::string& usha = "u0")
{
    WriteText(dir + "/job.json",
              "{\"data\": \"data.txt\", \"data_sha256\": \"" + sha + "\", \"uncert_sha256\": " +
                  (usha.empty() ? std::string("null") : "\"" + usha + "\"") + ", \"ranks\": \"" +
                  std::to_string(first) + ":" + std::to_string(last) + "\", \"chains\": " +
                  std::to_string(chains) + ", \"first_chain\": 1, \"rounds\": 100, \"weighted\": " +
                  (weighted ? "true" : "false") + ", \"version\": \"test\"}\n");
}

}  // namespace fixture

#endif
