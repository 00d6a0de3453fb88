// A real JVM in the test process (JNI Invocation API, under -Xcheck:jni) with
// the host classes and the test hosts on its class path. One per process: a
// JVM cannot be created again once destroyed.
#ifndef ZARNO_JVM_FIXTURE_H
#define ZARNO_JVM_FIXTURE_H

#include <gtest/gtest.h>
#include <jni.h>

#include <cstdarg>
#include <cstdio>
#include <string>

// Everything the JVM prints, so that a JNI check warning fails the test.
inline std::string& JvmLog()
{
    static std::string log;
    return log;
}

extern "C" inline jint JNICALL CaptureJvmOutput(FILE* stream, const char* format, va_list args)
{
    va_list copy;
    va_copy(copy, args);
    char buf[4096];
    std::vsnprintf(buf, sizeof buf, format, copy);
    va_end(copy);
    JvmLog() += buf;
    return std::vfprintf(stream, format, args);
}

// One JVM per process: a JVM cannot be created again once destroyed.
inline JNIEnv* Env()
{
    static JNIEnv* env = [] {
        static std::string classPath = "-Djava.class.path=" ZARNO_TEST_CLASSPATH;
        static char check[] = "-Xcheck:jni", hook[] = "vfprintf";
        JavaVMOption options[3] = {};
        options[0].optionString = &classPath[0];
        options[1].optionString = check;
        options[2].optionString = hook;
        options[2].extraInfo = reinterpret_cast<void*>(&CaptureJvmOutput);
        JavaVMInitArgs args;
        args.version = JNI_VERSION_10;
        args.nOptions = 3;
        args.options = options;
        args.ignoreUnrecognized = JNI_FALSE;
        JavaVM* vm = nullptr;
        JNIEnv* e = nullptr;
        if (JNI_CreateJavaVM(&vm, reinterpret_cast<void**>(&e), &args) != JNI_OK) return (JNIEnv*)nullptr;
        return e;
    }();
    return env;
}

// A local frame per test, and no JNI warning may appear while it runs.
class JvmTest : public ::testing::Test {
protected:
    JNIEnv* env = nullptr;

    void SetUp() override
    {
        env = Env();
        ASSERT_NE(env, nullptr) << "no JVM";
        ASSERT_EQ(env->PushLocalFrame(256), 0);
        JvmLog().clear();
    }
    void TearDown() override
    {
        if (env == nullptr) return;
        EXPECT_FALSE(env->ExceptionCheck());
        env->ExceptionClear();
        env->PopLocalFrame(nullptr);
        EXPECT_EQ(JvmLog().find("WARNING"), std::string::npos) << JvmLog();
    }
};

#endif
