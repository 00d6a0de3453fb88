#include "zarno/table_reader.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <memory>
#include <string_view>
#include <thread>

#include <fmt/format.h>

namespace zarno {

namespace {

std::string ErrnoText(int e)
{
    return std::strerror(e);
}

bool EndsWith(std::string_view s, std::string_view tail)
{
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

std::string Lower(std::string s)
{
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// A label as it is shown in a message.
std::string Shown(std::string_view s)
{
    std::string out = "\"";
    for (char c : s) {
        if (static_cast<unsigned char>(c) < 0x20) {
            out += fmt::format("\\x{:02x}", static_cast<unsigned char>(c));
        } else {
            if (c == '"' || c == '\\') out += '\\';
            out += c;
        }
        if (out.size() > 60) {
            out += "...";
            break;
        }
    }
    return out + "\"";
}

std::string ReadPlain(int fd, const std::string& path)
{
    struct stat st;
    if (fstat(fd, &st) != 0) throw InputError(fmt::format("{}: cannot read: {}", path, ErrnoText(errno)));
    if (S_ISDIR(st.st_mode)) throw InputError(fmt::format("{}: is a directory, not a file", path));
    std::string out;
    if (S_ISREG(st.st_mode)) out.reserve(static_cast<size_t>(st.st_size));
    char buf[1 << 16];
    for (;;) {
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw InputError(fmt::format("{}: cannot read: {}", path, ErrnoText(errno)));
        }
        if (n == 0) break;
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

std::string ReadGzip(int fd, const std::string& path)
{
    gzFile gz = gzdopen(fd, "rb");
    if (gz == nullptr) {
        close(fd);
        throw InputError(fmt::format("{}: cannot open as gzip data", path));
    }
    std::unique_ptr<gzFile_s, int (*)(gzFile)> closer(gz, gzclose);
    gzbuffer(gz, 1 << 18);
    std::string out;
    const size_t chunk = 1 << 20;
    for (;;) {
        const size_t at = out.size();
        out.resize(at + chunk);
        const int n = gzread(gz, &out[at], static_cast<unsigned>(chunk));
        if (n < 0) {
            int code = 0;
            const char* why = gzerror(gz, &code);
            throw InputError(fmt::format("{}: corrupt gzip data: {}", path, why ? why : "?"));
        }
        out.resize(at + static_cast<size_t>(n));
        if (n == 0) break;
    }
    // gzread stops quietly at a truncated stream; gzclose_r tells.
    closer.release();
    const int rc = gzclose_r(gz);
    if (rc != Z_OK) {
        throw InputError(fmt::format("{}: gzip data are truncated or corrupt", path));
    }
    return out;
}

// ---------------------------------------------------------------------------
// Splitting lines into fields

enum class Separator { kComma, kTab, kSpaces };

struct Field {
    const char* b;
    const char* e;
    int column;  // from 1
};

bool IsBlank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f';
}

class Splitter {
public:
    Splitter(const std::string& path, Separator sep) : path_(path), sep_(sep) {}

    // Fields of the line [b, e) (line number `line`), into `out`.
    void Split(char* b, char* e, int line, std::vector<Field>& out) const
    {
        out.clear();
        const char* const start = b;
        auto col = [&](const char* p) { return static_cast<int>(p - start) + 1; };
        if (sep_ == Separator::kSpaces) {
            const char* p = b;
            while (true) {
                while (p < e && IsBlank(*p)) p++;
                if (p == e) break;
                const char* q = p;
                while (q < e && !IsBlank(*q)) q++;
                out.push_back({p, q, col(p)});
                p = q;
            }
            return;
        }
        const char sepc = sep_ == Separator::kTab ? '\t' : ',';
        char* p = b;
        while (true) {
            char* q = p;
            if (sep_ == Separator::kComma) {
                while (q < e && (*q == ' ' || *q == '\t')) q++;
            } else {
                while (q < e && *q == ' ') q++;
            }
            if (sep_ == Separator::kComma && q < e && *q == '"') {
                // A quoted field: "" inside stands for one quote, unescaped in place.
                char* r = q + 1;
                char* w = q + 1;
                bool closed = false;
                while (r < e) {
                    if (*r == '"') {
                        if (r + 1 < e && r[1] == '"') {
                            *w++ = '"';
                            r += 2;
                            continue;
                        }
                        closed = true;
                        r++;
                        break;
                    }
                    *w++ = *r++;
                }
                if (!closed) {
                    throw InputError(fmt::format("{}:{}:{}: a quote that is not closed on its line",
                                                 path_, line, col(q)));
                }
                while (r < e && (*r == ' ' || *r == '\t')) r++;
                if (r < e && *r != sepc) {
                    throw InputError(fmt::format("{}:{}:{}: text after a closing quote", path_,
                                                 line, col(r)));
                }
                out.push_back({q + 1, w, col(q)});
                if (r == e) break;
                p = r + 1;
                continue;
            }
            char* s = static_cast<char*>(std::memchr(q, sepc, static_cast<size_t>(e - q)));
            char* end = s ? s : e;
            char* t = end;
            while (t > q && (t[-1] == ' ' || (sep_ == Separator::kComma && t[-1] == '\t'))) t--;
            out.push_back({q, t, col(q)});
            if (s == nullptr) break;
            p = s + 1;
        }
    }

private:
    const std::string& path_;
    Separator sep_;
};

// The next non-blank line: [*b, *e) without its line break, its number in *line.
class Lines {
public:
    explicit Lines(std::string& text) : p_(&text[0]), end_(&text[0] + text.size())
    {
        if (text.size() >= 3 && std::memcmp(p_, "\xEF\xBB\xBF", 3) == 0) p_ += 3;
    }
    bool Next(char** b, char** e, int* line)
    {
        while (p_ < end_) {
            char* nl = static_cast<char*>(std::memchr(p_, '\n', static_cast<size_t>(end_ - p_)));
            char* lineEnd = nl ? nl : end_;
            char* s = p_;
            line_++;
            p_ = nl ? nl + 1 : end_;
            char* t = lineEnd;
            if (t > s && t[-1] == '\r') t--;
            bool blank = true;
            for (char* q = s; q < t; q++) {
                if (!IsBlank(*q)) {
                    blank = false;
                    break;
                }
            }
            if (blank) continue;
            *b = s;
            *e = t;
            *line = line_;
            return true;
        }
        return false;
    }
    int LastLine() const { return line_; }
    // Line breaks left: an upper bound on the rows to come.
    size_t LinesLeft() const
    {
        size_t n = 1;
        for (const char* q = p_; q < end_;) {
            const char* nl = static_cast<const char*>(std::memchr(q, '\n', static_cast<size_t>(end_ - q)));
            if (nl == nullptr) break;
            n++;
            q = nl + 1;
        }
        return n;
    }

private:
    char* p_;
    char* end_;
    int line_ = 0;
};

std::string Label(const Field& f)
{
    return std::string(f.b, f.e);
}

void CheckLabel(const std::string& path, int line, const Field& f, const char* what)
{
    for (const char* q = f.b; q < f.e; q++) {
        if (*q == '\t' || *q == '\n' || *q == '\r') {
            throw InputError(fmt::format("{}:{}:{}: the {} {} holds a tab or a line break, which "
                                         "the tab-separated results cannot hold",
                                         path, line, f.column, what, Shown(Label(f))));
        }
    }
}

// The common row in one pass: the name, then S numbers read where they
// stand, with no field list. Anything unusual (a fault, a '+' sign, a stray
// character) returns false with `t` unchanged, and the general path reads
// the row again and words the fault.
bool FastRow(const char* b, const char* e, int line, size_t S, bool tabs, bool positive, Table& t)
{
    const char* p = b;
    const char *nameB, *nameE;
    if (tabs) {
        while (p < e && *p == ' ') p++;
        nameB = p;
        const char* q = static_cast<const char*>(std::memchr(p, '\t', static_cast<size_t>(e - p)));
        if (q == nullptr) return false;
        nameE = q;
        while (nameE > nameB && nameE[-1] == ' ') nameE--;
        p = q + 1;
    } else {
        while (p < e && IsBlank(*p)) p++;
        nameB = p;
        while (p < e && !IsBlank(*p)) p++;
        nameE = p;
    }
    if (std::memchr(nameB, '\r', static_cast<size_t>(nameE - nameB)) != nullptr) return false;
    const size_t base = t.values.size();
    long long negatives = 0;
    int negativeColumn = 0, negativeSample = -1;
    for (size_t j = 0; j < S; j++) {
        if (tabs) {
            while (p < e && *p == ' ') p++;
        } else {
            while (p < e && IsBlank(*p)) p++;
        }
        double v = 0.0;
        const auto r = std::from_chars(p, e, v);
        const char* q = r.ptr;
        bool ok = r.ec == std::errc{} && q != p && std::isfinite(v) && (!positive || v > 0.0);
        if (ok && tabs) {
            while (q < e && *q == ' ') q++;
            if (j + 1 < S) {
                ok = q < e && *q == '\t';
                q++;
            }
        } else if (ok) {
            ok = q == e || IsBlank(*q);
        }
        if (!ok) {
            t.values.resize(base);
            return false;
        }
        if (v < 0.0 && negatives++ == 0) {
            negativeColumn = static_cast<int>(p - b) + 1;
            negativeSample = static_cast<int>(j);
        }
        t.values.push_back(v);
        p = q;
    }
    while (p < e && (tabs ? *p == ' ' : IsBlank(*p))) p++;
    if (p != e) {
        t.values.resize(base);
        return false;
    }
    if (negatives > 0 && t.negatives == 0) {
        t.negativeLine = line;
        t.negativeColumn = negativeColumn;
        t.negativeGene = static_cast<int>(t.geneNames.size());
        t.negativeSample = negativeSample;
    }
    t.negatives += negatives;
    t.geneNames.emplace_back(nameB, nameE);
    t.lines.push_back(line);
    return true;
}

}  // namespace

std::string Sha256Hex(const std::string& bytes)
{
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    if (EVP_Digest(bytes.data(), bytes.size(), md, &n, EVP_sha256(), nullptr) != 1) {
        throw std::runtime_error("SHA-256 failed in libcrypto");
    }
    std::string hex;
    hex.reserve(2 * n);
    static const char digits[] = "0123456789abcdef";
    for (unsigned int i = 0; i < n; i++) {
        hex += digits[md[i] >> 4];
        hex += digits[md[i] & 15];
    }
    return hex;
}

std::string ReadFileContents(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) throw InputError(fmt::format("{}: cannot open: {}", path, ErrnoText(errno)));
    unsigned char magic[2] = {0, 0};
    const ssize_t got = pread(fd, magic, 2, 0);
    if (got == 2 && magic[0] == 0x1f && magic[1] == 0x8b) return ReadGzip(fd, path);  // owns fd
    std::string out;
    try {
        out = ReadPlain(fd, path);
    } catch (...) {
        close(fd);
        throw;
    }
    close(fd);
    return out;
}

Table ReadTable(const std::string& path, const ReadOptions& options)
{
    std::string text = ReadFileContents(path);
    Table t;
    t.path = path;
    t.sha256 = Sha256Hex(text);

    std::string name = Lower(path);
    if (EndsWith(name, ".gz")) name.resize(name.size() - 3);
    Lines lines(text);
    char *b = nullptr, *e = nullptr;
    int headerLine = 0;
    if (!lines.Next(&b, &e, &headerLine)) {
        throw InputError(fmt::format("{}:1:1: the file is empty: expected a header of sample labels "
                                     "and a row per gene",
                                     path));
    }
    Separator sep = Separator::kSpaces;
    if (EndsWith(name, ".csv")) {
        sep = Separator::kComma;
    } else if (std::memchr(b, '\t', static_cast<size_t>(e - b)) != nullptr) {
        sep = Separator::kTab;
    }
    const Splitter split(path, sep);
    std::vector<Field> header, fields;
    split.Split(b, e, headerLine, header);
    const int headerEnd = static_cast<int>(e - b) + 1;

    int line = 0;
    if (!lines.Next(&b, &e, &line)) {
        throw InputError(fmt::format("{}:{}:{}: the header is followed by no gene rows", path,
                                     headerLine, headerEnd));
    }
    split.Split(b, e, line, fields);
    const long long firstValues = static_cast<long long>(fields.size()) - 1;
    const long long labels = static_cast<long long>(header.size());
    if (firstValues < 1) {
        throw InputError(fmt::format("{}:{}:{}: the row of gene {} holds no values", path, line,
                                     static_cast<int>(e - b) + 1, Shown(Label(fields[0]))));
    }
    // A header one longer than the first row's values starts with a corner
    // label. A first row shorter than that is itself ragged: reported below.
    size_t firstLabel = 0;
    if (labels >= firstValues + 1) {
        firstLabel = 1;
    } else if (labels != firstValues) {
        throw InputError(fmt::format(
            "{}:{}:{}: the first row holds {} values, but the header (line {}) has {} labels: "
            "a row needs one value per sample label",
            path, line, fields.back().column, firstValues, headerLine, labels));
    }
    if (labels > 0x7fffffff) throw InputError(fmt::format("{}:{}:1: too many columns", path, line));
    t.samples = static_cast<int>(labels) - static_cast<int>(firstLabel);
    if (firstLabel == 1) t.corner = Label(header[0]);
    t.headerLine = headerLine;
    t.sampleLabels.reserve(static_cast<size_t>(t.samples));
    for (size_t i = firstLabel; i < header.size(); i++) {
        CheckLabel(path, headerLine, header[i], "sample label");
        t.sampleLabels.push_back(Label(header[i]));
        t.labelColumns.push_back(header[i].column);
    }

    const size_t S = static_cast<size_t>(t.samples);
    const size_t rowsBound = lines.LinesLeft() + 1;
    t.values.reserve(rowsBound * S);
    t.geneNames.reserve(rowsBound);
    t.lines.reserve(rowsBound);

    bool fieldsReady = true;  // the first row is split already
    for (;;) {
        if (t.geneNames.size() >= 0x7fffffff) throw InputError(fmt::format("{}:{}:1: too many rows", path, line));
        if (sep != Separator::kComma &&
            FastRow(b, e, line, S, sep == Separator::kTab, options.positive, t)) {
            if (!lines.Next(&b, &e, &line)) break;
            fieldsReady = false;
            continue;
        }
        if (!fieldsReady) split.Split(b, e, line, fields);
        const int lineLength = static_cast<int>(e - b);
        if (fields.size() < S + 1) {
            throw InputError(fmt::format(
                "{}:{}:{}: the row of gene {} holds {} values, expected {} (one per sample label)",
                path, line, lineLength + 1, Shown(Label(fields[0])), fields.size() - 1, S));
        }
        if (fields.size() > S + 1) {
            throw InputError(fmt::format(
                "{}:{}:{}: the row of gene {} holds {} values, expected {} (one per sample label)",
                path, line, fields[S + 1].column, Shown(Label(fields[0])), fields.size() - 1, S));
        }
        CheckLabel(path, line, fields[0], "gene name");
        const int gene = static_cast<int>(t.geneNames.size());
        t.geneNames.push_back(Label(fields[0]));
        t.lines.push_back(line);
        for (size_t j = 0; j < S; j++) {
            const Field& f = fields[j + 1];
            const char* p = f.b;
            if (p < f.e && *p == '+' && p + 1 < f.e && p[1] != '-' && p[1] != '+') p++;
            double v = 0.0;
            const auto r = std::from_chars(p, f.e, v);
            if (f.b == f.e || r.ptr != f.e || r.ec == std::errc::invalid_argument ||
                r.ec == std::errc::result_out_of_range || !std::isfinite(v)) {
                std::string why;
                if (f.b == f.e) {
                    why = fmt::format("an empty field where a {} value belongs", options.what);
                } else if (r.ptr == f.e && r.ec == std::errc::result_out_of_range) {
                    why = fmt::format("{} is beyond the range of a double", Shown(Label(f)));
                } else if (r.ptr == f.e && r.ec == std::errc{}) {
                    why = fmt::format("{} is not a finite number", Shown(Label(f)));
                } else {
                    why = fmt::format("{} is not a number", Shown(Label(f)));
                }
                throw InputError(fmt::format("{}:{}:{}: {} (gene {}, sample {})", path, line,
                                             f.column, why, Shown(t.geneNames.back()),
                                             Shown(t.sampleLabels[j])));
            }
            if (options.positive) {
                if (!(v > 0.0)) {
                    throw InputError(fmt::format(
                        "{}:{}:{}: {} {} is not positive: weighting divides by it (gene {}, "
                        "sample {})",
                        path, line, f.column, options.what, Label(f), Shown(t.geneNames.back()),
                        Shown(t.sampleLabels[j])));
                }
            } else if (v < 0.0) {
                if (t.negatives++ == 0) {
                    t.negativeLine = line;
                    t.negativeColumn = f.column;
                    t.negativeGene = gene;
                    t.negativeSample = static_cast<int>(j);
                }
            }
            t.values.push_back(v);
        }
        if (!lines.Next(&b, &e, &line)) break;
        fieldsReady = false;
    }
    t.genes = static_cast<int>(t.geneNames.size());
    return t;
}

void ReadDataAndUncertainties(const std::string& dataPath, const std::string& uncertPath,
                              Table* data, Table* uncert)
{
    if (uncertPath.empty()) {
        *data = ReadTable(dataPath, ReadOptions{false, "data"});
        return;
    }
    std::exception_ptr uncertFault;
    std::thread other([&] {
        try {
            *uncert = ReadTable(uncertPath, ReadOptions{true, "uncertainty"});
        } catch (...) {
            uncertFault = std::current_exception();
        }
    });
    try {
        *data = ReadTable(dataPath, ReadOptions{false, "data"});
    } catch (...) {
        other.join();
        throw;
    }
    other.join();
    if (uncertFault) std::rethrow_exception(uncertFault);
}

bool IsControlFile(const std::string& path)
{
    return EndsWith(Lower(path), ".ctr");
}

namespace {

// Reads `n` integers at the start of a line; the rest of the line is a comment.
void LineInts(const std::string& path, char* b, char* e, int line, int* const* out, int n,
              const char* names)
{
    const char* const start = b;
    const char* p = b;
    for (int k = 0; k < n; k++) {
        while (p < e && IsBlank(*p)) p++;
        const char* q = p;
        while (q < e && !IsBlank(*q)) q++;
        const int column = static_cast<int>(p - start) + 1;
        if (p == q) {
            throw InputError(fmt::format("{}:{}:{}: line {} needs {} numbers: {}", path, line,
                                         column, line, n, names));
        }
        int v = 0;
        const auto r = std::from_chars(p, q, v);
        if (r.ptr != q || r.ec != std::errc{}) {
            throw InputError(fmt::format("{}:{}:{}: {} is not a whole number (line {} holds {})",
                                         path, line, column, Shown(std::string_view(p, q - p)),
                                         line, names));
        }
        *out[k] = v;
        p = q;
    }
}

std::string Beside(const std::string& ctr, const std::string& name)
{
    const size_t slash = ctr.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : ctr.substr(0, slash + 1);
    const std::string plain = dir + name;
    struct stat st;
    if (stat(plain.c_str(), &st) != 0 && stat((plain + ".gz").c_str(), &st) == 0) {
        return plain + ".gz";
    }
    return plain;
}

}  // namespace

ControlFile ReadControlFile(const std::string& path)
{
    std::string text = ReadFileContents(path);
    ControlFile c;
    c.path = path;
    Lines lines(text);
    char *b = nullptr, *e = nullptr;
    int line = 0;
    if (!lines.Next(&b, &e, &line)) {
        throw InputError(fmt::format("{}:1:1: the control file is empty: line 1 needs genes, "
                                     "samples and the uncertainty flag",
                                     path));
    }
    int* const first[] = {&c.genes, &c.samples, &c.uncertFlag};
    LineInts(path, b, e, line, first, 3, "genes, samples, uncertainty flag");
    const int line1 = line;
    if (!lines.Next(&b, &e, &line)) {
        throw InputError(fmt::format("{}:{}:1: line 2 is missing: it needs the first and last "
                                     "pattern count, chains and rounds",
                                     path, line1 + 1));
    }
    int* const second[] = {&c.firstRank, &c.lastRank, &c.chains, &c.rounds};
    LineInts(path, b, e, line, second, 4, "first and last pattern count, chains, rounds");

    std::string base = path.substr(path.rfind('/') == std::string::npos ? 0 : path.rfind('/') + 1);
    base.resize(base.size() - 4);  // ".ctr"
    c.dataPath = Beside(path, base + ".txt");
    c.uncertPath = Beside(path, base + ".unc");
    return c;
}

}  // namespace zarno
