#include "zarno/run_dir.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <system_error>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

namespace zarno {

namespace {

using Json = nlohmann::ordered_json;

[[noreturn]] void Fail(const std::string& what, const std::string& path)
{
    throw std::system_error(errno, std::generic_category(), what + " " + path);
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
    return JoinPath(Parent(path), fmt::format(".{}.{}.{}.{}.tmp", BaseName(path), host, getpid(),
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
    explicit DirLock(const RunLayout& layout)
    {
        const std::string path = layout.Lock();
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

void WriteFileAtomic(const std::string& path, const std::string& content, bool executable)
{
    // Failures name the file being written, not its temporary name, which is
    // gone by the time anyone reads the message.
    const std::string tmp = TempName(path);
    const int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) Fail("cannot create", path);
    try {
        // A script's mode whatever the umask: the scheduler runs it as it is.
        if (executable && fchmod(fd, 0755) != 0) Fail("cannot make executable", path);
        WriteAll(fd, content, path);
        // The contents reach the disk before the name does: a crash leaves the
        // old file or the new one, never an empty one under the final name.
        if (fsync(fd) != 0) Fail("cannot flush", path);
    } catch (...) {
        close(fd);
        unlink(tmp.c_str());
        throw;
    }
    if (close(fd) != 0) {
        const int e = errno;
        unlink(tmp.c_str());
        errno = e;
        Fail("cannot write", path);
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
    j["arithmetic"] = arithmetic;
    // Only where cells are missing: job.json of complete data stays as it was.
    if (missingCells > 0) j["missing_cells"] = missingCells;
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
        throw InputError(std::string("it is not JSON: ") + e.what());
    }
    // A "format" of another type is not ours either (value() would throw it).
    const auto format = there.is_object() ? there.find("format") : there.end();
    if (format == there.end() || *format != "zarno run directory 1") {
        throw InputError("it is not a zarno job description");
    }
    // Directories made before there was a choice ran the classic arithmetic.
    if (!there.contains("arithmetic")) there["arithmetic"] = "classic";
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
    std::string text;
    if (ReadSmallFile(RunLayout(dir).JobJson(), &text)) {
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
        if (name != RunLayout::kLockName && name != RunLayout::kSlurmName && !IsTemporary(name)) {
            throw InputError(fmt::format("--out {}: holds {} but no job.json: not a zarno run "
                                         "directory; choose a new or empty one",
                                         dir, name));
        }
    }
}

RunDir::RunDir(std::string dir, JobIdentity id, std::string version, bool heldOut)
    : layout_(std::move(dir)), id_(std::move(id)), version_(std::move(version)), heldOut_(heldOut)
{
    MakeDirectories(layout_.Dir());
    DirLock lock(layout_);
    const std::string jobPath = layout_.JobJson();
    std::string text;
    if (ReadSmallFile(jobPath, &text)) {
        // Another process sharing DIR made it meanwhile.
        const std::string diff = id_.Differences(text);
        if (!diff.empty()) {
            throw InputError(fmt::format("--out {}: holds a study of other data or options: {}",
                                         layout_.Dir(), diff));
        }
    } else {
        WriteFileAtomic(jobPath, id_.ToJson());
        SyncDirectory(layout_.Dir());
    }
    MakeDirectories(layout_.Runs(heldOut_));
}

namespace {

// The run.json of `key` is whole and belongs to the job `id`: a plain run,
// or with `heldOut` its twin with the job's fraction of cells held out.
bool ValidRun(const Json& j, const RunKey& key, const JobIdentity& id, bool heldOut)
{
    try {
        if (!j.is_object()) return false;
        if (j.value("status", "complete") != "complete") return false;  // a failed run
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
        if (j.value("arithmetic", "classic") != (heldOut ? "classic" : id.arithmetic)) return false;
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

bool LoadRun(const RunLayout& layout, const RunKey& key, const JobIdentity& id, bool heldOut,
             Json* out)
{
    std::string text;
    if (!ReadSmallFile(layout.RunJson(key, heldOut), &text)) return false;
    Json j = Json::parse(text, nullptr, false);
    if (j.is_discarded() || !ValidRun(j, key, id, heldOut)) return false;
    if (!IsFile(layout.Amplitudes(key, heldOut)) || !IsFile(layout.Patterns(key, heldOut))) {
        return false;
    }
    if (out) *out = std::move(j);
    return true;
}

std::string JsonNumber(const Json& v)
{
    return v.is_number() ? FormatDouble(v.get<double>()) : "nan";
}

}  // namespace

bool RunDir::Complete(const RunKey& key) const
{
    return LoadRun(layout_, key, id_, heldOut_, nullptr);
}

void RunDir::Clear(const RunKey& key) const
{
    const std::string folder = RunFolder(key);
    // run.json first: from here on the run is not complete, whatever else fails.
    const std::string runJson = layout_.RunJson(key, heldOut_);
    if (unlink(runJson.c_str()) != 0 && errno != ENOENT) Fail("cannot remove", runJson);
    for (const std::string& name : Entries(folder)) {
        const std::string path = JoinPath(folder, name);
        if (unlink(path.c_str()) != 0 && errno != ENOENT) Fail("cannot remove", path);
    }
}

std::string RunDir::RunJson(const RunView& run, const std::string& failure) const
{
    std::string s = "{\n";
    s += fmt::format("  \"patterns\": {},\n  \"chain\": {},\n  \"rounds\": {},\n", run.patterns,
                     run.chain, run.rounds);
    if (!failure.empty())
        s += fmt::format("  \"status\": \"failed\",\n  \"reason\": {},\n",
                         Json(failure).dump(-1, ' ', false, Json::error_handler_t::replace));
    s += fmt::format("  \"weighted\": {},\n", run.weighted ? "true" : "false");
    // (The twins with held-out cells take the weighted round.)
    s += fmt::format("  \"arithmetic\": \"{}\",\n", heldOut_ ? "classic" : id_.arithmetic);
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
    MakeDirectories(RunFolder(key));
    const std::vector<std::string> patterns = Names({}, static_cast<size_t>(run.patterns), 'P');
    WriteFileAtomic(layout_.Amplitudes(key, heldOut_),
                    MatrixTsv("gene", Names(geneNames, static_cast<size_t>(run.genes), 'g'),
                              patterns, run.amplitudes));
    WriteFileAtomic(layout_.Patterns(key, heldOut_),
                    MatrixTsv("pattern", patterns,
                              Names(sampleLabels, static_cast<size_t>(run.samples), 's'),
                              run.patternRows));
    // The matrices' names are on disk before run.json can say they are whole.
    SyncDirectory(RunFolder(key));
    WriteFileAtomic(layout_.RunJson(key, heldOut_), RunJson(run));
    SyncDirectory(RunFolder(key));
}

void RunDir::WriteFailedRun(const RunView& run, const std::string& reason) const
{
    const RunKey key{run.patterns, run.chain};
    MakeDirectories(RunFolder(key));
    WriteFileAtomic(layout_.RunJson(key, heldOut_), RunJson(run, reason));
    SyncDirectory(RunFolder(key));
}

namespace {

// The complete plain runs under DIR/runs that `rows` lacks, as summary lines
// (without the held-out error and the seconds, which go in `seconds`).
void AddCompleteRuns(const RunLayout& layout, const JobIdentity& id,
                     std::map<RunKey, std::string>* rows, std::map<RunKey, std::string>* seconds)
{
    const std::string runs = layout.Runs();
    for (const std::string& kname : Entries(runs)) {
        int patterns = 0;
        if (!RunFolderNumber(kname, 'k', &patterns)) continue;
        for (const std::string& cname : Entries(JoinPath(runs, kname))) {
            int chain = 0;
            if (!RunFolderNumber(cname, 'c', &chain)) continue;
            const RunKey key{patterns, chain};
            Json j;
            if (rows->count(key) != 0 || !LoadRun(layout, key, id, false, &j)) continue;
            (*rows)[key] = fmt::format("{}\t{}\t{}\t{}\t{}", patterns, chain,
                                       JsonNumber(j["chi_square"]), JsonNumber(j["ssr"]),
                                       j["rounds"].get<int>());
            (*seconds)[key] = JsonNumber(j["seconds"]);
        }
    }
}

}  // namespace

int RunDir::WriteSummary()
{
    DirLock lock(layout_);
    // Leftovers of killed summary or job.json writers (only lock holders write those).
    for (const std::string& name : Entries(layout_.Dir())) {
        if (IsTemporary(name)) unlink(JoinPath(layout_.Dir(), name).c_str());
    }
    AddCompleteRuns(layout_, id_, &rows_, &seconds_);
    // Runs seen before but gone since (removed by hand) leave the summary.
    for (auto it = rows_.begin(); it != rows_.end();) {
        if (!IsFile(layout_.RunJson(it->first))) {
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
            text += "\t" + (LoadRun(layout_, row.first, id_, true, &h) ? JsonNumber(h["holdout_error"])
                                                                       : std::string("nan"));
        }
        text += "\t" + seconds_[row.first] + "\n";
    }
    WriteFileAtomic(layout_.Summary(), text);
    SyncDirectory(layout_.Dir());
    return static_cast<int>(rows_.size());
}

}  // namespace zarno
