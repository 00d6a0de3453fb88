// zarno.kit.Native.readAnnotations, and the kit's sample annotations handed
// to the core and their agreement handed back (kit_annotations.h).
#include "kit_annotations.h"

#include <jni.h>

#include <string>
#include <vector>

#include "jni_support.h"
#include "zarno_kit_Native.h"

namespace zarno::kit {

namespace {

// The parts of Annotations.parts(), in its order.
enum Part { kSource, kLabelHeader, kColumns, kLabels, kCells, kPositions, kKinds, kBatch, kParts };

// The kinds Annotations gives a column (Annotations.BY_RULE and the others).
constexpr jint kByRule = -1, kCategories = 0, kNumbers = 1;

constexpr char kColumnInit[] =
    "(Ljava/lang/String;ZZILjava/lang/Double;Ljava/lang/Double;[Ljava/lang/Double;I)V";
constexpr char kCountInit[] = "(I[Lzarno/kit/ColumnAgreement;I)V";
constexpr char kBatchInit[] = "(Ljava/lang/String;ZILjava/lang/String;ID)V";
constexpr char kAgreementInit[] = "([Lzarno/kit/CountAgreement;[Lzarno/kit/BatchEffect;[Ljava/lang/String;)V";

// Element `i` of the parts, null where the part is absent; false with an
// exception pending.
bool PartOf(JNIEnv* env, jobjectArray parts, Part i, jobject* to)
{
    *to = env->GetObjectArrayElement(parts, i);  // i < kParts, checked by the caller
    return !env->ExceptionCheck();
}

bool StringPart(JNIEnv* env, jobjectArray parts, Part i, std::string* to)
{
    jobject s = nullptr;
    if (!PartOf(env, parts, i, &s)) return false;
    if (s == nullptr) {
        Throw(env, "java/lang/IllegalArgumentException", "annotations without their source or label header");
        return false;
    }
    const bool ok = ReadString(env, static_cast<jstring>(s), to);
    env->DeleteLocalRef(s);
    return ok;
}

// A String[] part of any length (n < 0) or of exactly n entries.
bool StringsPart(JNIEnv* env, jobjectArray parts, Part i, jsize n, const char* what, std::vector<std::string>* to)
{
    jobject a = nullptr;
    if (!PartOf(env, parts, i, &a)) return false;
    if (a != nullptr && n < 0) n = env->GetArrayLength(static_cast<jarray>(a));
    const bool ok = ReadStrings(env, static_cast<jobjectArray>(a), n, what, to);
    if (a != nullptr) env->DeleteLocalRef(a);
    return ok;
}

// An int[] part of exactly n entries; a null part is empty when `optional`.
bool IntsPart(JNIEnv* env, jobjectArray parts, Part i, jsize n, bool optional, std::vector<jint>* to)
{
    jobject a = nullptr;
    if (!PartOf(env, parts, i, &a)) return false;
    to->clear();
    if (a == nullptr && optional) return true;
    const bool ok = ReadInts(env, static_cast<jintArray>(a), n, "the annotations' positions or kinds", to);
    if (a != nullptr) env->DeleteLocalRef(a);
    return ok;
}

// The kit's Java objects of an agreement, through their constructors.
class AgreementBuilder : public ObjectBuilder {
public:
    using ObjectBuilder::ObjectBuilder;

    bool Find()
    {
        return FindClass("zarno/kit/Agreement", &agreement_) && FindClass("zarno/kit/CountAgreement", &count_) &&
               FindClass("zarno/kit/ColumnAgreement", &column_) && FindClass("zarno/kit/BatchEffect", &batch_) &&
               FindBoxes() && FindMethod(agreement_, "<init>", kAgreementInit, &newAgreement_) &&
               FindMethod(count_, "<init>", kCountInit, &newCount_) &&
               FindMethod(column_, "<init>", kColumnInit, &newColumn_) &&
               FindMethod(batch_, "<init>", kBatchInit, &newBatch_);
    }

    jobject Agreement(const Annotations& notes, const zarno::Agreement& a)
    {
        jobjectArray counts = NewArray(count_, a.counts.size());
        for (std::size_t i = 0; counts != nullptr && i < a.counts.size(); i++) {
            // A frame per count: its columns hold a few references each.
            LocalFrame frame(env_, 16);
            if (!frame.open()) return nullptr;
            jobject c = Count(notes, a.counts[i]);
            if (c == nullptr) return nullptr;
            env_->SetObjectArrayElement(counts, static_cast<jsize>(i), c);  // in bounds, of the element type
        }
        jobjectArray effects = NewArray(batch_, a.batchEffects.size());
        for (std::size_t i = 0; effects != nullptr && i < a.batchEffects.size(); i++) {
            const BatchEffect& b = a.batchEffects[i];
            jstring column = NewString(env_, b.column), figure = NewString(env_, b.figure);
            if (env_->ExceptionCheck()) return nullptr;
            jobject e = env_->NewObject(batch_, newBatch_, column, b.flagged ? JNI_TRUE : JNI_FALSE, b.patterns,
                                        figure, b.pattern ? *b.pattern : -1, b.value);
            if (e == nullptr) return nullptr;
            env_->SetObjectArrayElement(effects, static_cast<jsize>(i), e);
            for (jobject x : {static_cast<jobject>(column), static_cast<jobject>(figure), e}) env_->DeleteLocalRef(x);
        }
        jobjectArray warnings = NewStrings(env_, notes.warnings);
        if (counts == nullptr || effects == nullptr || env_->ExceptionCheck()) return nullptr;
        return env_->NewObject(agreement_, newAgreement_, counts, effects, warnings);
    }

private:
    jobject Count(const Annotations& notes, const CountAgreement& c)
    {
        jobjectArray columns = NewArray(column_, c.columns.size());
        for (std::size_t i = 0; columns != nullptr && i < c.columns.size(); i++) {
            const ColumnAgreement& a = c.columns[i];
            bool batch = false;
            for (const AnnotationColumn& n : notes.columns)
                if (n.name == a.column) batch = n.Batch();
            jstring name = NewString(env_, a.column);
            jobject ari = Double(a.ari), nmi = Double(a.nmi);
            jobjectArray figures = Doubles(a.patterns);
            if (env_->ExceptionCheck()) return nullptr;
            jobject column = env_->NewObject(column_, newColumn_, name, a.numbers ? JNI_TRUE : JNI_FALSE,
                                             batch ? JNI_TRUE : JNI_FALSE, a.samples, ari, nmi, figures,
                                             a.bestPattern ? *a.bestPattern : -1);
            if (column == nullptr) return nullptr;
            env_->SetObjectArrayElement(columns, static_cast<jsize>(i), column);
            for (jobject x : {static_cast<jobject>(name), ari, nmi, static_cast<jobject>(figures), column})
                if (x != nullptr) env_->DeleteLocalRef(x);
        }
        if (columns == nullptr) return nullptr;
        return env_->NewObject(count_, newCount_, c.patterns, columns, c.best ? static_cast<jint>(*c.best) : -1);
    }

    jclass agreement_ = nullptr, count_ = nullptr, column_ = nullptr, batch_ = nullptr;
    jmethodID newAgreement_ = nullptr, newCount_ = nullptr, newColumn_ = nullptr, newBatch_ = nullptr;
};

jobjectArray ReadAnnotations(JNIEnv* env, jstring path)
{
    std::string file;
    if (!ReadString(env, path, &file)) return nullptr;
    return AnnotationParts(env, ReadAnnotationTable(file));
}

}  // namespace

bool MatchedAnnotations(JNIEnv* env, jobjectArray parts, const std::vector<std::string>& samples,
                        Annotations* to)
{
    if (parts == nullptr || env->GetArrayLength(parts) != kParts) {
        Throw(env, "java/lang/IllegalArgumentException", "annotations that are not Annotations.parts()");
        return false;
    }
    AnnotationTable t;
    AnnotationOptions options;
    std::vector<std::string> cells;
    std::vector<jint> positions, kinds;
    if (!StringPart(env, parts, kSource, &t.source) || !StringPart(env, parts, kLabelHeader, &t.labelHeader) ||
        !StringsPart(env, parts, kColumns, -1, "the annotation columns", &t.columns) ||
        !StringsPart(env, parts, kLabels, -1, "the annotation labels", &t.labels))
        return false;
    const std::size_t R = t.labels.size(), C = t.columns.size();
    if (static_cast<long long>(R) * static_cast<long long>(C) > 0x7fffffff) {
        Throw(env, "java/lang/IllegalArgumentException", "annotations beyond 2^31 cells");
        return false;
    }
    const auto n = [](std::size_t x) { return static_cast<jsize>(x); };
    if (!StringsPart(env, parts, kCells, n(R * C), "the annotation cells", &cells) ||
        !IntsPart(env, parts, kPositions, n(1 + C + R + R * C), true, &positions) ||
        !IntsPart(env, parts, kKinds, n(C), false, &kinds) ||
        !StringsPart(env, parts, kBatch, -1, "the batch columns", &options.batch))
        return false;
    t.cells.assign(R, std::vector<std::string>(C));
    for (std::size_t r = 0; r < R; r++)
        for (std::size_t c = 0; c < C; c++) t.cells[r][c] = cells[r * C + c];
    if (!positions.empty()) {  // read from a file: messages name its lines and columns
        t.headerLine = positions[0];
        t.headerColumns.assign(positions.begin() + 1, positions.begin() + 1 + n(C));
        t.lines.assign(positions.begin() + 1 + n(C), positions.begin() + 1 + n(C + R));
        t.where.assign(R, std::vector<int>(C));
        for (std::size_t r = 0; r < R; r++)
            for (std::size_t c = 0; c < C; c++) t.where[r][c] = positions[1 + C + R + r * C + c];
    }
    for (std::size_t c = 0; c < C; c++) {
        if (kinds[c] == kCategories) options.kinds[t.columns[c]] = AnnotationColumn::kCategories;
        if (kinds[c] == kNumbers) options.kinds[t.columns[c]] = AnnotationColumn::kNumbers;
        if (kinds[c] != kByRule && kinds[c] != kCategories && kinds[c] != kNumbers) {
            Throw(env, "java/lang/IllegalArgumentException", "an annotation column of no known kind");
            return false;
        }
    }
    options.batchFrom = "batch";
    *to = MatchAnnotations(t, samples, options);
    return true;
}

jobjectArray AnnotationParts(JNIEnv* env, const AnnotationTable& t)
{
    const std::size_t R = t.labels.size(), C = t.columns.size();
    std::vector<std::string> cells;
    cells.reserve(R * C);
    std::vector<int> positions{t.headerLine};
    for (std::size_t c = 0; c < C; c++) positions.push_back(c < t.headerColumns.size() ? t.headerColumns[c] : 1);
    for (std::size_t r = 0; r < R; r++) positions.push_back(r < t.lines.size() ? t.lines[r] : 0);
    for (std::size_t r = 0; r < R; r++) {
        for (std::size_t c = 0; c < C; c++) {
            cells.push_back(c < t.cells[r].size() ? t.cells[r][c] : std::string());
            positions.push_back(r < t.where.size() && c < t.where[r].size() ? t.where[r][c] : 1);
        }
    }
    LocalFrame frame(env, 16);
    if (!frame.open()) return nullptr;
    jclass object = env->FindClass("java/lang/Object");
    jobjectArray out = object ? env->NewObjectArray(6, object, nullptr) : nullptr;
    const jobject parts[] = {NewString(env, t.source), NewString(env, t.labelHeader), NewStrings(env, t.columns),
                             NewStrings(env, t.labels), NewStrings(env, cells),   NewInts(env, positions)};
    if (out == nullptr || env->ExceptionCheck()) return nullptr;
    for (jsize i = 0; i < 6; i++) env->SetObjectArrayElement(out, i, parts[i]);
    return static_cast<jobjectArray>(frame.Keep(out));
}

jobject AgreementObject(JNIEnv* env, const Annotations& annotations, const Agreement& agreement)
{
    LocalFrame frame(env, 16);
    if (!frame.open()) return nullptr;
    AgreementBuilder b(env);
    jobject a = b.Find() ? b.Agreement(annotations, agreement) : nullptr;
    return a != nullptr ? frame.Keep(a) : nullptr;
}

}  // namespace zarno::kit

extern "C" JNIEXPORT jobjectArray JNICALL Java_zarno_kit_Native_readAnnotations(JNIEnv* env, jclass, jstring path)
{
    return zarno::kit::Guarded(env, jobjectArray{nullptr}, [&] { return zarno::kit::ReadAnnotations(env, path); });
}
