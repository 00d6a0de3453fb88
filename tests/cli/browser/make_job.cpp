// Writes the run directory of a small job on the shipped sample for the
// browser test: pattern counts 2 to 4, 3 chains (or CHAINS), 400 rounds,
// traces kept; weighted unless "unweighted" is given.
//   zarno_make_job DATA UNCERT DIR [CHAINS [unweighted]]
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "survey_fixture.h"

int main(int argc, char** argv)
{
    if (argc < 4 || argc > 6) {
        std::fprintf(stderr, "usage: %s DATA UNCERT DIR [CHAINS [unweighted]]\n", argv[0]);
        return 2;
    }
    std::vector<double> data, sigma;
    std::vector<std::string> genes, samples;
    int G = 0, S = 0, G2 = 0, S2 = 0;
    if (!fixture::ReadMatrix(argv[1], &data, &G, &S, &genes, &samples) ||
        !fixture::ReadMatrix(argv[2], &sigma, &G2, &S2) || G != G2 || S != S2) {
        std::fprintf(stderr, "%s: cannot read %s and %s as one shape\n", argv[0], argv[1], argv[2]);
        return 2;
    }
    const std::string dir = argv[3];
    const int chains = argc > 4 ? std::atoi(argv[4]) : 3;
    const bool weighted = !(argc > 5 && std::string(argv[5]) == "unweighted");
    fixture::WriteJob(dir, 2, 4, chains, weighted, "d0", weighted ? "u0" : "");
    for (int P = 2; P <= 4; P++)
        for (int c = 1; c <= chains; c++)
            fixture::WriteRun(dir, fixture::EngineRun(data, weighted ? &sigma : nullptr, G, S, P, c, 400, true),
                              genes, samples, "d0", weighted ? "u0" : "");
    return 0;
}
