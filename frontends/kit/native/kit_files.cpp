// The kit's files (class zarno.kit.Native): data read by the command's readers
// (zarno/study_input.h) and a study's runs written by the command's run
// directory writer (zarno/run_dir.h). Nothing here parses or formats a file
// itself. The rules of jni_support.h hold throughout.
#include <jni.h>

#include <optional>
#include <string>
#include <vector>

#include "jni_support.h"
#include "kit_annotations.h"
#include "zarno/run_dir.h"
#include "zarno/run_layout.h"
#include "zarno/study_input.h"
#include "zarno/table_reader.h"
#include "zarno_kit_Native.h"

namespace zarno::kit {

namespace {

// Data and uncertainties as `zarno run DATA [--uncert SIGMAS]` reads them: a
// control file names its data and, when its flag says so and no sigmas are
// given, its uncertainties. With allowMissing, NA, NaN and empty fields are
// missing cells, as `zarno run` reads them.
jobjectArray Read(JNIEnv* env, jstring values, jstring sigmas, bool allowMissing)
{
    std::string dataPath, uncertPath;
    if (!ReadString(env, values, &dataPath) || (sigmas != nullptr && !ReadString(env, sigmas, &uncertPath)))
        return nullptr;
    std::optional<ControlFile> control;
    if (IsControlFile(dataPath)) {
        control = ReadControlFile(dataPath);
        dataPath = control->dataPath;
        if (sigmas == nullptr && control->uncertFlag != 0) uncertPath = control->uncertPath;
    }
    StudyInput in;
    ReadStudyInput(dataPath, uncertPath, control ? &*control : nullptr, &in, allowMissing);

    LocalFrame frame(env, 16);
    if (!frame.open()) return nullptr;
    jclass object = env->FindClass("java/lang/Object");
    jobjectArray out = object ? env->NewObjectArray(7, object, nullptr) : nullptr;
    jlongArray missing = env->ExceptionCheck() ? nullptr : env->NewLongArray(1);
    if (missing != nullptr) {
        const jlong count = in.cells.missing;
        env->SetLongArrayRegion(missing, 0, 1, &count);
    }
    const jobject parts[] = {NewDoubles(env, in.data.values),
                             in.weighted ? NewDoubles(env, in.unc.values) : nullptr,
                             NewStrings(env, in.data.geneNames),
                             NewStrings(env, in.data.sampleLabels),
                             NewString(env, in.data.sha256),
                             in.weighted ? NewString(env, in.unc.sha256) : nullptr,
                             missing};
    if (out == nullptr || missing == nullptr || env->ExceptionCheck()) return nullptr;
    for (jsize i = 0; i < 7; i++) env->SetObjectArrayElement(out, i, parts[i]);
    return static_cast<jobjectArray>(frame.Keep(out));
}

// What the runs of a study were computed from and how, for job.json: the
// files' checksums when given, else those of the data written as a table of
// the run directory's format.
struct Source {
    std::vector<double> values, sigmas;
    std::vector<std::string> geneNames, sampleLabels;
};

JobIdentity Identity(JNIEnv* env, const Source& s, bool weighted, jstring dataSha, jstring uncertSha,
                     jint rounds, jboolean trace, jdouble tolerance, jstring arithmetic, jlong missingCells,
                     bool* ok)
{
    JobIdentity id;
    id.genes = static_cast<int>(s.geneNames.size());
    id.samples = static_cast<int>(s.sampleLabels.size());
    id.weighted = weighted;
    id.rounds = rounds;
    id.trace = trace == JNI_TRUE;
    id.tolerance = tolerance;
    id.missingCells = missingCells;
    *ok = (dataSha == nullptr || ReadString(env, dataSha, &id.dataSha256)) &&
          (uncertSha == nullptr || ReadString(env, uncertSha, &id.uncertSha256)) &&
          ReadString(env, arithmetic, &id.arithmetic);
    Arithmetic known;
    if (*ok && !ParseArithmetic(id.arithmetic, &known)) {
        Throw(env, "java/lang/IllegalArgumentException", "arithmetic " + id.arithmetic + ": expected gram or classic");
        *ok = false;
    }
    if (dataSha == nullptr)
        id.dataSha256 = Sha256Hex(MatrixTsv("gene", s.geneNames, s.sampleLabels, s.values.data()));
    if (!weighted) {
        id.uncertSha256.clear();
    } else if (uncertSha == nullptr) {
        id.uncertSha256 = Sha256Hex(MatrixTsv("gene", s.geneNames, s.sampleLabels, s.sigmas.data()));
    }
    return id;
}

struct Runs {
    std::vector<jint> patterns, chains, seedA, seedP, rounds;
    std::vector<double> chiSquare, ssr, seconds;
    std::vector<std::string> failures;  // "" where the run is complete
};

// A String[] of exactly n entries, null entries read as ""; false with an
// exception pending.
bool ReadStringsOrNull(JNIEnv* env, jobjectArray from, jsize n, std::vector<std::string>* to)
{
    if (env->GetArrayLength(from) != n) {
        Throw(env, "java/lang/IllegalArgumentException", "failures must hold one entry per run");
        return false;
    }
    to->assign(static_cast<std::size_t>(n), std::string());
    for (jsize i = 0; i < n; i++) {
        auto s = static_cast<jstring>(env->GetObjectArrayElement(from, i));  // i < n
        if (env->ExceptionCheck()) return false;
        if (s == nullptr) continue;
        const bool read = ReadString(env, s, &(*to)[static_cast<std::size_t>(i)]);
        env->DeleteLocalRef(s);
        if (!read) return false;
    }
    return true;
}

// Run i of the saved study into `out`: its matrices and trace, or, for a
// failed run, its failure alone; false with an exception pending.
bool WriteOneRun(JNIEnv* env, RunDir& out, const Runs& r, jsize i, const Source& src, bool weighted,
                 jobjectArray amplitudes, jobjectArray patternRows, jobjectArray traces)
{
    const jsize G = static_cast<jsize>(src.geneNames.size()), S = static_cast<jsize>(src.sampleLabels.size());
    std::vector<double> a, p, t;
    if (r.patterns[i] < 1 || r.patterns[i] > G || r.patterns[i] > S) {
        Throw(env, "java/lang/IllegalArgumentException",
              "run " + std::to_string(i) + " has " + std::to_string(r.patterns[i]) + " patterns");
        return false;
    }
    const std::string& failure = r.failures[static_cast<std::size_t>(i)];
    auto trace = static_cast<jdoubleArray>(env->GetObjectArrayElement(traces, i));
    const bool read = !env->ExceptionCheck() && trace != nullptr &&
                      ReadDoubles(env, trace, env->GetArrayLength(trace), "a trace", &t) &&
                      (!failure.empty() ||
                       (ReadRow(env, amplitudes, i, G * r.patterns[i], "a run's amplitudes", &a) &&
                        ReadRow(env, patternRows, i, r.patterns[i] * S, "a run's patterns", &p)));
    if (trace != nullptr) env->DeleteLocalRef(trace);
    if (!read) {
        if (!env->ExceptionCheck()) Throw(env, "java/lang/IllegalArgumentException", "a trace is null");
        return false;
    }
    RunView v;
    v.patterns = r.patterns[i];
    v.chain = r.chains[i];
    v.genes = G;
    v.samples = S;
    v.weighted = weighted;
    v.amplitudes = failure.empty() ? a.data() : nullptr;
    v.patternRows = failure.empty() ? p.data() : nullptr;
    v.chiSquare = r.chiSquare[i];
    v.ssr = r.ssr[i];
    v.seedA = r.seedA[i];
    v.seedP = r.seedP[i];
    v.rounds = v.roundsPlanned = r.rounds[i];
    v.seconds = r.seconds[i];
    v.trace = &t;
    if (failure.empty()) {
        out.WriteRun(v, src.geneNames, src.sampleLabels);
    } else {
        out.WriteFailedRun(v, failure);  // without matrices; --resume tries it again
    }
    return true;
}

void Save(JNIEnv* env, jstring dir, jdoubleArray values, jdoubleArray sigmas, jobjectArray geneNames,
          jobjectArray sampleLabels, jstring dataSha, jstring uncertSha, jint rounds, jboolean trace,
          jdouble tolerance, jstring arithmetic, jlong missingCells, jintArray patterns, jintArray chains,
          jobjectArray amplitudes, jobjectArray patternRows, jdoubleArray chiSquare, jdoubleArray ssr,
          jintArray seedA, jintArray seedP, jintArray runRounds, jdoubleArray seconds, jobjectArray traces,
          jobjectArray failures, jobjectArray annotations)
{
    std::string path;
    if (!ReadString(env, dir, &path)) return;
    if (geneNames == nullptr || sampleLabels == nullptr || patterns == nullptr || amplitudes == nullptr ||
        patternRows == nullptr || traces == nullptr || failures == nullptr) {
        Throw(env, "java/lang/IllegalArgumentException", "no names, labels or runs");
        return;
    }
    const jsize G = env->GetArrayLength(geneNames), S = env->GetArrayLength(sampleLabels);
    const jsize n = env->GetArrayLength(patterns);
    Source src;
    Runs r;
    if (G < 1 || S < 1 || static_cast<long long>(G) * S > 0x7fffffff ||
        !ReadStrings(env, geneNames, G, "the gene names", &src.geneNames) ||
        !ReadStrings(env, sampleLabels, S, "the sample labels", &src.sampleLabels) ||
        !ReadDoubles(env, values, G * S, "the values", &src.values) ||
        (sigmas != nullptr && !ReadDoubles(env, sigmas, G * S, "the uncertainties", &src.sigmas)) ||
        !ReadInts(env, patterns, n, "patterns", &r.patterns) || !ReadInts(env, chains, n, "chains", &r.chains) ||
        !ReadInts(env, seedA, n, "seedA", &r.seedA) || !ReadInts(env, seedP, n, "seedP", &r.seedP) ||
        !ReadInts(env, runRounds, n, "rounds", &r.rounds) ||
        !ReadDoubles(env, chiSquare, n, "chiSquare", &r.chiSquare) || !ReadDoubles(env, ssr, n, "ssr", &r.ssr) ||
        !ReadDoubles(env, seconds, n, "seconds", &r.seconds) ||
        !ReadStringsOrNull(env, failures, n, &r.failures)) {
        if (!env->ExceptionCheck())
            Throw(env, "java/lang/IllegalArgumentException", "genes x samples must fit 32 bits");
        return;
    }
    bool ok = false;
    const JobIdentity id = Identity(env, src, sigmas != nullptr, dataSha, uncertSha, rounds, trace, tolerance,
                                    arithmetic, missingCells, &ok);
    if (!ok) return;
    // The annotations are matched to the samples before anything is written.
    std::optional<Annotations> notes;
    if (annotations != nullptr) {
        notes.emplace();
        if (!MatchedAnnotations(env, annotations, src.sampleLabels, &*notes)) return;
    }

    RunDir::Check(path, id, false);
    RunDir out(path, id, kVersion);
    if (notes) StoreAnnotations(path, *notes);
    for (jsize i = 0; i < n; i++)
        if (!WriteOneRun(env, out, r, i, src, id.weighted, amplitudes, patternRows, traces)) return;
    out.WriteSummary();
}

}  // namespace

}  // namespace zarno::kit

extern "C" {

JNIEXPORT jobjectArray JNICALL Java_zarno_kit_Native_read(JNIEnv* env, jclass, jstring values, jstring sigmas,
                                                           jboolean allowMissing)
{
    return zarno::kit::Guarded(env, jobjectArray{nullptr},
                               [&] { return zarno::kit::Read(env, values, sigmas, allowMissing == JNI_TRUE); });
}

JNIEXPORT void JNICALL Java_zarno_kit_Native_save(
    JNIEnv* env, jclass, jstring dir, jdoubleArray values, jdoubleArray sigmas, jobjectArray geneNames,
    jobjectArray sampleLabels, jstring dataSha, jstring uncertSha, jint rounds, jboolean trace, jdouble tolerance,
    jstring arithmetic, jlong missingCells, jintArray patterns, jintArray chains, jobjectArray amplitudes,
    jobjectArray patternRows, jdoubleArray chiSquare, jdoubleArray ssr, jintArray seedA, jintArray seedP,
    jintArray runRounds, jdoubleArray seconds, jobjectArray traces, jobjectArray failures, jobjectArray annotations)
{
    zarno::kit::Guarded(env, 0, [&] {
        zarno::kit::Save(env, dir, values, sigmas, geneNames, sampleLabels, dataSha, uncertSha, rounds, trace,
                         tolerance, arithmetic, missingCells, patterns, chains, amplitudes, patternRows, chiSquare,
                         ssr, seedA, seedP, runRounds, seconds, traces, failures, annotations);
        return 0;
    });
}

}  // extern "C"
