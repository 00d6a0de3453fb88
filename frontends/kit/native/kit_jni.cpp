// The Java kit's native functions (class zarno.kit.Native). Each is a few lines
// over the core API (core/api.h); nothing here computes. Rules kept throughout:
// every JNI call is checked, no C++ exception reaches the JVM, and only the
// thread that called a native method touches JNI: the core runs its workers on
// threads of its own and calls the sink back on the calling thread.
#include <jni.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "zarno/api.h"
#include "zarno_kit_Native.h"

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

// Throws a Java exception of the class unless one is pending already.
void Throw(JNIEnv* env, const char* className, const std::string& message)
{
    if (env->ExceptionCheck()) return;
    jclass c = env->FindClass(className);
    if (c == nullptr) return;  // NoClassDefFoundError pending instead
    env->ThrowNew(c, message.c_str());
    env->DeleteLocalRef(c);
}

// Turns the C++ exception being handled into a Java one.
void ThrowCurrent(JNIEnv* env)
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        Throw(env, "java/lang/OutOfMemoryError", "ZARNO could not allocate native memory");
    } catch (const std::exception& e) {
        Throw(env, "zarno/kit/ZarnoException", std::string("ZARNO failed internally: ") + e.what());
    } catch (...) {
        Throw(env, "zarno/kit/ZarnoException", "ZARNO failed internally");
    }
}

// A fresh Java array holding n doubles; null with an exception pending.
jdoubleArray NewArray(JNIEnv* env, const double* from, std::size_t n)
{
    jdoubleArray a = env->NewDoubleArray(static_cast<jsize>(n));
    if (a == nullptr) return nullptr;
    if (n > 0) env->SetDoubleArrayRegion(a, 0, static_cast<jsize>(n), from);
    if (env->ExceptionCheck()) {
        env->DeleteLocalRef(a);
        return nullptr;
    }
    return a;
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
        jdoubleArray a = NewArray(env, run.amplitudes, static_cast<std::size_t>(run.genes) * P);
        jdoubleArray p = a ? NewArray(env, run.patternRows, P * static_cast<std::size_t>(run.samples)) : nullptr;
        const std::vector<double> none;
        const std::vector<double>& trace = run.trace ? *run.trace : none;
        jdoubleArray t = p ? NewArray(env, trace.data(), trace.size()) : nullptr;
        if (t != nullptr) {
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

}  // namespace

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
    return openStudies.load();
}

JNIEXPORT jlong JNICALL Java_zarno_kit_Native_open(JNIEnv* env, jclass, jdoubleArray values,
                                                   jdoubleArray sigmas, jint genes, jint samples)
{
    try {
        const jsize n = genes * samples;  // checked against 32 bits by the Java side
        if (values == nullptr || env->GetArrayLength(values) != n ||
            (sigmas != nullptr && env->GetArrayLength(sigmas) != n)) {
            Throw(env, "java/lang/IllegalArgumentException", "arrays do not match genes x samples");
            return 0;
        }
        std::unique_ptr<Study> study(new Study);  // freed on every early way out
        study->values.resize(n);
        env->GetDoubleArrayRegion(values, 0, n, study->values.data());
        if (sigmas != nullptr && !env->ExceptionCheck()) {
            study->sigmas.resize(n);
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
    } catch (...) {
        ThrowCurrent(env);
        return 0;
    }
}

JNIEXPORT void JNICALL Java_zarno_kit_Native_cancel(JNIEnv*, jclass, jlong handle)
{
    if (handle != 0) FromHandle(handle)->control.cancel = true;
}

JNIEXPORT void JNICALL Java_zarno_kit_Native_close(JNIEnv*, jclass, jlong handle)
{
    delete FromHandle(handle);
}

JNIEXPORT jlong JNICALL Java_zarno_kit_Native_run(JNIEnv* env, jclass, jlong handle, jint firstRank,
                                                  jint lastRank, jint firstChain, jint chains,
                                                  jint rounds, jboolean trace, jdouble tolerance, jint threads,
                                                  jobject sink)
{
    try {
        Study* study = FromHandle(handle);
        zarno::JobSpec job;
        job.firstRank = firstRank;
        job.lastRank = lastRank;
        job.firstChain = firstChain;
        job.chains = chains;
        job.run.rounds = rounds;
        job.run.trace = trace == JNI_TRUE;
        job.run.tolerance = tolerance;
        job.threads = threads;
        if (const zarno::Refusal refusal = zarno::CheckJob(study->data, job)) {
            Throw(env, "java/lang/IllegalArgumentException", refusal.text);
            return -1;
        }
        jclass c = env->GetObjectClass(sink);
        if (c == nullptr) return -1;
        jmethodID onRun = env->GetMethodID(c, "run", "(II[D[DDDIIID[D)V");
        jmethodID onTick = onRun ? env->GetMethodID(c, "tick", "(IJ)Z") : nullptr;
        env->DeleteLocalRef(c);
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
    } catch (...) {
        ThrowCurrent(env);
        return -1;
    }
}

}  // extern "C"
