// Shared constants, z-scoring and the random generators of ZARNO.
#ifndef ZARNO_COMMON_H
#define ZARNO_COMMON_H

#include <cstdint>

// Build-specific host contract: the program build talks to the lumeviewer host,
// the library build to the kqviewer host. Nothing else differs between the two.
#ifdef ZARNO_PROGRAM_BUILD
#define ZARNO_RESULT_METHOD "writeLumeOut"
#define ZARNO_RESULT_SIGNATURE "(Ljava/lang/String;Llumeviewer/ZevuzuExp;)V"
#define ZARNO_RECORD_EXTENSION ".viz"
#else
#define ZARNO_RESULT_METHOD "writeKQout"
#define ZARNO_RESULT_SIGNATURE "(Ljava/lang/String;Lkqviewer/ZevuzuExp;)V"
#define ZARNO_RECORD_EXTENSION ".kqo"
#endif

const int NAMEL = 200;            // every name, path and message buffer
const int INTERM = 10;            // rounds between fit tests
const int CONN_Threshold = 40;
const int SeedA0 = 123456789;     // base of the amplitude start seed
const int SeedP0 = 876543212;     // base of the pattern start seed
const double AcceptedDiff = 1e-5;
const double eps = 1e-10;         // positivity threshold of mock, weights and fit
const double UPPERLIMIT = 50.0;
const double weight = 0.5;        // amplitude increment of a group-prior member

// Generator of 15-bit draws (0 .. 32767) owned by one engine, so that jobs on
// different threads never share a sequence. It is the portable linear
// congruential generator of the C standard's example rand(), which gives the
// same sequence on every platform.
class Rand15 {
public:
    explicit Rand15(unsigned seed = 1) : state(seed) {}
    void Seed(unsigned seed) { state = seed; }
    int Next() {
        state = state * 1103515245u + 12345u;
        return static_cast<int>((state >> 16) & 32767u);
    }

private:
    std::uint32_t state;
};

class Common {
public:
    Common() {}

    // z-scores of N values with the sample deviation: 1 done, 0 variance too
    // small (zeros written), -1 fewer than 2 values (nothing written).
    int Zscoring(double* orig, double* zscore, int N);
    // The same for row `offset` of a row-major matrix with rows of N values.
    int Zscoring(double* orig, int offset, double* zscore, int N);

    // Uniform value in (0, 1): L'Ecuyer's combined generator with a
    // Bays-Durham shuffle. A value of *idum <= 0 (re)starts the sequence. Its
    // state is process-wide; no job uses it.
    double ran2(long* idum);
};

#endif
