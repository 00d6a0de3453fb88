package zarno;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import kqviewer.ZevuzuExp;
import lib.KQin;
import org.junit.jupiter.api.Test;

/** The host's view of a job through libZARNO: messages, callbacks and every output field. */
class HostPathTest {
    static final int SEED_A0 = 123456789;
    static final int SEED_P0 = 876543212;
    static final String STAMP = "\\w{3} \\w{3} [ \\d]\\d \\d\\d:\\d\\d:\\d\\d \\d{4}";

    static RecordingHost run(KQin in) {
        RecordingHost host = new RecordingHost();
        assertEquals(0, host.zarno(in, new ZevuzuExp()));
        return host;
    }

    @Test
    void messagesAndCallbacksArriveInSweepOrder() {
        KQin in = Jobs.job(30, 8, 1);
        in.Niter = 1000;
        RecordingHost host = run(in);
        List<String> e = host.events;
        assertEquals("msg:Running ZARNO", e.get(0));
        assertEquals("msg:basename expr\ndatafile " + in.dir + "expr.txt\n\nNgenes 30 Nsamples 8 "
                + "Uncertainty flag 1\nTestedRanks 2-3, Nchain 2, Total simulated rounds 1000", e.get(1));
        List<String> expected = new ArrayList<>();
        for (int p = 2; p <= 3; p++) {
            for (int c = 1; c <= 2; c++) {
                expected.add("msg:Npatterns " + p + " chain " + c);
                expected.add("result:" + in.dir + "run" + p + "_chain" + c + "/expr_" + p + "_" + c + ".kqo");
            }
        }
        assertEquals(expected, e.subList(2, 10));
        assertTrue(host.messages.get(6).matches(
                "//// Start at:   " + STAMP + "\n\n//// End   at:    " + STAMP + "\n"), host.messages.get(6));
        assertTrue(host.messages.get(7).matches("//// Used CPU:  [0-9.e+-]+ minutes\n"), host.messages.get(7));
        assertEquals(12, e.size());
    }

    @Test
    void everyOutputFieldHoldsTheRunsValues() {
        KQin in = Jobs.job(25, 7, 2);
        double[] dataBefore = in.data.clone();
        ZevuzuExp live = new ZevuzuExp();
        RecordingHost host = new RecordingHost();
        assertEquals(0, host.zarno(in, live));
        assertSame(in.geneNames, live.geneNames);
        assertSame(in.xLabels, live.xLabels);
        assertArrayEquals(dataBefore, in.data, "the host's data must come back unchanged");

        int run = 0;
        for (int p = 2; p <= 3; p++) {
            for (int c = 1; c <= 2; c++, run++) {
                ZevuzuExp r = host.results.get(run);
                assertEquals(25, r.Na);
                assertEquals(7, r.Nf);
                assertEquals(p, r.Nsol);
                assertEquals(1, r.Nfoot);
                assertArrayEquals(new double[] {1.0}, r.footprint);
                assertTrue(r.date.matches(STAMP), r.date);
                assertEquals("expr", r.tag);
                assertEquals(0.0, r.AtomsF);
                assertEquals(0.0, r.Evidence);
                assertEquals(0.0, r.lineMeasure);
                assertEquals(1.0, r.ptwidth);
                assertEquals(1, r.ENSEMBLE);
                assertEquals(30, r.Niter);
                assertEquals(30, r.Nshow);
                assertEquals(SEED_A0 + p + c, r.Iseed);
                assertEquals(SEED_P0 + p + c, r.SeedP);
                assertShape(r.distribution, 25, p);
                assertShape(r.pattern, p, 7);
                for (double[] row : r.distSD) assertArrayEquals(new double[p], row);
                for (double[] row : r.pattSD) assertArrayEquals(new double[7], row);
                assertShape(r.distSD, 25, p);
                assertShape(r.pattSD, p, 7);
                for (int g = 0; g < 25; g++) {
                    assertArrayEquals(Arrays.copyOfRange(in.data, g * 7, g * 7 + 7), r.data[g]);
                    assertArrayEquals(Arrays.copyOfRange(in.acc, g * 7, g * 7 + 7), r.noise[g]);
                }
                for (double[] row : r.pattern) {
                    assertEquals(1.0, Arrays.stream(row).sum(), 1e-12);
                }
                checkStatistics(in, r);
            }
        }
    }

    static void assertShape(double[][] m, int rows, int cols) {
        assertEquals(rows, m.length);
        for (double[] row : m) assertEquals(cols, row.length);
    }

    // mock is A x P (the product survives normalization up to rounding), and
    // the two statistics follow from data, mock and the uncertainties.
    static void checkStatistics(KQin in, ZevuzuExp r) {
        double chi = 0, ssr = 0;
        for (int g = 0; g < r.Na; g++) {
            for (int s = 0; s < r.Nf; s++) {
                double product = 0;
                for (int k = 0; k < r.Nsol; k++) product += r.distribution[g][k] * r.pattern[k][s];
                assertEquals(product, r.mock[g][s], 1e-9 * (1 + Math.abs(product)));
                double sigma = in.acc[g * r.Nf + s];
                double d = (in.data[g * r.Nf + s] / sigma - r.mock[g][s] / sigma);
                if (d * d >= 1e-10) {
                    chi += d * d;
                    ssr += d * d * sigma * sigma;
                }
            }
        }
        assertEquals(chi, r.chisq, 1e-9 * chi);
        assertEquals(ssr, r.AtomsA, 1e-9 * ssr);
    }

    @Test
    void withoutUncertaintiesTheResidualSumIsTheChiSquare() {
        KQin in = Jobs.job(20, 6, 3);
        in.uncertFlag = 0;
        in.acc = new double[in.acc.length]; // unused for weighting, still handed back as noise
        RecordingHost host = run(in);
        for (ZevuzuExp r : host.results) {
            assertEquals(r.chisq, r.AtomsA);
            double ssr = 0;
            for (int g = 0; g < r.Na; g++) {
                for (int s = 0; s < r.Nf; s++) {
                    double d = in.data[g * r.Nf + s] - r.mock[g][s];
                    if (d * d >= 1e-10) ssr += d * d;
                }
            }
            assertEquals(ssr, r.chisq, 1e-9 * ssr);
            for (double[] row : r.noise) assertArrayEquals(new double[r.Nf], row);
        }
    }

    @Test
    void runsAreDeterministicAndIndependentOfTheirSweep() {
        KQin in = Jobs.job(40, 9, 4);
        in.StartRank = 2;
        in.EndRank = 4;
        RecordingHost sweep = run(in);
        RecordingHost again = run(in);
        KQin alone = Jobs.job(40, 9, 4);
        alone.StartRank = 3;
        alone.EndRank = 3;
        RecordingHost single = run(alone);
        assertEquals(6, sweep.results.size());
        for (int i = 0; i < 6; i++) assertSameRun(sweep.results.get(i), again.results.get(i));
        // (3, 1) and (3, 2) are runs 2 and 3 of the sweep.
        assertSameRun(sweep.results.get(2), single.results.get(0));
        assertSameRun(sweep.results.get(3), single.results.get(1));
        // Different chains start from different seeds and end elsewhere.
        assertTrue(sweep.results.get(2).chisq != sweep.results.get(3).chisq);
    }

    static void assertSameRun(ZevuzuExp a, ZevuzuExp b) {
        assertEquals(Double.doubleToRawLongBits(a.chisq), Double.doubleToRawLongBits(b.chisq));
        assertEquals(Double.doubleToRawLongBits(a.AtomsA), Double.doubleToRawLongBits(b.AtomsA));
        assertEquals(a.Iseed, b.Iseed);
        assertTrue(Arrays.deepEquals(a.distribution, b.distribution));
        assertTrue(Arrays.deepEquals(a.pattern, b.pattern));
        assertTrue(Arrays.deepEquals(a.mock, b.mock));
        assertTrue(Arrays.deepEquals(a.data, b.data));
    }

    @Test
    void priorsAndLabelsChangeNoNumber() {
        KQin plain = Jobs.job(15, 5, 5);
        KQin decorated = Jobs.job(15, 5, 5);
        decorated.NfeetA = 2;
        decorated.NfootA = new int[] {2, 0};
        decorated.NlistA = new int[][] {{3, 7, 99}, {}};
        decorated.geneNames[0] = "renamed";
        RecordingHost a = run(plain);
        RecordingHost b = run(decorated);
        for (int i = 0; i < a.results.size(); i++) assertSameRun(a.results.get(i), b.results.get(i));
    }

    @Test
    void anEmptySweepSendsOnlyTheFrameMessages() {
        for (int[] bounds : new int[][] {{4, 3, 2}, {2, 3, 0}}) {
            KQin in = Jobs.job(10, 4, 6);
            in.StartRank = bounds[0];
            in.EndRank = bounds[1];
            in.Nchains = bounds[2];
            ZevuzuExp out = new ZevuzuExp();
            RecordingHost host = new RecordingHost();
            assertEquals(0, host.zarno(in, out));
            assertEquals(4, host.messages.size());
            assertEquals("Running ZARNO", host.messages.get(0));
            assertTrue(host.messages.get(1).startsWith("basename expr\n"));
            assertTrue(host.messages.get(2).startsWith("//// Start at:   "));
            assertTrue(host.messages.get(3).startsWith("//// Used CPU:  "));
            assertTrue(host.results.isEmpty());
            assertSame(in.geneNames, out.geneNames);
            assertNull(out.distribution);
            assertNull(out.tag);
        }
    }

    @Test
    void zeroRoundsReportTheRandomStart() {
        KQin in = Jobs.job(12, 5, 7);
        in.StartRank = in.EndRank = 2;
        in.Nchains = 1;
        in.Niter = 0;
        ZevuzuExp r = run(in).results.get(0);
        assertEquals(0, r.Niter);
        assertEquals(0, r.Nshow);
        checkStatistics(in, r);
        // Start values lie on the 1/32768 grid before normalization; after it
        // the rows still sum to one.
        for (double[] row : r.pattern) assertEquals(1.0, Arrays.stream(row).sum(), 1e-12);
    }

    @Test
    void badValuesAreRefusedNamingTheElement() {
        KQin nan = Jobs.job(10, 4, 8);
        nan.data[2 * 4 + 3] = Double.NaN;
        assertRefused(nan, "Refused: \"data\" of gene 2 sample 3 is not finite");
        KQin zero = Jobs.job(10, 4, 8);
        zero.acc[5] = 0.0;
        assertRefused(zero, "Refused: \"acc\" of gene 1 sample 1 is 0");
        KQin inf = Jobs.job(10, 4, 8);
        inf.acc[0] = Double.POSITIVE_INFINITY;
        assertRefused(inf, "Refused: \"acc\" of gene 0 sample 0 is inf");
        // Without uncertainties the uncertainties are not judged.
        KQin unweighted = Jobs.job(10, 4, 8);
        unweighted.uncertFlag = 0;
        unweighted.acc[5] = -1.0;
        assertEquals(4, run(unweighted).results.size());
    }

    static void assertRefused(KQin in, String prefix) {
        RecordingHost host = new RecordingHost();
        assertEquals(-1, host.zarno(in, new ZevuzuExp()));
        assertEquals("Running ZARNO", host.messages.get(0));
        assertEquals(2, host.messages.size(), host.messages.toString());
        assertTrue(host.messages.get(1).startsWith(prefix), host.messages.get(1));
        assertTrue(host.results.isEmpty());
    }
}
