// The file-mode messages meant for the host, received by a real JVM created
// in this process (JNI Invocation API, under -Xcheck:jni) through a host class
// that records what arrives at guiPrint.
#include <gtest/gtest.h>
#include <jni.h>

#include <cstdarg>
#include <cstring>

#include "engine_probe.h"
#include "file_fixture.h"
#include "jvm_fixture.h"

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

namespace {

class HostMessages : public FileTest {
protected:
    JNIEnv* env = nullptr;
    jobject host = nullptr;
    std::unique_ptr<L> engine;

    void SetUp() override
    {
        FileTest::SetUp();
        env = Env();
        ASSERT_NE(env, nullptr) << "no JVM";
        ASSERT_EQ(env->PushLocalFrame(64), 0);
        jclass c = env->FindClass("zarnotest/RecordingHost");
        ASSERT_NE(c, nullptr);
        host = env->NewObject(c, env->GetMethodID(c, "<init>", "()V"));
        ASSERT_NE(host, nullptr);
        engine = std::make_unique<L>(env, host, nullptr);
        ASSERT_NE(engine->meth, nullptr);
        std::strcpy(engine->FilePathFromNodes, dir.c_str());
        std::strcpy(engine->basename, "expr");
        JvmLog().clear();
    }
    void TearDown() override
    {
        if (env != nullptr) {
            engine.reset();
            EXPECT_FALSE(env->ExceptionCheck());
            env->PopLocalFrame(nullptr);
            EXPECT_EQ(JvmLog().find("WARNING"), std::string::npos) << JvmLog();
        }
        FileTest::TearDown();
    }

    std::vector<std::string> Drain()
    {
        std::vector<std::string> out;
        jclass c = env->GetObjectClass(host);
        jmethodID m = env->GetMethodID(c, "drain", "()[Ljava/lang/String;");
        env->DeleteLocalRef(c);
        if (m == nullptr) return out;
        auto messages = static_cast<jobjectArray>(env->CallObjectMethod(host, m));
        if (env->ExceptionCheck() || messages == nullptr) return out;
        const jsize n = env->GetArrayLength(messages);
        for (jsize k = 0; k < n; k++) {
            auto s = static_cast<jstring>(env->GetObjectArrayElement(messages, k));
            if (env->ExceptionCheck()) break;
            const char* chars = env->GetStringUTFChars(s, nullptr);
            if (chars == nullptr) break;
            out.emplace_back(chars);
            env->ReleaseStringUTFChars(s, chars);
            env->DeleteLocalRef(s);
        }
        env->DeleteLocalRef(messages);
        return out;
    }
    using Strings = std::vector<std::string>;
};

TEST_F(HostMessages, MatrixFileProblemsReachTheHostAndTheCallReturns)
{
    std::string missing = dir + "none.txt";
    std::vector<double> m(4, 0.0);
    CaptureStdout();
    EXPECT_EQ(engine->ReadMatrix(m.data(), &missing[0], 2, 2), -1);
    std::string bad = Write("bad.txt", "1 2\n3 \xe2\x82\xac\n");
    EXPECT_EQ(engine->ReadMatrix(m.data(), &bad[0], 2, 2), -1);
    EXPECT_EQ(engine->ReadMatrix(m.data(), &bad[0], 2, -2), -1);
    EXPECT_EQ(GetCapturedStdout(), "") << "with a host, nothing goes to standard output";
    EXPECT_EQ(Drain(), (Strings{"Could not open " + missing,
                                "Could not read " + bad +
                                    ": row 2, column 2 (line 2): \"???\" is not a number",
                                "Refused: reading " + bad +
                                    " needs Nrows and Ncolumns of 0 or more, not 2 and -2"}));

    // The file start hands the failure on.
    EngineProbe probe(*engine);
    engine->Ngenes = 2, engine->Nsamples = 2, engine->Npatterns = 1, engine->chain = 1;
    std::vector<double> data(4, 1.0);
    engine->data = data.data();
    ASSERT_EQ(probe.Allocate(), 1);
    std::string a = Write("a.txt", "1 2");
    EXPECT_EQ(probe.StartFromFiles(&a[0], &missing[0]), -1);
    EXPECT_EQ(Drain(), (Strings{"Could not open " + missing}));
    probe.Free();
}

TEST_F(HostMessages, LinkFileProblemsAndRefusedPriors)
{
    EXPECT_EQ(engine->GetPriors(), -1);
    Write("expr.link", "h\nh\nh\n2 1 -3\n0\n");
    EXPECT_EQ(engine->GetPriors(), -1);
    EXPECT_EQ(Drain(), (Strings{"Could not open link file " + dir + "expr.link!",
                                "Refused: link file " + dir +
                                    "expr.link: group 1 has a negative member count (-3)"}));

    EngineProbe probe(*engine);
    engine->Ngenes = 2, engine->Nsamples = 2, engine->Npatterns = 1, engine->chain = 1;
    std::vector<double> data(4, 1.0);
    engine->data = data.data();
    ASSERT_EQ(probe.Allocate(), 1);
    Write("expr.link", "h\nh\nh\n2 2 1\n1\n2\n0\n");
    EXPECT_EQ(probe.StartWithPriors(3), 1);
    EXPECT_EQ(Drain(),
              (Strings{"Refused: group 0 lists 1 gene indices outside 0 to 1 (the first is 2); "
                       "they are skipped",
                       "Refused: group 1 has no pattern to raise (Npatterns 1); its 1 members are "
                       "skipped"}));
    probe.Free();
}

TEST_F(HostMessages, InformationFileProblems)
{
    engine->Ngenes = 1, engine->Nsamples = 1;
    double A[] = {1, 2}, P[] = {3, 4};
    std::strcpy(engine->FilePathFromNodes, (dir + "no/dir/").c_str());
    EXPECT_EQ(engine->PrintInf(A, P, 2, 1), -1);
    std::strcpy(engine->FilePathFromNodes, std::string(190, 'p').c_str());
    EXPECT_EQ(engine->PrintInf(A, P, 2, 1), -1);
    EXPECT_EQ(Drain(), (Strings{"Could not open " + dir + "no/dir/expr_2_1.inf for writing!",
                                "Refused: the information file name of prefix " +
                                    std::string(190, 'p') +
                                    " and tag expr is longer than 199 characters"}));
}

// A caller that links the sources for the file-driven mode makes a bare
// record and fills env, obj and meth itself; no constructor attaches a host.
TEST_F(HostMessages, ABareRecordFilledByHandSpeaksThroughGuiPrint)
{
    io record;
    ASSERT_EQ(record.Host(), nullptr);
    record.env = env;
    record.obj = host;
    jclass c = env->GetObjectClass(host);
    record.meth = env->GetMethodID(c, "guiPrint", "(Ljava/lang/String;)V");
    env->DeleteLocalRef(c);
    ASSERT_NE(record.meth, nullptr);
    std::strcpy(record.FilePathFromNodes, dir.c_str());
    std::strcpy(record.basename, "expr");
    std::string missing = dir + "none.txt";
    std::vector<double> m(4, 0.0);
    double A[] = {1, 2}, P[] = {3, 4};

    CaptureStdout();
    const int matrix = record.ReadMatrix(m.data(), &missing[0], 2, 2);
    const int priors = record.GetPriors();
    record.Ngenes = 1, record.Nsamples = 1;
    std::strcpy(record.FilePathFromNodes, (dir + "no/dir/").c_str());
    const int info = record.PrintInf(A, P, 2, 1);
    EXPECT_EQ(GetCapturedStdout(), "") << "env, obj and meth set: nothing goes to standard output";
    EXPECT_EQ(matrix, -1);
    EXPECT_EQ(priors, -1);
    EXPECT_EQ(info, -1);
    EXPECT_EQ(Drain(), (Strings{"Could not open " + missing,
                                "Could not open link file " + dir + "expr.link!",
                                "Could not open " + dir + "no/dir/expr_2_1.inf for writing!"}));

    // The control and data readers print on standard output, host or not.
    CaptureStdout();
    const int parameters = record.GetParameters();
    EXPECT_NE(GetCapturedStdout().find(dir + "no/dir/expr.ctr"), std::string::npos);
    EXPECT_EQ(parameters, -1);
    EXPECT_EQ(Drain(), Strings{});

    // Without meth there is no way to the JVM: standard output, as with no env.
    record.meth = nullptr;
    CaptureStdout();
    const int printed = record.ReadMatrix(m.data(), &missing[0], 2, 2);
    EXPECT_EQ(GetCapturedStdout(), "Could not open " + missing + "\n");
    EXPECT_EQ(printed, -1);
    EXPECT_EQ(Drain(), Strings{});
}

}  // namespace
