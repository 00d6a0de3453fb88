// The engine's file-driven starts, fixed-length runs and diagnostics.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>

#include "engine_probe.h"
#include "file_fixture.h"

using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStdout;

namespace {

std::vector<double> Copy(const double* p, int n)
{
    return std::vector<double>(p, p + n);
}

class FileEngine : public FileTest {
protected:
    std::unique_ptr<Standalone> s;
    L* e = nullptr;
    EngineProbe* probe = nullptr;

    void Make(int genes, int samples, int patterns, int connectivity = 0)
    {
        s = std::make_unique<Standalone>(genes, samples, patterns, 1);
        e = &s->engine;
        probe = &s->probe;
        std::mt19937_64 rng(genes * 100 + samples);
        std::uniform_real_distribution<double> u(0.1, 3.0);
        for (auto& v : s->data) v = u(rng);
        for (auto& v : s->uncert) v = u(rng);
        e->ConnectivityCheck = connectivity;
        std::strcpy(e->FilePathFromNodes, dir.c_str());
        std::strcpy(e->basename, "expr");
        ASSERT_EQ(probe->Allocate(), 1);
    }
    void TearDown() override
    {
        if (probe) probe->Free();
        FileTest::TearDown();
    }
};

TEST_F(FileEngine, StartFromFilesPlusGroupPriors)
{
    Make(3, 2, 2);
    Write("a.txt", "1 2\n3 4\n5 6");
    Write("p.txt", "0.1 0.2 0.3 0.4\n");
    // Gene 0 twice and gene 2 in group 0, gene 1 in group 1.
    Write("expr.link", "h\nh\nh\n2 3 1\n0 g0\n2 g2\n0 g0\n1 g1\n");
    std::strcpy(e->Afile0, (dir + "a.txt").c_str());
    std::strcpy(e->Pfile0, (dir + "p.txt").c_str());
    for (int flag : {0, 1, -1}) {
        std::fill(e->Amplitude, e->Amplitude + 6, 9.0);
        ASSERT_EQ(probe->StartWithPriors(flag), 1) << flag;
        EXPECT_EQ(Copy(e->Amplitude, 6), (std::vector<double>{2, 2, 3, 4.5, 5.5, 6})) << flag;
        EXPECT_EQ(Copy(e->Pattern, 4), (std::vector<double>{0.1, 0.2, 0.3, 0.4})) << flag;
        // The sampling draws that follow start from Npatterns + chain + SeedA0 + 100.
        Rand15 expect(2 + 1 + SeedA0 + 100);
        EXPECT_EQ(probe->NextDraw(), expect.Next());
    }

    // Flag 3: the random start, then the same increments.
    L twin;
    EngineProbe tp(twin);
    twin.Ngenes = 3, twin.Nsamples = 2, twin.Npatterns = 2, twin.chain = 1;
    ASSERT_EQ(tp.Allocate(), 1);
    tp.Start();
    ASSERT_EQ(probe->StartWithPriors(3), 1);
    EXPECT_EQ(e->SeedA, twin.SeedA);
    EXPECT_EQ(Copy(e->Pattern, 4), Copy(twin.Pattern, 4));
    std::vector<double> expect = Copy(twin.Amplitude, 6);
    expect[0] += 0.5, expect[0] += 0.5, expect[4] += 0.5, expect[3] += 0.5;
    EXPECT_EQ(Copy(e->Amplitude, 6), expect);
    tp.Free();
}

TEST_F(FileEngine, FailedReadsReachTheCaller)
{
    Make(2, 2, 1);
    Write("a.txt", "1 2");
    Write("p.txt", "3 NA");
    std::strcpy(e->Afile0, (dir + "missing.txt").c_str());
    std::strcpy(e->Pfile0, (dir + "p.txt").c_str());
    std::fill(e->Amplitude, e->Amplitude + 2, 7.0);
    CaptureStdout();
    EXPECT_EQ(probe->StartWithPriors(0), -1);
    std::strcpy(e->Afile0, (dir + "a.txt").c_str());
    EXPECT_EQ(probe->StartWithPriors(1), -1);
    const std::string out = GetCapturedStdout();
    EXPECT_EQ(out, "Could not open " + dir + "missing.txt\nCould not read " + dir +
                       "p.txt: row 1, column 2 (line 1): \"NA\" is not a number\n");
    EXPECT_EQ(Copy(e->Pattern, 2), std::vector<double>(2, 0.0)) << "a failed read changes nothing";

    // Without a link file the start is made and the caller told.
    CaptureStdout();
    EXPECT_EQ(probe->StartWithPriors(3), -1);
    EXPECT_EQ(GetCapturedStdout(), "Could not open link file " + dir + "expr.link!\n");
    EXPECT_EQ(e->SeedA, 1 + 1 + SeedA0);
}

TEST_F(FileEngine, PriorEntriesOutsideTheMatricesAreRefused)
{
    Make(3, 2, 2);
    Write("expr.link", "h\nh\nh\n3 3 1 1\n-1\n3\n1\n2\n0\n");
    probe->Start();
    std::vector<double> expect = Copy(e->Amplitude, 6);
    expect[1 * 2 + 0] += 0.5;
    expect[2 * 2 + 1] += 0.5;
    CaptureStdout();
    EXPECT_EQ(probe->StartWithPriors(3), 1);
    EXPECT_EQ(GetCapturedStdout(),
              "Refused: group 0 lists 2 gene indices outside 0 to 2 (the first is -1); they are "
              "skipped\nRefused: group 2 has no pattern to raise (Npatterns 2); its 1 members are "
              "skipped\n");
    EXPECT_EQ(Copy(e->Amplitude, 6), expect);
}

TEST_F(FileEngine, FixedLengthRunsMatchTheSteps)
{
    Make(6, 5, 2);
    L twin;
    EngineProbe tp(twin);
    twin.Ngenes = 6, twin.Nsamples = 5, twin.Npatterns = 2, twin.chain = 1, twin.uncertFlag = 1;
    twin.data = s->data.data();
    twin.uncert = s->uncert.data();
    ASSERT_EQ(tp.Allocate(), 1);
    probe->Start();
    tp.Start();

    // No rounds: the reconstruction and the weights are still brought up to date.
    e->SimulateIterations = 0;
    std::fill(e->Mock, e->Mock + 30, -1.0);
    ASSERT_EQ(e->SA_simulation(0), 1);
    tp.Mock();
    tp.Weights();
    EXPECT_EQ(Copy(e->Mock, 30), Copy(twin.Mock, 30));
    EXPECT_EQ(Copy(probe->PW(), 10), Copy(tp.PW(), 10));

    e->SimulateIterations = 4;
    ASSERT_EQ(e->SA_simulation(0), 1);
    for (int k = 0; k < 4; k++) tp.Update(0);
    EXPECT_EQ(Copy(e->Amplitude, 12), Copy(twin.Amplitude, 12));
    EXPECT_EQ(Copy(e->Pattern, 10), Copy(twin.Pattern, 10));
    EXPECT_EQ(Copy(e->Mock, 30), Copy(twin.Mock, 30));

    // Any non-zero argument: RelaxSteps single-element steps.
    e->RelaxSteps = twin.RelaxSteps = 40;
    probe->SeedDraws(9);
    tp.SeedDraws(9);
    const std::vector<double> amplitudes = Copy(e->Amplitude, 12);
    ASSERT_EQ(e->SA_simulation(5), 1);
    ASSERT_EQ(twin.SA_simulation(1), 1);
    EXPECT_EQ(Copy(e->Pattern, 10), Copy(twin.Pattern, 10));
    EXPECT_EQ(Copy(e->Amplitude, 12), amplitudes);
    int picks = 0;
    for (int k = 0; k < 12; k++) picks += e->ScannedA[k];
    for (int k = 0; k < 10; k++) picks += e->ScannedP[k];
    EXPECT_EQ(picks, 40);
    tp.Free();
}

TEST_F(FileEngine, UncertaintyLiftAndRelax)
{
    Make(2, 2, 1);
    s->uncert = {0.1, 0.3, 1e-300, 7.0};
    e->uncert = s->uncert.data();
    const std::vector<double> before = s->uncert;
    EXPECT_EQ(probe->Lift(2.0), 1);
    EXPECT_EQ(s->uncert, (std::vector<double>{0.2, 0.6, 2e-300, 14.0}));
    EXPECT_EQ(probe->Relax(2.0), 1);
    EXPECT_EQ(s->uncert, before);
    EXPECT_EQ(probe->Relax(4.0), 1);
    EXPECT_EQ(s->uncert[3], 1.75);
    e->uncert = nullptr;
    EXPECT_EQ(probe->Lift(2.0), 0);
}

TEST_F(FileEngine, NormalizedPatternsAndConnectivity)
{
    Make(2, 4, 2, 1);
    double P[] = {1, 3, 0, 4, 2, 2, 6, 0};
    std::memcpy(e->Pattern, P, sizeof P);
    ASSERT_EQ(probe->NormalizeP(), 1);
    EXPECT_EQ(Copy(e->Pattern, 8), Copy(P, 8));
    EXPECT_EQ(Copy(probe->NormalizedP(), 8),
              (std::vector<double>{0.125, 0.375, 0.0, 0.5, 0.2, 0.2, 0.6, 0.0}));

    for (int k = 0; k < 16; k++) ASSERT_EQ(probe->Conn0()[k], 0);
    // Dominant patterns: 1, 0, 1, 0. Pairs sharing one: (0,2) and (1,3).
    EXPECT_EQ(probe->Connectivity(), 2);
    EXPECT_EQ(probe->Conn()[0 * 4 + 2], 1);
    EXPECT_EQ(probe->Conn()[0 * 4 + 1], 0);
    EXPECT_EQ(probe->Connectivity(), 0);

    // Sample 0 ties: the lower pattern wins, so it joins 1 and 3 and leaves 2.
    double* n = probe->NormalizedP();
    n[0] = n[4] = 0.3;
    EXPECT_EQ(probe->Connectivity(), 3);
    EXPECT_EQ(probe->Conn0()[0 * 4 + 1], 1);
    // Diagonal and lower triangle are never written.
    EXPECT_EQ(probe->Conn()[1 * 4 + 0], 0);
    EXPECT_EQ(probe->Conn()[0], 0);
}

TEST_F(FileEngine, ConnectivityEdges)
{
    Make(2, 1, 2, 1);
    probe->NormalizeP();
    EXPECT_EQ(probe->Connectivity(), 0);
    probe->Free();
    s.reset();
    Make(2, 3, 2, 0);
    CaptureStdout();
    EXPECT_EQ(probe->Connectivity(), -1);
    EXPECT_NE(GetCapturedStdout().find("Refused: TestConnectivity needs the connectivity matrices"),
              std::string::npos);
}

TEST_F(FileEngine, SparsenessCutsBelowTheCutoff)
{
    Make(3, 2, 3);
    double A[] = {1, 2, 3, 4, 4, 4, 3, 1, 2};
    std::memcpy(e->Amplitude, A, sizeof A);
    e->Zcutoff = 0.0;
    ASSERT_EQ(probe->Sparse(), 1);
    // z-scores -1, 0, 1: only the one below 0 goes; 0 itself stays.
    EXPECT_EQ(Copy(e->Amplitude, 9), (std::vector<double>{0, 2, 3, 4, 4, 4, 3, 0, 2}));
    e->Zcutoff = 0.5;
    ASSERT_EQ(probe->Sparse(), 1);
    EXPECT_EQ(Copy(e->Amplitude, 9), (std::vector<double>{0, 0, 3, 0, 0, 0, 3, 0, 0}));

    probe->Free();
    s.reset();
    Make(2, 2, 1);
    e->Amplitude[0] = 5.0, e->Amplitude[1] = 6.0;
    e->Zcutoff = 1.0;
    ASSERT_EQ(probe->Sparse(), 1);
    EXPECT_EQ(Copy(e->Amplitude, 2), (std::vector<double>{5.0, 6.0}));
}

TEST_F(FileEngine, AWholeFileDrivenRun)
{
    Write("expr.ctr", "4 3 1\n2 2 1 30\n");
    Write("expr.txt", "gene a b c\ng1 1 2 3\ng2 2 4 6\ng3 0 1 0\ng4 5 5 5\n");
    Write("expr.unc", "gene a b c\ng1 .1 .1 .1\ng2 .2 .2 .2\ng3 .1 .1 .1\ng4 .5 .5 .5\n");
    Write("expr.link", "priors\n\n\n1 2\n0\n1\n");
    L engine;
    EngineProbe p(engine);
    std::strcpy(engine.FilePathFromNodes, dir.c_str());
    std::string prog = "ZARNO", tag = "expr";
    char* argu[] = {&prog[0], &tag[0], nullptr};
    CaptureStdout();
    ASSERT_EQ(engine.ProcessingInput(2, argu), 1);
    ASSERT_EQ(engine.GetParameters(), 1);
    ASSERT_EQ(engine.ReadSourceData(), 1);
    GetCapturedStdout();
    engine.Npatterns = engine.StartRank;
    engine.chain = 1;
    ASSERT_EQ(p.Allocate(), 1);
    ASSERT_EQ(p.StartWithPriors(3), 1);
    ASSERT_EQ(engine.SA_simulation(0), 1);
    for (int k = 0; k < 8; k++) EXPECT_TRUE(std::isfinite(engine.Amplitude[k]));
    ASSERT_EQ(engine.PrintInf(engine.Amplitude, engine.Pattern, 2, 1), 1);
    EXPECT_EQ(Lines(dir + "expr_2_1.inf").size(), 5u + 2 * (4 + 3));
    EXPECT_EQ(engine.uncert[2 * 3 + 0], 1.0) << "zero data carry uncertainty 1";
    p.Free();
}

}  // namespace
