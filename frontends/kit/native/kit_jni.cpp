// The Java kit's native functions (class zarno.kit.Native) but the survey
// (kit_survey.cpp): studies opened, run, cancelled and closed over the core API
// (zarno/api.h); nothing here computes. Only the thread that called a native
// method touches JNI: the core runs its workers on threads of its own and calls
// the sink back on the calling thread. The rules of jni_support.h hold
// throughout.
#include <jni.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "jni_support.h"
#include "zarno/api.h"
#include "zarno/cells.h"
#include "zarno_kit_Native.h"

namespace zarno::kit {

namespace {

std::atomic<int> openStudies{0};

// What a study keeps in native memory: its own copy of the data, made once,
// and the control its runs watch.
struct Study {
    std::vector<double> values, sigmas;
    zarno::Dataset data;
    zarno::Control control;
    Study() { openStudies++; }
    ~Study() { openStudies--; }
};

Study* FromHandle(jlong handle)
{
    return reinterpret_cast<Study*>(static_cast<std::intptr_t>(handle));
}

// Hands runs and progress to the Java sink. Once Java has thrown, it makes no
// further JNI call and stops the sweep; the exception reaches the caller.
class JavaSink : public zarno::JobSink {
public:
    JavaSink(JNIEnv* e, jobject s, jmethodID r, jmethodID t) : env(e), sink(s), onRun(r), onTick(t) {}

    bool RunFinished(const zarno::RunView& run) override
    {
        if (failed) return false;
        const auto start = std::chrono::steady_clock::now();
        const std::size_t P = static_cast<std::size_t>(run.patterns);
        jdoubleArray a = NewDoubles(env, run.amplitudes, static_cast<std::size_t>(run.genes) * P);
        jdoubleArray p = NewDoubles(env, run.patternRows, P * static_cast<std::size_t>(run.samples));
        const std::vector<double> none;
        jdoubleArray t = NewDoubles(env, run.trace ? *run.trace : none);
        // A run whose numbers are not finite is handed over as failed, with why.
        const std::string fault = zarno::RunFault(run);
        jstring why = fault.empty() ? nullptr : NewString(env, fault);
        if (!env->ExceptionCheck()) {
            env->CallVoidMethod(sink, onRun, run.patterns, run.chain, a, p, run.chiSquare, run.ssr,
                                run.seedA, run.seedP, run.rounds, run.seconds, t, why);
        }
        for (jobject x : {static_cast<jobject>(a), static_cast<jobject>(p), static_cast<jobject>(t),
                          static_cast<jobject>(why)})
            if (x != nullptr) env->DeleteLocalRef(x);
        exportNanos += std::chrono::duration_cast<std::chrono::nanoseconds>(
                           std::chrono::steady_clock::now() - start).count();
        return !(failed = env->ExceptionCheck());
    }

    bool Tick(const zarno::Control& progress) override
    {
        if (failed) return false;
        const jboolean go = env->CallBooleanMethod(sink, onTick, static_cast<jint>(progress.runsDone.load()),
                                                   static_cast<jlong>(progress.roundsDone.load()));
        if ((failed = env->ExceptionCheck())) return false;
        return go == JNI_TRUE;
    }

    bool failed = false;
    long long exportNanos = 0;

private:
    JNIEnv* env;
    jobject sink;
    jmethodID onRun, onTick;
};

// A study's own copy of the data (a NaN a missing cell when allowMissing);
// its handle, or 0 with an exception pending.
jlong Open(JNIEnv* env, jdoubleArray values, jdoubleArray sigmas, jint genes, jint samples, bool allowMissing)
{
    if (genes < 1 || samples < 1 || static_cast<long long>(genes) * samples > 0x7fffffff || values == nullptr ||
        env->GetArrayLength(values) != genes * samples ||
        (sigmas != nullptr && env->GetArrayLength(sigmas) != genes * samples)) {
        Throw(env, "java/lang/IllegalArgumentException", "arrays do not match genes x samples");
        return 0;
    }
    const jsize n = genes * samples;
    std::unique_ptr<Study> study(new Study);  // freed on every early way out
    study->values.resize(static_cast<std::size_t>(n));
    env->GetDoubleArrayRegion(values, 0, n, study->values.data());
    if (sigmas != nullptr) {
        study->sigmas.resize(static_cast<std::size_t>(n));
        env->GetDoubleArrayRegion(sigmas, 0, n, study->sigmas.data());
    }
    if (env->ExceptionCheck()) return 0;
    zarno::Dataset& d = study->data;
    d.genes = genes;
    d.samples = samples;
    d.values = study->values.data();
    d.weighted = sigmas != nullptr;
    d.sigmas = d.weighted ? study->sigmas.data() : nullptr;
    d.allowMissing = allowMissing;
    if (const zarno::Refusal refusal = zarno::CheckDataset(d)) {
        Throw(env, "java/lang/IllegalArgumentException", refusal.text);
        return 0;
    }
    return static_cast<jlong>(reinterpret_cast<std::intptr_t>(study.release()));
}

// Data with missing cells allowed, checked as a study checks them: the cells
// missing, or -1 with an exception pending.
jlong Cells(JNIEnv* env, jdoubleArray values, jdoubleArray sigmas, jint genes, jint samples)
{
    const jlong handle = Open(env, values, sigmas, genes, samples, true);
    if (handle == 0) return -1;
    const std::unique_ptr<Study> study(FromHandle(handle));
    return zarno::CountCells(study->data).missing;
}

// The arithmetic the plain runs take, as the core decides it; null with an
// exception pending.
jstring ArithmeticOf(JNIEnv* env, jboolean weighted, jboolean missingCells, jstring asked)
{
    std::string word;
    if (!ReadString(env, asked, &word)) return nullptr;
    zarno::RunOptions options;
    if (!zarno::ParseArithmetic(word, &options.arithmetic)) {
        Throw(env, "java/lang/IllegalArgumentException", "arithmetic " + word + ": expected gram or classic");
        return nullptr;
    }
    zarno::Dataset data;
    data.weighted = weighted == JNI_TRUE;
    const bool gram = zarno::UsesGramForm(data, options, missingCells == JNI_TRUE);
    return NewString(env, zarno::ArithmeticName(gram ? zarno::Arithmetic::kGram : zarno::Arithmetic::kClassic));
}

// The job; false with IllegalArgumentException pending for an arithmetic
// that is not "gram" or "classic".
bool Job(JNIEnv* env, jint firstRank, jint lastRank, jint firstChain, jint chains, jint rounds, jboolean trace,
         jdouble tolerance, jstring arithmetic, jint threads, zarno::JobSpec* to)
{
    std::string word;
    if (!ReadString(env, arithmetic, &word)) return false;
    zarno::JobSpec& job = *to;
    if (!zarno::ParseArithmetic(word, &job.run.arithmetic)) {
        Throw(env, "java/lang/IllegalArgumentException", "arithmetic " + word + ": expected gram or classic");
        return false;
    }
    job.firstRank = firstRank;
    job.lastRank = lastRank;
    job.firstChain = firstChain;
    job.chains = chains;
    job.run.rounds = rounds;
    job.run.trace = trace == JNI_TRUE;
    job.run.tolerance = tolerance;
    job.threads = threads;
    return true;
}

// Runs the study's sweep into the sink: the nanoseconds spent handing runs
// over, or -1 when cancelled or with an exception pending.
jlong Run(JNIEnv* env, Study* study, const zarno::JobSpec& job, jobject sink)
{
    if (study == nullptr || sink == nullptr) {
        Throw(env, "java/lang/IllegalArgumentException", "no study or no sink");
        return -1;
    }
    if (const zarno::Refusal refusal = zarno::CheckJob(study->data, job)) {
        Throw(env, "java/lang/IllegalArgumentException", refusal.text);
        return -1;
    }
    jclass c = env->GetObjectClass(sink);
    jmethodID onRun = c ? env->GetMethodID(c, "run", "(II[D[DDDIIID[DLjava/lang/String;)V") : nullptr;
    jmethodID onTick = onRun ? env->GetMethodID(c, "tick", "(IJ)Z") : nullptr;
    if (c != nullptr) env->DeleteLocalRef(c);
    if (onTick == nullptr) return -1;

    JavaSink javaSink(env, sink, onRun, onTick);
    const zarno::JobOutcome outcome = zarno::RunJob(study->data, job, javaSink, &study->control);
    if (javaSink.failed || env->ExceptionCheck()) return -1;  // the sink's exception goes on
    switch (outcome.status) {
    case zarno::JobOutcome::kDone:
        return javaSink.exportNanos;
    case zarno::JobOutcome::kFailed:
        Throw(env, "zarno/kit/ZarnoException", outcome.error);
        return -1;
    default:
        return -1;  // cancelled
    }
}

}  // namespace

}  // namespace zarno::kit

extern "C" {

JNIEXPORT jstring JNICALL Java_zarno_kit_Native_version(JNIEnv* env, jclass)
{
    return env->NewStringUTF(zarno::kVersion);
}

JNIEXPORT jint JNICALL Java_zarno_kit_Native_processors(JNIEnv*, jclass)
{
    return zarno::AvailableProcessors();
}

JNIEXPORT jint JNICALL Java_zarno_kit_Native_openStudies(JNIEnv*, jclass)
{
    return zarno::kit::openStudies.load();
}

JNIEXPORT jdouble JNICALL Java_zarno_kit_Native_studyTolerance(JNIEnv*, jclass)
{
    return zarno::kStudyTolerance;
}

JNIEXPORT jlong JNICALL Java_zarno_kit_Native_open(JNIEnv* env, jclass, jdoubleArray values,
                                                   jdoubleArray sigmas, jint genes, jint samples,
                                                   jboolean allowMissing)
{
    return zarno::kit::Guarded(env, jlong{0}, [&] {
        return zarno::kit::Open(env, values, sigmas, genes, samples, allowMissing == JNI_TRUE);
    });
}

JNIEXPORT jlong JNICALL Java_zarno_kit_Native_cells(JNIEnv* env, jclass, jdoubleArray values,
                                                    jdoubleArray sigmas, jint genes, jint samples)
{
    return zarno::kit::Guarded(env, jlong{-1}, [&] { return zarno::kit::Cells(env, values, sigmas, genes, samples); });
}

JNIEXPORT jstring JNICALL Java_zarno_kit_Native_arithmetic(JNIEnv* env, jclass, jboolean weighted,
                                                           jboolean missingCells, jstring asked)
{
    return zarno::kit::Guarded(env, jstring{nullptr},
                               [&] { return zarno::kit::ArithmeticOf(env, weighted, missingCells, asked); });
}

JNIEXPORT void JNICALL Java_zarno_kit_Native_cancel(JNIEnv*, jclass, jlong handle)
{
    if (handle != 0) zarno::kit::FromHandle(handle)->control.cancel = true;
}

JNIEXPORT void JNICALL Java_zarno_kit_Native_close(JNIEnv*, jclass, jlong handle)
{
    delete zarno::kit::FromHandle(handle);
}

JNIEXPORT jlong JNICALL Java_zarno_kit_Native_run(JNIEnv* env, jclass, jlong handle, jint firstRank,
                                                  jint lastRank, jint firstChain, jint chains, jint rounds,
                                                  jboolean trace, jdouble tolerance, jstring arithmetic,
                                                  jint threads, jobject sink)
{
    namespace kit = zarno::kit;
    return kit::Guarded(env, jlong{-1}, [&] {
        zarno::JobSpec job;
        if (!kit::Job(env, firstRank, lastRank, firstChain, chains, rounds, trace, tolerance, arithmetic, threads,
                      &job))
            return jlong{-1};
        return kit::Run(env, kit::FromHandle(handle), job, sink);
    });
}

}  // extern "C"
