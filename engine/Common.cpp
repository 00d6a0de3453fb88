#include "Common.h"

#include <cmath>

int Common::Zscoring(double* orig, double* zscore, int N)
{
    if (N <= 1) return -1;
    double sum1 = 0.0, sum2 = 0.0;
    for (int i = 0; i < N; i++) {
        sum1 += orig[i];
        sum2 += orig[i] * orig[i];
    }
    // One-pass sample variance (divided by N - 1).
    double sd = (sum2 - (sum1 * sum1) / N) / (N - 1);
    if (std::fabs(sd) < 1e-15 || sd < 0.0) {
        for (int i = 0; i < N; i++) zscore[i] = 0.0;
        return 0;
    }
    sd = std::sqrt(sd);
    double average = sum1 / N;
    for (int i = 0; i < N; i++) zscore[i] = (orig[i] - average) / sd;
    return 1;
}

int Common::Zscoring(double* orig, int offset, double* zscore, int N)
{
    if (N <= 1) return -1;
    return Zscoring(orig + static_cast<long>(offset) * N, zscore, N);
}

double Common::ran2(long* idum)
{
    const long IM1 = 2147483563, IM2 = 2147483399;
    const long IA1 = 40014, IA2 = 40692, IQ1 = 53668, IQ2 = 52774;
    const long IR1 = 12211, IR2 = 3791;
    const int NTAB = 32;
    const double EPS = 1.2e-7;
    static const long IMM1 = IM1 - 1;
    static const double AM = 1.0 / IM1;
    static const long NDIV = 1 + IMM1 / NTAB;
    static const double RNMX = 1.0 - EPS;
    static long idum2 = 123456789;
    static long iy = 0;
    static long iv[NTAB];

    long k;
    if (*idum <= 0) {
        *idum = (-(*idum) < 1) ? 1 : -(*idum);
        idum2 = *idum;
        for (int j = NTAB + 7; j >= 0; j--) {
            k = *idum / IQ1;
            *idum = IA1 * (*idum - k * IQ1) - k * IR1;
            if (*idum < 0) *idum += IM1;
            if (j < NTAB) iv[j] = *idum;
        }
        iy = iv[0];
    }
    k = *idum / IQ1;
    *idum = IA1 * (*idum - k * IQ1) - k * IR1;
    if (*idum < 0) *idum += IM1;
    k = idum2 / IQ2;
    idum2 = IA2 * (idum2 - k * IQ2) - k * IR2;
    if (idum2 < 0) idum2 += IM2;
    int j = static_cast<int>(iy / NDIV);
    iy = iv[j] - idum2;
    iv[j] = *idum;
    if (iy < 1) iy += IMM1;
    double temp = AM * iy;
    return temp > RNMX ? RNMX : temp;
}
