// The run parameters record: a job's settings, its borrowed data, the host
// handles, the file readers and the result writers.
#ifndef ZARNO_IO_H
#define ZARNO_IO_H

#include "jni_types.h"

#include <cstdio>
#include <ctime>
#include <string>

#include "Common.h"
#include "host.h"

// ctime text of t (24 characters and a newline), formatted re-entrantly.
std::string CTimeText(time_t t);

// printf-style formatting into a string of whatever length it needs.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

class io : public Common {
public:
    int Ngenes = 0;
    int Nsamples = 0;
    int uncertFlag = 0;
    int StartRank = 0;
    int EndRank = 0;
    int Nchains = 0;
    int SimulateIterations = 0;
    int Ngroups = 0;
    int* Nmembers = nullptr;
    int** GroupPriors = nullptr;
    int ConnectivityCheck = 0;
    int PriorFlag = 0;
    int sparsityFlag = 0;
    int SA_STEP = 0;
    int RelaxSteps = 0;
    int Nstartpoints = 0;
    double StartTMPT = 0.0;
    double Zcutoff = 0.0;
    double* data = nullptr;
    double* uncert = nullptr;
    double sparsityscale = 0.0;
    char basename[NAMEL] = {};
    char datafile[NAMEL] = {};
    char ctrlfile[NAMEL] = {};
    char uncertfile[NAMEL] = {};
    char FileName[NAMEL] = {};
    char FilePathFromNodes[NAMEL] = {};
    char Afile0[NAMEL] = {};
    char Pfile0[NAMEL] = {};
    JNIEnv* env = nullptr;
    jobject obj = nullptr;
    jclass cls = nullptr;
    jmethodID meth = nullptr;
    jobject KQout = nullptr;

    io() {}
    explicit io(char* path);
    ~io();
    io(const io&) = delete;  // owns what the file readers allocated
    io& operator=(const io&) = delete;

    // Reports the job's parameters to the host.
    void VerifyInputParams();

    // Sends text to the attached host; without one, to the JVM's guiPrint
    // through meth when env, obj and meth are set (RecordMessenger, host.h),
    // else to standard output. Returns 1, or 0 when the host wants the job to
    // stop.
    int Message(const char* text);

    // Where messages and results go from now on; null: standard output, and
    // results stay in the engine.
    void Attach(EngineHost* h) { host = h; }
    EngineHost* Host() const { return host; }

    // File-driven mode. Results: 1 read; 0 or -1 failed, with a message
    // (standard output for the control and data files, the host for the
    // matrix and link files). A failed read leaves no element unset.
    int ProcessingInput(int argv, char** argu);
    int GetParameters();
    int ReadSourceData();
    int ReadMatrix(double* matrix, char* filename, int Nrows, int Ncolumns);
    int GetPriors();
    // Frees what the file readers allocated (data, uncert, the group table)
    // and clears the members still pointing there. Arrays a host lent are
    // never freed.
    void ReleaseFileData();

    // Result writers. The two exports (defined with the JNI layer, io_jni.cpp)
    // return 1, or 0 when a JNI call failed (a Java exception is then pending
    // and the job must stop).
    int PrintMatrixes(double* A, double* P, int Npatterns, int chain, JNIEnv* env,
                      jobject obj, jobject KQout);
    int PrintOutput(double* Mock, int Npatterns, int chain, int UsedRound, long SeedA,
                    long SeedP, double rmsd, double ChiSquare, std::string StartTime,
                    std::string EndTime, double UsedMins, JNIEnv* env, jobject obj,
                    jobject KQout);
    int PrintInf(double* A, double* P, int Npatterns, int chain);

private:
    int ReadDoubleInput();
    int ReadSingleInput();
    // Reads one data or uncertainty file into target; 1 or -1.
    int ReadMatrixFile(const char* file, double* target, bool isUncert);

    // Allocations of the file readers, owned by the record.
    double* ownedData = nullptr;
    double* ownedUncert = nullptr;
    int* ownedMembers = nullptr;
    int** ownedPriors = nullptr;
    int* ownedPriorCells = nullptr;
    bool prefixRefused = false;  // io(char*) got a prefix that does not fit

protected:
    EngineHost* host = nullptr;
};

#endif
