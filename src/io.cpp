#include "io.h"

#include <cstring>

std::string CTimeText(time_t t)
{
    char buf[64];
    if (ctime_r(&t, buf) == nullptr) return std::string("??? ??? ?? ??:??:?? ????\n");
    return std::string(buf);
}

int SendToHost(JNIEnv* env, jobject obj, const char* text)
{
    jclass c = env->GetObjectClass(obj);
    if (c == nullptr) return 0;
    jmethodID m = env->GetMethodID(c, "guiPrint", "(Ljava/lang/String;)V");
    env->DeleteLocalRef(c);
    if (m == nullptr) return 0;
    jstring s = env->NewStringUTF(text);
    if (s == nullptr) return 0;
    env->CallVoidMethod(obj, m, s);
    env->DeleteLocalRef(s);
    return env->ExceptionCheck() ? 0 : 1;
}

io::io(char* path)
{
    std::snprintf(FilePathFromNodes, NAMEL, "%s", path);
}

int io::Message(const char* text)
{
    if (env == nullptr) {
        std::printf("%s\n", text);
        return 1;
    }
    jstring s = env->NewStringUTF(text);
    if (s == nullptr) return 0;
    env->CallVoidMethod(obj, meth, s);
    env->DeleteLocalRef(s);
    return env->ExceptionCheck() ? 0 : 1;
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
        e->SetObjectArrayElement(outer, r, row);
        e->DeleteLocalRef(row);
        if (e->ExceptionCheck()) {
            e->DeleteLocalRef(outer);
            return nullptr;
        }
    }
    return outer;
}

}  // namespace

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
        ok = SetObject(env, c, KQout, "footprint", "[D", footprint) &&
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
