#include "jni_support.h"

#include <cstdint>
#include <exception>
#include <limits>
#include <new>

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
    jclass stringClass = env->FindClass("java/lang/String");
    jclass charsets = stringClass ? env->FindClass("java/nio/charset/StandardCharsets") : nullptr;
    jfieldID utf8Field =
        charsets ? env->GetStaticFieldID(charsets, "UTF_8", "Ljava/nio/charset/Charset;") : nullptr;
    jobject utf8 = utf8Field ? env->GetStaticObjectField(charsets, utf8Field) : nullptr;
    jmethodID init =
        utf8 ? env->GetMethodID(stringClass, "<init>", "([BLjava/nio/charset/Charset;)V") : nullptr;
    jbyteArray bytes = init ? env->NewByteArray(length) : nullptr;
    if (bytes != nullptr && length > 0)
        env->SetByteArrayRegion(bytes, 0, length, reinterpret_cast<const jbyte*>(text.data()));
    jobject s = bytes ? env->NewObject(stringClass, init, bytes, utf8) : nullptr;
    for (jobject x : {static_cast<jobject>(stringClass), static_cast<jobject>(charsets), utf8,
                      static_cast<jobject>(bytes)})
        if (x != nullptr) env->DeleteLocalRef(x);
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

}  // namespace zarno::kit
