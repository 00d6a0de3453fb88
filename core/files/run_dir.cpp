#include "zarno/run_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <system_error>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "zarno/table_reader.h"

namespace zarno {

namespace {

using Json = nlohmann::ordered_json;

[[noreturn]] void Fail(const std::string& what, const std::string& path)
{
    throw std::system_error(errno, std::generic_category(), what + " " + path);
}

std::string Join(const std::string& dir, const std::string& name)
{
    return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string Parent(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string BaseName(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Temporary names: hidden, unique per host and process, recognisable as ours.
std::string HostName()
{
    char host[256] = {0};
    if (gethostname(host, sizeof host - 1) != 0) return "host";
    for (char* p = host; *p; p++) {
        if (*p == '/' || *p == '.') *p = '_';
    }
    return host;
}

bool IsTemporary(const std::string& name)
{
    return name.size() > 5 && name[0] == '.' && name.compare(name.size() - 4, 4, ".tmp") == 0;
}

std::string TempName(const std::string& path)
{
    static std::atomic<unsigned> counter{0};
    static const std::string host = HostName();
    return Join(Parent(path), fmt::format(".{}.{}.{}.{}.tmp", BaseName(path), host, getpid(),
                                          counter++));
}

void WriteAll(int fd, const std::string& content, const std::string& path)
{
    const char* p = content.data();
    size_t left = content.size();
    while (left > 0) {
        const ssize_t n = write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            Fail("cannot write", path);
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

std::vector<std::string> Entries(const std::string& dir)
{
    std::vector<std::string> out;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr) return out;
    while (const dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") out.push_back(name);
    }
    closedir(d);
    return out;
}

bool IsFile(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool ReadSmallFile(const std::string& path, std::string* out)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    out->clear();
    char buf[1 << 15];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            close(fd);
            return n == 0;
        }
        out->append(buf, static_cast<size_t>(n));
    }
}

// An exclusive lock on DIR/.lock for the files that processes sharing DIR all
// write. POSIX record locks also work on network file systems.
class DirLock {
public:
    explicit DirLock(const std::string& dir)
    {
        const std::string path = Join(dir, ".lock");
        fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (fd_ < 0) Fail("cannot open", path);
        struct flock l;
        std::memset(&l, 0, sizeof l);
        l.l_type = F_WRLCK;
        l.l_whence = SEEK_SET;
        while (fcntl(fd_, F_SETLKW, &l) != 0) {
            if (errno != EINTR) {
                const int e = errno;
                close(fd_);
                errno = e;
                Fail("cannot lock", path);
            }
        }
    }
    ~DirLock() { close(fd_); }  // closing releases the lock
    DirLock(const DirLock&) = delete;
    DirLock& operator=(const DirLock&) = delete;

private:
    int fd_ = -1;
};

void Number(std::string& out, const char* key, double v, bool comma = true)
{
    out += fmt::format("  \"{}\": ", key);
    if (std::isfinite(v)) {
        AppendDouble(out, v);
    } else {
        out += "null";  // JSON has no infinities or NaN
    }
    if (comma) out += ',';
    out += '\n';
}

}  // namespace

void AppendDouble(std::string& out, double v)
{
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

std::string FormatDouble(double v)
{
    std::string s;
    AppendDouble(s, v);
    return s;
}

void WriteFileAtomic(const std::string& path, const std::string& content)
{
    const std::string tmp = TempName(path);
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) Fail("cannot create", tmp);
    try {
        WriteAll(fd, content, tmp);
        // The contents reach the disk before the name does: a crash leaves the
        // old file or the new one, never an empty one under the final name.
        if (fsync(fd) != 0) Fail("cannot flush", tmp);
    } catch (...) {
        close(fd);
        unlink(tmp.c_str());
        throw;
    }
    if (close(fd) != 0) {
        unlink(tmp.c_str());
        Fail("cannot write", tmp);
    }
    if (rename(tmp.c_str(), path.c_str()) != 0) {
        const int e = errno;
        unlink(tmp.c_str());
        errno = e;
        Fail("cannot rename a temporary file to", path);
    }
}

void SyncDirectory(const std::string& dir)
{
    const int fd = open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) Fail("cannot open", dir);
    const int rc = fsync(fd);
    close(fd);
    if (rc != 0 && errno != EINVAL) Fail("cannot flush", dir);
}

void MakeDirectories(const std::string& dir)
{
    struct stat st;
    if (stat(dir.c_str(), &st) == 0) {
        if (!S_ISDIR(st.st_mode)) {
            errno = ENOTDIR;
            Fail("cannot create the directory", dir);
        }
        return;
    }
    const std::string parent = Parent(dir);
    if (parent != dir) MakeDirectories(parent);
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) Fail("cannot create the directory", dir);
    SyncDirectory(parent);
}

// ---------------------------------------------------------------------------

std::string JobIdentity::ToJson() const
{
    Json j;
    j["format"] = "zarno run directory 1";
    j["genes"] = genes;
    j["samples"] = samples;
    j["weighted"] = weighted;
    j["rounds"] = rounds;
    j["trace"] = trace;
    j["tolerance"] = tolerance;
    j["holdout"] = holdout;
    j["data_sha256"] = dataSha256;
    if (weighted) {
        j["uncert_sha256"] = uncertSha256;
    } else {
        j["uncert_sha256"] = nullptr;
    }
    return j.dump(2) + "\n";
}

std::string JobIdentity::Differences(const std::string& text) const
{
    Json there;
    try {
        there = Json::parse(text);
    } catch (const std::exception& e) {
        throw std::runtime_error(std::string("it is not JSON: ") + e.what());
    }
    if (!there.is_object() || there.value("format", "") != "zarno run directory 1") {
        throw std::runtime_error("it is not a zarno job description");
    }
    const Json here = Json::parse(ToJson());
    std::string diff;
    for (auto it = here.begin(); it != here.end(); ++it) {
        const auto other = there.find(it.key());
        const std::string theirs = other == there.end() ? "nothing" : other->dump();
        if (other == there.end() || *other != it.value()) {
            diff += fmt::format("{}{} (DIR: {}, now: {})", diff.empty() ? "" : "; ", it.key(),
                                theirs, it.value().dump());
        }
    }
    return diff;
}

// ---------------------------------------------------------------------------

void RunDir::Check(const std::string& dir, const JobIdentity& id, bool resume)
{
    struct stat st;
    if (stat(dir.c_str(), &st) != 0) {
        if (errno == ENOENT) return;
        throw InputError(fmt::format("--out {}: {}", dir, std::strerror(errno)));
    }
    if (!S_ISDIR(st.st_mode)) {
        throw InputError(fmt::format("--out {}: exists and is not a directory", dir));
    }
    const std::vector<std::string> entries = Entries(dir);
    if (entries.empty()) return;
    const std::string jobPath = Join(dir, "job.json");
    std::string text;
    if (ReadSmallFile(jobPath, &text)) {
        std::string diff;
        try {
            diff = id.Differences(text);
        } catch (const std::exception& e) {
            throw InputError(fmt::format("--out {}: its job.json cannot be read ({}): choose "
                                         "another --out",
                                         dir, e.what()));
        }
        if (!diff.empty()) {
            throw InputError(fmt::format("--out {}: holds a study of other data or options, "
                                         "which are never mixed: {}. Choose another --out",
                                         dir, diff));
        }
        if (!resume) {
            throw InputError(fmt::format("--out {}: already holds this study; add --resume to "
                                         "keep its complete runs and compute the rest, or choose "
                                         "another --out",
                                         dir));
        }
        return;
    }
    if (!resume) {
        throw InputError(fmt::format("--out {}: the directory is not empty; choose a new or "
                                     "empty one",
                                     dir));
    }
    // Resuming a study that never got its job.json: only our own leftovers, and the
    // scripts `zarno slurm` writes before any worker starts.
    for (const std::string& name : entries) {
        if (name != ".lock" && name != "slurm" && !IsTemporary(name)) {
            throw InputError(fmt::format("--out {}: holds {} but no job.json: not a zarno run "
                                         "directory; choose a new or empty one",
                                         dir, name));
        }
    }
}

RunDir::RunDir(std::string dir, JobIdentity id, std::string version, bool heldOut)
    : dir_(std::move(dir)), id_(std::move(id)), version_(std::move(version)), heldOut_(heldOut)
{
    MakeDirectories(dir_);
    DirLock lock(dir_);
    const std::string jobPath = Join(dir_, "job.json");
    std::string text;
    if (ReadSmallFile(jobPath, &text)) {
        // Another process sharing DIR made it meanwhile.
        const std::string diff = id_.Differences(text);
        if (!diff.empty()) {
            throw InputError(fmt::format("--out {}: holds a study of other data or options: {}",
                                         dir_, diff));
        }
    } else {
        WriteFileAtomic(jobPath, id_.ToJson());
        SyncDirectory(dir_);
    }
    MakeDirectories(Join(dir_, heldOut_ ? "holdout" : "runs"));
}

std::string RunDir::RunFolder(const RunKey& key) const
{
    return Join(dir_, fmt::format("{}/k{}/c{}", heldOut_ ? "holdout" : "runs", key.patterns,
                                  key.chain));
}

namespace {

// The run.json of `key` is whole and belongs to the job `id`: a plain run,
// or with `heldOut` its twin with the job's fraction of cells held out.
bool ValidRun(const Json& j, const RunKey& key, const JobIdentity& id, bool heldOut)
{
    try {
        if (!j.is_object()) return false;
        if (j.at("patterns").get<int>() != key.patterns) return false;
        if (j.at("chain").get<int>() != key.chain) return false;
        // A convergence stop may end a run early; fixed rounds are all done.
        const int rounds = j.at("rounds").get<int>();
        if (id.tolerance > 0.0 ? (rounds < 0 || rounds > id.rounds) : rounds != id.rounds) {
            return false;
        }
        if (j.value("tolerance", 0.0) != id.tolerance) return false;
        if (j.value("holdout", 0.0) != (heldOut ? id.holdout : 0.0)) return false;
        if (heldOut && !j.contains("holdout_error")) return false;
        if (j.at("weighted").get<bool>() != id.weighted) return false;
        if (j.at("data_sha256").get<std::string>() != id.dataSha256) return false;
        const Json& u = j.at("uncert_sha256");
        if (id.weighted ? (!u.is_string() || u.get<std::string>() != id.uncertSha256)
                        : !u.is_null()) {
            return false;
        }
        if (j.contains("trace") != id.trace) return false;
        return j.contains("chi_square") && j.contains("ssr") && j.contains("seconds");
    } catch (const std::exception&) {
        return false;
    }
}

bool LoadRun(const std::string& folder, const RunKey& key, const JobIdentity& id, bool heldOut,
             Json* out)
{
    std::string text;
    if (!ReadSmallFile(Join(folder, "run.json"), &text)) return false;
    Json j = Json::parse(text, nullptr, false);
    if (j.is_discarded() || !ValidRun(j, key, id, heldOut)) return false;
    if (!IsFile(Join(folder, "amplitudes.tsv")) || !IsFile(Join(folder, "patterns.tsv"))) {
        return false;
    }
    if (out) *out = std::move(j);
    return true;
}

bool ParseIndex(const std::string& name, char prefix, int* out)
{
    if (name.size() < 2 || name[0] != prefix) return false;
    const char* b = name.data() + 1;
    const char* e = name.data() + name.size();
    const auto r = std::from_chars(b, e, *out);
    return r.ptr == e && r.ec == std::errc{} && *out >= 0 && name[1] != '0';
}

std::string JsonNumber(const Json& v)
{
    return v.is_number() ? FormatDouble(v.get<double>()) : "nan";
}

}  // namespace

bool RunDir::Complete(const RunKey& key) const
{
    return LoadRun(RunFolder(key), key, id_, heldOut_, nullptr);
}

void RunDir::Clear(const RunKey& key) const
{
    const std::string folder = RunFolder(key);
    // run.json first: from here on the run is not complete, whatever else fails.
    const std::string runJson = Join(folder, "run.json");
    if (unlink(runJson.c_str()) != 0 && errno != ENOENT) Fail("cannot remove", runJson);
    for (const std::string& name : Entries(folder)) {
        const std::string path = Join(folder, name);
        if (unlink(path.c_str()) != 0 && errno != ENOENT) Fail("cannot remove", path);
    }
}

std::string RunDir::RunJson(const RunView& run) const
{
    std::string s = "{\n";
    s += fmt::format("  \"patterns\": {},\n  \"chain\": {},\n  \"rounds\": {},\n", run.patterns,
                     run.chain, run.rounds);
    s += fmt::format("  \"weighted\": {},\n", run.weighted ? "true" : "false");
    Number(s, "chi_square", run.chiSquare);
    Number(s, "ssr", run.ssr);
    s += fmt::format("  \"seed_a\": {},\n  \"seed_p\": {},\n", run.seedA, run.seedP);
    Number(s, "seconds", run.seconds);
    if (id_.trace) {
        s += "  \"trace\": [";
        if (run.trace != nullptr) {
            for (size_t i = 0; i < run.trace->size(); i++) {
                if (i > 0) s += ", ";
                const double v = (*run.trace)[i];
                if (std::isfinite(v)) {
                    AppendDouble(s, v);
                } else {
                    s += "null";
                }
            }
        }
        s += "],\n";
    }
    if (id_.tolerance > 0.0) Number(s, "tolerance", id_.tolerance);
    if (heldOut_) {
        Number(s, "holdout", id_.holdout);
        s += fmt::format("  \"holdout_cells\": {},\n", run.holdoutCells);
        Number(s, "holdout_error", run.holdoutError);
    }
    s += fmt::format("  \"data_sha256\": \"{}\",\n", id_.dataSha256);
    if (id_.weighted) {
        s += fmt::format("  \"uncert_sha256\": \"{}\",\n", id_.uncertSha256);
    } else {
        s += "  \"uncert_sha256\": null,\n";
    }
    s += fmt::format("  \"version\": {}\n", Json(version_).dump());
    s += "}\n";
    return s;
}

void RunDir::WriteRun(const RunView& run, const std::vector<std::string>& geneNames,
                      const std::vector<std::string>& sampleLabels) const
{
    const RunKey key{run.patterns, run.chain};
    const std::string folder = RunFolder(key);
    MakeDirectories(folder);
    const size_t P = static_cast<size_t>(run.patterns);
    const size_t G = static_cast<size_t>(run.genes);
    const size_t S = static_cast<size_t>(run.samples);

    std::string text;
    text.reserve((G + 1) * (P * 24 + 16));
    text += "gene";
    for (size_t k = 0; k < P; k++) text += fmt::format("\tP{}", k + 1);
    text += '\n';
    for (size_t i = 0; i < G; i++) {
        if (i < geneNames.size()) {
            text += geneNames[i];
        } else {
            text += fmt::format("g{}", i + 1);
        }
        const double* row = run.amplitudes + i * P;
        for (size_t k = 0; k < P; k++) {
            text += '\t';
            AppendDouble(text, row[k]);
        }
        text += '\n';
    }
    WriteFileAtomic(Join(folder, "amplitudes.tsv"), text);

    text.clear();
    text += "pattern";
    for (size_t j = 0; j < S; j++) {
        text += '\t';
        text += j < sampleLabels.size() ? sampleLabels[j] : fmt::format("s{}", j + 1);
    }
    text += '\n';
    for (size_t k = 0; k < P; k++) {
        text += fmt::format("P{}", k + 1);
        const double* row = run.patternRows + k * S;
        for (size_t j = 0; j < S; j++) {
            text += '\t';
            AppendDouble(text, row[j]);
        }
        text += '\n';
    }
    WriteFileAtomic(Join(folder, "patterns.tsv"), text);
    // The matrices' names are on disk before run.json can say they are whole.
    SyncDirectory(folder);
    WriteFileAtomic(Join(folder, "run.json"), RunJson(run));
    SyncDirectory(folder);
}

int RunDir::WriteSummary()
{
    DirLock lock(dir_);
    // Leftovers of killed summary or job.json writers (only lock holders write those).
    for (const std::string& name : Entries(dir_)) {
        if (IsTemporary(name)) unlink(Join(dir_, name).c_str());
    }
    const std::string runs = Join(dir_, "runs");
    for (const std::string& kname : Entries(runs)) {
        int patterns = 0;
        if (!ParseIndex(kname, 'k', &patterns)) continue;
        for (const std::string& cname : Entries(Join(runs, kname))) {
            int chain = 0;
            if (!ParseIndex(cname, 'c', &chain)) continue;
            const RunKey key{patterns, chain};
            if (rows_.count(key) != 0) continue;
            Json j;
            if (!LoadRun(RunFolder(key), key, id_, false, &j)) continue;
            rows_[key] = fmt::format("{}\t{}\t{}\t{}\t{}", patterns, chain,
                                     JsonNumber(j["chi_square"]), JsonNumber(j["ssr"]),
                                     j["rounds"].get<int>());
            seconds_[key] = JsonNumber(j["seconds"]);
        }
    }
    // Runs seen before but gone since (removed by hand) leave the summary.
    for (auto it = rows_.begin(); it != rows_.end();) {
        if (!IsFile(Join(RunFolder(it->first), "run.json"))) {
            seconds_.erase(it->first);
            it = rows_.erase(it);
        } else {
            ++it;
        }
    }
    std::string text = "patterns\tchain\tchi_square\tssr\trounds";
    text += id_.holdout > 0.0 ? "\tholdout_error\tseconds\n" : "\tseconds\n";
    for (const auto& row : rows_) {
        text += row.second;
        if (id_.holdout > 0.0) {
            // The twin may finish after its plain run: looked up every time.
            Json h;
            const std::string twin = Join(dir_, fmt::format("holdout/k{}/c{}", row.first.patterns,
                                                            row.first.chain));
            text += "\t" + (LoadRun(twin, row.first, id_, true, &h) ? JsonNumber(h["holdout_error"])
                                                                     : std::string("nan"));
        }
        text += "\t" + seconds_[row.first] + "\n";
    }
    WriteFileAtomic(Join(dir_, "summary.tsv"), text);
    SyncDirectory(dir_);
    return static_cast<int>(rows_.size());
}

}  // namespace zarno
