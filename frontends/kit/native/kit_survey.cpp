// zarno.kit.Native.survey: the core's rank survey (core/survey.h) over the runs
// of a finished study, handed back to Java one pattern count at a time. Same
// rules as kit_jni.cpp: every JNI call checked, no C++ exception crosses.
#include <jni.h>

#include <new>
#include <string>
#include <vector>

#include "zarno/survey.h"
#include "zarno_kit_Native.h"

namespace {

// Local references of one pattern count, dropped together.
class Frame {
public:
    explicit Frame(JNIEnv* e) : env(e), ok(e->PushLocalFrame(64) == 0) {}
    ~Frame()
    {
        if (ok) env->PopLocalFrame(nullptr);
    }
    JNIEnv* env;
    bool ok;
};

jintArray Ints(JNIEnv* env, const std::vector<int>& v)
{
    jintArray a = env->NewIntArray(static_cast<jsize>(v.size()));
    if (a != nullptr && !v.empty()) env->SetIntArrayRegion(a, 0, static_cast<jsize>(v.size()), v.data());
    return env->ExceptionCheck() ? nullptr : a;
}

jdoubleArray Doubles(JNIEnv* env, const std::vector<double>& v)
{
    jdoubleArray a = env->NewDoubleArray(static_cast<jsize>(v.size()));
    if (a != nullptr && !v.empty()) env->SetDoubleArrayRegion(a, 0, static_cast<jsize>(v.size()), v.data());
    return env->ExceptionCheck() ? nullptr : a;
}

jbooleanArray Booleans(JNIEnv* env, const std::vector<bool>& v)
{
    std::vector<jboolean> b(v.begin(), v.end());
    jbooleanArray a = env->NewBooleanArray(static_cast<jsize>(b.size()));
    if (a != nullptr && !b.empty()) env->SetBooleanArrayRegion(a, 0, static_cast<jsize>(b.size()), b.data());
    return env->ExceptionCheck() ? nullptr : a;
}

jobjectArray Strings(JNIEnv* env, const std::vector<std::string>& v)
{
    jclass c = env->FindClass("java/lang/String");
    if (c == nullptr) return nullptr;
    jobjectArray a = env->NewObjectArray(static_cast<jsize>(v.size()), c, nullptr);
    env->DeleteLocalRef(c);
    for (jsize i = 0; a != nullptr && i < static_cast<jsize>(v.size()); i++) {
        jstring s = env->NewStringUTF(v[i].c_str());
        if (s == nullptr) return nullptr;
        env->SetObjectArrayElement(a, i, s);
        env->DeleteLocalRef(s);
    }
    return env->ExceptionCheck() ? nullptr : a;
}

// A figure that may be missing, as a value and a presence flag.
void Put(std::vector<double>* values, std::vector<bool>* present, const std::optional<double>& x)
{
    values->push_back(x ? *x : 0.0);
    present->push_back(x.has_value());
}

void Put(std::vector<double>* values, std::vector<bool>* present, const std::optional<zarno::Spread>& x)
{
    for (double v : {x ? x->best : 0.0, x ? x->median : 0.0, x ? x->worst : 0.0}) values->push_back(v);
    present->push_back(x.has_value());
}

// The runs as the survey sees them; false with a Java exception pending.
bool ReadRuns(JNIEnv* env, jboolean weighted, jintArray patterns, jintArray chains, jobjectArray amplitudes,
              jobjectArray patternRows, jdoubleArray chiSquare, jdoubleArray ssr,
              std::vector<zarno::SurveyRun>* runs)
{
    const jsize n = env->GetArrayLength(patterns);
    std::vector<jint> p(n), c(n);
    std::vector<jdouble> chi(n), s(n);
    env->GetIntArrayRegion(patterns, 0, n, p.data());
    env->GetIntArrayRegion(chains, 0, n, c.data());
    env->GetDoubleArrayRegion(chiSquare, 0, n, chi.data());
    env->GetDoubleArrayRegion(ssr, 0, n, s.data());
    if (env->ExceptionCheck()) return false;
    runs->resize(n);
    for (jsize i = 0; i < n; i++) {
        zarno::SurveyRun& r = (*runs)[i];
        r.patterns = p[i];
        r.chain = c[i];
        r.weighted = weighted == JNI_TRUE;
        r.chiSquare = chi[i];
        r.ssr = s[i];
        for (auto [from, to] : {std::make_pair(amplitudes, &r.amplitudes), std::make_pair(patternRows, &r.patternRows)}) {
            auto row = static_cast<jdoubleArray>(env->GetObjectArrayElement(from, i));
            if (row == nullptr) return false;  // never null: an exception is pending
            to->resize(env->GetArrayLength(row));
            env->GetDoubleArrayRegion(row, 0, static_cast<jsize>(to->size()), to->data());
            env->DeleteLocalRef(row);
            if (env->ExceptionCheck()) return false;
        }
    }
    return true;
}

// One pattern count's figures to the sink; false with a Java exception pending.
bool SendCount(JNIEnv* env, jobject sink, jmethodID onCount, const zarno::CountSurvey& c)
{
    Frame frame(env);
    if (!frame.ok) return false;
    std::vector<double> spreads, figures;
    std::vector<bool> spreadPresent, figurePresent;
    Put(&spreads, &spreadPresent, c.chiSquare);
    Put(&spreads, &spreadPresent, c.ssr);
    Put(&spreads, &spreadPresent, c.chiSquarePerDof);
    Put(&spreads, &spreadPresent, c.holdoutError);
    for (const std::optional<double>& x : {c.cophenetic, c.dispersion, c.pac, c.meanStability, c.minStability,
                                           c.meanMatch, c.minMatch})
        Put(&figures, &figurePresent, x);
    for (const std::optional<bool>& x : {c.fits, c.stable})
        Put(&figures, &figurePresent, x ? std::optional<double>(*x ? 1.0 : 0.0) : std::optional<double>());
    std::vector<int> groupSizes, genes;
    std::vector<double> z, amplitude;
    std::vector<bool> zPresent;
    for (const std::vector<zarno::TopGene>& group : c.topGenes) {
        groupSizes.push_back(static_cast<int>(group.size()));
        for (const zarno::TopGene& t : group) {
            genes.push_back(t.gene);
            Put(&z, &zPresent, t.zscore);
            amplitude.push_back(t.amplitude);
        }
    }
    // Built one after another: after a failure no further JNI call is made.
    std::vector<jobject> args;
    auto add = [&args](jobject o) {
        args.push_back(o);
        return o != nullptr;
    };
    const bool built =
        add(Ints(env, c.chains)) && add(Ints(env, c.failedChains)) && add(Ints(env, c.missingChains)) &&
        add(Strings(env, c.notes)) && add(env->NewStringUTF(c.Status().c_str())) && add(Doubles(env, spreads)) &&
        add(Booleans(env, spreadPresent)) && add(Doubles(env, figures)) && add(Booleans(env, figurePresent)) &&
        add(Doubles(env, c.consensus)) && add(Ints(env, c.sampleOrder)) && add(Booleans(env, c.outlier)) &&
        add(Doubles(env, c.chainMatch)) && add(Doubles(env, c.patternMean)) && add(Doubles(env, c.patternSd)) &&
        add(Doubles(env, c.amplitudeMean)) && add(Doubles(env, c.amplitudeSd)) && add(Ints(env, groupSizes)) &&
        add(Ints(env, genes)) && add(Doubles(env, z)) && add(Booleans(env, zPresent)) &&
        add(Doubles(env, amplitude));
    if (!built) return false;
    env->CallVoidMethod(sink, onCount, c.patterns, args[0], args[1], args[2], args[3], args[4], c.dof, args[5],
                        args[6], args[7], args[8], args[9], args[10], args[11], args[12], c.chainsUsed, args[13],
                        args[14], args[15], args[16], c.hasSd ? JNI_TRUE : JNI_FALSE, args[17], args[18], args[19],
                        args[20], args[21]);
    return !env->ExceptionCheck();
}

}  // namespace

extern "C" JNIEXPORT void JNICALL Java_zarno_kit_Native_survey(
    JNIEnv* env, jclass, jint genes, jint samples, jboolean weighted, jintArray patterns, jintArray chains,
    jobjectArray amplitudes, jobjectArray patternRows, jdoubleArray chiSquare, jdoubleArray ssr, jobject sink)
{
    try {
        zarno::SurveyData data;
        data.genes = genes;
        data.samples = samples;
        data.cells = static_cast<long long>(genes) * samples;
        std::vector<zarno::SurveyRun> runs;
        if (!ReadRuns(env, weighted, patterns, chains, amplitudes, patternRows, chiSquare, ssr, &runs)) return;
        const zarno::Survey survey = zarno::RunSurvey(data, runs);

        jclass c = env->GetObjectClass(sink);
        if (c == nullptr) return;
        jmethodID onCount = env->GetMethodID(
            c, "count", "(I[I[I[I[Ljava/lang/String;Ljava/lang/String;D[D[Z[D[Z[D[I[Z[DI[D[D[D[DZ[I[I[D[Z[D)V");
        jmethodID onEnd = onCount ? env->GetMethodID(c, "suggestion", "(ILjava/lang/String;)V") : nullptr;
        env->DeleteLocalRef(c);
        if (onEnd == nullptr) return;
        for (const zarno::CountSurvey& count : survey.counts)
            if (!SendCount(env, sink, onCount, count)) return;
        jstring note = env->NewStringUTF(survey.note.c_str());
        if (note == nullptr) return;
        env->CallVoidMethod(sink, onEnd, survey.suggested ? *survey.suggested : 0, note);
        env->DeleteLocalRef(note);
    } catch (const std::bad_alloc&) {
        if (!env->ExceptionCheck()) {
            jclass e = env->FindClass("java/lang/OutOfMemoryError");
            if (e != nullptr) env->ThrowNew(e, "ZARNO could not allocate the survey");
        }
    } catch (...) {
        if (!env->ExceptionCheck()) {
            jclass e = env->FindClass("zarno/kit/ZarnoException");
            if (e != nullptr) env->ThrowNew(e, "the survey failed internally");
        }
    }
}
