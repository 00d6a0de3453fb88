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
        if (!env->ExceptionCheck()) {
            env->CallVoidMethod(sink, onRun, run.patterns, run.chain, a, p, run.chiSquare, run.ssr,
                                run.seedA, run.seedP, run.rounds, run.seconds, t);
        }
        for (jdoubleArray x : {a, p, t})
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

// A study's own copy of the data; its handle, or 0 with an exception pending.
jlong Open(JNIEnv* env, jdoubleArray values, jdoubleArray sigmas, jint genes, jint samples)
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
    if (const zarno::Refusal refusal = zarno::CheckDataset(d)) {
        Throw(env, "java/lang/IllegalArgumentException", refusal.text);
        return 0;
    }
    return static_cast<jlong>(reinterpret_cast<std::intptr_t>(study.release()));
}

zarno::JobSpec Job(jint firstRank, jint lastRank, jint firstChain, jint chains, jint rounds, jboolean trace,
                   jdouble tolerance, jint threads)
{
    zarno::JobSpec job;
    job.firstRank = firstRank;
    job.lastRank = lastRank;
    job.firstChain = firstChain;
    job.chains = chains;
    job.run.rounds = rounds;
    job.run.trace = trace == JNI_TRUE;
    job.run.tolerance = tolerance;
    job.threads = threads;
    return job;
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
    jmethodID onRun = c ? env->GetMethodID(c, "run", "(II[D[DDDIIID[D)V") : nullptr;
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

JNIEXPORT jlong JNICALL Java_zarno_kit_Native_open(JNIEnv* env, jclass, jdoubleArray values,
                                                   jdoubleArray sigmas, jint genes, jint samples)
{
    return zarno::kit::Guarded(env, jlong{0}, [&] { return zarno::kit::Open(env, values, sigmas, genes, samples); });
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
                                                  jboolean trace, jdouble tolerance, jint threads, jobject sink)
{
    namespace kit = zarno::kit;
    return kit::Guarded(env, jlong{-1}, [&] {
        return kit::Run(env, kit::FromHandle(handle),
                        kit::Job(firstRank, lastRank, firstChain, chains, rounds, trace, tolerance, threads), sink);
    });
}

}  // extern "C"
