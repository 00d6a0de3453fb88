// The engine's arithmetic as literal loops: a loop-for-loop transcription of
// the reconstruction, the weights and the full update round, kept literal on
// purpose. The unit tests compare the engine against it bit for bit, and the
// benchmarks time it as the reference.
#ifndef ZARNO_LITERAL_ORACLE_H
#define ZARNO_LITERAL_ORACLE_H

#include <vector>

// Literal transcription: target element outermost, summation index innermost,
// each test exactly as written. Works on data already divided by uncertainty.
struct Literal {
    int Ngenes, Nsamples, Npatterns, uncertFlag;
    std::vector<double> data, uncert, Amplitude, Pattern, Mock, A_Weights, P_Weights;

    void GenerateMock()
    {
        for (int g = 0; g < Ngenes; g++)
            for (int s = 0; s < Nsamples; s++) {
                Mock[g * Nsamples + s] = 0.0;
                for (int p = 0; p < Npatterns; p++)
                    if (!(Amplitude[g * Npatterns + p] < 1e-10) && !(Pattern[p * Nsamples + s] < 1e-10))
                        Mock[g * Nsamples + s] += Amplitude[g * Npatterns + p] * Pattern[p * Nsamples + s];
                if (uncertFlag != 0) Mock[g * Nsamples + s] /= uncert[g * Nsamples + s];
            }
    }

    void GenerateWeights()
    {
        for (int p = 0; p < Npatterns; p++)
            for (int s = 0; s < Nsamples; s++) {
                int EleIndex = p * Nsamples + s;
                double UP = 0.0, LP = 0.0;
                for (int g = 0; g < Ngenes; g++) {
                    int index1 = g * Npatterns + p, index2 = g * Nsamples + s;
                    if (!(Amplitude[index1] > 1e-10)) continue;
                    if (data[index2] > 1e-10) UP += Amplitude[index1] * data[index2];
                    if (Mock[index2] > 1e-10) LP += Amplitude[index1] * Mock[index2];
                }
                P_Weights[EleIndex] = LP < 1e-10 ? 1.0 : UP / LP;
            }
        for (int g = 0; g < Ngenes; g++)
            for (int p = 0; p < Npatterns; p++) {
                int EleIndex = g * Npatterns + p;
                double UA = 0.0, LA = 0.0;
                for (int s = 0; s < Nsamples; s++) {
                    int index1 = g * Nsamples + s, index2 = p * Nsamples + s;
                    if (!(Pattern[index2] > 1e-10)) continue;
                    if (data[index1] > 1e-10) UA += data[index1] * Pattern[index2];
                    if (Mock[index1] > 1e-10) LA += Mock[index1] * Pattern[index2];
                }
                A_Weights[EleIndex] = LA < 1e-10 ? 1.0 : UA / LA;
            }
    }

    // Updating(0), one half at a time.
    void PatternHalf()
    {
        for (int k = 0; k < Npatterns * Nsamples; k++) Pattern[k] = Pattern[k] * P_Weights[k];
        GenerateMock();
        GenerateWeights();
    }
    void AmplitudeHalf()
    {
        for (int k = 0; k < Ngenes * Npatterns; k++) Amplitude[k] = Amplitude[k] * A_Weights[k];
        GenerateMock();
        GenerateWeights();
    }
};

#endif
