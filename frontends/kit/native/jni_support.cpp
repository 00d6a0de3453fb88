#include "jni_support.h"

#include <cstdint>
#include <exception>
#include <limits>
#include <new>
#include <system_error>

#include "zarno/errors.h"

namespace zarno::kit {

namespace {

// A Java array's length for n elements; false with an exception pending when
// n does not fit one.
bool ArrayLength(JNIEnv* env, std::size_t n, jsize* length)
{
    if (env->ExceptionCheck()) return false;
    if (n > static_cast<std::size_t>(std::numeric_limits<jsize>::max())) {
        Throw(env, "java/lang/OutOfMemoryError", "a result of " + std::to_string(n) + " elements exceeds a Java array");
        return false;
    }
    *length = static_cast<jsize>(n);
    return true;
}

// java.lang.String and the UTF-8 charset, as local references held while it
// lives; charset null with an exception pending when a lookup failed.
struct Utf8 {
    explicit Utf8(JNIEnv* e) : env(e)
    {
        string = env->FindClass("java/lang/String");
        charsets = string ? env->FindClass("java/nio/charset/StandardCharsets") : nullptr;
        jfieldID field = charsets ? env->GetStaticFieldID(charsets, "UTF_8", "Ljava/nio/charset/Charset;") : nullptr;
        charset = field ? env->GetStaticObjectField(charsets, field) : nullptr;
    }
    ~Utf8()
    {
        for (jobject x : {static_cast<jobject>(string), static_cast<jobject>(charsets), charset})
            if (x != nullptr) env->DeleteLocalRef(x);
    }
    Utf8(const Utf8&) = delete;
    Utf8& operator=(const Utf8&) = delete;

    JNIEnv* env;
    jclass string = nullptr, charsets = nullptr;
    jobject charset = nullptr;
};

}  // namespace

void Throw(JNIEnv* env, const char* className, const std::string& message)
{
    if (env->ExceptionCheck()) return;
    jclass c = env->FindClass(className);
    if (c == nullptr) return;  // NoClassDefFoundError pending instead
    jmethodID init = env->GetMethodID(c, "<init>", "(Ljava/lang/String;)V");
    jstring text = init != nullptr ? NewString(env, message) : nullptr;
    jobject e = text != nullptr ? env->NewObject(c, init, text) : nullptr;
    if (e != nullptr) env->Throw(static_cast<jthrowable>(e));
    for (jobject x : {static_cast<jobject>(c), static_cast<jobject>(text), e})
        if (x != nullptr) env->DeleteLocalRef(x);
}

void ThrowCurrent(JNIEnv* env)
{
    try {
        throw;
    } catch (const std::bad_alloc&) {
        Throw(env, "java/lang/OutOfMemoryError", "ZARNO could not allocate native memory");
    } catch (const zarno::InputError& e) {
        Throw(env, "java/lang/IllegalArgumentException", e.what());
    } catch (const std::system_error& e) {
        Throw(env, "java/io/IOException", e.what());
    } catch (const std::exception& e) {
        Throw(env, "zarno/kit/ZarnoException", std::string("ZARNO failed internally: ") + e.what());
    } catch (...) {
        Throw(env, "zarno/kit/ZarnoException", "ZARNO failed internally");
    }
}

jdoubleArray NewDoubles(JNIEnv* env, const double* values, std::size_t n)
{
    jsize length = 0;
    if (!ArrayLength(env, n, &length)) return nullptr;
    jdoubleArray a = env->NewDoubleArray(length);
    if (a == nullptr) return nullptr;
    if (length > 0) env->SetDoubleArrayRegion(a, 0, length, values);
    return a;  // the region is in bounds: nothing can be pending
}

jdoubleArray NewDoubles(JNIEnv* env, const std::vector<double>& values)
{
    return NewDoubles(env, values.data(), values.size());
}

jintArray NewInts(JNIEnv* env, const std::vector<int>& values)
{
    jsize length = 0;
    if (!ArrayLength(env, values.size(), &length)) return nullptr;
    jintArray a = env->NewIntArray(length);
    if (a == nullptr) return nullptr;
    static_assert(sizeof(jint) == sizeof(int), "jint is int");
    if (length > 0) env->SetIntArrayRegion(a, 0, length, reinterpret_cast<const jint*>(values.data()));
    return a;
}

jstring NewString(JNIEnv* env, const std::string& text)
{
    jsize length = 0;
    if (!ArrayLength(env, text.size(), &length)) return nullptr;
    const Utf8 utf8(env);
    jmethodID init = utf8.charset ? env->GetMethodID(utf8.string, "<init>", "([BLjava/nio/charset/Charset;)V")
                                  : nullptr;
    jbyteArray bytes = init ? env->NewByteArray(length) : nullptr;
    if (bytes != nullptr && length > 0)
        env->SetByteArrayRegion(bytes, 0, length, reinterpret_cast<const jbyte*>(text.data()));
    jobject s = bytes ? env->NewObject(utf8.string, init, bytes, utf8.charset) : nullptr;
    if (bytes != nullptr) env->DeleteLocalRef(bytes);
    return static_cast<jstring>(s);
}

jobjectArray NewStrings(JNIEnv* env, const std::vector<std::string>& texts)
{
    jsize length = 0;
    if (!ArrayLength(env, texts.size(), &length)) return nullptr;
    jclass stringClass = env->FindClass("java/lang/String");
    jobjectArray a = stringClass ? env->NewObjectArray(length, stringClass, nullptr) : nullptr;
    if (stringClass != nullptr) env->DeleteLocalRef(stringClass);
    for (jsize i = 0; a != nullptr && i < length; i++) {
        jstring s = NewString(env, texts[i]);
        if (s == nullptr) {
            env->DeleteLocalRef(a);
            return nullptr;
        }
        env->SetObjectArrayElement(a, i, s);  // in bounds and of the element type
        env->DeleteLocalRef(s);
    }
    return a;
}

// A Java array of exactly n numbers copied into *to by `get` (a
// Get<Type>ArrayRegion); false with IllegalArgumentException (or another
// exception) pending.
namespace {

template <typename Array, typename T>
bool ReadArray(JNIEnv* env, Array from, jsize n, const char* what, std::vector<T>* to,
               void (JNIEnv::*get)(Array, jsize, jsize, T*))
{
    if (from == nullptr || env->GetArrayLength(from) != n) {
        Throw(env, "java/lang/IllegalArgumentException",
              std::string(what) + " does not hold " + std::to_string(n) + " numbers");
        return false;
    }
    to->resize(static_cast<std::size_t>(n));
    (env->*get)(from, 0, n, to->data());
    return !env->ExceptionCheck();
}

}  // namespace

bool ReadDoubles(JNIEnv* env, jdoubleArray from, jsize n, const char* what, std::vector<double>* to)
{
    return ReadArray(env, from, n, what, to, &JNIEnv::GetDoubleArrayRegion);
}

bool ReadInts(JNIEnv* env, jintArray from, jsize n, const char* what, std::vector<jint>* to)
{
    return ReadArray(env, from, n, what, to, &JNIEnv::GetIntArrayRegion);
}

// Row i of a double[][], of exactly n numbers.
bool ReadRow(JNIEnv* env, jobjectArray rows, jsize i, jsize n, const char* what, std::vector<double>* to)
{
    auto row = static_cast<jdoubleArray>(env->GetObjectArrayElement(rows, i));
    if (env->ExceptionCheck()) return false;
    const bool ok = ReadDoubles(env, row, n, what, to);
    if (row != nullptr) env->DeleteLocalRef(row);
    return ok;
}

bool ReadString(JNIEnv* env, jstring from, std::string* to)
{
    if (from == nullptr) {
        Throw(env, "java/lang/IllegalArgumentException", "a string is null");
        return false;
    }
    const Utf8 utf8(env);
    jmethodID getBytes =
        utf8.charset ? env->GetMethodID(utf8.string, "getBytes", "(Ljava/nio/charset/Charset;)[B") : nullptr;
    auto bytes = static_cast<jbyteArray>(getBytes ? env->CallObjectMethod(from, getBytes, utf8.charset) : nullptr);
    const bool ok = bytes != nullptr && !env->ExceptionCheck();
    if (ok) {
        to->resize(static_cast<std::size_t>(env->GetArrayLength(bytes)));
        if (!to->empty())
            env->GetByteArrayRegion(bytes, 0, static_cast<jsize>(to->size()), reinterpret_cast<jbyte*>(&(*to)[0]));
    }
    if (bytes != nullptr) env->DeleteLocalRef(bytes);
    return ok;
}

bool ReadStrings(JNIEnv* env, jobjectArray from, jsize n, const char* what, std::vector<std::string>* to)
{
    if (from == nullptr || env->GetArrayLength(from) != n) {
        Throw(env, "java/lang/IllegalArgumentException",
              std::string(what) + " does not hold " + std::to_string(n) + " strings");
        return false;
    }
    to->resize(static_cast<std::size_t>(n));
    for (jsize i = 0; i < n; i++) {
        auto s = static_cast<jstring>(env->GetObjectArrayElement(from, i));
        const bool ok = !env->ExceptionCheck() && ReadString(env, s, &(*to)[static_cast<std::size_t>(i)]);
        if (s != nullptr) env->DeleteLocalRef(s);
        if (!ok) return false;
    }
    return true;
}

bool ObjectBuilder::FindClass(const char* name, jclass* c)
{
    *c = env_->ExceptionCheck() ? nullptr : env_->FindClass(name);
    return *c != nullptr;
}

bool ObjectBuilder::FindMethod(jclass c, const char* name, const char* signature, jmethodID* m)
{
    *m = env_->ExceptionCheck() ? nullptr : env_->GetMethodID(c, name, signature);
    return *m != nullptr;
}

bool ObjectBuilder::FindBoxes()
{
    if (!FindClass("java/lang/Double", &double_) || !FindClass("java/lang/Boolean", &boolean_)) return false;
    doubleOf_ = env_->GetStaticMethodID(double_, "valueOf", "(D)Ljava/lang/Double;");
    booleanOf_ = doubleOf_ ? env_->GetStaticMethodID(boolean_, "valueOf", "(Z)Ljava/lang/Boolean;") : nullptr;
    return booleanOf_ != nullptr;
}

jobject ObjectBuilder::Double(const std::optional<double>& x)
{
    if (env_->ExceptionCheck() || !x) return nullptr;
    jobject boxed = env_->CallStaticObjectMethod(double_, doubleOf_, *x);
    return env_->ExceptionCheck() ? nullptr : boxed;
}

jobject ObjectBuilder::Boolean(const std::optional<bool>& x)
{
    if (env_->ExceptionCheck() || !x) return nullptr;
    jobject boxed = env_->CallStaticObjectMethod(boolean_, booleanOf_, *x ? JNI_TRUE : JNI_FALSE);
    return env_->ExceptionCheck() ? nullptr : boxed;
}

jobjectArray ObjectBuilder::Doubles(const std::vector<std::optional<double>>& x)
{
    jobjectArray a = NewArray(double_, x.size());
    for (std::size_t i = 0; a != nullptr && i < x.size(); i++) {
        if (!x[i]) continue;
        jobject boxed = Double(x[i]);
        if (boxed == nullptr) return nullptr;  // the caller's frame drops `a`
        env_->SetObjectArrayElement(a, static_cast<jsize>(i), boxed);  // in bounds, of the element type
        env_->DeleteLocalRef(boxed);
    }
    return a;
}

jobjectArray ObjectBuilder::NewArray(jclass element, std::size_t n)
{
    jsize length = 0;
    if (!ArrayLength(env_, n, &length)) return nullptr;
    return env_->NewObjectArray(length, element, nullptr);
}

}  // namespace zarno::kit
