#include "core_harness.h"

#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include "zarno/cluster_plan.h"
#include "zarno/errors.h"
#include "zarno/run_dir.h"
#include "zarno/run_layout.h"
#include "zarno/run_reader.h"
#include "zarno/survey.h"
#include "zarno/table_reader.h"

namespace fs = std::filesystem;

namespace zfuzz {
namespace {

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

// A scratch directory per process, emptied for every input; its name outlives
// the static destructors, which run before the handler that removes it.
const std::string& Root()
{
    static const std::string* root = [] {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        auto* t = new std::string(std::string(base) + "/zarno-core-fuzz-XXXXXX");
        if (mkdtemp(&(*t)[0]) == nullptr) std::abort();
        std::atexit([] {
            std::error_code ec;
            fs::remove_all(Root(), ec);
        });
        return t;
    }();
    return *root;
}

std::string Fresh()
{
    const std::string dir = Root() + "/d";
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directory(dir);
    return dir;
}

void Write(const std::string& path, const std::string& bytes)
{
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) std::abort();
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size()) std::abort();
    std::fclose(f);
}

std::string Slurp(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

bool StartsWith(const std::string& s, const std::string& head)
{
    return s.compare(0, head.size(), head) == 0;
}

// A reader's fault names the file first, as compilers do.
void CheckNamed(const zarno::InputError& e, const std::string& path)
{
    Check(StartsWith(e.what(), path + ":"), "a fault starts with the file's name");
}

std::string Gzip(const std::string& text)
{
    z_stream z{};
    if (deflateInit2(&z, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        std::abort();
    std::string out(deflateBound(&z, text.size()) + 32, '\0');
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
    z.avail_in = static_cast<uInt>(text.size());
    z.next_out = reinterpret_cast<Bytef*>(&out[0]);
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) std::abort();
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

std::string TrimSpaces(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && s[b] == ' ') b++;
    while (e > b && s[e - 1] == ' ') e--;
    return s.substr(b, e - b);
}

bool AllBlank(const std::string& s)
{
    for (char c : s)
        if (!IsBlank(c)) return false;
    return true;
}

bool SameBits(double a, double b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

// ---------------------------------------------------------------------------
// Input tables

void CheckTable(const zarno::Table& t, bool positive)
{
    const size_t G = static_cast<size_t>(t.genes), S = static_cast<size_t>(t.samples);
    Check(t.genes >= 1 && t.samples >= 1, "a table has genes and samples");
    Check(t.values.size() == G * S, "values genes x samples");
    Check(t.geneNames.size() == G && t.lines.size() == G, "a name and a line per gene");
    Check(t.sampleLabels.size() == S && t.labelColumns.size() == S, "a label and a column per sample");
    for (size_t i = 0; i < G; i++)
        Check(t.lines[i] > (i == 0 ? t.headerLine : t.lines[i - 1]), "rows after the header, in order");
    for (size_t j = 0; j < S; j++)
        Check(t.labelColumns[j] > (j == 0 ? 0 : t.labelColumns[j - 1]), "label columns in order");
    for (const auto* names : {&t.geneNames, &t.sampleLabels})
        for (const std::string& n : *names)
            Check(n.find_first_of("\t\r\n") == std::string::npos, "labels hold no tab or line break");
    long long negatives = 0;
    size_t first = G * S;
    for (size_t k = 0; k < G * S; k++) {
        const double v = t.values[k];
        Check(!std::isinf(v), "no infinite value");  // NaN is left for a missing value
        if (positive) Check(!(v <= 0.0), "uncertainties above zero");
        if (v < 0.0 && negatives++ == 0) first = k;
    }
    Check(negatives == t.negatives, "negatives counted");
    if (negatives > 0) {
        Check(static_cast<size_t>(t.negativeGene) * S + static_cast<size_t>(t.negativeSample) == first,
              "the first negative value is the one named");
        Check(t.negativeLine == t.lines[static_cast<size_t>(t.negativeGene)], "its line");
    }
}

}  // namespace

int Table(const uint8_t* in, size_t size)
{
    if (size < 1) return 0;
    const bool csv = in[0] & 1, gz = in[0] & 2, bom = in[0] & 4, positive = in[0] & 8;
    std::string text = bom ? "\xEF\xBB\xBF" : "";
    text.append(reinterpret_cast<const char*>(in) + 1, size - 1);
    const std::string dir = Fresh();
    const std::string path = dir + (csv ? "/t.csv" : "/t.txt") + (gz ? ".gz" : "");
    Write(path, gz ? Gzip(text) : text);
    const zarno::ReadOptions options{positive, positive ? "uncertainty" : "data"};

    std::string contents;
    bool readable = true;
    try {
        contents = zarno::ReadFileContents(path);
        if (gz) Check(contents == text, "gzip data read back as written");
    } catch (const zarno::InputError& e) {
        CheckNamed(e, path);
        Check(!gz, "our own gzip data are readable");
        readable = false;
    }

    zarno::Table t;
    try {
        t = zarno::ReadTable(path, options);
    } catch (const zarno::InputError& e) {
        CheckNamed(e, path);
        try {
            zarno::ReadTableShape(path);
        } catch (const zarno::InputError& s) {
            CheckNamed(s, path);
        }
        return 0;
    }
    Check(readable, "a table is read only from readable contents");
    CheckTable(t, positive);
    Check(t.path == path && t.sha256 == zarno::Sha256Hex(contents), "path and checksum of the text");

    // The shape reader sees the table the full reader sees.
    const zarno::TableShape shape = zarno::ReadTableShape(path);
    Check(shape.genes == t.genes && shape.samples == t.samples, "shape as read in full");

    // Written as the run directory writes its tables (the corner label, which
    // nothing keeps, as "gene"), read back the same; tab-separated fields drop
    // their surrounding spaces.
    const std::string again = dir + "/again.tsv";
    Write(again, zarno::MatrixTsv("gene", t.geneNames, t.sampleLabels, t.values.data()));
    zarno::Table u;
    try {
        u = zarno::ReadTable(again, options);
    } catch (const zarno::InputError& e) {
        std::fprintf(stderr, "%s\n", e.what());
        Check(false, "a table written back is read again");
    }
    Check(u.genes == t.genes && u.samples == t.samples, "the same shape written back");
    for (int j = 0; j < t.samples; j++)
        Check(u.sampleLabels[j] == TrimSpaces(t.sampleLabels[j]), "the same labels written back");
    for (int i = 0; i < t.genes; i++)
        Check(u.geneNames[i] == TrimSpaces(t.geneNames[i]), "the same names written back");
    for (size_t k = 0; k < t.values.size(); k++)
        Check(SameBits(u.values[k], t.values[k]) || (std::isnan(u.values[k]) && std::isnan(t.values[k])),
              "the same bits written back");
    return 0;
}

// ---------------------------------------------------------------------------
// Control files

namespace {

// The reference: the first two lines holding more than blanks, after a byte
// order mark; the first 3 and 4 words of each, each a whole number of 32 bits.
bool ReferenceControl(std::string text, int v[7])
{
    if (StartsWith(text, "\xEF\xBB\xBF")) text.erase(0, 3);
    std::vector<std::string> lines;
    std::istringstream s(text);
    for (std::string line; lines.size() < 2 && std::getline(s, line);)
        if (!AllBlank(line)) lines.push_back(line);
    if (lines.size() < 2) return false;
    int k = 0;
    for (int l = 0; l < 2; l++) {
        std::vector<std::string> words;
        std::string w;
        for (char c : lines[l]) {
            if (IsBlank(c)) {
                if (!w.empty()) words.push_back(w);
                w.clear();
            } else {
                w += c;
            }
        }
        if (!w.empty()) words.push_back(w);
        const size_t need = l == 0 ? 3 : 4;
        if (words.size() < need) return false;
        for (size_t i = 0; i < need; i++) {
            const std::string& x = words[i];
            const size_t digits = x[0] == '-' ? 1 : 0;
            if (x.size() == digits || x.find_first_not_of("0123456789", digits) != std::string::npos)
                return false;
            errno = 0;
            const long long n = std::strtoll(x.c_str(), nullptr, 10);
            if (errno != 0 || n < INT32_MIN || n > INT32_MAX) return false;
            v[k++] = static_cast<int>(n);
        }
    }
    return true;
}

}  // namespace

int CoreControl(const uint8_t* in, size_t size)
{
    const std::string dir = Fresh();
    const std::string path = dir + "/f.ctr";
    Write(path, std::string(reinterpret_cast<const char*>(in), size));
    std::string text;
    bool readable = true;
    try {
        text = zarno::ReadFileContents(path);
    } catch (const zarno::InputError& e) {
        CheckNamed(e, path);
        readable = false;
    }
    int expect[7] = {0};
    const bool valid = readable && ReferenceControl(text, expect);
    try {
        const zarno::ControlFile c = zarno::ReadControlFile(path);
        Check(valid, "only a control file of seven whole numbers is read");
        const int got[7] = {c.genes, c.samples, c.uncertFlag, c.firstRank, c.lastRank, c.chains, c.rounds};
        for (int k = 0; k < 7; k++) Check(got[k] == expect[k], "the numbers the file holds");
        Check(c.path == path && c.dataPath == dir + "/f.txt" && c.uncertPath == dir + "/f.unc",
              "the data and uncertainties beside it");
    } catch (const zarno::InputError& e) {
        CheckNamed(e, path);
        Check(!valid, "a control file of seven whole numbers is read");
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Run directories

namespace {

const int kGenes = 4, kSamples = 3, kPatterns = 2, kChain = 1;

zarno::JobIdentity Identity()
{
    zarno::JobIdentity id;
    id.dataSha256 = std::string(64, 'a');
    id.uncertSha256 = std::string(64, 'b');
    id.genes = kGenes;
    id.samples = kSamples;
    id.weighted = true;
    id.rounds = 10;
    return id;
}

const double kAmplitudes[kGenes * kPatterns] = {1.5, 0, 0.25, 3, 1e-300, 7, 2, 2};
const double kPatternRows[kPatterns * kSamples] = {0.5, 0.25, 0.25, 0.125, 0.375, 0.5};

const zarno::RunKey kKey{kPatterns, kChain};

// The files of a directory holding job.json and the complete run k2/c1, as
// the run directory writer makes them (once per process).
struct Template {
    std::string job, runJson, amplitudes, patterns;
};

const Template& OneRun()
{
    static const Template t = [] {
        const std::string dir = Root() + "/template";
        zarno::RunDir rd(dir, Identity(), "fuzz");
        zarno::RunView run;
        run.patterns = kPatterns;
        run.chain = kChain;
        run.genes = kGenes;
        run.samples = kSamples;
        run.weighted = true;
        run.amplitudes = kAmplitudes;
        run.patternRows = kPatternRows;
        run.chiSquare = 12.5;
        run.ssr = 3.25;
        run.rounds = run.roundsPlanned = 10;
        run.seedA = 7;
        run.seedP = 9;
        rd.WriteRun(run, {"a", "b", "c", "d"}, {"s1", "s2", "s3"});
        const zarno::RunLayout layout(dir);
        return Template{Slurp(layout.JobJson()), Slurp(layout.RunJson(kKey)),
                        Slurp(layout.Amplitudes(kKey)), Slurp(layout.Patterns(kKey))};
    }();
    return t;
}

// A fresh directory holding job.json and the complete run k2/c1.
std::string DirectoryWithOneRun()
{
    const Template& t = OneRun();
    const std::string dir = Fresh() + "/study";
    const zarno::RunLayout layout(dir);
    fs::create_directories(layout.RunFolder(kKey));
    Write(layout.JobJson(), t.job);
    Write(layout.Amplitudes(kKey), t.amplitudes);
    Write(layout.Patterns(kKey), t.patterns);
    Write(layout.RunJson(kKey), t.runJson);
    return dir;
}

// ReadRunDirectory, which may only refuse the directory, or null.
bool ReadBack(const std::string& dir, zarno::RunDirectory* d)
{
    try {
        *d = zarno::ReadRunDirectory(dir);
        return true;
    } catch (const zarno::InputError& e) {
        Check(StartsWith(e.what(), dir), "a refused run directory is named");
        return false;
    }
}

// What the survey's reader returns holds together.
void CheckDirectory(const zarno::RunDirectory& d)
{
    const size_t G = static_cast<size_t>(d.data.genes), S = static_cast<size_t>(d.data.samples);
    Check(d.data.geneNames.size() == G && d.data.sampleLabels.size() == S, "names of the shape");
    Check(d.data.cells == static_cast<long long>(G * S), "cells");
    bool complete = false;
    for (const zarno::SurveyRun& r : d.runs) {
        if (r.status != zarno::SurveyRun::kComplete) continue;
        complete = true;
        const size_t P = static_cast<size_t>(r.patterns);
        Check(r.amplitudes.size() == G * P && r.patternRows.size() == P * S, "matrices of the shape");
        for (double v : r.amplitudes) Check(std::isfinite(v) && v >= 0, "amplitudes finite, not negative");
        for (double v : r.patternRows) Check(std::isfinite(v) && v >= 0, "patterns finite, not negative");
        Check(std::isfinite(r.chiSquare) && std::isfinite(r.ssr), "a complete run's fit is finite");
        if (r.holdoutError) Check(std::isfinite(*r.holdoutError), "a finite held-out error");
    }
    Check(complete, "a directory read has a complete run");
}

// summary.tsv as WriteSummary left it: a header and `rows` lines of its width.
void CheckSummary(const std::string& dir, int rows)
{
    std::istringstream s(Slurp(zarno::RunLayout(dir).Summary()));
    std::vector<std::string> lines;
    for (std::string l; std::getline(s, l);) lines.push_back(l);
    Check(lines.size() == static_cast<size_t>(rows) + 1, "a summary line per complete run");
    const auto width = [](const std::string& l) { return std::count(l.begin(), l.end(), '\t'); };
    for (const std::string& l : lines) Check(width(l) == width(lines[0]), "summary lines of one width");
}

}  // namespace

int JobJson(const uint8_t* in, size_t size)
{
    const std::string dir = DirectoryWithOneRun();
    const std::string text(reinterpret_cast<const char*>(in), size);
    Write(zarno::RunLayout(dir).JobJson(), text);
    const zarno::JobIdentity id = Identity();
    bool same = false;
    try {
        same = id.Differences(text).empty();
    } catch (const zarno::InputError&) {
    }
    bool accepted = true;
    try {
        zarno::RunDir::Check(dir, id, true);
    } catch (const zarno::InputError& e) {
        Check(StartsWith(e.what(), "--out " + dir), "a refused --out is named");
        accepted = false;
    }
    Check(accepted == same, "--resume accepts exactly a job.json of the same study");
    zarno::RunDirectory d;
    const bool read = ReadBack(dir, &d);
    if (read) CheckDirectory(d);
    if (!accepted) return 0;
    // What --resume accepts, the writer opens, and the survey reads with its run or
    // refuses for job.json's other fields (a plan no study has), naming it.
    zarno::RunDir rd(dir, id, "fuzz");
    Check(rd.Complete(kKey), "the run stays complete");
    if (!read) {
        try {
            zarno::ReadRunDirectory(dir);
        } catch (const zarno::InputError& e) {
            Check(StartsWith(e.what(), zarno::RunLayout(dir).JobJson() + ":"),
                  "the survey refuses a directory --resume accepts only for its job.json");
        }
        return 0;
    }
    bool found = false;
    for (const zarno::SurveyRun& r : d.runs)
        if (r.patterns == kPatterns && r.chain == kChain)
            found = r.status == zarno::SurveyRun::kComplete && SameBits(r.chiSquare, 12.5);
    Check(found, "the survey finds the run complete");
    return 0;
}

int RunJson(const uint8_t* in, size_t size)
{
    const std::string dir = DirectoryWithOneRun();
    const zarno::RunLayout layout(dir);
    Write(layout.RunJson(kKey), std::string(reinterpret_cast<const char*>(in), size));
    zarno::RunDir rd(dir, Identity(), "fuzz");
    const bool complete = rd.Complete(kKey);
    const int listed = rd.WriteSummary();
    Check(listed == (complete ? 1 : 0), "the summary lists the run when it is complete");
    CheckSummary(dir, listed);
    zarno::RunDirectory d;
    if (ReadBack(dir, &d)) {
        CheckDirectory(d);
        zarno::RunSurvey(d.data, d.runs);
    }
    if (!complete) {
        // --resume clears what a run left and computes it again.
        rd.Clear(kKey);
        Check(!fs::exists(layout.RunJson(kKey)) && !fs::exists(layout.Amplitudes(kKey)), "cleared");
    }
    return 0;
}

int RunDirectory(const uint8_t* in, size_t size)
{
    const std::string dir = DirectoryWithOneRun();
    const zarno::RunLayout layout(dir);
    const std::string paths[] = {layout.RunJson(kKey), layout.Amplitudes(kKey), layout.Patterns(kKey),
                                 layout.RunJson(kKey, true), layout.Summary(), layout.Plan()};
    const std::string text(reinterpret_cast<const char*>(in), size);
    size_t at = 0;
    for (const std::string& path : paths) {
        if (at > text.size()) break;
        size_t end = text.find("\n====\n", at);
        if (end == std::string::npos) end = text.size();
        fs::create_directories(fs::path(path).parent_path());
        Write(path, text.substr(at, end - at));
        at = end + 6;
    }
    zarno::RunDirectory d;
    if (ReadBack(dir, &d)) {
        CheckDirectory(d);
        const zarno::Survey survey = zarno::RunSurvey(d.data, d.runs);
        Check(survey.counts.size() == 1 && survey.counts[0].patterns == kPatterns, "one pattern count");
    }
    zarno::MissingRuns(dir);
    zarno::RunDir rd(dir, Identity(), "fuzz");
    const bool complete = rd.Complete(kKey);
    const int listed = rd.WriteSummary();
    Check(listed == (complete ? 1 : 0), "the old summary counts for nothing");
    CheckSummary(dir, listed);
    return 0;
}

}  // namespace zfuzz
