#include "harness.h"

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine_probe.h"

namespace zfuzz {
namespace {

const char* const kFiles[] = {"f.ctr", "f.txt", "f.unc", "f.mat", "f.link"};

std::string& Dir()
{
    static std::string dir;
    if (dir.empty()) {
        const char* base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
        std::string t = std::string(base) + "/zarno-fuzz-XXXXXX";
        if (mkdtemp(&t[0]) == nullptr) std::abort();
        dir = t + "/";
        std::atexit([] {
            for (const char* f : kFiles) std::remove((Dir() + f).c_str());
            rmdir(Dir().c_str());
        });
    }
    return dir;
}

std::string Path(const char* name)
{
    return Dir() + name;
}

void Write(const char* name, const uint8_t* p, size_t n)
{
    FILE* f = std::fopen(Path(name).c_str(), "wb");
    if (f == nullptr) std::abort();
    if (n > 0 && std::fwrite(p, 1, n, f) != n) std::abort();
    std::fclose(f);
}

void Check(bool ok, const char* what)
{
    if (!ok) {
        std::fprintf(stderr, "invariant broken: %s\n", what);
        std::abort();
    }
}

void Name(io& r)
{
    std::strcpy(r.FilePathFromNodes, Dir().c_str());
    std::strcpy(r.basename, "f");
}

bool IsSpace(int c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// The reference: the C library's formatted scan of the control file.
int ReferenceControl(const char* path, int v[7])
{
    FILE* f = std::fopen(path, "r");
    if (f == nullptr) std::abort();
    int r = 0, c;
    if (std::fscanf(f, "%d%d%d", &v[0], &v[1], &v[2]) != EOF) {
        while ((c = std::getc(f)) != EOF && c != '\n') {}
        if (std::fscanf(f, "%d%d%d%d", &v[3], &v[4], &v[5], &v[6]) != EOF) {
            while ((c = std::getc(f)) != EOF && c != '\n') {}
            r = 1;
        }
    }
    std::fclose(f);
    return r;
}

}  // namespace

int Control(const uint8_t* in, size_t size)
{
    Write("f.ctr", in, size);
    io r;
    Name(r);
    int* const members[] = {&r.Ngenes,  &r.Nsamples, &r.uncertFlag,        &r.StartRank,
                            &r.EndRank, &r.Nchains,  &r.SimulateIterations};
    int expect[7];
    for (int k = 0; k < 7; k++) *members[k] = expect[k] = -1000 - k;
    const int got = r.GetParameters();
    Check(got == 0 || got == 1, "GetParameters gives 0 or 1 for an existing file");
    Check(std::strcmp(r.datafile, Path("f.txt").c_str()) == 0, "datafile");
    Check(std::strcmp(r.uncertfile, Path("f.unc").c_str()) == 0, "uncertfile");
    // Numbers beyond 32 bits are undefined for the C library's scan: compare
    // only inputs without long digit runs.
    size_t run = 0, longest = 0;
    for (size_t k = 0; k < size; k++) {
        run = (in[k] >= '0' && in[k] <= '9') ? run + 1 : 0;
        if (run > longest) longest = run;
    }
    if (longest <= 9) {
        Check(ReferenceControl(Path("f.ctr").c_str(), expect) == got, "result as the C library's");
        for (int k = 0; k < 7; k++) Check(*members[k] == expect[k], "values as the C library's");
    }
    return 0;
}

int Data(const uint8_t* in, size_t size)
{
    if (size < 4) return 0;
    io r;
    r.Ngenes = 1 + in[0] % 8;
    r.Nsamples = 1 + in[1] % 8;
    r.uncertFlag = in[2] & 1;
    const bool twice = (in[2] & 2) != 0;
    const size_t rest = size - 4, split = rest * in[3] / 255;
    Write("f.txt", in + 4, split);
    Write("f.unc", in + 4 + split, rest - split);
    std::strcpy(r.datafile, Path("f.txt").c_str());
    std::strcpy(r.uncertfile, Path("f.unc").c_str());
    const int rounds = twice ? 2 : 1;
    for (int k = 0; k < rounds; k++) {
        const int got = r.ReadSourceData();
        Check(got == 1 || got == -1, "ReadSourceData gives 1 or -1");
        Check(r.data != nullptr, "data allocated");
        Check((r.uncertFlag != 0) == (r.uncert != nullptr), "uncert allocated with the flag only");
        const size_t n = static_cast<size_t>(r.Ngenes) * r.Nsamples;
        for (size_t e = 0; e < n; e++) {
            // Unread elements are 0; read ones are adjusted.
            Check(std::isfinite(r.data[e]) && !(r.data[e] < 0.0), "data finite and not negative");
            if (got == 1 && r.uncert != nullptr) {
                Check(std::isfinite(r.uncert[e]), "uncertainty finite");
                if (r.data[e] <= 0.0) Check(r.uncert[e] == 1.0, "uncertainty 1 at zero data");
            }
        }
    }
    return 0;
}

int Matrix(const uint8_t* in, size_t size)
{
    if (size < 2) return 0;
    const int rows = in[0] % 9, cols = in[1] % 9;
    const size_t n = static_cast<size_t>(rows) * cols;
    Write("f.mat", in + 2, size - 2);
    io r;
    // Exactly the room the reader may use, so any overrun is seen.
    std::vector<double> m(n, -7.5);
    std::string file = Path("f.mat");
    const int got = r.ReadMatrix(m.data(), &file[0], rows, cols);
    Check(got == 1 || got == -1, "ReadMatrix gives 1 or -1");

    // The reference: the first n white-space separated words, each one whole
    // finite number.
    std::vector<double> expect;
    size_t k = 2;
    while (expect.size() < n) {
        while (k < size && IsSpace(in[k])) k++;
        if (k == size) break;
        const size_t start = k;
        while (k < size && !IsSpace(in[k])) k++;
        const std::string word(reinterpret_cast<const char*>(in) + start, k - start);
        char* end = nullptr;
        const double v = std::strtod(word.c_str(), &end);
        if (end != word.c_str() + word.size() || end == word.c_str() || !std::isfinite(v)) break;
        expect.push_back(v);
    }
    if (expect.size() == n) {
        Check(got == 1, "a file of enough numbers is read");
        for (size_t e = 0; e < n; e++)
            Check(std::memcmp(&m[e], &expect[e], sizeof(double)) == 0, "values as strtod's");
    } else {
        Check(got == -1, "a short or malformed file fails");
        for (size_t e = 0; e < n; e++) Check(m[e] == -7.5, "a failed read changes nothing");
    }
    return 0;
}

int Link(const uint8_t* in, size_t size)
{
    if (size < 2) return 0;
    Write("f.link", in + 2, size - 2);
    L e;  // no host: messages go to standard output
    EngineProbe probe(e);
    Name(e);
    e.Ngenes = 1 + in[0] % 16;
    e.Nsamples = 2;
    e.Npatterns = 1 + in[1] % 6;
    e.chain = 1;
    std::vector<double> data(static_cast<size_t>(e.Ngenes) * e.Nsamples, 1.0);
    e.data = data.data();
    Check(probe.Allocate() == 1, "allocation");
    const size_t GP = static_cast<size_t>(e.Ngenes) * e.Npatterns;
    // Twice, so that a second read replaces the first table.
    for (int round = 0; round < 2; round++) {
        probe.Start();
        std::vector<double> expect(e.Amplitude, e.Amplitude + GP);
        const int got = probe.StartWithPriors(3);
        Check(got == 1 || got == -1, "Initialization(3) gives 1 or -1");
        Check(e.Ngroups >= 0, "no negative group count stored");
        for (int i = 0; i < e.Ngroups && i < e.Npatterns; i++) {
            Check(e.Nmembers[i] >= 0, "no negative member count stored");
            for (int j = 0; j < e.Nmembers[i]; j++) {
                const int g = e.GroupPriors[i][j];
                if (g >= 0 && g < e.Ngenes) {
                    double& a = expect[static_cast<size_t>(g) * e.Npatterns + i];
                    a = a + weight;
                }
            }
        }
        Check(std::memcmp(expect.data(), e.Amplitude, GP * sizeof(double)) == 0,
              "only listed genes in range are raised, each by 0.5 per listing");
    }
    probe.Free();
    return 0;
}

}  // namespace zfuzz
