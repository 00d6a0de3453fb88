// One job through every front end: the core's RunJob on 1, 2 and 4 threads,
// the classic JNI entry in a real JVM (under -Xcheck:jni) and the `zarno`
// command give the same bits for every (pattern count, chain), and refuse the
// same bad values at the same place.
#include <gtest/gtest.h>
#include <jni.h>

#include <charconv>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "zarno/api.h"
#include "jvm_fixture.h"

extern "C" JNIEXPORT jint JNICALL Java_lib_ZARNO_zarno(JNIEnv* env, jobject obj, jobject KQin,
                                                      jobject KQout);

namespace {

struct Shape {
    int genes, samples, first, last, chains, rounds;
    bool weighted;
};

struct Flat {
    int patterns, chain, seedA, seedP, rounds;
    double chi, ssr;
    std::vector<double> a, p;
};

std::vector<double> Values(const Shape& s, unsigned seed, std::vector<double>* sigmas)
{
    std::mt19937_64 rng(seed);
    std::gamma_distribution<double> gamma(1.5, 1.0);
    std::vector<double> v(static_cast<size_t>(s.genes) * s.samples);
    sigmas->resize(v.size());
    for (size_t e = 0; e < v.size(); e++) {
        v[e] = e % 13 == 0 ? 0.0 : gamma(rng);
        (*sigmas)[e] = 0.1 + 0.2 * v[e];
    }
    return v;
}

zarno::Dataset View(const Shape& s, const std::vector<double>& v, const std::vector<double>& u,
                    bool weighted)
{
    zarno::Dataset d;
    d.genes = s.genes;
    d.samples = s.samples;
    d.values = v.data();
    d.sigmas = u.data();
    d.weighted = weighted;
    return d;
}

class Recorder : public zarno::JobSink {
public:
    std::vector<Flat> runs;
    bool RunFinished(const zarno::RunView& v) override
    {
        Flat f{v.patterns, v.chain, v.seedA, v.seedP, v.rounds, v.chiSquare, v.ssr, {}, {}};
        f.a.assign(v.amplitudes, v.amplitudes + static_cast<size_t>(v.genes) * v.patterns);
        f.p.assign(v.patternRows, v.patternRows + static_cast<size_t>(v.patterns) * v.samples);
        runs.push_back(std::move(f));
        return true;
    }
};

// The classic job in the JVM, through zarnotest.ClassicRunner.
class Classic : public JvmTest {
protected:
    jobject runner = nullptr;
    jclass cls = nullptr;

    void SetUp() override
    {
        JvmTest::SetUp();
        cls = env->FindClass("zarnotest/ClassicRunner");
        ASSERT_NE(cls, nullptr);
        // The native method lives in this test program, not in a library the
        // JVM loaded.
        jclass base = env->FindClass("lib/ZARNO");
        ASSERT_NE(base, nullptr);
        JNINativeMethod m{const_cast<char*>("zarno"),
                          const_cast<char*>("(Ljava/lang/Object;Ljava/lang/Object;)I"),
                          reinterpret_cast<void*>(&Java_lib_ZARNO_zarno)};
        ASSERT_EQ(env->RegisterNatives(base, &m, 1), 0);
        runner = env->NewObject(cls, env->GetMethodID(cls, "<init>", "()V"));
        ASSERT_NE(runner, nullptr);
    }

    jdoubleArray Array(const std::vector<double>& v)
    {
        jdoubleArray a = env->NewDoubleArray(static_cast<jsize>(v.size()));
        env->SetDoubleArrayRegion(a, 0, static_cast<jsize>(v.size()), v.data());
        return a;
    }

    // Runs the job; returns the runs and sets *status to zarno()'s value.
    std::vector<Flat> Run(const Shape& s, const std::vector<double>& v,
                          const std::vector<double>& u, int* status)
    {
        jmethodID run = env->GetMethodID(cls, "run", "([D[DIIIIIII)[[D");
        auto out = static_cast<jobjectArray>(env->CallObjectMethod(
            runner, run, Array(v), Array(u), s.genes, s.samples, s.weighted ? 1 : 0, s.first,
            s.last, s.chains, s.rounds));
        EXPECT_FALSE(env->ExceptionCheck());
        *status = env->CallIntMethod(runner, env->GetMethodID(cls, "returned", "()I"));
        EXPECT_FALSE(env->ExceptionCheck());
        std::vector<Flat> runs;
        for (jsize k = 0; k < env->GetArrayLength(out); k++) {
            auto row = static_cast<jdoubleArray>(env->GetObjectArrayElement(out, k));
            std::vector<double> r(static_cast<size_t>(env->GetArrayLength(row)));
            env->GetDoubleArrayRegion(row, 0, static_cast<jsize>(r.size()), r.data());
            env->DeleteLocalRef(row);
            Flat f;
            f.patterns = static_cast<int>(r[0]);
            f.chain = static_cast<int>(r[1]);
            f.chi = r[2];
            f.ssr = r[3];
            f.seedA = static_cast<int>(r[4]);
            f.seedP = static_cast<int>(r[5]);
            f.rounds = static_cast<int>(r[6]);
            const size_t ga = static_cast<size_t>(s.genes) * f.patterns;
            f.a.assign(r.begin() + 7, r.begin() + 7 + static_cast<long>(ga));
            f.p.assign(r.begin() + 7 + static_cast<long>(ga), r.end());
            runs.push_back(std::move(f));
        }
        return runs;
    }

    std::vector<std::string> Messages()
    {
        auto arr = static_cast<jobjectArray>(
            env->CallObjectMethod(runner, env->GetMethodID(cls, "messages", "()[Ljava/lang/String;")));
        EXPECT_FALSE(env->ExceptionCheck());
        std::vector<std::string> out;
        for (jsize k = 0; k < env->GetArrayLength(arr); k++) {
            auto s = static_cast<jstring>(env->GetObjectArrayElement(arr, k));
            const char* c = env->GetStringUTFChars(s, nullptr);
            out.emplace_back(c);
            env->ReleaseStringUTFChars(s, c);
            env->DeleteLocalRef(s);
        }
        return out;
    }
};

// ---- The command, on the same values written to files.

namespace fs = std::filesystem;

std::string Number(double v)
{
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

void WriteTable(const std::string& path, const Shape& s, const std::vector<double>& v)
{
    std::ofstream out(path);
    out << "gene";
    for (int j = 0; j < s.samples; j++) out << "\ts" << j + 1;
    out << "\n";
    for (int g = 0; g < s.genes; g++) {
        out << "g" << g + 1;
        for (int j = 0; j < s.samples; j++) {
            const double x = v[static_cast<size_t>(g) * s.samples + j];
            out << "\t" << (std::isnan(x) ? std::string("nan") : Number(x));
        }
        out << "\n";
    }
}

std::string Slurp(const std::string& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The numbers of a result table, row by row, after its header and names.
std::vector<double> ReadNumbers(const std::string& path)
{
    std::vector<double> out;
    std::istringstream in(Slurp(path));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string w;
        words >> w;  // the row's name
        while (words >> w) {
            double x = 0;
            std::from_chars(w.data(), w.data() + w.size(), x);
            out.push_back(x);
        }
    }
    return out;
}

// A run of a run directory, as the command wrote it.
Flat ReadRun(const std::string& out, int patterns, int chain)
{
    const std::string run = out + "/runs/k" + std::to_string(patterns) + "/c" +
                            std::to_string(chain);
    const nlohmann::json j = nlohmann::json::parse(Slurp(run + "/run.json"));
    return Flat{j.at("patterns"), j.at("chain"), j.at("seed_a"), j.at("seed_p"), j.at("rounds"),
                j.at("chi_square"), j.at("ssr"), ReadNumbers(run + "/amplitudes.tsv"),
                ReadNumbers(run + "/patterns.tsv")};
}

class Command : public ::testing::Test {
protected:
    std::string dir;
    void SetUp() override
    {
        dir = (fs::temp_directory_path() / ("zarno-frontends-" + std::to_string(getpid()))).string();
        fs::remove_all(dir);
        fs::create_directories(dir);
    }
    void TearDown() override { fs::remove_all(dir); }

    // `zarno run` on the values; its exit status, with standard error in *err.
    // Unweighted studies name the classic arithmetic: the command's default
    // for them is the Gram form, whose results equal the classic job's to
    // rounding only, and these tests hold the two to the same bits.
    int Run(const Shape& s, const std::vector<double>& v, const std::vector<double>& u,
            const std::string& out, int threads, std::string* err)
    {
        WriteTable(dir + "/data.tsv", s, v);
        WriteTable(dir + "/unc.tsv", s, u);
        std::string cmd = std::string(ZARNO_COMMAND) + " run " + dir + "/data.tsv --out " + out +
                          " --ranks " + std::to_string(s.first) + ":" + std::to_string(s.last) +
                          " --chains " + std::to_string(s.chains) + " --rounds " +
                          std::to_string(s.rounds) + " --threads " + std::to_string(threads) +
                          // Every round, as the classic entry and RunOptions run them: the
                          // command's own default stops at 1e-6; and the classic arithmetic,
                          // which the command's unweighted studies leave for the Gram form.
                          " --tolerance 0 --arithmetic classic" +
                          " --quiet" + (s.weighted ? " --uncert " + dir + "/unc.tsv" : "") +
                          " 2> " + dir + "/err.txt";
        const int status = std::system(cmd.c_str());
        *err = Slurp(dir + "/err.txt");
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

};

void ExpectSame(const Flat& a, const Flat& b)
{
    EXPECT_EQ(a.patterns, b.patterns);
    EXPECT_EQ(a.chain, b.chain);
    EXPECT_EQ(a.seedA, b.seedA);
    EXPECT_EQ(a.seedP, b.seedP);
    EXPECT_EQ(a.rounds, b.rounds);
    EXPECT_EQ(std::memcmp(&a.chi, &b.chi, 8), 0) << a.chi << " " << b.chi;
    EXPECT_EQ(std::memcmp(&a.ssr, &b.ssr, 8), 0);
    ASSERT_EQ(a.a.size(), b.a.size());
    ASSERT_EQ(a.p.size(), b.p.size());
    EXPECT_EQ(std::memcmp(a.a.data(), b.a.data(), a.a.size() * 8), 0);
    EXPECT_EQ(std::memcmp(a.p.data(), b.p.data(), a.p.size() * 8), 0);
}

}  // namespace

TEST_F(Classic, EveryShapeGivesTheCoresBitsOnEveryThreadCount)
{
    const Shape shapes[] = {
        {40, 9, 2, 4, 2, 25, true},
        {17, 23, 1, 3, 3, 12, false},
        {64, 16, 3, 5, 2, 40, true},
        {9, 5, 5, 5, 1, 7, true},  // as many patterns as samples: allowed in the classic job
    };
    unsigned seed = 3;
    for (const Shape& s : shapes) {
        std::vector<double> u;
        const std::vector<double> v = Values(s, seed++, &u);
        int status = 1;
        const std::vector<Flat> jni = Run(s, v, u, &status);
        EXPECT_EQ(status, 0);
        ASSERT_EQ(jni.size(), static_cast<size_t>((s.last - s.first + 1) * s.chains));

        const zarno::Dataset d = View(s, v, u, s.weighted);
        for (int threads : {1, 2, 4}) {
            zarno::JobSpec job;
            job.firstRank = s.first;
            job.lastRank = s.last;
            job.chains = s.chains;
            job.run.rounds = s.rounds;
            job.threads = threads;
            Recorder core;
            ASSERT_EQ(zarno::RunJob(d, job, core).status, zarno::JobOutcome::kDone);
            ASSERT_EQ(core.runs.size(), jni.size());
            for (size_t i = 0; i < jni.size(); i++) ExpectSame(core.runs[i], jni[i]);
        }
    }
}

TEST_F(Classic, BadFieldsAreRefusedWithTheCoresWords)
{
    const Shape s{12, 6, 2, 3, 2, 5, true};
    std::vector<double> u;
    std::vector<double> v = Values(s, 1, &u);
    struct Case {
        const char* name;
        int gene, sample;
        double value;
        bool sigma;
    };
    const Case cases[] = {
        {"nan value", 3, 4, NAN, false},
        {"infinite value", 0, 0, INFINITY, false},
        {"zero uncertainty", 5, 1, 0.0, true},
        {"negative uncertainty", 11, 5, -1.0, true},
    };
    for (const Case& c : cases) {
        std::vector<double> vv = v, uu = u;
        (c.sigma ? uu : vv)[static_cast<size_t>(c.gene) * s.samples + c.sample] = c.value;
        int status = 0;
        Messages();
        const std::vector<Flat> runs = Run(s, vv, uu, &status);
        EXPECT_EQ(status, -1) << c.name;
        EXPECT_TRUE(runs.empty()) << c.name;

        const zarno::Dataset d = View(s, vv, uu, true);
        const zarno::Refusal r = zarno::CheckDataset(d);
        ASSERT_TRUE(r) << c.name;
        EXPECT_EQ(r.gene, c.gene);
        EXPECT_EQ(r.sample, c.sample);
        const std::vector<std::string> messages = Messages();
        bool found = false;
        for (const std::string& m : messages) found = found || m == "Refused: " + r.text;
        EXPECT_TRUE(found) << c.name << ": " << r.text;
    }
}

// The command reads back every number it wrote to the bit, so its files hold
// the core's (and so the classic entry's) results.
TEST_F(Command, ItsFilesHoldTheCoresBits)
{
    const Shape shapes[] = {
        {40, 9, 2, 4, 2, 25, true},
        {17, 23, 1, 3, 3, 12, false},
    };
    unsigned seed = 3;
    for (const Shape& s : shapes) {
        std::vector<double> u;
        const std::vector<double> v = Values(s, seed++, &u);
        const zarno::Dataset d = View(s, v, u, s.weighted);
        zarno::JobSpec job;
        job.firstRank = s.first;
        job.lastRank = s.last;
        job.chains = s.chains;
        job.run.rounds = s.rounds;
        job.threads = 1;
        Recorder core;
        ASSERT_EQ(zarno::RunJob(d, job, core).status, zarno::JobOutcome::kDone);
        for (int threads : {1, 2}) {
            const std::string out = dir + "/study" + std::to_string(seed) + "-" + std::to_string(threads);
            std::string err;
            ASSERT_EQ(Run(s, v, u, out, threads, &err), 0) << err;
            for (const Flat& r : core.runs) ExpectSame(ReadRun(out, r.patterns, r.chain), r);
        }
    }
}

// A bad value is refused by the command at the place the core names.
TEST_F(Command, BadValuesAreRefusedWhereTheCoreFindsThem)
{
    const Shape s{12, 6, 2, 3, 2, 5, true};
    std::vector<double> u;
    const std::vector<double> v = Values(s, 1, &u);
    struct Case {
        int gene, sample;
        double value;
        bool sigma;
    };
    // (NaN is no case here: the command reads it as a missing cell.)
    for (const Case& c : {Case{3, 4, INFINITY, false}, Case{5, 1, 0.0, true}, Case{11, 5, -1.0, true}}) {
        std::vector<double> vv = v, uu = u;
        (c.sigma ? uu : vv)[static_cast<size_t>(c.gene) * s.samples + c.sample] = c.value;
        const zarno::Dataset d = View(s, vv, uu, true);
        const zarno::Refusal r = zarno::CheckDataset(d);
        ASSERT_TRUE(r);
        std::string err;
        const std::string out = dir + "/bad";
        EXPECT_EQ(Run(s, vv, uu, out, 1, &err), 2) << err;
        EXPECT_FALSE(fs::exists(out));
        const std::string place = "gene \"g" + std::to_string(r.gene + 1) + "\", sample \"s" +
                                  std::to_string(r.sample + 1) + "\"";
        EXPECT_NE(err.find(place), std::string::npos) << err << " / " << r.text;
        EXPECT_NE(err.find(std::string(c.sigma ? "unc.tsv:" : "data.tsv:") +
                           std::to_string(r.gene + 2) + ":"),
                  std::string::npos)
            << err;
    }
}

// The shipped sample study, as README's first command runs it with every
// round (--tolerance 0: the command's default stops at 1e-6, the classic entry
// never), gives through the command exactly what the classic entry hands its
// host.
TEST_F(Classic, TheSampleStudyThroughTheCommandIsTheClassicJob)
{
    const std::string data = std::string(ZARNO_SOURCE_DIR) + "/data/sample";
    const std::vector<double> v = ReadNumbers(data + ".txt"), u = ReadNumbers(data + ".unc");
    ASSERT_EQ(v.size(), 300u * 20);
    const Shape s{300, 20, 2, 5, 3, 2000, true};
    int status = 1;
    const std::vector<Flat> jni = Run(s, v, u, &status);
    ASSERT_EQ(status, 0);
    ASSERT_EQ(jni.size(), 12u);

    const std::string out = (fs::temp_directory_path() / ("zarno-sample-" + std::to_string(getpid()))).string();
    fs::remove_all(out);
    const std::string cmd = std::string(ZARNO_COMMAND) + " run " + data + ".txt --uncert " + data +
                            ".unc --ranks 2:5 --chains 3 --tolerance 0 --quiet --out " + out;
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    for (const Flat& r : jni) ExpectSame(ReadRun(out, r.patterns, r.chain), r);
    fs::remove_all(out);
}
