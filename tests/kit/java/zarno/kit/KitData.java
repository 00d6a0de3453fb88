package zarno.kit;

import static org.junit.jupiter.api.Assertions.assertEquals;

import java.util.List;
import lib.KQin;
import zarno.Jobs;

/** Data sets for the kit's tests, made like the classic tests' jobs so both paths see the same numbers. */
final class KitData {
    private KitData() {}

    static Dataset dataset(int genes, int samples, long seed) {
        KQin in = Jobs.job(genes, samples, seed);
        return Dataset.of(in.data, in.acc, genes, samples);
    }

    /** Every number of two runs, bit for bit. */
    static void assertSameRun(Run a, Run b) {
        assertEquals(a.patternCount(), b.patternCount());
        assertEquals(a.chain(), b.chain());
        assertEquals(Double.doubleToRawLongBits(a.chiSquare()), Double.doubleToRawLongBits(b.chiSquare()), a + " vs " + b);
        assertEquals(Double.doubleToRawLongBits(a.residualSum()), Double.doubleToRawLongBits(b.residualSum()));
        assertBits(a.amplitudes(), b.amplitudes());
        assertBits(a.patterns(), b.patterns());
        assertEquals(a.seedA(), b.seedA());
        assertEquals(a.seedP(), b.seedP());
        assertEquals(a.rounds(), b.rounds());
    }

    static void assertSameRuns(List<Run> a, List<Run> b) {
        assertEquals(a.size(), b.size());
        for (int i = 0; i < a.size(); i++) {
            assertSameRun(a.get(i), b.get(i));
        }
    }

    static void assertBits(double[] a, double[] b) {
        assertEquals(a.length, b.length);
        for (int i = 0; i < a.length; i++) {
            if (Double.doubleToRawLongBits(a[i]) != Double.doubleToRawLongBits(b[i])) {
                throw new AssertionError("element " + i + ": " + a[i] + " vs " + b[i]);
            }
        }
    }

    /** Kit threads still alive. */
    static long studyThreads() {
        return Thread.getAllStackTraces().keySet().stream()
                .filter(t -> t.getName().startsWith("zarno-study-") && t.isAlive()).count();
    }
}
