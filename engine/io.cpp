#include "io.h"

#include <locale.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

std::string CTimeText(time_t t)
{
    char buf[64];
    if (ctime_r(&t, buf) == nullptr) return std::string("??? ??? ?? ??:??:?? ????\n");
    return std::string(buf);
}

std::string FormatText(const char* format, ...)
{
    va_list args, again;
    va_start(args, format);
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0) std::vsnprintf(&text[0], static_cast<size_t>(n) + 1, format, again);
    va_end(again);
    return text;
}

io::io(char* path)
{
    if (path == nullptr) return;
    if (std::strlen(path) >= static_cast<size_t>(NAMEL)) {
        // A truncated prefix would send every file name elsewhere; GetParameters
        // refuses to go on.
        prefixRefused = true;
        std::printf("Refused: the directory prefix is longer than %d characters: %.60s...\n",
                    NAMEL - 1, path);
        std::fflush(stdout);
        return;
    }
    std::strcpy(FilePathFromNodes, path);
}

io::~io()
{
    ReleaseFileData();
}

namespace {

std::atomic<EngineHost*> recordMessenger{nullptr};

}  // namespace

void RegisterRecordMessenger(EngineHost* messenger)
{
    recordMessenger.store(messenger);
}

EngineHost* RecordMessenger()
{
    return recordMessenger.load();
}

int io::Message(const char* text)
{
    if (host != nullptr) return host->Message(*this, text);
    // A record filled by hand speaks to its JVM as one made by a constructor.
    if (env != nullptr && obj != nullptr && meth != nullptr) {
        if (EngineHost* messenger = RecordMessenger()) return messenger->Message(*this, text);
    }
    std::printf("%s\n", text);
    return 1;
}

void io::VerifyInputParams()
{
    // The fixed text is 104 characters; the tag and the data path fit NAMEL each.
    char out[104 + 2 * NAMEL + 7 * 12];
    std::snprintf(out, sizeof out,
                  "basename %s\ndatafile %s\n\nNgenes %d Nsamples %d Uncertainty flag %d\n"
                  "TestedRanks %d-%d, Nchain %d, Total simulated rounds %d",
                  basename, datafile, Ngenes, Nsamples, uncertFlag, StartRank, EndRank,
                  Nchains, SimulateIterations);
    Message(out);
}

// ---------------------------------------------------------------------------
// File-driven mode: control, data, matrix and link files, information file.

namespace {

// Numbers are read and written in the C locale whatever the process set: a
// JVM takes its locale from the environment, and a decimal comma would make
// every file unreadable or wrong.
class CNumbers {
public:
    CNumbers()
    {
        static const locale_t c = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
        if (c != static_cast<locale_t>(0)) previous = uselocale(c);
    }
    ~CNumbers()
    {
        if (previous != static_cast<locale_t>(0)) uselocale(previous);
    }
    CNumbers(const CNumbers&) = delete;
    CNumbers& operator=(const CNumbers&) = delete;

private:
    locale_t previous = static_cast<locale_t>(0);
};

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<FILE, FileCloser>;

// True when buf holds a terminated string within its NAMEL characters.
bool Terminated(const char* buf)
{
    return std::memchr(buf, '\0', NAMEL) != nullptr;
}

// Formats a file name into dest (NAMEL characters); false, with dest
// untouched, when it does not fit: a truncated name could be another job's.
bool FormName(char* dest, const char* format, ...) __attribute__((format(printf, 2, 3)));
bool FormName(char* dest, const char* format, ...)
{
    char buf[NAMEL];
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    if (n < 0 || n >= NAMEL) return false;
    std::memcpy(dest, buf, static_cast<size_t>(n) + 1);
    return true;
}

// A word from a file as messages show it: at most 40 characters, anything but
// printable ASCII as '?', so the text is valid for the host's string.
std::string Quote(const std::string& word)
{
    std::string q = word.substr(0, 40);
    for (char& ch : q)
        if (ch < 0x20 || ch > 0x7e) ch = '?';
    if (word.size() > 40) q += "...";
    return q;
}

void Print(const std::string& text)
{
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

// The primitives of the text formats over a C stream: white space is any of
// " \t\n\v\f\r", a word a maximal run of other characters, and lines are
// counted for the messages.
class Scanner {
public:
    explicit Scanner(FILE* file) : f(file) {}
    int Line() const { return line; }

    // Skips white space, line ends included; false at the end of the file.
    bool SkipSpace()
    {
        int c;
        while ((c = Get()) != EOF && IsSpace(c)) {}
        Unget(c);
        return c != EOF;
    }
    // Skips white space within the line; true when a word follows on it.
    bool SkipBlanks()
    {
        int c;
        while ((c = Get()) != EOF && c != '\n' && IsSpace(c)) {}
        Unget(c);
        return c != EOF && c != '\n';
    }
    // The word at the current position (empty at white space or the end).
    void Word(std::string& w)
    {
        w.clear();
        int c;
        while ((c = Get()) != EOF && !IsSpace(c)) w.push_back(static_cast<char>(c));
        Unget(c);
    }
    // Up to and including the next newline, or to the end of the file.
    void SkipLine()
    {
        int c;
        while ((c = Get()) != EOF && c != '\n') {}
    }
    // What a read of a line into a 100-character buffer takes: at most 99
    // characters, stopping after a newline.
    void SkipShortLine()
    {
        int c;
        for (int k = 0; k < 99 && (c = Get()) != EOF; k++)
            if (c == '\n') break;
    }
    // A decimal integer the way the C library's "%d" scans it: 1 stored, 0 no
    // number at this place (a number beyond 32 bits counts as none), EOF the
    // file ended before anything but white space.
    int ScanInt(int* out)
    {
        int c;
        while ((c = Get()) != EOF && IsSpace(c)) {}
        if (c == EOF) return EOF;
        const bool negative = c == '-';
        if (c == '+' || c == '-') c = Get();  // a lone sign is consumed, as the C library does
        if (c < '0' || c > '9') {
            Unget(c);
            return 0;
        }
        long long v = 0;
        for (; c >= '0' && c <= '9'; c = Get())
            if (v <= INT_MAX) v = v * 10 + (c - '0');
        Unget(c);
        if (negative) v = -v;
        if (v > INT_MAX || v < INT_MIN) return 0;
        *out = static_cast<int>(v);
        return 1;
    }

private:
    FILE* f;
    int line = 1;
    static bool IsSpace(int c) { return c == ' ' || (c >= '\t' && c <= '\r'); }
    int Get()
    {
        const int c = getc_unlocked(f);
        if (c == '\n') line++;
        return c;
    }
    void Unget(int c)
    {
        if (c == EOF) return;
        if (c == '\n') line--;
        std::ungetc(c, f);
    }
};

// Scans like fscanf with n "%d" conversions: the number stored, or EOF when
// the file ended before the first.
int ScanInts(Scanner& sc, int* const* dest, int n)
{
    for (int k = 0; k < n; k++) {
        int v;
        const int r = sc.ScanInt(&v);
        if (r != 1) return (r == EOF && k == 0) ? EOF : k;
        *dest[k] = v;
    }
    return n;
}

enum NumberStatus { kNumber, kNotNumber, kNotFinite };

// The whole word must be one number in the C library's notation; "NA", "1,5"
// or "2.5x" are not numbers, and infinities and NaN are refused as well.
NumberStatus ParseDouble(const std::string& w, double* out)
{
    const char* s = w.c_str();
    char* end = nullptr;
    const double v = std::strtod(s, &end);
    if (end == s || end != s + w.size()) return kNotNumber;
    if (!std::isfinite(v)) return kNotFinite;
    *out = v;
    return kNumber;
}

// The whole word must be one decimal integer within 32 bits.
bool ParseInt(const std::string& w, int* out)
{
    const char* s = w.c_str();
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(s, &end, 10);
    if (end == s || end != s + w.size() || errno == ERANGE || v < INT_MIN || v > INT_MAX)
        return false;
    *out = static_cast<int>(v);
    return true;
}

}  // namespace

void io::ReleaseFileData()
{
    if (data == ownedData) data = nullptr;
    if (uncert == ownedUncert) uncert = nullptr;
    std::free(ownedData);
    std::free(ownedUncert);
    ownedData = nullptr;
    ownedUncert = nullptr;
    if (ownedMembers != nullptr && Nmembers == ownedMembers && GroupPriors == ownedPriors) {
        Ngroups = 0;
        Nmembers = nullptr;
        GroupPriors = nullptr;
    }
    delete[] ownedMembers;
    delete[] ownedPriors;
    delete[] ownedPriorCells;
    ownedMembers = nullptr;
    ownedPriors = nullptr;
    ownedPriorCells = nullptr;
}

int io::ProcessingInput(int argv, char** argu)
{
    if (argv < 2 || argu == nullptr || argu[1] == nullptr) {
        Print("Refused: the command line names no tag\n");
        return -1;
    }
    if (std::strlen(argu[1]) >= static_cast<size_t>(NAMEL)) {
        Print(FormatText("Refused: the tag is longer than %d characters: %.60s...\n", NAMEL - 1,
                         argu[1]));
        return -1;
    }
    std::strcpy(basename, argu[1]);
    return 1;
}

int io::GetParameters()
{
    if (prefixRefused) {
        Print(FormatText("Refused: the directory prefix is longer than %d characters\n", NAMEL - 1));
        return -1;
    }
    if (!Terminated(FilePathFromNodes) || !Terminated(basename)) {
        Print("Refused: FilePathFromNodes or basename holds no terminated name\n");
        return -1;
    }
    char ctr[NAMEL], txt[NAMEL], unc[NAMEL];
    if (!FormName(ctr, "%s%s.ctr", FilePathFromNodes, basename) ||
        !FormName(txt, "%s%s.txt", FilePathFromNodes, basename) ||
        !FormName(unc, "%s%s.unc", FilePathFromNodes, basename)) {
        Print(FormatText("Refused: the file names of prefix %s and tag %s are longer than %d "
                         "characters\n",
                         FilePathFromNodes, basename, NAMEL - 1));
        return -1;
    }
    std::strcpy(FileName, ctr);
    File f(std::fopen(FileName, "r"));
    if (!f) {
        Print(FormatText("Could not open control file %s!\n", FileName));
        return -1;
    }
    std::strcpy(datafile, txt);
    std::strcpy(uncertfile, unc);
    Print(FormatText("Working directory --- %s datafile --- %s\n", FilePathFromNodes, datafile));

    // A token that is not a number ends its line's group early; the members
    // not reached keep their values and the rest of the line is skipped.
    Scanner sc(f.get());
    int* const line1[] = {&Ngenes, &Nsamples, &uncertFlag};
    if (ScanInts(sc, line1, 3) == EOF) return 0;
    sc.SkipLine();
    int* const line2[] = {&StartRank, &EndRank, &Nchains, &SimulateIterations};
    if (ScanInts(sc, line2, 4) == EOF) return 0;
    sc.SkipLine();
    return 1;
}

int io::ReadSourceData()
{
    CNumbers cLocale;
    if (Ngenes < 1 || Nsamples < 1) {
        Print(FormatText("Refused: Ngenes (%d) and Nsamples (%d) must be positive\n", Ngenes,
                         Nsamples));
        return -1;
    }
    // The engine indexes the data with 32-bit integers.
    const long long cells = static_cast<long long>(Ngenes) * Nsamples;
    if (cells > INT_MAX) {
        Print(FormatText("Refused: Ngenes x Nsamples = %lld does not fit 32 bits\n", cells));
        return -1;
    }
    if (!Terminated(datafile) || (uncertFlag != 0 && !Terminated(uncertfile))) {
        Print("Refused: datafile or uncertfile holds no terminated name\n");
        return -1;
    }
    // calloc: zeroed pages are only touched as rows are read, so a control
    // file with a mistyped size fails on its data file instead of paging in
    // gigabytes first.
    const size_t n = static_cast<size_t>(cells);
    double* d = static_cast<double*>(std::calloc(n, sizeof(double)));
    double* u = uncertFlag != 0 ? static_cast<double*>(std::calloc(n, sizeof(double))) : nullptr;
    if (d == nullptr || (uncertFlag != 0 && u == nullptr)) {
        std::free(d);
        std::free(u);
        Print(FormatText("Could not allocate %d x %d values for the data\n", Ngenes, Nsamples));
        return -1;
    }
    // An earlier read's arrays go; arrays a host lent are only let go of.
    if (data == ownedData) data = nullptr;
    if (uncert == ownedUncert) uncert = nullptr;
    std::free(ownedData);
    std::free(ownedUncert);
    ownedData = data = d;
    ownedUncert = u;
    if (u != nullptr) uncert = u;

    const int r = uncertFlag != 0 ? ReadDoubleInput() : ReadSingleInput();
    return r > 0 ? 1 : -1;
}

int io::ReadDoubleInput()
{
    // The data come first: a zero or negative data value sets the
    // uncertainty at its place.
    if (ReadMatrixFile(datafile, data, false) != 1) return -1;
    return ReadMatrixFile(uncertfile, uncert, true);
}

int io::ReadSingleInput()
{
    return ReadMatrixFile(datafile, data, false);
}

// A header line whose first Nsamples words are labels, then one line per gene:
// a name and Nsamples numbers, then anything. A row's numbers must be on its
// own line, so a missing value is reported where it is missing instead of
// shifting the rest of the file.
int io::ReadMatrixFile(const char* file, double* target, bool isUncert)
{
    const char* what = isUncert ? "uncertainty" : "data";
    File f(std::fopen(file, "r"));
    if (!f) {
        Print(FormatText("Could not open data file %s!\n", file));
        return -1;
    }
    try {
        Scanner sc(f.get());
        std::string word, name;
        if (sc.SkipSpace()) {
            int labels = 0;
            for (; labels < Nsamples && sc.SkipBlanks(); labels++) sc.Word(word);
            if (labels < Nsamples) {
                Print(FormatText("Could not read %s file %s: its header line %d holds %d labels, "
                                 "fewer than Nsamples (%d)\n",
                                 what, file, sc.Line(), labels, Nsamples));
                return -1;
            }
            sc.SkipLine();
        }
        int rows = 0;
        while (rows < Ngenes && sc.SkipSpace()) {
            sc.Word(name);
            const int line = sc.Line();
            const size_t base = static_cast<size_t>(rows) * Nsamples;
            for (int j = 0; j < Nsamples; j++) {
                if (!sc.SkipBlanks()) {
                    Print(FormatText("Could not read %s file %s: row %d (gene %s, line %d) has no "
                                     "number in column %d\n",
                                     what, file, rows + 1, Quote(name).c_str(), line, j + 1));
                    return -1;
                }
                sc.Word(word);
                double v = 0.0;
                const NumberStatus st = ParseDouble(word, &v);
                if (st != kNumber) {
                    Print(FormatText("Could not read %s file %s: row %d (gene %s, line %d), "
                                     "column %d: \"%s\" is not a %snumber\n",
                                     what, file, rows + 1, Quote(name).c_str(), line, j + 1,
                                     Quote(word).c_str(), st == kNotFinite ? "finite " : ""));
                    return -1;
                }
                if (!isUncert) {
                    if (v < 0.0) v = 0.0;
                } else if (data[base + j] <= 0.0) {
                    v = 1.0;  // a zero data value is known to be zero
                }
                target[base + j] = v;
            }
            sc.SkipLine();
            rows++;
        }
        if (rows < Ngenes) {
            Print(FormatText("%s in file is not fitting to Ngenes(%d) and Nsamples(%d), the last "
                             "row is %d\n",
                             what, Ngenes, Nsamples, rows));
            return -1;
        }
        return 1;
    } catch (const std::bad_alloc&) {
        Print(FormatText("Could not read %s file %s: out of memory\n", what, file));
        return -1;
    }
}

int io::ReadMatrix(double* matrix, char* filename, int Nrows, int Ncolumns)
{
    CNumbers cLocale;
    if (filename == nullptr) {
        Message("Refused: ReadMatrix was given no file name");
        return -1;
    }
    if (Nrows < 0 || Ncolumns < 0) {
        Message(FormatText("Refused: reading %s needs Nrows and Ncolumns of 0 or more, not %d "
                           "and %d",
                           filename, Nrows, Ncolumns)
                    .c_str());
        return -1;
    }
    const long long n = static_cast<long long>(Nrows) * Ncolumns;
    if (n > 0 && matrix == nullptr) {
        Message(FormatText("Refused: there is no matrix to read %s into", filename).c_str());
        return -1;
    }
    File f(std::fopen(filename, "r"));
    if (!f) {
        Message(FormatText("Could not open %s", filename).c_str());
        return -1;
    }
    try {
        // Read completely before anything is stored: a failed read changes
        // nothing.
        std::vector<double> values;
        values.reserve(static_cast<size_t>(std::min(n, 1LL << 20)));
        Scanner sc(f.get());
        std::string word;
        for (long long k = 0; k < n; k++) {
            const int row = static_cast<int>(k / Ncolumns) + 1;
            const int col = static_cast<int>(k % Ncolumns) + 1;
            if (!sc.SkipSpace()) {
                Message(FormatText("Could not read %s: it ends after %lld of %lld numbers, "
                                   "before row %d column %d",
                                   filename, k, n, row, col)
                            .c_str());
                return -1;
            }
            sc.Word(word);
            double v = 0.0;
            const NumberStatus st = ParseDouble(word, &v);
            if (st != kNumber) {
                Message(FormatText("Could not read %s: row %d, column %d (line %d): \"%s\" is not "
                                   "a %snumber",
                                   filename, row, col, sc.Line(), Quote(word).c_str(),
                                   st == kNotFinite ? "finite " : "")
                            .c_str());
                return -1;
            }
            values.push_back(v);
        }
        std::copy(values.begin(), values.end(), matrix);
        return 1;
    } catch (const std::bad_alloc&) {
        Message(FormatText("Could not read %s: out of memory", filename).c_str());
        return -1;
    }
}

int io::GetPriors()
{
    if (!Terminated(FilePathFromNodes) || !Terminated(basename)) {
        Message("Refused: FilePathFromNodes or basename holds no terminated name");
        return -1;
    }
    char name[NAMEL];
    if (!FormName(name, "%s%s.link", FilePathFromNodes, basename)) {
        Message(FormatText("Refused: the link file name of prefix %s and tag %s is longer than "
                           "%d characters",
                           FilePathFromNodes, basename, NAMEL - 1)
                    .c_str());
        return -1;
    }
    std::strcpy(FileName, name);
    File f(std::fopen(FileName, "r"));
    if (!f) {
        Message(FormatText("Could not open link file %s!", FileName).c_str());
        return -1;
    }
    // Any failure below leaves the group table as it was.
    auto fail = [this](const std::string& text) {
        Message(text.c_str());
        return -1;
    };
    try {
        Scanner sc(f.get());
        for (int k = 0; k < 3; k++) sc.SkipShortLine();
        std::string word;
        int groups = 0;
        if (!sc.SkipSpace())
            return fail(FormatText("Could not read link file %s: it ends before the number of "
                                   "groups",
                                   FileName));
        sc.Word(word);
        if (!ParseInt(word, &groups))
            return fail(FormatText("Could not read link file %s: line %d: \"%s\" is not a number "
                                   "of groups",
                                   FileName, sc.Line(), Quote(word).c_str()));
        if (groups < 0)
            return fail(FormatText("Refused: link file %s: the number of groups is negative (%d)",
                                   FileName, groups));
        // Tables grow with what the file holds, never with what it claims.
        std::vector<int> counts;
        for (int g = 0; g < groups; g++) {
            int count = 0;
            if (!sc.SkipSpace())
                return fail(FormatText("Could not read link file %s: it ends before the member "
                                       "count of group %d",
                                       FileName, g));
            sc.Word(word);
            if (!ParseInt(word, &count))
                return fail(FormatText("Could not read link file %s: line %d: \"%s\" is not the "
                                       "member count of group %d",
                                       FileName, sc.Line(), Quote(word).c_str(), g));
            if (count < 0)
                return fail(FormatText("Refused: link file %s: group %d has a negative member "
                                       "count (%d)",
                                       FileName, g, count));
            counts.push_back(count);
        }
        sc.SkipLine();
        std::vector<int> cells;
        for (int g = 0; g < groups; g++) {
            for (int m = 0; m < counts[g]; m++) {
                int gene = 0;
                if (!sc.SkipSpace())
                    return fail(FormatText("Could not read link file %s: it ends before member "
                                           "%d of %d of group %d",
                                           FileName, m + 1, counts[g], g));
                sc.Word(word);
                if (!ParseInt(word, &gene))
                    return fail(FormatText("Could not read link file %s: line %d: \"%s\" is not "
                                           "a gene index (member %d of %d of group %d)",
                                           FileName, sc.Line(), Quote(word).c_str(), m + 1,
                                           counts[g], g));
                cells.push_back(gene);
                sc.SkipLine();
            }
        }

        std::unique_ptr<int[]> members(new int[counts.size() + 1]());
        std::unique_ptr<int*[]> rows(new int*[counts.size() + 1]());
        std::unique_ptr<int[]> block(new int[cells.size() + 1]());
        std::copy(counts.begin(), counts.end(), members.get());
        std::copy(cells.begin(), cells.end(), block.get());
        size_t at = 0;
        for (int g = 0; g < groups; g++) {
            rows[g] = block.get() + at;
            at += static_cast<size_t>(counts[g]);
        }
        // The earlier table goes if it was ours; a host's is only let go of.
        delete[] ownedMembers;
        delete[] ownedPriors;
        delete[] ownedPriorCells;
        Ngroups = groups;
        Nmembers = ownedMembers = members.release();
        GroupPriors = ownedPriors = rows.release();
        ownedPriorCells = block.release();
        return 1;
    } catch (const std::bad_alloc&) {
        return fail(FormatText("Could not read link file %s: out of memory", FileName));
    }
}

int io::PrintInf(double* A, double* P, int Npatterns, int chain)
{
    CNumbers cLocale;
    const std::string stamp = CTimeText(time(nullptr));
    if (Npatterns < 0 || Ngenes < 0 || Nsamples < 0) {
        Message(FormatText("Refused: no information file for Npatterns %d, Ngenes %d, Nsamples %d",
                           Npatterns, Ngenes, Nsamples)
                    .c_str());
        return -1;
    }
    const bool needA = static_cast<long long>(Ngenes) * Npatterns > 0;
    const bool needP = static_cast<long long>(Nsamples) * Npatterns > 0;
    if ((needA && A == nullptr) || (needP && P == nullptr)) {
        Message("Refused: the information file needs both the amplitude and the pattern matrix");
        return -1;
    }
    if (!Terminated(FilePathFromNodes) || !Terminated(basename)) {
        Message("Refused: FilePathFromNodes or basename holds no terminated name");
        return -1;
    }
    char name[NAMEL];
    if (!FormName(name, "%s%s_%d_%d.inf", FilePathFromNodes, basename, Npatterns, chain)) {
        FileName[0] = '\0';
        Message(FormatText("Refused: the information file name of prefix %s and tag %s is longer "
                           "than %d characters",
                           FilePathFromNodes, basename, NAMEL - 1)
                    .c_str());
        return -1;
    }
    std::strcpy(FileName, name);
    File f(std::fopen(FileName, "w"));
    if (!f) {
        Message(FormatText("Could not open %s for writing!", FileName).c_str());
        return -1;
    }
    std::fprintf(f.get(), "%s\n", basename);
    std::fprintf(f.get(), "%d %d %d\n", Npatterns, Ngenes, Nsamples);
    std::fprintf(f.get(), "%s", stamp.c_str());
    std::fprintf(f.get(), "1\n1.000000e+00\n");
    const double e = std::exp(1.0);
    const size_t NP = static_cast<size_t>(Npatterns);

    // Each gene's amplitudes standardized across the patterns, and each
    // sample's pattern values likewise. Below 2 patterns there is no spread:
    // the scores stay 0 and the file shows exp(0) = 1.
    std::vector<double> za(static_cast<size_t>(Ngenes) * NP, 0.0);
    for (int g = 0; g < Ngenes; g++) Zscoring(A, g, za.data() + g * NP, Npatterns);
    for (int j = 0; j < Npatterns; j++)
        for (int g = 0; g < Ngenes; g++)
            std::fprintf(f.get(), "    %15.5e %lf\n", std::exp(za[g * NP + j]), e);

    std::vector<double> column(NP), zp(static_cast<size_t>(Nsamples) * NP, 0.0);
    for (int s = 0; s < Nsamples; s++) {
        for (int j = 0; j < Npatterns; j++) column[j] = P[static_cast<size_t>(j) * Nsamples + s];
        Zscoring(column.data(), zp.data() + s * NP, Npatterns);
    }
    for (int j = 0; j < Npatterns; j++)
        for (int s = 0; s < Nsamples; s++)
            std::fprintf(f.get(), "    %15.5e %lf\n", std::exp(zp[s * NP + j]), e);

    // A full disk must not pass for a written file.
    const bool written = std::ferror(f.get()) == 0;
    if (std::fclose(f.release()) != 0 || !written) {
        Message(FormatText("Could not write %s completely!", FileName).c_str());
        return -1;
    }
    return 1;
}
