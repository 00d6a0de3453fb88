// The JNI half of the record and the engine: host lookups, the exports into
// KQout, the engine's JNI constructors and the host that speaks to the JVM.
// Compiled once per deliverable: ZARNO_PROGRAM_BUILD picks the result method
// and the record extension.
#include <cstdio>
#include <cstring>
#include <string>

#include "zarno/engine_view.h"
#include "jni_host.h"

namespace zarno::classic {

std::string ClassName(JNIEnv* env, jclass c)
{
    jclass classClass = env->GetObjectClass(c);  // java.lang.Class
    if (classClass == nullptr) return std::string();
    jmethodID getName = env->GetMethodID(classClass, "getName", "()Ljava/lang/String;");
    env->DeleteLocalRef(classClass);
    if (getName == nullptr) return std::string();
    jstring name = static_cast<jstring>(env->CallObjectMethod(c, getName));
    if (env->ExceptionCheck() || name == nullptr) return std::string();
    // Copied straight into the result: no borrowed characters are held while
    // the string allocates.
    std::string text(static_cast<size_t>(env->GetStringUTFLength(name)) + 1, '\0');
    env->GetStringUTFRegion(name, 0, env->GetStringLength(name), &text[0]);
    env->DeleteLocalRef(name);
    if (env->ExceptionCheck()) return std::string();
    text.pop_back();  // the room kept for a terminator
    return text;
}

jmethodID HostMethod(JNIEnv* env, jclass c, const char* name, const char* sig)
{
    jmethodID m = env->GetMethodID(c, name, sig);
    if (m != nullptr) return m;
    jthrowable original = env->ExceptionOccurred();
    if (original == nullptr) return nullptr;
    env->ExceptionClear();
    jclass error = env->FindClass("java/lang/NoSuchMethodError");
    if (error == nullptr) {  // its own error is pending instead
        env->DeleteLocalRef(original);
        return nullptr;
    }
    std::string owner;
    if (env->IsInstanceOf(original, error)) {
        owner = ClassName(env, c);
        if (env->ExceptionCheck()) env->ExceptionClear();
    }
    if (!owner.empty()) {
        const std::string text = owner + "." + name + sig +
                                 ": the host class lacks this method, which ZARNO calls";
        env->ThrowNew(error, text.c_str());
    } else {
        env->Throw(original);  // not a missing method (class loading, memory): as it came
    }
    env->DeleteLocalRef(error);
    env->DeleteLocalRef(original);
    return nullptr;
}

int SendToHost(JNIEnv* env, jobject obj, const char* text)
{
    jclass c = env->GetObjectClass(obj);
    if (c == nullptr) return 0;
    jmethodID m = HostMethod(env, c, "guiPrint", "(Ljava/lang/String;)V");
    env->DeleteLocalRef(c);
    if (m == nullptr) return 0;
    jstring s = env->NewStringUTF(text);
    if (s == nullptr) return 0;
    env->CallVoidMethod(obj, m, s);
    env->DeleteLocalRef(s);
    return env->ExceptionCheck() ? 0 : 1;
}

namespace {

bool SetInt(JNIEnv* e, jclass c, jobject o, const char* name, jint v)
{
    jfieldID f = e->GetFieldID(c, name, "I");
    if (f == nullptr) return false;
    e->SetIntField(o, f, v);
    return true;
}

bool SetDouble(JNIEnv* e, jclass c, jobject o, const char* name, jdouble v)
{
    jfieldID f = e->GetFieldID(c, name, "D");
    if (f == nullptr) return false;
    e->SetDoubleField(o, f, v);
    return true;
}

// Stores v (a local reference, which is released) into an object field.
bool SetObject(JNIEnv* e, jclass c, jobject o, const char* name, const char* sig, jobject v)
{
    if (v == nullptr) return false;  // the failed creation left its exception pending
    jfieldID f = e->GetFieldID(c, name, sig);
    if (f != nullptr) e->SetObjectField(o, f, v);
    e->DeleteLocalRef(v);
    return f != nullptr;
}

// Drops KQout's references to the matrices a run is about to replace, so that
// the JVM can collect the last run's copies instead of holding two runs' at once
// (and copying the old ones through every collection the new ones trigger).
bool DropMatrices(JNIEnv* e, jclass c, jobject o, const char* const* names, int n)
{
    for (int i = 0; i < n; i++) {
        jfieldID f = e->GetFieldID(c, names[i], "[[D");
        if (f == nullptr) return false;
        e->SetObjectField(o, f, nullptr);
    }
    return true;
}

// A new double[rows][cols]; row r copies src[r*cols ...], or stays zero when src
// is null. Each row's local reference is dropped once stored, so a large
// matrix never holds more than a few references.
jobjectArray NewMatrix(JNIEnv* e, const double* src, int rows, int cols)
{
    jdoubleArray tmpl = e->NewDoubleArray(cols);
    if (tmpl == nullptr) return nullptr;
    jclass rowClass = e->GetObjectClass(tmpl);
    jobjectArray outer = e->NewObjectArray(rows, rowClass, tmpl);
    e->DeleteLocalRef(rowClass);
    e->DeleteLocalRef(tmpl);
    if (outer == nullptr) return nullptr;
    for (int r = 0; r < rows; r++) {
        jdoubleArray row = e->NewDoubleArray(cols);
        if (row == nullptr) {
            e->DeleteLocalRef(outer);
            return nullptr;
        }
        if (src != nullptr && cols > 0)
            e->SetDoubleArrayRegion(row, 0, cols, src + static_cast<size_t>(r) * cols);
        if (!e->ExceptionCheck()) e->SetObjectArrayElement(outer, r, row);
        e->DeleteLocalRef(row);
        if (e->ExceptionCheck()) {
            e->DeleteLocalRef(outer);
            return nullptr;
        }
    }
    return outer;
}

}  // namespace

}  // namespace zarno::classic

using namespace zarno::classic;

int io::PrintMatrixes(double* A, double* P, int Npatterns, int /*chain*/, JNIEnv* env,
                      jobject /*obj*/, jobject KQout)
{
    std::string stamp = CTimeText(time(nullptr));
    stamp.resize(24);  // drop ctime's newline

    jclass c = env->GetObjectClass(KQout);
    if (c == nullptr) return 0;
    static const char* const replaced[] = {"distribution", "distSD", "pattern", "pattSD"};
    const double one = 1.0;
    jdoubleArray footprint = nullptr;
    bool ok = DropMatrices(env, c, KQout, replaced, 4) && SetInt(env, c, KQout, "Na", Ngenes) &&
              SetInt(env, c, KQout, "Nf", Nsamples) && SetInt(env, c, KQout, "Nsol", Npatterns) &&
              SetObject(env, c, KQout, "date", "Ljava/lang/String;",
                        env->NewStringUTF(stamp.c_str())) &&
              SetInt(env, c, KQout, "Nfoot", 1) &&
              (footprint = env->NewDoubleArray(1)) != nullptr;
    if (ok) {
        env->SetDoubleArrayRegion(footprint, 0, 1, &one);
        ok = !env->ExceptionCheck() && SetObject(env, c, KQout, "footprint", "[D", footprint) &&
             SetObject(env, c, KQout, "distribution", "[[D",
                       NewMatrix(env, A, Ngenes, Npatterns)) &&
             SetObject(env, c, KQout, "distSD", "[[D",
                       NewMatrix(env, nullptr, Ngenes, Npatterns)) &&
             SetObject(env, c, KQout, "pattern", "[[D", NewMatrix(env, P, Npatterns, Nsamples)) &&
             SetObject(env, c, KQout, "pattSD", "[[D",
                       NewMatrix(env, nullptr, Npatterns, Nsamples));
    }
    env->DeleteLocalRef(c);
    return ok ? 1 : 0;
}

int io::PrintOutput(double* Mock, int Npatterns, int chain, int UsedRound, long SeedA,
                    long SeedP, double rmsd, double ChiSquare, std::string /*StartTime*/,
                    std::string /*EndTime*/, double /*UsedMins*/, JNIEnv* env,
                    jobject /*obj*/, jobject KQout)
{
    int n = std::snprintf(FileName, NAMEL, "%srun%d_chain%d/%s_%d_%d" ZARNO_RECORD_EXTENSION,
                          FilePathFromNodes, Npatterns, chain, basename, Npatterns, chain);
    if (n < 0 || n >= NAMEL) {
        // Never hand out a truncated path: two runs could end up sharing it.
        FileName[0] = '\0';
        Message("Refused: the result-record path does not fit 199 characters; "
                "shorten \"dir\" or \"tag\"");
        return 0;
    }

    jclass c = env->GetObjectClass(KQout);
    if (c == nullptr) return 0;
    static const char* const replaced[] = {"data", "mock", "noise"};
    bool ok = DropMatrices(env, c, KQout, replaced, 3) &&
              SetObject(env, c, KQout, "tag", "Ljava/lang/String;", env->NewStringUTF(basename)) &&
              SetDouble(env, c, KQout, "chisq", ChiSquare) &&
              SetDouble(env, c, KQout, "AtomsA", rmsd) &&
              SetDouble(env, c, KQout, "AtomsF", 0.0) &&
              SetDouble(env, c, KQout, "Evidence", 0.0) &&
              SetInt(env, c, KQout, "ENSEMBLE", 1) &&
              SetInt(env, c, KQout, "Niter", SimulateIterations) &&
              SetInt(env, c, KQout, "Nshow", UsedRound) &&
              SetInt(env, c, KQout, "Iseed", static_cast<jint>(SeedA)) &&
              SetInt(env, c, KQout, "SeedP", static_cast<jint>(SeedP)) &&
              SetInt(env, c, KQout, "Nsol", Npatterns) && SetInt(env, c, KQout, "Na", Ngenes) &&
              SetInt(env, c, KQout, "Nf", Nsamples) &&
              SetDouble(env, c, KQout, "lineMeasure", 0.0) &&
              SetDouble(env, c, KQout, "ptwidth", 1.0) &&
              SetObject(env, c, KQout, "data", "[[D", NewMatrix(env, data, Ngenes, Nsamples)) &&
              SetObject(env, c, KQout, "mock", "[[D", NewMatrix(env, Mock, Ngenes, Nsamples)) &&
              SetObject(env, c, KQout, "noise", "[[D", NewMatrix(env, uncert, Ngenes, Nsamples));
    env->DeleteLocalRef(c);
    return ok ? 1 : 0;
}


// ---------------------------------------------------------------------------
// The classic exports of one run.

namespace zarno::classic {

int ExportRunStart(L& record, const RunView& start)
{
    return record.PrintMatrixes(const_cast<double*>(start.amplitudes),
                                const_cast<double*>(start.patternRows), start.patterns,
                                start.chain, record.env, record.obj, record.KQout);
}

namespace {

// Hands the finished run to the host's result method. meth names that method
// only for the duration of the call and names guiPrint again afterwards.
int CallResultMethod(L& record)
{
    JNIEnv* env = record.env;
    jstring path = env->NewStringUTF(record.FileName);
    if (path == nullptr) return 0;
    const jmethodID printer = record.meth;
    record.meth = HostMethod(env, record.cls, ZARNO_RESULT_METHOD, ZARNO_RESULT_SIGNATURE);
    if (record.meth != nullptr) env->CallVoidMethod(record.obj, record.meth, path, record.KQout);
    record.meth = printer;
    env->DeleteLocalRef(path);
    return env->ExceptionCheck() ? 0 : 1;
}

}  // namespace

int ExportRunFinished(L& record, const RunView& run)
{
    if (!record.PrintMatrixes(const_cast<double*>(run.amplitudes),
                              const_cast<double*>(run.patternRows), run.patterns, run.chain,
                              record.env, record.obj, record.KQout))
        return 0;
    if (!record.PrintOutput(const_cast<double*>(run.mock), run.patterns, run.chain, run.rounds,
                            run.seedA, run.seedP, run.ssr, run.chiSquare, run.startTime,
                            run.endTime, run.cpuMinutes, record.env, record.obj, record.KQout))
        return 0;
    return CallResultMethod(record);
}

}  // namespace zarno::classic

namespace {

// An engine made with a JNI environment: messages to guiPrint through the
// record's meth, and each run's start and result into KQout, one local frame
// per run so the JVM can free a run's exports once the host lets go of them.
// It keeps no state: everything is in the record.
class JvmHost : public EngineHost {
public:
    int Message(io& record, const char* text) override
    {
        JNIEnv* env = record.env;
        if (env == nullptr) {
            std::printf("%s\n", text);
            return 1;
        }
        if (record.meth == nullptr) return 0;  // no guiPrint: its NoSuchMethodError went to the host
        jstring s = env->NewStringUTF(text);
        if (s == nullptr) return 0;
        env->CallVoidMethod(record.obj, record.meth, s);
        env->DeleteLocalRef(s);
        return env->ExceptionCheck() ? 0 : 1;
    }
    int RunBegin(L& run) override { return run.env->PushLocalFrame(32) < 0 ? 0 : 1; }
    void RunEnd(L& run) override { run.env->PopLocalFrame(nullptr); }
    int RunStarted(L& run) override { return ExportRunStart(run, zarno::ViewOfEngine(run)); }
    int RunFinished(L& run) override { return ExportRunFinished(run, zarno::ViewOfEngine(run)); }
};

JvmHost jvmHost;

// Records filled by hand (env, obj and meth set, no host attached) speak
// through the same host's Message; registered once, when this layer loads.
struct MessengerRegistration {
    MessengerRegistration() { RegisterRecordMessenger(&jvmHost); }
} messengerRegistration;

}  // namespace

L::L(int npatterns, JNIEnv* e, jobject o, jobject b) : L(e, o, b)
{
    Npatterns = npatterns;
}

L::L(JNIEnv* e, jobject o, jobject b)
{
    env = e;
    obj = o;
    KQout = b;
    if (env != nullptr) {
        Attach(&jvmHost);
        // A failed lookup leaves its exception pending for the caller to see.
        cls = env->GetObjectClass(obj);
        if (cls != nullptr) meth = HostMethod(env, cls, "guiPrint", "(Ljava/lang/String;)V");
    }
}
