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
#include <limits>
#include <memory>
#include <string_view>
#include <thread>
#include <unordered_map>

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

// An input file read in pieces: plain bytes as they are, gzip data (known by
// its first two bytes) decompressed.
class InputFile {
public:
    explicit InputFile(const std::string& path) : path_(path)
    {
        fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd_ < 0) throw InputError(fmt::format("{}: cannot open: {}", path, ErrnoText(errno)));
        struct stat st;
        if (fstat(fd_, &st) != 0) Fail(fmt::format("{}: cannot read: {}", path, ErrnoText(errno)));
        if (S_ISDIR(st.st_mode)) Fail(fmt::format("{}: is a directory, not a file", path));
        if (S_ISREG(st.st_mode)) size_ = static_cast<size_t>(st.st_size);
        unsigned char magic[2] = {0, 0};
        if (pread(fd_, magic, 2, 0) == 2 && magic[0] == 0x1f && magic[1] == 0x8b) {
            gz_ = gzdopen(fd_, "rb");
            if (gz_ == nullptr) Fail(fmt::format("{}: cannot open as gzip data", path));
            fd_ = -1;  // the gzFile owns it
            gzbuffer(gz_, 1 << 18);
            size_ = 0;
        }
    }
    ~InputFile() { Close(); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;

    // The text's size when it is known ahead (a plain file), else 0.
    size_t SizeHint() const { return size_; }

    // Up to `n` bytes of text into `buf`; 0 at its end.
    size_t Read(char* buf, size_t n)
    {
        if (gz_ != nullptr) return ReadGzip(buf, n);
        for (;;) {
            const ssize_t got = read(fd_, buf, n);
            if (got >= 0) return static_cast<size_t>(got);
            if (errno != EINTR) throw InputError(fmt::format("{}: cannot read: {}", path_, ErrnoText(errno)));
        }
    }

private:
    size_t ReadGzip(char* buf, size_t n)
    {
        const int got = gzread(gz_, buf, static_cast<unsigned>(std::min<size_t>(n, 1u << 30)));
        if (got < 0) {
            int code = 0;
            const char* why = gzerror(gz_, &code);
            throw InputError(fmt::format("{}: corrupt gzip data: {}", path_, why ? why : "?"));
        }
        if (got == 0) {
            // gzread stops quietly at a truncated stream; gzclose_r tells.
            const int rc = gzclose_r(gz_);
            gz_ = nullptr;
            if (rc != Z_OK) throw InputError(fmt::format("{}: gzip data are truncated or corrupt", path_));
        }
        return static_cast<size_t>(got);
    }
    [[noreturn]] void Fail(const std::string& message)
    {
        Close();
        throw InputError(message);
    }
    void Close()
    {
        if (gz_ != nullptr) gzclose_r(gz_);
        if (fd_ >= 0) close(fd_);
        gz_ = nullptr;
        fd_ = -1;
    }

    std::string path_;
    int fd_ = -1;
    gzFile gz_ = nullptr;
    size_t size_ = 0;
};

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
    InputFile in(path);
    std::string out;
    // A plain file's size is known: one allocation, with a byte to see its end.
    if (in.SizeHint() > 0) out.reserve(in.SizeHint() + 1);
    for (;;) {
        if (out.capacity() == out.size()) out.reserve(std::max<size_t>(1 << 20, 2 * out.size()));
        const size_t at = out.size();
        out.resize(out.capacity());
        const size_t n = in.Read(&out[at], out.size() - at);
        out.resize(at + n);
        if (n == 0) return out;
    }
}

namespace {

// What a table's first two lines say: its separator, its sample labels (after
// a corner label when there is one) and its first row, split.
struct Head {
    Separator sep = Separator::kSpaces;
    int headerLine = 0;
    std::vector<Field> header;
    size_t firstLabel = 0;  // 1: header[0] is a corner label
    char *b = nullptr, *e = nullptr;  // the first row
    int line = 0;
    std::vector<Field> fields;
};

// Reads the header and the first row from `lines`; throws the faults that
// leave no table (an empty file, no rows, a first row that fits no header).
Head ReadHead(const std::string& path, Lines& lines)
{
    Head h;
    char *b = nullptr, *e = nullptr;
    if (!lines.Next(&b, &e, &h.headerLine)) {
        throw InputError(fmt::format("{}:1:1: the file is empty: expected a header of sample labels "
                                     "and a row per gene",
                                     path));
    }
    std::string name = Lower(path);
    if (EndsWith(name, ".gz")) name.resize(name.size() - 3);
    if (EndsWith(name, ".csv")) {
        h.sep = Separator::kComma;
    } else if (std::memchr(b, '\t', static_cast<size_t>(e - b)) != nullptr) {
        h.sep = Separator::kTab;
    }
    const Splitter split(path, h.sep);
    split.Split(b, e, h.headerLine, h.header);
    if (!lines.Next(&h.b, &h.e, &h.line)) {
        throw InputError(fmt::format("{}:{}:{}: the header is followed by no gene rows", path,
                                     h.headerLine, static_cast<int>(e - b) + 1));
    }
    split.Split(h.b, h.e, h.line, h.fields);
    const long long firstValues = static_cast<long long>(h.fields.size()) - 1;
    const long long labels = static_cast<long long>(h.header.size());
    if (firstValues < 1) {
        throw InputError(fmt::format("{}:{}:{}: the row of gene {} holds no values", path, h.line,
                                     static_cast<int>(h.e - h.b) + 1, Shown(Label(h.fields[0]))));
    }
    // A header one longer than the first row's values starts with a corner
    // label. A first row shorter than that is itself ragged: reported here.
    if (labels >= firstValues + 1) {
        h.firstLabel = 1;
    } else if (labels != firstValues) {
        throw InputError(fmt::format(
            "{}:{}:{}: the first row holds {} values, but the header (line {}) has {} labels: "
            "a row needs one value per sample label",
            path, h.line, h.fields.back().column, firstValues, h.headerLine, labels));
    }
    if (labels > 0x7fffffff) throw InputError(fmt::format("{}:{}:1: too many columns", path, h.line));
    return h;
}

// The header's labels into `t`, each checked. A label given twice is
// refused: the uncertainties and every result are matched by label.
void TakeLabels(const std::string& path, const Head& h, Table& t)
{
    t.samples = static_cast<int>(h.header.size() - h.firstLabel);
    if (h.firstLabel == 1) t.corner = Label(h.header[0]);
    t.headerLine = h.headerLine;
    t.sampleLabels.reserve(static_cast<size_t>(t.samples));
    std::unordered_map<std::string, size_t> seen;
    for (size_t i = h.firstLabel; i < h.header.size(); i++) {
        CheckLabel(path, h.headerLine, h.header[i], "sample label");
        const auto [at, fresh] = seen.emplace(Label(h.header[i]), i);
        if (!fresh) {
            throw InputError(fmt::format(
                "{}:{}:{}: sample label {} is given twice, in header fields {} and {} (columns "
                "{} and {}): sample labels must be unique",
                path, h.headerLine, h.header[i].column, Shown(Label(h.header[i])), at->second + 1,
                i + 1, h.header[at->second].column, h.header[i].column));
        }
        t.sampleLabels.push_back(Label(h.header[i]));
        t.labelColumns.push_back(h.header[i].column);
    }
}

// Counts the rows whose gene name an earlier row has (they run as genes of
// their own, but every join by name would mix them).
void CountDuplicateGenes(Table& t)
{
    std::unordered_map<std::string_view, int> seen;
    seen.reserve(t.geneNames.size());
    for (size_t i = 0; i < t.geneNames.size(); i++) {
        const auto [at, fresh] = seen.emplace(t.geneNames[i], static_cast<int>(i));
        if (fresh) continue;
        if (t.duplicateGenes++ == 0) {
            t.duplicateGene = static_cast<int>(i);
            t.duplicateOf = at->second;
        }
    }
}

// NA or NaN in any case (NaN signed or not), or nothing at all: a value the
// file does not have.
bool MissingField(const Field& f)
{
    std::string_view t(f.b, static_cast<size_t>(f.e - f.b));
    if (t.empty()) return true;
    if (t.size() == 2) return Lower(std::string(t)) == "na";
    if (t[0] == '+' || t[0] == '-') t.remove_prefix(1);
    return t.size() == 3 && Lower(std::string(t)) == "nan";
}

// Why the field `f` is no value, or "" when it is one (in *v).
std::string ValueFault(const Field& f, const std::string& what, double* v)
{
    const char* p = f.b;
    if (p < f.e && *p == '+' && p + 1 < f.e && p[1] != '-' && p[1] != '+') p++;
    const auto r = std::from_chars(p, f.e, *v);
    if (f.b == f.e) return fmt::format("an empty field where a {} value belongs", what);
    if (r.ptr == f.e && r.ec == std::errc::result_out_of_range) {
        return fmt::format("{} is beyond the range of a double", Shown(Label(f)));
    }
    if (r.ptr != f.e || r.ec == std::errc::invalid_argument) {
        return fmt::format("{} is not a number", Shown(Label(f)));
    }
    if (!std::isfinite(*v)) return fmt::format("{} is not a finite number", Shown(Label(f)));
    return "";
}

// One row the fast path would not take, from its fields: every fault worded.
void ReadRow(const std::string& path, int line, int lineLength, const std::vector<Field>& fields,
             const ReadOptions& options, Table& t)
{
    const size_t S = static_cast<size_t>(t.samples);
    if (fields.size() != S + 1) {
        throw InputError(fmt::format(
            "{}:{}:{}: the row of gene {} holds {} values, expected {} (one per sample label)",
            path, line, fields.size() < S + 1 ? lineLength + 1 : fields[S + 1].column,
            Shown(Label(fields[0])), fields.size() - 1, S));
    }
    CheckLabel(path, line, fields[0], "gene name");
    const int gene = static_cast<int>(t.geneNames.size());
    t.geneNames.push_back(Label(fields[0]));
    t.lines.push_back(line);
    for (size_t j = 0; j < S; j++) {
        const Field& f = fields[j + 1];
        if (options.allowMissing && MissingField(f)) {
            if (t.missing++ == 0) {
                t.missingLine = line;
                t.missingColumn = f.column;
            }
            t.values.push_back(std::numeric_limits<double>::quiet_NaN());
            continue;
        }
        double v = 0.0;
        const std::string why = ValueFault(f, options.what, &v);
        if (!why.empty()) {
            throw InputError(fmt::format("{}:{}:{}: {} (gene {}, sample {})", path, line, f.column,
                                         why, Shown(t.geneNames.back()), Shown(t.sampleLabels[j])));
        }
        if (options.positive && !(v > 0.0)) {
            throw InputError(fmt::format(
                "{}:{}:{}: {} {} is not positive: weighting divides by it (gene {}, sample {})",
                path, line, f.column, options.what, Label(f), Shown(t.geneNames.back()),
                Shown(t.sampleLabels[j])));
        }
        if (!options.positive && v < 0.0 && t.negatives++ == 0) {
            t.negativeLine = line;
            t.negativeColumn = f.column;
            t.negativeGene = gene;
            t.negativeSample = static_cast<int>(j);
        }
        t.values.push_back(v);
    }
}

// Every row from the head's first on: the fast path where it can, the
// general one where it cannot.
void ReadRows(const std::string& path, Head& h, Lines& lines, const ReadOptions& options, Table& t)
{
    const size_t S = static_cast<size_t>(t.samples);
    const size_t rowsBound = lines.LinesLeft() + 1;
    t.values.reserve(rowsBound * S);
    t.geneNames.reserve(rowsBound);
    t.lines.reserve(rowsBound);
    const Splitter split(path, h.sep);
    char *b = h.b, *e = h.e;
    int line = h.line;
    bool fieldsReady = true;  // the first row is split already
    do {
        if (t.geneNames.size() >= 0x7fffffff) {
            throw InputError(fmt::format("{}:{}:1: too many rows", path, line));
        }
        if (h.sep != Separator::kComma &&
            FastRow(b, e, line, S, h.sep == Separator::kTab, options.positive, t)) {
            fieldsReady = false;
            continue;
        }
        if (!fieldsReady) split.Split(b, e, line, h.fields);
        ReadRow(path, line, static_cast<int>(e - b), h.fields, options, t);
        fieldsReady = false;
    } while (lines.Next(&b, &e, &line));
}

}  // namespace

Table ReadTable(const std::string& path, const ReadOptions& options)
{
    std::string text = ReadFileContents(path);
    Table t;
    t.path = path;
    t.sha256 = Sha256Hex(text);
    Lines lines(text);
    Head head = ReadHead(path, lines);
    TakeLabels(path, head, t);
    ReadRows(path, head, lines, options, t);
    t.genes = static_cast<int>(t.geneNames.size());
    CountDuplicateGenes(t);
    return t;
}

TextTable ReadTextTable(const std::string& path)
{
    std::string text = ReadFileContents(path);
    TextTable t;
    t.path = path;
    t.sha256 = Sha256Hex(text);
    Lines lines(text);
    char *b = nullptr, *e = nullptr;
    int line = 0;
    if (!lines.Next(&b, &e, &line)) {
        throw InputError(fmt::format("{}:1:1: the file is empty: expected a header", path));
    }
    // The separator as ReadTable chooses it, from the name and the header.
    std::string name = Lower(path);
    if (EndsWith(name, ".gz")) name.resize(name.size() - 3);
    Separator sep = Separator::kSpaces;
    if (EndsWith(name, ".csv")) {
        sep = Separator::kComma;
    } else if (std::memchr(b, '\t', static_cast<size_t>(e - b)) != nullptr) {
        sep = Separator::kTab;
    }
    const Splitter split(path, sep);
    std::vector<Field> fields;
    do {
        split.Split(b, e, line, fields);
        t.lines.push_back(line);
        t.fields.emplace_back();
        t.columns.emplace_back();
        for (const Field& f : fields) {
            t.fields.back().push_back(Label(f));
            t.columns.back().push_back(f.column);
        }
    } while (lines.Next(&b, &e, &line));
    return t;
}

namespace {

// Counts the lines that hold more than blanks, the text fed in pieces.
class RowCounter {
public:
    // Feeds [p, p + n) up to the end of the `rows`-th row, or all of it;
    // returns the bytes taken.
    size_t FeedUntil(const char* p, size_t n, long long rows)
    {
        for (size_t i = 0; i < n; i++) {
            Take(p[i]);
            if (rows_ == rows) return i + 1;
        }
        return n;
    }
    void Feed(const char* p, size_t n)
    {
        for (size_t i = 0; i < n; i++) Take(p[i]);
    }
    long long Rows() const { return rows_; }
    long long Finish()
    {
        Take('\n');  // a last line without a line break
        return rows_;
    }

private:
    void Take(char c)
    {
        if (c == '\n') {
            rows_ += blank_ ? 0 : 1;
            blank_ = true;
        } else if (!IsBlank(c)) {
            blank_ = false;
        }
    }
    long long rows_ = 0;
    bool blank_ = true;
};

}  // namespace

TableShape ReadTableShape(const std::string& path)
{
    InputFile in(path);
    TableShape shape;
    std::string head;  // the text up to the end of the first row
    RowCounter rows;
    std::vector<char> buf(1 << 16);
    for (size_t n, total = 0; (n = in.Read(buf.data(), buf.size())) > 0; total += n) {
        size_t used = 0;
        if (total == 0 && n >= 3 && std::memcmp(buf.data(), "\xEF\xBB\xBF", 3) == 0) {
            // Skipped by the row count; kept in the head, which Lines strips
            // of one mark as ReadTable's does (a second mark is text to both).
            used = 3;
            head.assign(buf.data(), 3);
        }
        if (rows.Rows() < 2) {
            const size_t taken = rows.FeedUntil(buf.data() + used, n - used, 2);
            head.append(buf.data() + used, taken);
            used += taken;
        }
        rows.Feed(buf.data() + used, n - used);
    }
    Lines lines(head);
    const Head h = ReadHead(path, lines);
    shape.samples = static_cast<std::int64_t>(h.header.size() - h.firstLabel);
    shape.genes = rows.Finish() - 1;  // every row but the header
    return shape;
}

void ReadDataAndUncertainties(const std::string& dataPath, const std::string& uncertPath,
                              Table* data, Table* uncert, bool allowMissing)
{
    if (uncertPath.empty()) {
        *data = ReadTable(dataPath, ReadOptions{false, "data", allowMissing});
        return;
    }
    std::exception_ptr uncertFault;
    std::thread other([&] {
        try {
            *uncert = ReadTable(uncertPath, ReadOptions{true, "uncertainty", allowMissing});
        } catch (...) {
            uncertFault = std::current_exception();
        }
    });
    try {
        *data = ReadTable(dataPath, ReadOptions{false, "data", allowMissing});
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
