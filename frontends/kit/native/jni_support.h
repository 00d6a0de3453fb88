// What the kit's JNI functions share: Java exceptions from C++ failures, frames
// of local references, and Java arrays and strings from C++ values.
//
// Rules kept by every user: each JNI call is checked, no C++ exception reaches
// the JVM, and once a Java exception is pending no JNI call is made but those
// the JNI allows then (ExceptionCheck, DeleteLocalRef, PopLocalFrame). The
// builders below return null with nothing done when one is pending already, so
// a chain of them stops at the first failure.
#ifndef ZARNO_KIT_JNI_SUPPORT_H
#define ZARNO_KIT_JNI_SUPPORT_H

#include <jni.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace zarno::kit {

// Throws a Java exception of the class with the message (UTF-8), unless one is
// pending already.
void Throw(JNIEnv* env, const char* className, const std::string& message);

// Turns the C++ exception being handled into a Java one: OutOfMemoryError for
// bad_alloc, IllegalArgumentException for bad input (zarno::InputError, with
// its message), IOException for a failure of the system (std::system_error),
// ZarnoException for the rest.
void ThrowCurrent(JNIEnv* env);

// The body of an exported function: what it returns, or `failed` with a Java
// exception pending when it threw.
template <typename R, typename Body>
R Guarded(JNIEnv* env, R failed, Body&& body)
{
    try {
        return body();
    } catch (...) {
        ThrowCurrent(env);
        return failed;
    }
}

// A frame of local references, popped on every way out so that loops building
// many objects stay within the capacity asked for.
class LocalFrame {
public:
    LocalFrame(JNIEnv* env, jint capacity) : env_(env), open_(env->PushLocalFrame(capacity) == 0) {}
    ~LocalFrame()
    {
        if (open_) env_->PopLocalFrame(nullptr);
    }
    LocalFrame(const LocalFrame&) = delete;
    LocalFrame& operator=(const LocalFrame&) = delete;

    // False with OutOfMemoryError pending.
    bool open() const { return open_; }

    // Pops the frame, handing `result` on as a reference of the enclosing one.
    jobject Keep(jobject result)
    {
        open_ = false;
        return env_->PopLocalFrame(result);
    }

private:
    JNIEnv* env_;
    bool open_;
};

// Fresh Java arrays and strings; null with an exception pending.
jdoubleArray NewDoubles(JNIEnv* env, const double* values, std::size_t n);
jdoubleArray NewDoubles(JNIEnv* env, const std::vector<double>& values);
jintArray NewInts(JNIEnv* env, const std::vector<int>& values);
// UTF-8 text decoded by the JDK (NewStringUTF takes modified UTF-8, which
// differs beyond U+FFFF); malformed bytes become U+FFFD.
jstring NewString(JNIEnv* env, const std::string& text);
jobjectArray NewStrings(JNIEnv* env, const std::vector<std::string>& texts);

// Java arrays of exactly n elements (`what` names them in the message), read
// into C++; false with IllegalArgumentException (or another exception) pending.
bool ReadDoubles(JNIEnv* env, jdoubleArray from, jsize n, const char* what, std::vector<double>* to);
bool ReadInts(JNIEnv* env, jintArray from, jsize n, const char* what, std::vector<jint>* to);
// Row i of a double[][], of exactly n numbers.
bool ReadRow(JNIEnv* env, jobjectArray rows, jsize i, jsize n, const char* what, std::vector<double>* to);
// A String as UTF-8 (the JDK's encoder: modified UTF-8 differs beyond U+FFFF);
// false with an exception pending.
bool ReadString(JNIEnv* env, jstring from, std::string* to);
// A String[] of exactly n non-null entries, as UTF-8.
bool ReadStrings(JNIEnv* env, jobjectArray from, jsize n, const char* what, std::vector<std::string>* to);

// Builds the kit's Java objects through their constructors: classes and
// methods looked up by the caller once per native call (a constructor's JNI
// signature is checked when it is looked up, so a Java constructor that
// changes without the native side fails loudly with NoSuchMethodError rather
// than misplacing figures), boxes and arrays. Every member returns null (or
// false) with nothing done when an exception is pending, so a chain of them
// stops at the first failure; a null of an absent figure is a value.
class ObjectBuilder {
public:
    explicit ObjectBuilder(JNIEnv* env) : env_(env) {}

    bool FindClass(const char* name, jclass* c);
    bool FindMethod(jclass c, const char* name, const char* signature, jmethodID* m);
    // java.lang.Double and java.lang.Boolean with their valueOf, for Double()
    // and Boolean().
    bool FindBoxes();

    jobject Double(const std::optional<double>& x);
    jobject Boolean(const std::optional<bool>& x);
    // Double[], null where a figure is absent.
    jobjectArray Doubles(const std::vector<std::optional<double>>& x);
    jobjectArray NewArray(jclass element, std::size_t n);

protected:
    JNIEnv* env_;

private:
    jclass double_ = nullptr, boolean_ = nullptr;
    jmethodID doubleOf_ = nullptr, booleanOf_ = nullptr;
};

}  // namespace zarno::kit

#endif
