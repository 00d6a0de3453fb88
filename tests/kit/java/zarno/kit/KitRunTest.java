package zarno.kit;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import kqviewer.ZevuzuExp;
import lib.KQin;
import org.junit.jupiter.api.Test;
import zarno.Jobs;
import zarno.RecordingHost;

/** What a study computes: the classic job's runs, whatever the study's shape and threads. */
class KitRunTest {
    // The classic job's runs through lib.ZARNO and KQout, against the kit's.
    static void assertSameAsClassic(KQin in, StudyResult kit) {
        RecordingHost host = new RecordingHost();
        assertEquals(0, host.zarno(in, new ZevuzuExp()));
        assertEquals(host.results.size(), kit.runs().size());
        int i = 0;
        for (int p = in.StartRank; p <= in.EndRank; p++) {
            for (int c = 1; c <= in.Nchains; c++, i++) {
                ZevuzuExp classic = host.results.get(i);
                Run run = kit.runs().get(i);
                assertEquals(p, run.patternCount());
                assertEquals(c, run.chain());
                assertEquals(Double.doubleToRawLongBits(classic.chisq), Double.doubleToRawLongBits(run.chiSquare()));
                assertEquals(Double.doubleToRawLongBits(classic.AtomsA), Double.doubleToRawLongBits(run.residualSum()));
                KitData.assertBits(flatten(classic.distribution), run.amplitudes());
                KitData.assertBits(flatten(classic.pattern), run.patterns());
                assertEquals(classic.Iseed, run.seedA());
                assertEquals(classic.SeedP, run.seedP());
                assertEquals(classic.Nshow, run.rounds());
            }
        }
    }

    static double[] flatten(double[][] m) {
        return Arrays.stream(m).flatMapToDouble(Arrays::stream).toArray();
    }

    @Test
    void everyRunEqualsTheClassicJobsRunBitForBit() {
        KQin in = Jobs.job(40, 9, 11);
        in.StartRank = 2;
        in.EndRank = 4;
        in.Nchains = 3;
        in.Niter = 150;
        Dataset data = Dataset.of(in.data, in.acc, 40, 9);
        // tolerance(0): every round, as the classic job runs them (the default stops once settled).
        for (int threads : new int[] {1, 3}) {
            assertSameAsClassic(in, Study.of(data).ranks(2, 4).chains(3).rounds(150).tolerance(0).threads(threads)
                    .run());
        }
        // Without uncertainties: the classic job with uncertFlag 0, in the classic arithmetic (the
        // default for unweighted data is the Gram form, equal to rounding only).
        in.uncertFlag = 0;
        assertSameAsClassic(in, Study.of(Dataset.unweighted(in.data, 40, 9)).ranks(2, 4).chains(3).rounds(150)
                .tolerance(0).arithmetic(Arithmetic.CLASSIC).threads(2).run());
    }

    @Test
    void aRunIsTheSameRunInEveryStudy() {
        Dataset data = KitData.dataset(30, 10, 12);
        Study base = Study.of(data).rounds(80).threads(2);
        StudyResult all = base.ranks(2, 4).chains(4).run();
        StudyResult first = base.ranks(2, 4).chains(1, 2).run();
        StudyResult extension = base.ranks(2, 4).chains(3, 4).run();
        StudyResult single = base.rank(3).chains(2, 2).threads(1).run();
        List<Run> joined = new ArrayList<>();
        for (int p = 2; p <= 4; p++) {
            joined.addAll(first.runs(p));
            joined.addAll(extension.runs(p));
        }
        KitData.assertSameRuns(all.runs(), joined);
        KitData.assertSameRun(all.run(3, 2), single.runs().get(0));
        assertEquals(3, extension.run(2, 3).chain());
        assertNotEquals(all.run(3, 1).chiSquare(), all.run(3, 2).chiSquare());
    }

    @Test
    void aToleranceEndsRunsEarlyTheSameWayOnAnyThreads() {
        Study settled = Study.of(KitData.dataset(40, 10, 14)).ranks(2, 3).chains(3).rounds(5000).tolerance(1e-4);
        StudyResult one = settled.threads(1).run();
        KitData.assertSameRuns(one.runs(), settled.threads(3).run().runs());
        assertTrue(one.runs().stream().allMatch(r -> r.rounds() % 10 == 0 && r.rounds() < 5000), one.runs().toString());
        for (double bad : new double[] {-1e-6, Double.NaN, Double.POSITIVE_INFINITY}) {
            assertThrows(IllegalArgumentException.class, () -> settled.tolerance(bad));
        }
    }

    @Test
    void runsAreImmutableCopiesWithTheirLookups() {
        Dataset data = KitData.dataset(25, 7, 13);
        StudyResult result = Study.of(data).ranks(2, 3).chains(3).rounds(45).trace(true).run();
        assertEquals(6, result.runs().size());
        assertThrows(UnsupportedOperationException.class, () -> result.runs().clear());
        for (Run run : result.runs()) {
            assertEquals(25, run.genes());
            assertEquals(7, run.samples());
            double[] a = run.amplitudes();
            double[] p = run.patterns();
            assertEquals(25 * run.patternCount(), a.length);
            assertEquals(run.patternCount() * 7, p.length);
            for (int k = 0; k < run.patternCount(); k++) {
                assertEquals(1.0, Arrays.stream(run.pattern(k)).sum(), 1e-12);
                assertArrayEquals(Arrays.copyOfRange(p, k * 7, k * 7 + 7), run.pattern(k));
            }
            assertEquals(a[3 * run.patternCount() + 1], run.amplitude(3, 1));
            Arrays.fill(a, -1);
            Arrays.fill(p, -1);
            run.trace()[0] = -1;
            assertTrue(run.amplitude(3, 1) >= 0 && run.patterns()[0] >= 0 && run.trace()[0] >= 0);
            // Chi-square at rounds 0, 10, 20, 30, 40, falling.
            assertEquals(5, run.trace().length);
            assertTrue(run.trace()[4] < run.trace()[0]);
            assertThrows(IndexOutOfBoundsException.class, () -> run.amplitude(25, 0));
            assertThrows(IndexOutOfBoundsException.class, () -> run.pattern(run.patternCount()));
        }
        for (int p = 2; p <= 3; p++) {
            Run best = result.best(p);
            for (Run r : result.runs(p)) {
                assertTrue(best.chiSquare() <= r.chiSquare());
            }
            assertSame(best, result.run(p, best.chain()));
        }
        assertThrows(IllegalArgumentException.class, () -> result.best(4));
        assertThrows(IllegalArgumentException.class, () -> result.run(2, 4));
        assertEquals(0, Study.of(data).rank(2).chains(1).rounds(20).run().runs().get(0).trace().length);
    }
}
