// zarno.kit.Native.survey: the core's rank survey (zarno/survey.h) over the
// runs of a finished study, handed back as the kit's own objects built through
// their constructors (ObjectBuilder): Survey, CountSurvey, Spread, TopGene, and
// with sample annotations their Agreement (kit_annotations.cpp); and
// zarno.kit.Native.topGenes, one pattern's genes ranked by that survey.
#include <jni.h>

#include <optional>
#include <string>
#include <vector>

#include "jni_support.h"
#include "kit_annotations.h"
#include "zarno/agreement.h"
#include "zarno/survey.h"
#include "zarno_kit_Native.h"

namespace zarno::kit {

namespace {

// CountSurvey's constructor (CountSurvey.java), parameter by parameter, in the
// order of the core's CountSurvey.
constexpr char kCountSurveyInit[] =
    "(I"                                   // patterns
    "[I[I[I"                               // chains, failedChains, outlierChains
    "[Ljava/lang/String;Ljava/lang/String;"  // notes, status
    "Lzarno/kit/Spread;Lzarno/kit/Spread;"   // chiSquare, residualSum
    "D"                                    // dof
    "Lzarno/kit/Spread;"                   // chiSquarePerDof
    "[D[I"                                 // consensus, sampleOrder
    "Ljava/lang/Double;Ljava/lang/Double;Ljava/lang/Double;"  // cophenetic, dispersion, pac
    "Ljava/lang/Double;Ljava/lang/Double;"  // meanStability, minStability
    "Ljava/lang/Double;Ljava/lang/Double;"  // meanMatch, minMatch
    "I"                                    // chainsUsed
    "[D[D[D[D"                             // patternMean, patternSd, amplitudeMean, amplitudeSd
    "[[Lzarno/kit/TopGene;"                // topGenes, one array per group
    "Ljava/lang/Boolean;Ljava/lang/Boolean;"  // fits, stable
    ")V";
constexpr char kSurveyInit[] = "([Lzarno/kit/CountSurvey;ILjava/lang/String;Lzarno/kit/Agreement;)V";
constexpr char kSpreadInit[] = "(DDD)V";
constexpr char kTopGeneInit[] = "(ILjava/lang/String;DDD)V";

// Local references a count's frame may hold at once: the constructor's
// arguments and the count (25), and the few a loop over top genes or notes
// holds beside them.
constexpr jint kCountLocals = 32;
// The survey's own: the classes (7), the counts' array, the note, the
// agreement, the survey.
constexpr jint kSurveyLocals = 16;

// Builds the Java objects of a survey: a count's arguments are built in one
// declaration and checked once, before the constructor is called.
class SurveyBuilder : public ObjectBuilder {
public:
    SurveyBuilder(JNIEnv* env, jobjectArray geneNames) : ObjectBuilder(env), geneNames_(geneNames) {}

    // The classes and constructors, looked up once per call; false with an
    // exception pending.
    bool Find()
    {
        return FindClass("zarno/kit/Survey", &survey_) && FindClass("zarno/kit/CountSurvey", &count_) &&
               FindClass("zarno/kit/Spread", &spread_) && FindClass("zarno/kit/TopGene", &topGene_) &&
               FindClass("[Lzarno/kit/TopGene;", &topGroup_) && FindBoxes() &&
               FindMethod(survey_, "<init>", kSurveyInit, &newSurvey_) &&
               FindMethod(count_, "<init>", kCountSurveyInit, &newCount_) &&
               FindMethod(spread_, "<init>", kSpreadInit, &newSpread_) &&
               FindMethod(topGene_, "<init>", kTopGeneInit, &newTopGene_);
    }

    // `agreement`: the survey's Agreement, or null.
    jobject Survey(const zarno::Survey& s, jobject agreement)
    {
        jobjectArray counts = NewArray(count_, s.counts.size());
        for (std::size_t i = 0; counts != nullptr && i < s.counts.size(); i++)
            if (!AddCount(counts, static_cast<jsize>(i), s.counts[i])) return nullptr;
        jstring note = NewString(env_, s.note);
        if (env_->ExceptionCheck()) return nullptr;
        return env_->NewObject(survey_, newSurvey_, counts, s.suggested ? *s.suggested : 0, note, agreement);
    }

private:
    // Stores the count's object at counts[i], in a frame of its own.
    bool AddCount(jobjectArray counts, jsize i, const zarno::CountSurvey& c)
    {
        LocalFrame frame(env_, kCountLocals);
        if (!frame.open()) return false;
        std::vector<int> outliers;
        for (std::size_t k = 0; k < c.chains.size() && k < c.outlier.size(); k++)
            if (c.outlier[k]) outliers.push_back(c.chains[k]);
        const std::vector<double> none;
        jobject chains = NewInts(env_, c.chains), failedChains = NewInts(env_, c.failedChains),
                outlierChains = NewInts(env_, outliers),
                notes = NewStrings(env_, c.notes), status = NewString(env_, c.Status()),
                chiSquare = Spread(c.chiSquare), ssr = Spread(c.ssr), perDof = Spread(c.chiSquarePerDof),
                consensus = NewDoubles(env_, c.consensus), order = NewInts(env_, c.sampleOrder),
                cophenetic = Double(c.cophenetic), dispersion = Double(c.dispersion), pac = Double(c.pac),
                meanStability = Double(c.meanStability), minStability = Double(c.minStability),
                meanMatch = Double(c.meanMatch), minMatch = Double(c.minMatch),
                patternMean = NewDoubles(env_, c.patternMean),
                patternSd = NewDoubles(env_, c.hasSd ? c.patternSd : none),
                amplitudeMean = NewDoubles(env_, c.amplitudeMean),
                amplitudeSd = NewDoubles(env_, c.hasSd ? c.amplitudeSd : none), topGenes = TopGenes(c.topGenes),
                fits = Boolean(c.fits), stable = Boolean(c.stable);
        if (env_->ExceptionCheck()) return false;
        jobject count = env_->NewObject(count_, newCount_, c.patterns, chains, failedChains, outlierChains, notes, status,
                                        chiSquare, ssr, c.dof, perDof, consensus, order, cophenetic, dispersion,
                                        pac, meanStability, minStability, meanMatch, minMatch, c.chainsUsed,
                                        patternMean, patternSd, amplitudeMean, amplitudeSd, topGenes, fits, stable);
        if (count == nullptr) return false;
        env_->SetObjectArrayElement(counts, i, count);  // in bounds and of the element type
        return true;
    }

    jobject Spread(const std::optional<zarno::Spread>& s)
    {
        if (env_->ExceptionCheck() || !s) return nullptr;
        return env_->NewObject(spread_, newSpread_, s->best, s->median, s->worst);
    }

    // TopGene[][]: one array per consensus pattern.
    jobjectArray TopGenes(const std::vector<std::vector<zarno::TopGene>>& groups)
    {
        jobjectArray all = NewArray(topGroup_, groups.size());
        for (std::size_t g = 0; all != nullptr && g < groups.size(); g++) {
            jobjectArray group = TopGroup(groups[g]);
            if (group == nullptr) return nullptr;
            env_->SetObjectArrayElement(all, static_cast<jsize>(g), group);
            env_->DeleteLocalRef(group);
        }
        return all;
    }

public:
    // TopGene[] of one pattern, each gene named by its entry of geneNames, the
    // very string the caller gave.
    jobjectArray TopGroup(const std::vector<zarno::TopGene>& top)
    {
        jobjectArray group = NewArray(topGene_, top.size());
        for (std::size_t k = 0; group != nullptr && k < top.size(); k++) {
            const zarno::TopGene& t = top[k];
            jobject name = env_->GetObjectArrayElement(geneNames_, t.gene);  // checked against genes
            jobject gene = env_->ExceptionCheck()
                               ? nullptr
                               : env_->NewObject(topGene_, newTopGene_, t.gene, name, t.score,
                                                 t.share, t.amplitude);
            if (gene != nullptr) env_->SetObjectArrayElement(group, static_cast<jsize>(k), gene);
            for (jobject x : {name, gene})
                if (x != nullptr) env_->DeleteLocalRef(x);
            if (gene == nullptr) group = nullptr;  // the frame drops it
        }
        return group;
    }

private:
    jobjectArray geneNames_;
    jclass survey_ = nullptr, count_ = nullptr, spread_ = nullptr, topGene_ = nullptr, topGroup_ = nullptr;
    jmethodID newSurvey_ = nullptr, newCount_ = nullptr, newSpread_ = nullptr, newTopGene_ = nullptr;
};

// The runs as the survey sees them; false with a Java exception pending.
// Every array must match the runs, the genes and the samples. failures[i]
// non-null: run i failed, and the survey leaves it out.
bool ReadRuns(JNIEnv* env, const zarno::SurveyData& data, bool weighted, jintArray patterns, jintArray chains,
              jobjectArray amplitudes, jobjectArray patternRows, jdoubleArray chiSquare, jdoubleArray ssr,
              jobjectArray failures, std::vector<zarno::SurveyRun>* runs)
{
    if (patterns == nullptr || amplitudes == nullptr || patternRows == nullptr || failures == nullptr) {
        Throw(env, "java/lang/IllegalArgumentException", "the runs are null");
        return false;
    }
    const jsize n = env->GetArrayLength(patterns);
    std::vector<jint> p, c;
    std::vector<double> chi, s;
    if (!ReadInts(env, patterns, n, "patterns", &p) || !ReadInts(env, chains, n, "chains", &c) ||
        !ReadDoubles(env, chiSquare, n, "chiSquare", &chi) || !ReadDoubles(env, ssr, n, "ssr", &s))
        return false;
    if (env->GetArrayLength(amplitudes) != n || env->GetArrayLength(patternRows) != n ||
        env->GetArrayLength(failures) != n) {
        Throw(env, "java/lang/IllegalArgumentException",
              "amplitudes, patternRows and failures must hold one entry per run");
        return false;
    }
    runs->resize(static_cast<std::size_t>(n));
    for (jsize i = 0; i < n; i++) {
        zarno::SurveyRun& r = (*runs)[static_cast<std::size_t>(i)];
        if (p[i] < 1 || p[i] > data.genes || p[i] > data.samples) {
            Throw(env, "java/lang/IllegalArgumentException",
                  "run " + std::to_string(i) + " has " + std::to_string(p[i]) + " patterns");
            return false;
        }
        r.patterns = p[i];
        r.chain = c[i];
        r.weighted = weighted;
        r.chiSquare = chi[i];
        r.ssr = s[i];
        auto failure = static_cast<jstring>(env->GetObjectArrayElement(failures, i));  // i < n
        if (env->ExceptionCheck()) return false;
        if (failure != nullptr) {
            r.status = zarno::SurveyRun::kFailed;
            const bool read = ReadString(env, failure, &r.problem);
            env->DeleteLocalRef(failure);
            if (!read) return false;
            continue;  // its numbers are not finite: the survey reads none of them
        }
        // Within genes x samples, which fits 32 bits.
        if (!ReadRow(env, amplitudes, i, data.genes * p[i], "a run's amplitudes", &r.amplitudes) ||
            !ReadRow(env, patternRows, i, data.samples * p[i], "a run's patterns", &r.patternRows))
            return false;
    }
    return true;
}

// The data as the survey sees them; false with IllegalArgumentException
// pending unless genes x samples fits 32 bits and there is a name per gene.
bool DataOf(JNIEnv* env, jint genes, jint samples, jobjectArray geneNames, zarno::SurveyData* data)
{
    if (genes < 1 || samples < 1 || static_cast<long long>(genes) * samples > 0x7fffffff ||
        geneNames == nullptr || env->GetArrayLength(geneNames) != genes) {
        Throw(env, "java/lang/IllegalArgumentException",
              "the survey needs genes and samples whose product fits 32 bits, and one name per gene");
        return false;
    }
    data->genes = genes;
    data->samples = samples;
    data->cells = static_cast<long long>(genes) * samples;
    return true;
}

// The Java objects `make` builds with a SurveyBuilder, in a frame of their own.
template <typename Make>
jobject Built(JNIEnv* env, jobjectArray geneNames, Make make)
{
    LocalFrame frame(env, kSurveyLocals);
    if (!frame.open()) return nullptr;
    SurveyBuilder builder(env, geneNames);
    jobject result = builder.Find() ? make(builder) : nullptr;
    return result != nullptr ? frame.Keep(result) : nullptr;
}

// The survey of a study's runs over its observed cells and, with annotations
// (Annotations.parts(), or null), their agreement with it; the annotations
// are matched to the samples before the survey runs.
jobject SurveyOf(JNIEnv* env, jint genes, jint samples, jboolean weighted, jlong missingCells, jintArray patterns,
                 jintArray chains, jobjectArray amplitudes, jobjectArray patternRows, jdoubleArray chiSquare,
                 jdoubleArray ssr, jobjectArray failures, jobjectArray geneNames, jobjectArray sampleLabels,
                 jobjectArray annotations)
{
    zarno::SurveyData data;
    std::vector<zarno::SurveyRun> runs;
    if (!DataOf(env, genes, samples, geneNames, &data) ||
        !ReadRuns(env, data, weighted == JNI_TRUE, patterns, chains, amplitudes, patternRows, chiSquare, ssr,
                  failures, &runs))
        return nullptr;
    if (missingCells < 0 || missingCells >= data.cells) {
        Throw(env, "java/lang/IllegalArgumentException", "missing cells must be fewer than the cells");
        return nullptr;
    }
    data.cells -= missingCells;  // the degrees of freedom count observed cells only
    std::optional<zarno::Annotations> notes;
    if (annotations != nullptr) {
        if (!ReadStrings(env, sampleLabels, samples, "the sample labels", &data.sampleLabels)) return nullptr;
        notes.emplace();
        if (!MatchedAnnotations(env, annotations, data.sampleLabels, &*notes)) return nullptr;
    }
    const zarno::Survey survey = zarno::RunSurvey(data, runs);
    LocalFrame frame(env, 4);
    if (!frame.open()) return nullptr;
    jobject agreement = nullptr;
    if (notes) {
        // After the survey and from its results: the suggestion is made without them.
        agreement = AgreementObject(env, *notes, zarno::AgreementOf(*notes, survey));
        if (agreement == nullptr) return nullptr;
    }
    jobject result = Built(env, geneNames, [&](SurveyBuilder& b) { return b.Survey(survey, agreement); });
    return result != nullptr ? frame.Keep(result) : nullptr;
}

// The top genes of one pattern of a run (or of a consensus) ranked as the
// survey ranks a consensus's: the survey of these matrices alone, as a
// one-chain study, whose group g holds the run's pattern assignment[0][g].
jobjectArray TopGenesOf(JNIEnv* env, jint genes, jint samples, jdoubleArray amplitudes, jdoubleArray patternRows,
                        jint patterns, jint pattern, jint n, jobjectArray geneNames)
{
    zarno::SurveyData data;
    if (!DataOf(env, genes, samples, geneNames, &data)) return nullptr;
    if (patterns < 1 || patterns > genes || patterns > samples || pattern < 0 || pattern >= patterns || n < 0) {
        Throw(env, "java/lang/IllegalArgumentException", "top genes need a pattern of the run and a count of 0 or more");
        return nullptr;
    }
    std::vector<zarno::SurveyRun> runs(1);
    runs[0].patterns = patterns;
    runs[0].chain = 1;
    if (!ReadDoubles(env, amplitudes, genes * patterns, "amplitudes", &runs[0].amplitudes) ||
        !ReadDoubles(env, patternRows, patterns * samples, "patterns", &runs[0].patternRows))
        return nullptr;
    zarno::SurveyOptions options;
    options.topGenes = n;
    const zarno::Survey survey = zarno::RunSurvey(data, runs, options);
    const zarno::CountSurvey& c = survey.counts.at(0);
    std::size_t group = 0;
    while (group + 1 < c.topGenes.size() && c.assignment.at(0).at(group) != pattern) group++;

    return static_cast<jobjectArray>(
        Built(env, geneNames, [&](SurveyBuilder& b) { return b.TopGroup(c.topGenes.at(group)); }));
}

}  // namespace

}  // namespace zarno::kit

extern "C" JNIEXPORT jobjectArray JNICALL Java_zarno_kit_Native_topGenes(
    JNIEnv* env, jclass, jint genes, jint samples, jdoubleArray amplitudes, jdoubleArray patternRows, jint patterns,
    jint pattern, jint n, jobjectArray geneNames)
{
    return zarno::kit::Guarded(env, jobjectArray{nullptr}, [&] {
        return zarno::kit::TopGenesOf(env, genes, samples, amplitudes, patternRows, patterns, pattern, n, geneNames);
    });
}

extern "C" JNIEXPORT jobject JNICALL Java_zarno_kit_Native_survey(
    JNIEnv* env, jclass, jint genes, jint samples, jboolean weighted, jlong missingCells, jintArray patterns,
    jintArray chains, jobjectArray amplitudes, jobjectArray patternRows, jdoubleArray chiSquare, jdoubleArray ssr,
    jobjectArray failures, jobjectArray geneNames, jobjectArray sampleLabels, jobjectArray annotations)
{
    return zarno::kit::Guarded(env, jobject{nullptr}, [&] {
        return zarno::kit::SurveyOf(env, genes, samples, weighted, missingCells, patterns, chains, amplitudes,
                                    patternRows, chiSquare, ssr, failures, geneNames, sampleLabels, annotations);
    });
}
