// The host's entry point: reads a job from KQin, checks it, and runs every
// pattern count and chain through one engine.
#include <jni.h>

#include <cstdarg>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <new>
#include <string>
#include <vector>

#include "zarno/api.h"
#include "jni_host.h"
#include "lib_ZARNO.h"  // from javac -h: a renamed native method fails to compile

namespace zarno::classic {
namespace {

// What the call borrows from the JVM or allocates for itself; all of it is
// given back when the call ends, on every path. Host arrays are released with
// JNI_ABORT: nothing is ever written back into them.
struct CallResources {
    JNIEnv* env;
    jdoubleArray dataArray = nullptr, accArray = nullptr;
    jdouble* data = nullptr;
    jdouble* acc = nullptr;
    jintArray footArray = nullptr;
    jint* foot = nullptr;
    std::vector<std::vector<int>> priorRows;
    std::vector<int*> priorPointers;

    explicit CallResources(JNIEnv* e) : env(e) {}
    ~CallResources()
    {
        if (data != nullptr) env->ReleaseDoubleArrayElements(dataArray, data, JNI_ABORT);
        if (acc != nullptr) env->ReleaseDoubleArrayElements(accArray, acc, JNI_ABORT);
        if (foot != nullptr) env->ReleaseIntArrayElements(footArray, foot, JNI_ABORT);
    }
};

// Reading KQin. A missing field or one of another type leaves the JVM's
// NoSuchFieldError pending, which the host receives from zarno().
bool ReadInt(JNIEnv* env, jclass c, jobject o, const char* name, int* out)
{
    jfieldID f = env->GetFieldID(c, name, "I");
    if (f == nullptr) return false;
    *out = env->GetIntField(o, f);
    return true;
}

bool ReadObject(JNIEnv* env, jclass c, jobject o, const char* name, const char* sig, jobject* out)
{
    jfieldID f = env->GetFieldID(c, name, sig);
    if (f == nullptr) return false;
    *out = env->GetObjectField(o, f);
    return true;
}

// Copies a host string into a NAMEL buffer, whole or not at all. Returns its
// length in bytes of (modified) UTF-8, which is what the buffer holds, or -1
// when the JVM could not hand out the characters (an exception is pending).
long CopyName(JNIEnv* env, jstring s, char* dest)
{
    const char* chars = env->GetStringUTFChars(s, nullptr);
    if (chars == nullptr) return -1;
    const size_t length = std::strlen(chars);
    if (length < static_cast<size_t>(NAMEL)) std::memcpy(dest, chars, length + 1);
    env->ReleaseStringUTFChars(s, chars);
    return static_cast<long>(length);
}

// Deletes a local reference at the end of its scope; JNI allows that with an
// exception pending.
template <typename T>
class Local {
public:
    Local(JNIEnv* e, T r) : env(e), ref(r) {}
    ~Local()
    {
        if (ref != nullptr) env->DeleteLocalRef(ref);
    }
    Local(const Local&) = delete;
    Local& operator=(const Local&) = delete;
    operator T() const { return ref; }

private:
    JNIEnv* env;
    T ref;
};

// KQin's object fields as read (local references of the call's frame).
struct KQinFields {
    jobject tag = nullptr, dir = nullptr, data = nullptr, acc = nullptr, foot = nullptr,
            list = nullptr;
};

class Job {
public:
    Job(JNIEnv* e, jobject o) : env(e), obj(o), res(e) {}

    // 0: every run done. -1: refused or stopped; a message was sent, or a Java
    // exception is pending for the host.
    int Run(jobject KQin, jobject KQout);

private:
    JNIEnv* env;
    jobject obj;
    CallResources res;
    bool jniFailed = false;  // a Java exception is pending: no further JNI calls

    bool Send(const char* text)
    {
        if (!SendToHost(env, obj, text)) jniFailed = true;
        return !jniFailed;
    }
    // Notes that a Java exception is pending; always false.
    bool Stop() { return !(jniFailed = true); }
    // Sends a refusal; always false, so callers can `return Refuse(...)`.
    bool Refuse(const char* format, ...) __attribute__((format(printf, 2, 3)));
    bool CheckResultMethod(jobject KQout);
    // Reading KQin, in steps: its fields, then each group of them checked.
    bool ReadInput(jobject KQin, L& engine, jobject* geneNames, jobject* xLabels);
    bool ReadFields(jobject KQin, L& engine, KQinFields* f, jobject* geneNames, jobject* xLabels);
    bool ReadNames(L& engine, const KQinFields& f);
    bool CheckArrays(const L& engine, const KQinFields& f);
    bool CheckGroups(const L& engine, const KQinFields& f);
    bool BorrowArrays(L& engine);
    bool CopyPriors(L& engine, const KQinFields& f);
    bool CheckSizes(L& engine);
    bool CheckValues(const L& engine);
};

bool Job::Refuse(const char* format, ...)
{
    char text[NAMEL * 3];
    std::strcpy(text, "Refused: ");
    va_list args;
    va_start(args, format);
    std::vsnprintf(text + 9, sizeof text - 9, format, args);
    va_end(args);
    Send(text);
    return false;
}

// The host class must have the result method, and KQout must be an instance
// of the class that method takes. JNI passes arguments unchecked: a lookalike
// object would reach the host's code under the wrong type, where reading a
// field can crash the JVM. A mismatch throws ClassCastException.
bool Job::CheckResultMethod(jobject KQout)
{
    Local<jclass> host(env, env->GetObjectClass(obj));
    if (host == nullptr) return Stop();
    jmethodID result = HostMethod(env, host, ZARNO_RESULT_METHOD, ZARNO_RESULT_SIGNATURE);
    if (result == nullptr) return Stop();
    Local<jobject> method(env, env->ToReflectedMethod(host, result, JNI_FALSE));
    if (method == nullptr) return Stop();
    Local<jclass> methodClass(env, env->GetObjectClass(method));
    if (methodClass == nullptr) return Stop();
    jmethodID getTypes = env->GetMethodID(methodClass, "getParameterTypes", "()[Ljava/lang/Class;");
    if (getTypes == nullptr) return Stop();
    Local<jobjectArray> types(env, static_cast<jobjectArray>(env->CallObjectMethod(method, getTypes)));
    if (env->ExceptionCheck()) return Stop();
    Local<jclass> wanted(env, static_cast<jclass>(env->GetObjectArrayElement(types, 1)));
    if (env->ExceptionCheck()) return Stop();
    if (env->IsInstanceOf(KQout, wanted)) return true;

    Local<jclass> given(env, env->GetObjectClass(KQout));
    const std::string givenName = ClassName(env, given);
    if (env->ExceptionCheck()) return Stop();
    const std::string wantedName = ClassName(env, wanted);
    if (env->ExceptionCheck()) return Stop();
    const std::string text = "KQout is a " + givenName + ", but the host's " ZARNO_RESULT_METHOD
                             " takes a " + wantedName;
    Local<jclass> error(env, env->FindClass("java/lang/ClassCastException"));
    if (error != nullptr) env->ThrowNew(error, text.c_str());
    return Stop();
}

bool Job::ReadInput(jobject KQin, L& engine, jobject* geneNames, jobject* xLabels)
{
    KQinFields f;
    if (!ReadFields(KQin, engine, &f, geneNames, xLabels)) return Stop();
    return ReadNames(engine, f) && CheckSizes(engine) && CheckArrays(engine, f) &&
           CheckGroups(engine, f) && BorrowArrays(engine) && CopyPriors(engine, f);
}

bool Job::ReadFields(jobject KQin, L& engine, KQinFields* f, jobject* geneNames, jobject* xLabels)
{
    jclass c = env->GetObjectClass(KQin);
    if (c == nullptr) return false;
    bool ok = ReadObject(env, c, KQin, "tag", "Ljava/lang/String;", &f->tag) &&
              ReadObject(env, c, KQin, "dir", "Ljava/lang/String;", &f->dir) &&
              ReadInt(env, c, KQin, "Na", &engine.Ngenes) &&
              ReadInt(env, c, KQin, "Nf", &engine.Nsamples) &&
              ReadObject(env, c, KQin, "data", "[D", &f->data) &&
              ReadObject(env, c, KQin, "acc", "[D", &f->acc) &&
              ReadInt(env, c, KQin, "uncertFlag", &engine.uncertFlag) &&
              ReadInt(env, c, KQin, "StartRank", &engine.StartRank) &&
              ReadInt(env, c, KQin, "EndRank", &engine.EndRank) &&
              ReadInt(env, c, KQin, "Nchains", &engine.Nchains) &&
              ReadInt(env, c, KQin, "Niter", &engine.SimulateIterations) &&
              ReadInt(env, c, KQin, "NfeetA", &engine.Ngroups) &&
              ReadObject(env, c, KQin, "NfootA", "[I", &f->foot) &&
              ReadObject(env, c, KQin, "NlistA", "[[I", &f->list) &&
              ReadObject(env, c, KQin, "geneNames", "[Ljava/lang/String;", geneNames) &&
              ReadObject(env, c, KQin, "xLabels", "[Ljava/lang/String;", xLabels);
    env->DeleteLocalRef(c);
    return ok;
}

// The tag and the directory prefix, and the file names made of them: refused
// rather than truncated, so two jobs never share a file.
bool Job::ReadNames(L& engine, const KQinFields& f)
{
    if (f.tag == nullptr) return Refuse("\"tag\" is null");
    if (f.dir == nullptr) return Refuse("\"dir\" is null");
    const long tagLength = CopyName(env, static_cast<jstring>(f.tag), engine.basename);
    if (tagLength < 0) return Stop();
    if (tagLength >= NAMEL)
        return Refuse("\"tag\" takes %ld bytes in UTF-8; at most %d fit", tagLength, NAMEL - 1);
    const long dirLength = CopyName(env, static_cast<jstring>(f.dir), engine.FilePathFromNodes);
    if (dirLength < 0) return Stop();
    if (dirLength >= NAMEL)
        return Refuse("\"dir\" takes %ld bytes in UTF-8; at most %d fit", dirLength, NAMEL - 1);
    env->DeleteLocalRef(f.tag);
    env->DeleteLocalRef(f.dir);
    int n1 = std::snprintf(engine.datafile, NAMEL, "%s%s.txt", engine.FilePathFromNodes,
                           engine.basename);
    int n2 = std::snprintf(engine.uncertfile, NAMEL, "%s%s.unc", engine.FilePathFromNodes,
                           engine.basename);
    if (n1 >= NAMEL || n2 >= NAMEL)
        return Refuse("\"dir\" and \"tag\" together take %ld bytes in UTF-8; at most %d fit",
                      dirLength + tagLength, NAMEL - 5);
    return true;
}

// The data and uncertainty arrays, at the sizes already checked.
bool Job::CheckArrays(const L& engine, const KQinFields& f)
{
    if (f.data == nullptr) return Refuse("\"data\" is null");
    if (f.acc == nullptr) return Refuse("\"acc\" is null");
    const jsize need = engine.Ngenes * engine.Nsamples;
    res.dataArray = static_cast<jdoubleArray>(f.data);
    res.accArray = static_cast<jdoubleArray>(f.acc);
    if (env->GetArrayLength(res.dataArray) < need)
        return Refuse("\"data\" holds %d values, fewer than \"Na\" x \"Nf\" = %d",
                      env->GetArrayLength(res.dataArray), need);
    if (env->GetArrayLength(res.accArray) < need)
        return Refuse("\"acc\" holds %d values, fewer than \"Na\" x \"Nf\" = %d",
                      env->GetArrayLength(res.accArray), need);
    return true;
}

// The group table's count and arrays.
bool Job::CheckGroups(const L& engine, const KQinFields& f)
{
    if (engine.Ngroups < 0) return Refuse("\"NfeetA\" is negative (%d)", engine.Ngroups);
    if (f.foot == nullptr) return Refuse("\"NfootA\" is null");
    if (f.list == nullptr) return Refuse("\"NlistA\" is null");
    res.footArray = static_cast<jintArray>(f.foot);
    if (env->GetArrayLength(res.footArray) < engine.Ngroups)
        return Refuse("\"NfootA\" holds %d counts, fewer than \"NfeetA\" = %d",
                      env->GetArrayLength(res.footArray), engine.Ngroups);
    if (env->GetArrayLength(static_cast<jobjectArray>(f.list)) < engine.Ngroups)
        return Refuse("\"NlistA\" holds %d rows, fewer than \"NfeetA\" = %d",
                      env->GetArrayLength(static_cast<jobjectArray>(f.list)), engine.Ngroups);
    return true;
}

// The host's arrays, used in place until the call ends (CallResources).
bool Job::BorrowArrays(L& engine)
{
    res.data = env->GetDoubleArrayElements(res.dataArray, nullptr);
    if (res.data == nullptr) return Stop();
    res.acc = env->GetDoubleArrayElements(res.accArray, nullptr);
    if (res.acc == nullptr) return Stop();
    engine.data = res.data;
    engine.uncert = res.acc;
    res.foot = env->GetIntArrayElements(res.footArray, nullptr);
    if (res.foot == nullptr) return Stop();
    engine.Nmembers = res.foot;
    return true;
}

// Group priors: each row copied once; the engine does not use them here.
bool Job::CopyPriors(L& engine, const KQinFields& f)
{
    res.priorRows.resize(engine.Ngroups);
    res.priorPointers.resize(engine.Ngroups);
    for (int i = 0; i < engine.Ngroups; i++) {
        const int count = res.foot[i];
        if (count < 0) return Refuse("\"NfootA\"[%d] is negative (%d)", i, count);
        jintArray row = static_cast<jintArray>(
            env->GetObjectArrayElement(static_cast<jobjectArray>(f.list), i));
        if (env->ExceptionCheck()) return Stop();
        if (row == nullptr) return Refuse("\"NlistA\"[%d] is null", i);
        if (env->GetArrayLength(row) < count) {
            const int len = env->GetArrayLength(row);
            env->DeleteLocalRef(row);
            return Refuse("\"NlistA\"[%d] holds %d indices, fewer than \"NfootA\"[%d] = %d", i,
                          len, i, count);
        }
        res.priorRows[i].resize(count);
        if (count > 0) env->GetIntArrayRegion(row, 0, count, res.priorRows[i].data());
        env->DeleteLocalRef(row);
        if (env->ExceptionCheck()) return Stop();
        res.priorPointers[i] = res.priorRows[i].data();
    }
    engine.GroupPriors = engine.Ngroups > 0 ? res.priorPointers.data() : nullptr;
    env->DeleteLocalRef(f.list);
    return true;  // the array references stay alive until their elements are released
}

// The job as the core sees it: the host's arrays in place, chains from 1,
// one thread.
zarno::Dataset HostData(const L& engine)
{
    zarno::Dataset d;
    d.genes = engine.Ngenes;
    d.samples = engine.Nsamples;
    d.values = engine.data;
    d.sigmas = engine.uncert;
    d.weighted = engine.uncertFlag != 0;
    return d;
}

zarno::JobSpec HostJob(const L& engine)
{
    zarno::JobSpec job;
    job.firstRank = engine.StartRank;
    job.lastRank = engine.EndRank;
    job.firstChain = 1;
    job.chains = engine.Nchains;
    job.run.rounds = engine.SimulateIterations;
    job.threads = 1;
    return job;
}

// Dimensions and sweep bounds, before any array is touched: the core's rules,
// then the length of the longest result-record path.
bool Job::CheckSizes(L& engine)
{
    const zarno::Refusal r = zarno::CheckJob(HostData(engine), HostJob(engine), zarno::Rules::kClassic);
    if (r) return Refuse("%s", r.text.c_str());
    const bool sweep = engine.StartRank <= engine.EndRank && engine.Nchains >= 1;
    if (!sweep) return true;
    int len = std::snprintf(nullptr, 0, "%srun%d_chain%d/%s_%d_%d" ZARNO_RECORD_EXTENSION,
                            engine.FilePathFromNodes, engine.EndRank, engine.Nchains,
                            engine.basename, engine.EndRank, engine.Nchains);
    if (len >= NAMEL)
        return Refuse("the result-record paths of \"dir\" and \"tag\" reach %d characters; "
                      "at most %d fit",
                      len, NAMEL - 1);
    return true;
}

// Values that would silently turn every result into NaN or Inf.
bool Job::CheckValues(const L& engine)
{
    const zarno::Refusal r = zarno::CheckValues(HostData(engine));
    return r ? Refuse("%s", r.text.c_str()) : true;
}

// Each run's start and result into KQout and the result method, messages to
// guiPrint; one local frame per run, so the JVM can free a run's exports as
// soon as the host has let go of them.
class ClassicSink : public zarno::JobSink {
public:
    explicit ClassicSink(L& r) : record(r) {}
    bool Message(const std::string& text) override { return record.Message(text.c_str()) == 1; }
    bool RunStarting(const zarno::RunView& start) override
    {
        framed = record.env->PushLocalFrame(32) == 0;
        return framed && ExportRunStart(record, start) == 1;
    }
    bool RunFinished(const zarno::RunView& run) override { return ExportRunFinished(record, run) == 1; }
    void RunEnded() override
    {
        if (framed) record.env->PopLocalFrame(nullptr);
        framed = false;
    }

private:
    L& record;
    bool framed = false;
};

int Job::Run(jobject KQin, jobject KQout)
{
    const clock_t StartCPU = clock();
    const std::string StartTime = CTimeText(time(nullptr));
    char out[NAMEL];
    if (!Send("Running ZARNO")) return -1;

    L engine(env, obj, KQout);
    if (env->ExceptionCheck()) return -1;  // no guiPrint on the host class
    if (!CheckResultMethod(KQout)) return -1;
    jobject geneNames = nullptr, xLabels = nullptr;
    if (!ReadInput(KQin, engine, &geneNames, &xLabels) || !CheckValues(engine)) return -1;

    jclass c = env->GetObjectClass(KQout);
    if (c == nullptr) return -1;
    jfieldID f1 = env->GetFieldID(c, "geneNames", "[Ljava/lang/String;");
    if (f1 != nullptr) env->SetObjectField(KQout, f1, geneNames);
    jfieldID f2 = f1 ? env->GetFieldID(c, "xLabels", "[Ljava/lang/String;") : nullptr;
    if (f2 != nullptr) env->SetObjectField(KQout, f2, xLabels);
    env->DeleteLocalRef(c);
    if (f2 == nullptr) return -1;

    engine.VerifyInputParams();
    if (env->ExceptionCheck()) return -1;

    // Pattern counts outer, chains inner, on this thread.
    ClassicSink sink(engine);
    if (zarno::RunJob(HostData(engine), HostJob(engine), sink).status != zarno::JobOutcome::kDone)
        return -1;

    const std::string EndTime = CTimeText(time(nullptr));
    std::snprintf(out, sizeof out, "//// Start at:   %s\n//// End   at:    %s", StartTime.c_str(),
                  EndTime.c_str());
    if (!Send(out)) return -1;
    const clock_t EndCPU = clock();
    std::snprintf(out, sizeof out, "//// Used CPU:  %g minutes\n",
                  static_cast<double>(EndCPU - StartCPU) / 60000000.0);
    if (!Send(out)) return -1;
    return 0;
}

}  // namespace
}  // namespace zarno::classic

using zarno::classic::Job;
using zarno::classic::SendToHost;

extern "C" JNIEXPORT jint JNICALL Java_lib_ZARNO_zarno(JNIEnv* env, jobject obj, jobject KQin,
                                                      jobject KQout)
{
    if (KQin == nullptr || KQout == nullptr) {
        SendToHost(env, obj, KQin == nullptr ? "Refused: KQin is null" : "Refused: KQout is null");
        return -1;
    }
    // A frame of our own keeps the call's local references within what the
    // JVM promised, however many runs the job has.
    if (env->PushLocalFrame(64) < 0) return -1;
    int result = -1;
    // No C++ exception may unwind into the JVM. The job's destructors give
    // back everything it held on the way out.
    try {
        Job job(env, obj);
        result = job.Run(KQin, KQout);
    } catch (const std::bad_alloc&) {
        if (!env->ExceptionCheck()) SendToHost(env, obj, "ZARNO ran out of memory; the job stops");
    } catch (...) {
        if (!env->ExceptionCheck()) SendToHost(env, obj, "ZARNO failed internally; the job stops");
    }
    env->PopLocalFrame(nullptr);
    return result;
}

#ifdef ZARNO_PROGRAM_BUILD
int main()
{
    return 0;
}
#endif
