// One whole host job through a real JVM, and the share of it spent copying
// results into KQout.
//
//   zarno_e2e CLASSES_DIR [GENES SAMPLES FIRST_RANK LAST_RANK CHAINS ROUNDS [JVM_OPTION ...]]
//
// Starts a JVM on the host classes (with the JVM's defaults unless options
// follow the sizes), builds a lib.KQin of positive data near rank 4 with
// uncertainties (default 20000 x 200, pattern counts 2 to 4, 2 chains, 200
// rounds) and calls lib.ZARNO.zarno on it, as a host does; the native method
// is bound to this binary's copy of the library. The exports are timed inside
// that job: the link wraps io::PrintMatrixes and io::PrintOutput (ld --wrap),
// so the wrappers below run in their place, time them and call the originals.
#include <jni.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "L.h"

extern "C" JNIEXPORT jint JNICALL Java_lib_ZARNO_zarno(JNIEnv* env, jobject obj, jobject KQin,
                                                       jobject KQout);

namespace {

double gExportWall = 0.0, gExportThread = 0.0;
int gMatrixCalls = 0, gOutputCalls = 0;

}  // namespace

// The wrapped exports: the mangled names of io::PrintMatrixes and
// io::PrintOutput, with `this` first, as the C++ ABI passes it.
#define ZARNO_PRINT_MATRIXES _ZN2io13PrintMatrixesEPdS0_iiP7JNIEnv_P8_jobjectS4_
#define ZARNO_PRINT_OUTPUT \
    _ZN2io11PrintOutputEPdiiillddNSt7__cxx1112basic_stringIcSt11char_traitsIcESaIcEEES6_dP7JNIEnv_P8_jobjectSA_
#define ZARNO_CAT2(a, b) a##b
#define ZARNO_CAT(a, b) ZARNO_CAT2(a, b)

extern "C" {
int ZARNO_CAT(__real_, ZARNO_PRINT_MATRIXES)(io* self, double* A, double* P, int Npatterns,
                                             int chain, JNIEnv* env, jobject obj, jobject KQout);
int ZARNO_CAT(__real_, ZARNO_PRINT_OUTPUT)(io* self, double* Mock, int Npatterns, int chain,
                                           int UsedRound, long SeedA, long SeedP, double rmsd,
                                           double ChiSquare, std::string StartTime,
                                           std::string EndTime, double UsedMins, JNIEnv* env,
                                           jobject obj, jobject KQout);
int ZARNO_CAT(__wrap_, ZARNO_PRINT_MATRIXES)(io* self, double* A, double* P, int Npatterns,
                                             int chain, JNIEnv* env, jobject obj, jobject KQout);
int ZARNO_CAT(__wrap_, ZARNO_PRINT_OUTPUT)(io* self, double* Mock, int Npatterns, int chain,
                                           int UsedRound, long SeedA, long SeedP, double rmsd,
                                           double ChiSquare, std::string StartTime,
                                           std::string EndTime, double UsedMins, JNIEnv* env,
                                           jobject obj, jobject KQout);
}

namespace {

[[noreturn]] void Fail(JNIEnv* env, const char* what)
{
    if (env != nullptr && env->ExceptionCheck()) env->ExceptionDescribe();
    std::fprintf(stderr, "zarno_e2e: %s\n", what);
    std::exit(1);
}

double Wall()
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

double ThreadCpu()
{
    timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
}

double ProcessCpu()
{
    timespec t;
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec + 1e-9 * t.tv_nsec;
}

void SetInt(JNIEnv* env, jobject o, const char* name, int v)
{
    jclass c = env->GetObjectClass(o);
    jfieldID f = env->GetFieldID(c, name, "I");
    if (f == nullptr) Fail(env, name);
    env->SetIntField(o, f, v);
    env->DeleteLocalRef(c);
}

void SetObject(JNIEnv* env, jobject o, const char* name, const char* sig, jobject v)
{
    jclass c = env->GetObjectClass(o);
    jfieldID f = env->GetFieldID(c, name, sig);
    if (f == nullptr || v == nullptr) Fail(env, name);
    env->SetObjectField(o, f, v);
    env->DeleteLocalRef(c);
    env->DeleteLocalRef(v);
}

jobjectArray Labels(JNIEnv* env, const char* prefix, int n)
{
    jclass sc = env->FindClass("java/lang/String");
    jobjectArray a = env->NewObjectArray(n, sc, nullptr);
    if (a == nullptr) Fail(env, "labels");
    for (int i = 0; i < n; i++) {
        jstring s = env->NewStringUTF((prefix + std::to_string(i)).c_str());
        env->SetObjectArrayElement(a, i, s);
        env->DeleteLocalRef(s);
    }
    env->DeleteLocalRef(sc);
    return a;
}

jdoubleArray Doubles(JNIEnv* env, const std::vector<double>& v)
{
    jdoubleArray a = env->NewDoubleArray(static_cast<jsize>(v.size()));
    if (a == nullptr) Fail(env, "double array");
    env->SetDoubleArrayRegion(a, 0, static_cast<jsize>(v.size()), v.data());
    return a;
}

jobject New(JNIEnv* env, const char* cls)
{
    jclass c = env->FindClass(cls);
    if (c == nullptr) Fail(env, cls);
    jmethodID init = env->GetMethodID(c, "<init>", "()V");
    jobject o = init ? env->NewObject(c, init) : nullptr;
    if (o == nullptr) Fail(env, cls);
    env->DeleteLocalRef(c);
    return o;
}

}  // namespace

int ZARNO_CAT(__wrap_, ZARNO_PRINT_MATRIXES)(io* self, double* A, double* P, int Npatterns,
                                             int chain, JNIEnv* env, jobject obj, jobject KQout)
{
    const double w = Wall(), t = ThreadCpu();
    const int r =
        ZARNO_CAT(__real_, ZARNO_PRINT_MATRIXES)(self, A, P, Npatterns, chain, env, obj, KQout);
    gExportWall += Wall() - w;
    gExportThread += ThreadCpu() - t;
    gMatrixCalls++;
    return r;
}

int ZARNO_CAT(__wrap_, ZARNO_PRINT_OUTPUT)(io* self, double* Mock, int Npatterns, int chain,
                                           int UsedRound, long SeedA, long SeedP, double rmsd,
                                           double ChiSquare, std::string StartTime,
                                           std::string EndTime, double UsedMins, JNIEnv* env,
                                           jobject obj, jobject KQout)
{
    const double w = Wall(), t = ThreadCpu();
    const int r = ZARNO_CAT(__real_, ZARNO_PRINT_OUTPUT)(
        self, Mock, Npatterns, chain, UsedRound, SeedA, SeedP, rmsd, ChiSquare,
        std::move(StartTime), std::move(EndTime), UsedMins, env, obj, KQout);
    gExportWall += Wall() - w;
    gExportThread += ThreadCpu() - t;
    gOutputCalls++;
    return r;
}

int main(int argc, char** argv)
{
    if (argc != 2 && argc < 8) {
        std::fprintf(stderr,
                     "usage: zarno_e2e CLASSES_DIR [GENES SAMPLES FIRST_RANK LAST_RANK CHAINS ROUNDS "
                     "[JVM_OPTION ...]]\n");
        return 2;
    }
    int G = 20000, S = 200, first = 2, last = 4, chains = 2, rounds = 200;
    if (argc >= 8) {
        G = std::atoi(argv[2]), S = std::atoi(argv[3]), first = std::atoi(argv[4]);
        last = std::atoi(argv[5]), chains = std::atoi(argv[6]), rounds = std::atoi(argv[7]);
    }

    // The JVM as a host would start it by default; further options (heap size,
    // collector) from the command line.
    std::string cp = std::string("-Djava.class.path=") + argv[1];
    std::vector<JavaVMOption> options(1);
    options[0].optionString = const_cast<char*>(cp.c_str());
    for (int i = 8; i < argc; i++) options.push_back({argv[i], nullptr});
    JavaVMInitArgs vmArgs{};
    vmArgs.version = JNI_VERSION_1_8;
    vmArgs.nOptions = static_cast<jint>(options.size());
    vmArgs.options = options.data();
    JavaVM* vm = nullptr;
    JNIEnv* env = nullptr;
    if (JNI_CreateJavaVM(&vm, reinterpret_cast<void**>(&env), &vmArgs) != JNI_OK)
        Fail(nullptr, "no JVM");

    // Bind lib.ZARNO.zarno to this binary's copy of the entry point.
    jclass hostClass = env->FindClass("lib/ZARNO");
    if (hostClass == nullptr) Fail(env, "lib.ZARNO not on the class path");
    JNINativeMethod native = {const_cast<char*>("zarno"),
                              const_cast<char*>("(Ljava/lang/Object;Ljava/lang/Object;)I"),
                              reinterpret_cast<void*>(&Java_lib_ZARNO_zarno)};
    if (env->RegisterNatives(hostClass, &native, 1) != 0) Fail(env, "RegisterNatives");
    jobject host = New(env, "lib/ZARNO");

    // Positive data near rank 4, uncertainties growing with the value.
    std::vector<double> data(static_cast<size_t>(G) * S), acc(data.size());
    {
        std::mt19937_64 rng(2024);
        std::uniform_real_distribution<double> u(0.0, 1.0);
        std::vector<double> a(static_cast<size_t>(G) * 4), p(4 * static_cast<size_t>(S));
        for (auto& v : a) v = u(rng);
        for (auto& v : p) v = u(rng);
        for (int g = 0; g < G; g++)
            for (int s = 0; s < S; s++) {
                double x = 0.01;
                for (int k = 0; k < 4; k++) x += a[g * 4 + k] * p[k * static_cast<size_t>(S) + s];
                x *= 0.8 + 0.4 * u(rng);
                data[static_cast<size_t>(g) * S + s] = x;
                acc[static_cast<size_t>(g) * S + s] = 0.05 + 0.1 * x;
            }
    }
    jobject in = New(env, "lib/KQin");
    SetObject(env, in, "tag", "Ljava/lang/String;", env->NewStringUTF("e2e"));
    SetObject(env, in, "dir", "Ljava/lang/String;", env->NewStringUTF("/tmp/zarno-e2e/"));
    SetInt(env, in, "Na", G);
    SetInt(env, in, "Nf", S);
    SetObject(env, in, "data", "[D", Doubles(env, data));
    SetObject(env, in, "acc", "[D", Doubles(env, acc));
    SetInt(env, in, "uncertFlag", 1);
    SetInt(env, in, "StartRank", first);
    SetInt(env, in, "EndRank", last);
    SetInt(env, in, "Nchains", chains);
    SetInt(env, in, "Niter", rounds);
    SetInt(env, in, "NfeetA", 0);
    SetObject(env, in, "NfootA", "[I", env->NewIntArray(0));
    {
        jclass ia = env->FindClass("[I");
        SetObject(env, in, "NlistA", "[[I", env->NewObjectArray(0, ia, nullptr));
        env->DeleteLocalRef(ia);
    }
    SetObject(env, in, "geneNames", "[Ljava/lang/String;", Labels(env, "g", G));
    SetObject(env, in, "xLabels", "[Ljava/lang/String;", Labels(env, "s", S));
    jobject out = New(env, "kqviewer/ZevuzuExp");

    // The whole job, as the host calls it.
    jmethodID zarno =
        env->GetMethodID(hostClass, "zarno", "(Ljava/lang/Object;Ljava/lang/Object;)I");
    if (zarno == nullptr) Fail(env, "zarno method");
    std::fflush(stdout);
    const double w0 = Wall(), t0 = ThreadCpu(), p0 = ProcessCpu();
    const jint rc = env->CallIntMethod(host, zarno, in, out);
    const double jobWall = Wall() - w0, jobThread = ThreadCpu() - t0,
                 jobProcess = ProcessCpu() - p0;
    if (env->ExceptionCheck() || rc != 0) Fail(env, "the job failed");

    const int runs = (last - first + 1) * chains;
    std::printf(
        "\nEnd to end through the JVM: %d x %d, pattern counts %d to %d, %d chain%s, %d rounds "
        "(%d runs)\n",
        G, S, first, last, chains, chains == 1 ? "" : "s", rounds, runs);
    std::printf(
        "  whole job:      %8.3f s wall, %8.3f s CPU of the calling thread, %8.3f s CPU of "
        "the process (GC threads included)\n",
        jobWall, jobThread, jobProcess);
    std::printf(
        "  KQout exports:  %8.3f s wall, %8.3f s CPU of the calling thread "
        "(%d PrintMatrixes, %d PrintOutput)\n",
        gExportWall, gExportThread, gMatrixCalls, gOutputCalls);
    std::printf(
        "  export share:   %7.2f %% of the job's wall time, %.2f %% of its calling-thread "
        "CPU\n",
        100.0 * gExportWall / jobWall, 100.0 * gExportThread / jobThread);
    vm->DestroyJavaVM();
    return 0;
}
