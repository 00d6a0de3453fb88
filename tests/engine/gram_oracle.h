// The Gram form of the unweighted round as literal loops: each quantity of
// engine/kernels/gram.h written out in its defined order, the sums over
// samples in their eight strands. The unit tests hold the engine's Gram
// kernels to it bit for bit, on every instruction set and thread count.
#ifndef ZARNO_GRAM_ORACLE_H
#define ZARNO_GRAM_ORACLE_H

#include <vector>

struct GramLiteral {
    int G, S, K;
    std::vector<double> data, A, P;
    std::vector<double> AW, PW;  // genes x patterns, patterns x samples
    double chi = 0.0;

    static double Above(double x) { return x > 1e-10 ? x : 0.0; }
    static double NotBelow(double x) { return x < 1e-10 ? 0.0 : x; }

    // Strand j adds the terms s = j mod 8 in order; then the fixed tree.
    template <class F>
    double Strands(F term) const
    {
        double t[8] = {0, 0, 0, 0, 0, 0, 0, 0};
        for (int s = 0; s < S; s++) t[s % 8] += term(s);
        return ((t[0] + t[1]) + (t[2] + t[3])) + ((t[4] + t[5]) + (t[6] + t[7]));
    }

    // PW = (Aw^T X) / ((Aw^T Am) Pm), 1.0 where the denominator is below eps.
    void PatternWeights()
    {
        std::vector<double> GA(K * K);
        for (int k = 0; k < K; k++)
            for (int j = 0; j < K; j++) {
                double sum = 0.0;
                for (int g = 0; g < G; g++) sum += Above(A[g * K + k]) * NotBelow(A[g * K + j]);
                GA[k * K + j] = sum;
            }
        for (int k = 0; k < K; k++)
            for (int s = 0; s < S; s++) {
                double up = 0.0;
                for (int g = 0; g < G; g++) up += Above(A[g * K + k]) * Above(data[g * S + s]);
                double lp = 0.0;
                for (int j = 0; j < K; j++) lp += GA[k * K + j] * NotBelow(P[j * S + s]);
                PW[k * S + s] = lp < 1e-10 ? 1.0 : up / lp;
            }
    }

    // Chi-square: per gene the squared residuals not below eps (the
    // reconstruction's patterns in order), in strands; the genes in order.
    void ChiSquare()
    {
        chi = 0.0;
        for (int g = 0; g < G; g++)
            chi += Strands([&](int s) {
                double m = 0.0;
                for (int k = 0; k < K; k++) m += NotBelow(A[g * K + k]) * NotBelow(P[k * S + s]);
                const double d = data[g * S + s] - m;
                return NotBelow(d * d);
            });
    }

    void Start(bool fit)
    {
        PatternWeights();
        if (fit) ChiSquare();
    }

    // A round: the patterns move, their amplitude weights from X Pw^T and
    // A (Pm Pw^T), the amplitudes move, the pattern weights of the new ones.
    void Round(bool fit)
    {
        for (int k = 0; k < K * S; k++) P[k] = P[k] * PW[k];
        std::vector<double> GP(K * K);
        for (int j = 0; j < K; j++)
            for (int k = 0; k < K; k++)
                GP[j * K + k] = Strands([&](int s) { return NotBelow(P[j * S + s]) * Above(P[k * S + s]); });
        for (int g = 0; g < G; g++)
            for (int k = 0; k < K; k++) {
                const double ua =
                    Strands([&](int s) { return Above(data[g * S + s]) * Above(P[k * S + s]); });
                double la = 0.0;
                for (int j = 0; j < K; j++) la += NotBelow(A[g * K + j]) * GP[j * K + k];
                AW[g * K + k] = la < 1e-10 ? 1.0 : ua / la;
            }
        for (int k = 0; k < G * K; k++) A[k] = A[k] * AW[k];
        PatternWeights();
        if (fit) ChiSquare();
    }
};

#endif
