// Reading a run directory back (see run_reader.h).
#include "zarno/run_reader.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <new>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "zarno/run_layout.h"

namespace fs = std::filesystem;

namespace zarno {

namespace {

[[noreturn]] void Fail(const std::string& file, const std::string& what)
{
    throw RunDirError(file + ": " + what);
}

std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) Fail(path, "cannot be read");
    std::stringstream s;
    s << in.rdbuf();
    if (in.bad()) Fail(path, "cannot be read");
    return s.str();
}

nlohmann::json ReadJson(const std::string& path)
{
    const std::string text = Slurp(path);
    try {
        nlohmann::json j = nlohmann::json::parse(text);
        if (!j.is_object()) Fail(path, "is not a JSON object");
        return j;
    } catch (const nlohmann::json::exception& e) {
        Fail(path, std::string("is not valid JSON (") + e.what() + ")");
    }
}

std::vector<std::string> Split(const std::string& line)
{
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        const size_t tab = line.find('\t', start);
        out.push_back(line.substr(start, tab == std::string::npos ? std::string::npos : tab - start));
        if (tab == std::string::npos) return out;
        start = tab + 1;
    }
}

// A table: header and rows of equal width, CR/LF tolerant, blank last line allowed.
std::vector<std::vector<std::string>> ReadTsv(const std::string& path)
{
    std::istringstream in(Slurp(path));
    std::vector<std::vector<std::string>> rows;
    int number = 0;
    for (std::string line; std::getline(in, line);) {
        number++;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (line.empty()) {
            if (in.peek() == EOF) break;
            Fail(path, "line " + std::to_string(number) + " is empty");
        }
        rows.push_back(Split(line));
        if (rows.size() > 1 && rows.back().size() != rows.front().size())
            Fail(path, "line " + std::to_string(number) + " has " +
                           std::to_string(rows.back().size()) + " fields, the header " +
                           std::to_string(rows.front().size()));
    }
    if (rows.empty()) Fail(path, "is empty");
    return rows;
}

double ParseNumber(const std::string& path, int line, int column, const std::string& text)
{
    double x = 0.0;
    const char* end = text.data() + text.size();
    auto r = std::from_chars(text.data(), end, x);
    if (r.ec != std::errc() || r.ptr != end || !std::isfinite(x))
        Fail(path, "line " + std::to_string(line) + " column " + std::to_string(column) +
                       ": '" + text + "' is not a finite number");
    return x;
}

int IntField(const nlohmann::json& j, const char* key, const std::string& path)
{
    if (!j.contains(key)) Fail(path, std::string("has no \"") + key + "\"");
    if (!j[key].is_number_integer()) Fail(path, std::string("\"") + key + "\" is not an integer");
    return j[key].get<int>();
}

std::string ShaField(const nlohmann::json& j, const char* key)
{
    if (j.contains(key) && j[key].is_string()) return j[key].get<std::string>();
    return "";
}

// The job's planned pattern counts and chains, where job.json says them.
bool Plan(const nlohmann::json& job, int* first, int* last, int* firstChain, int* chains)
{
    *firstChain = job.value("first_chain", 1);
    if (!job.contains("chains") || !job["chains"].is_number_integer()) return false;
    *chains = job["chains"].get<int>();
    const nlohmann::json* r = job.contains("ranks") ? &job["ranks"] : nullptr;
    if (r != nullptr && r->is_string()) {
        const std::string s = r->get<std::string>();
        const size_t colon = s.find(':');
        if (colon == std::string::npos) return false;
        try {
            *first = std::stoi(s.substr(0, colon));
            *last = std::stoi(s.substr(colon + 1));
        } catch (const std::exception&) {
            return false;
        }
        return true;
    }
    if (r != nullptr && r->is_array() && r->size() == 2 && (*r)[0].is_number_integer()) {
        *first = (*r)[0].get<int>();
        *last = (*r)[1].get<int>();
        return true;
    }
    if (r != nullptr && r->is_object() && r->contains("first") && r->contains("last")) {
        *first = (*r)["first"].get<int>();
        *last = (*r)["last"].get<int>();
        return true;
    }
    if (job.contains("first_patterns") && job.contains("last_patterns")) {
        *first = job["first_patterns"].get<int>();
        *last = job["last_patterns"].get<int>();
        return true;
    }
    return false;
}

struct Shape {
    bool known = false;
    std::vector<std::string> genes, samples;
};

// A run's run.json into `meta` and `r`, checked against its folder and the
// job. False for a run that failed (listed, not used): its matrices are not read.
bool ReadRunJson(const RunLayout& layout, const RunDirectory& d, const RunKey& key, SurveyRun* r,
                 nlohmann::json* meta)
{
    const std::string jsonPath = layout.RunJson(key);
    *meta = ReadJson(jsonPath);
    const nlohmann::json& m = *meta;
    // Both read before either is compared: a missing "chain" must be named,
    // never looked up.
    const int patterns = IntField(m, "patterns", jsonPath), chain = IntField(m, "chain", jsonPath);
    if (patterns != key.patterns || chain != key.chain)
        Fail(jsonPath, "says patterns " + std::to_string(patterns) + " chain " +
                           std::to_string(chain) + ", its folder " + RunName(key));
    const std::string sha = ShaField(m, "data_sha256");
    if (!d.dataSha256.empty() && sha != d.dataSha256)
        Fail(jsonPath, "comes from other data (data_sha256 " + (sha.empty() ? "absent" : sha) +
                           ", job.json " + d.dataSha256 + ")");
    const std::string usha = ShaField(m, "uncert_sha256");
    if (usha != d.uncertSha256)
        Fail(jsonPath, "comes from other uncertainties (uncert_sha256 differs from job.json)");
    r->patterns = key.patterns;
    r->chain = key.chain;
    r->weighted = m.value("weighted", false);
    // A run that failed says so, and why.
    if (m.contains("status") && m["status"].is_string() && m["status"] != "complete") {
        r->status = SurveyRun::kFailed;
        r->problem = m.contains("reason") && m["reason"].is_string()
                         ? m["reason"].get<std::string>()
                         : "status " + m["status"].get<std::string>();
        return false;
    }
    // A run whose fit is not a number (JSON null) failed.
    for (const char* field : {"chi_square", "ssr"}) {
        if (!m.contains(field)) Fail(jsonPath, std::string("has no \"") + field + "\"");
        if (!m[field].is_number()) {
            r->status = SurveyRun::kFailed;
            r->problem = std::string(field) + " is not a number";
            return false;
        }
    }
    r->chiSquare = m["chi_square"].get<double>();
    r->ssr = m["ssr"].get<double>();
    if (m.contains("trace") && m["trace"].is_array())
        for (const auto& v : m["trace"])
            if (v.is_number()) r->trace.push_back(v.get<double>());
    return true;
}

// A run's amplitudes and patterns into `r`, checked against the names the
// runs read before it had.
void ReadMatrices(const RunLayout& layout, const RunKey& key, Shape* shape, SurveyRun* r)
{
    const int P = key.patterns;
    const std::string apath = layout.Amplitudes(key);
    const auto a = ReadTsv(apath);
    if (a[0].size() != static_cast<size_t>(P) + 1 || a[0][0] != "gene")
        Fail(apath, "header is not gene and P1..P" + std::to_string(P));
    for (int p = 0; p < P; p++)
        if (a[0][p + 1] != "P" + std::to_string(p + 1))
            Fail(apath, "header column " + std::to_string(p + 2) + " is not P" + std::to_string(p + 1));
    const std::string ppath = layout.Patterns(key);
    const auto pt = ReadTsv(ppath);
    if (pt[0].size() < 2 || pt[0][0] != "pattern") Fail(ppath, "header does not start with pattern");
    if (pt.size() != static_cast<size_t>(P) + 1)
        Fail(ppath, "has " + std::to_string(pt.size() - 1) + " pattern rows, expected " +
                        std::to_string(P));
    std::vector<std::string> genes, samples(pt[0].begin() + 1, pt[0].end());
    for (size_t i = 1; i < a.size(); i++) genes.push_back(a[i][0]);
    if (genes.empty()) Fail(apath, "has no gene rows");
    if (!shape->known) {
        shape->known = true;
        shape->genes = genes;
        shape->samples = samples;
    } else if (genes != shape->genes) {
        Fail(apath, "lists other genes than the runs read before it");
    } else if (samples != shape->samples) {
        Fail(ppath, "lists other samples than the runs read before it");
    }
    const int G = static_cast<int>(genes.size()), S = static_cast<int>(samples.size());
    r->amplitudes.resize(static_cast<size_t>(G) * P);
    for (int g = 0; g < G; g++)
        for (int p = 0; p < P; p++)
            r->amplitudes[static_cast<size_t>(g) * P + p] = ParseNumber(apath, g + 2, p + 2, a[g + 1][p + 1]);
    r->patternRows.resize(static_cast<size_t>(P) * S);
    for (int p = 0; p < P; p++) {
        if (pt[p + 1][0] != "P" + std::to_string(p + 1))
            Fail(ppath, "line " + std::to_string(p + 2) + " is not P" + std::to_string(p + 1));
        for (int s = 0; s < S; s++)
            r->patternRows[static_cast<size_t>(p) * S + s] = ParseNumber(ppath, p + 2, s + 2, pt[p + 1][s + 1]);
    }
    for (double v : r->amplitudes)
        if (v < 0) Fail(apath, "holds a negative amplitude");
    for (double v : r->patternRows)
        if (v < 0) Fail(ppath, "holds a negative pattern value");
}

// Every k<P>/c<C> folder under DIR/runs; anything else there is not ours and
// left alone.
std::set<std::pair<int, int>> RunFolders(const RunLayout& layout)
{
    std::set<std::pair<int, int>> folders;
    std::error_code ec;
    if (!fs::is_directory(layout.Runs(), ec)) return folders;
    for (const auto& k : fs::directory_iterator(layout.Runs())) {
        int P = 0, C = 0;
        if (!k.is_directory() || !RunFolderNumber(k.path().filename().string(), 'k', &P)) continue;
        for (const auto& c : fs::directory_iterator(k.path()))
            if (c.is_directory() && RunFolderNumber(c.path().filename().string(), 'c', &C))
                folders.insert({P, C});
    }
    return folders;
}

// The most runs a job.json may plan.
constexpr long long kMostPlannedRuns = 100000;

// The runs job.json plans (none when it does not say), and the folders present.
std::set<std::pair<int, int>> RunsToRead(const RunLayout& layout, const nlohmann::json& job,
                                         const std::set<std::pair<int, int>>& folders)
{
    std::set<std::pair<int, int>> all(folders);
    int first = 0, last = -1, firstChain = 1, chains = 0;
    bool planned = false;
    try {
        planned = Plan(job, &first, &last, &firstChain, &chains);
    } catch (const nlohmann::json::exception& e) {
        Fail(layout.JobJson(), std::string("has a malformed field (") + e.what() + ")");
    }
    if (!planned) return all;
    // A plan is listed run by run: one that could not be a study's (a damaged or
    // hand-made job.json) is refused rather than listed until memory runs out.
    const long long counts = static_cast<long long>(last) - first + 1;
    const long long lastChain = static_cast<long long>(firstChain) + chains - 1;
    if (first < 1 || counts < 0 || chains < 0 || firstChain < 1 || lastChain > INT_MAX ||
        counts * chains > kMostPlannedRuns)
        Fail(layout.JobJson(), "plans pattern counts " + std::to_string(first) + " to " +
                                   std::to_string(last) + " with chains " + std::to_string(firstChain) +
                                   " to " + std::to_string(lastChain) + ", which no study holds (at most " +
                                   std::to_string(kMostPlannedRuns) + " runs)");
    for (long long P = first; P <= last; P++)
        for (long long C = firstChain; C <= lastChain; C++) all.insert({static_cast<int>(P), static_cast<int>(C)});
    return all;
}

// The held-out errors of the masked twins, when the job measured them.
void ReadHeldOutErrors(const RunLayout& layout, RunDirectory* d)
{
    std::error_code ec;
    for (SurveyRun& r : d->runs) {
        const std::string hpath = layout.RunJson({r.patterns, r.chain}, true);
        if (!fs::exists(hpath, ec)) continue;
        const nlohmann::json h = ReadJson(hpath);
        const std::string sha = ShaField(h, "data_sha256");
        if (!d->dataSha256.empty() && sha != d->dataSha256)
            Fail(hpath, "comes from other data (data_sha256 differs from job.json)");
        if (h.contains("holdout_error") && h["holdout_error"].is_number())
            r.holdoutError = h["holdout_error"].get<double>();
    }
}

RunDirectory Read(const std::string& dirIn)
{
    RunDirectory d;
    d.dir = dirIn;
    while (d.dir.size() > 1 && d.dir.back() == '/') d.dir.pop_back();
    const RunLayout layout(d.dir);
    std::error_code ec;
    if (!fs::is_directory(d.dir, ec)) throw RunDirError(d.dir + ": not a directory");
    const std::string jobPath = layout.JobJson();
    if (!fs::exists(jobPath, ec))
        throw RunDirError(jobPath + ": missing; " + d.dir + " is not a run directory of zarno run");
    d.job = ReadJson(jobPath);
    d.dataSha256 = ShaField(d.job, "data_sha256");
    d.uncertSha256 = ShaField(d.job, "uncert_sha256");

    const std::set<std::pair<int, int>> folders = RunFolders(layout);
    Shape shape;
    for (const auto& key : RunsToRead(layout, d.job, folders)) {
        SurveyRun r;
        r.patterns = key.first;
        r.chain = key.second;
        if (folders.count(key) == 0 || !fs::exists(layout.RunJson({key.first, key.second}), ec)) {
            r.status = SurveyRun::kMissing;
            r.problem = folders.count(key) == 0 ? "not run" : "incomplete (no run.json)";
            d.missing.push_back(key);
            d.runs.push_back(std::move(r));
            continue;
        }
        RunRecord rec;
        rec.patterns = key.first;
        rec.chain = key.second;
        if (ReadRunJson(layout, d, {key.first, key.second}, &r, &rec.meta))
            ReadMatrices(layout, {key.first, key.second}, &shape, &r);
        d.records.push_back(std::move(rec));
        d.runs.push_back(std::move(r));
    }
    if (d.records.empty())
        throw RunDirError(layout.Runs() + ": no complete run (no runs/k<P>/c<C>/run.json)");
    if (!shape.known)
        throw RunDirError(layout.Runs() + ": every run failed; nothing to survey");
    ReadHeldOutErrors(layout, &d);

    d.data.geneNames = shape.genes;
    d.data.sampleLabels = shape.samples;
    d.data.genes = static_cast<int>(shape.genes.size());
    d.data.samples = static_cast<int>(shape.samples.size());
    d.data.cells = static_cast<long long>(d.data.genes) * d.data.samples;
    // The degrees of freedom count observed cells only.
    if (d.job.contains("missing_cells")) {
        const nlohmann::json& missing = d.job["missing_cells"];
        if (!missing.is_number_integer() || missing.get<long long>() < 0 ||
            missing.get<long long>() >= d.data.cells)
            Fail(jobPath, "\"missing_cells\" is not a count of cells below genes x samples");
        d.missingCells = missing.get<long long>();
        d.data.cells -= d.missingCells;
    }
    return d;
}

}  // namespace

RunDirectory ReadRunDirectory(const std::string& dir)
{
    try {
        return Read(dir);
    } catch (const InputError&) {
        throw;
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        // A folder that cannot be listed, a field of the wrong type: DIR cannot be used.
        throw RunDirError(dir + ": " + e.what());
    }
}

}  // namespace zarno
