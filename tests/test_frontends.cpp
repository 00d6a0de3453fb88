// One job through every front end: the core's RunJob on 1, 2 and 4 threads
// and the classic JNI entry in a real JVM (under -Xcheck:jni) give the same
// bits for every (pattern count, chain), and refuse the same bad fields with
// the same words.
#include <gtest/gtest.h>
#include <jni.h>

#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "api.h"
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

        zarno::Dataset d;
        d.genes = s.genes;
        d.samples = s.samples;
        d.values = v.data();
        d.sigmas = u.data();
        d.weighted = s.weighted;
        for (int threads : {1, 2, 4}) {
            zarno::JobSpec job;
            job.firstPatterns = s.first;
            job.lastPatterns = s.last;
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

        zarno::Dataset d;
        d.genes = s.genes;
        d.samples = s.samples;
        d.values = vv.data();
        d.sigmas = uu.data();
        d.weighted = true;
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
