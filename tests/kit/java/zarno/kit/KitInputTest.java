package zarno.kit;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.function.Consumer;
import kqviewer.ZevuzuExp;
import lib.KQin;
import org.junit.jupiter.api.Test;
import zarno.Jobs;
import zarno.RecordingHost;

/** Bad input is refused in Java, before any native call, in the classic entry's words. */
class KitInputTest {
    static String refusal(Runnable r) {
        return assertThrows(IllegalArgumentException.class, r::run).getMessage();
    }

    static void assertContains(String text, String... parts) {
        for (String p : parts) {
            assertTrue(text.contains(p), "\"" + p + "\" not in: " + text);
        }
    }

    // The classic entry's refusal of the same data; the kit must use its words.
    static String classicRefusal(KQin in) {
        RecordingHost host = new RecordingHost();
        assertEquals(-1, host.zarno(in, new ZevuzuExp()));
        return host.messages.stream().filter(m -> m.startsWith("Refused: ")).findFirst().orElseThrow();
    }

    @Test
    void badCellsNameRowColumnAndValueInTheClassicWords() {
        Object[][] cases = {
            // which array, bad number, the rule in the classic entry's words
            {"values", Double.NaN, "is not finite (NaN)"},
            {"values", Double.NEGATIVE_INFINITY, "is not finite (-Infinity)"},
            {"sigmas", 0.0, "is 0.0; every uncertainty must be positive and finite"},
            {"sigmas", -2.5, "is -2.5; every uncertainty must be positive and finite"},
            {"sigmas", Double.NaN, "is NaN; every uncertainty must be positive and finite"},
            {"sigmas", Double.POSITIVE_INFINITY, "is Infinity; every uncertainty must be positive and finite"},
        };
        for (Object[] c : cases) {
            boolean value = c[0].equals("values");
            KQin in = Jobs.job(6, 9, 1);
            (value ? in.data : in.acc)[3 * 9 + 5] = (Double) c[1];
            in.data[5 * 9 + 1] = Double.NaN; // a later fault must not be the one reported
            double[][] v = rows(in.data, 9);
            double[][] u = rows(in.acc, 9);
            String rowsMessage = refusal(() -> Dataset.of(v, u));
            String flatMessage = refusal(() -> Dataset.of(in.data, in.acc, 6, 9));
            String what = value ? ", the value of gene 3 sample 5, " : ", the uncertainty of gene 3 sample 5, ";
            assertEquals(c[0] + "[3][5]" + what + c[2], rowsMessage);
            assertEquals(c[0] + "[32]" + what + c[2], flatMessage);
            String classic = classicRefusal(in);
            String rule = value ? "is not finite" : "every uncertainty must be positive and finite";
            assertContains(classic, "gene 3 sample 5", rule);
            assertContains(rowsMessage, "gene 3 sample 5", rule);
        }
        // Unweighted data need no uncertainties at all, but still finite values.
        double[][] v = {{1, 2}, {3, Double.NaN}};
        assertEquals("values[1][1], the value of gene 1 sample 1, is not finite (NaN)",
                refusal(() -> Dataset.unweighted(v)));
    }

    @Test
    void shapesAreCheckedBeforeValues() {
        double[][] ok = {{1, 2, 3}, {4, 5, 6}};
        double[][] okSigmas = {{1, 1, 1}, {1, 1, 1}};
        assertEquals("values is null", refusal(() -> Dataset.of(null, okSigmas)));
        assertEquals("sigmas is null: Dataset.unweighted(...) takes values without uncertainties",
                refusal(() -> Dataset.of(ok, null)));
        assertContains(refusal(() -> Dataset.of(new double[6], null, 2, 3)), "sigmas is null");
        assertContains(refusal(() -> Dataset.of(new double[0][], new double[0][])), "genes must be positive, not 0");
        assertContains(refusal(() -> Dataset.of(new double[][] {{}}, new double[][] {{}})),
                "samples must be positive, not 0");
        assertContains(refusal(() -> Dataset.of(new double[][] {{1, 2}, {3}}, new double[][] {{1, 1}, {1, 1}})),
                "values row 1 has 1 columns", "ragged");
        assertContains(refusal(() -> Dataset.of(ok, new double[][] {{1, 1, 1}, {1, 1}})), "sigmas row 1 has 2 columns");
        assertContains(refusal(() -> Dataset.of(new double[][] {{1, 2}, null}, new double[][] {{1, 1}, {1, 1}})), "values row 1 is null");
        assertContains(refusal(() -> Dataset.of(ok, new double[][] {{1, 1, 1}})), "sigmas has 1 rows; values has 2");
        assertContains(refusal(() -> Dataset.of(new double[6], new double[6], 0, 6)), "genes must be positive, not 0");
        assertContains(refusal(() -> Dataset.of(new double[6], new double[6], 2, -3)), "samples must be positive, not -3");
        assertContains(refusal(() -> Dataset.of(new double[5], new double[6], 2, 3)), "values holds 5 numbers; genes x samples = 6");
        assertContains(refusal(() -> Dataset.of(new double[6], new double[7], 2, 3)), "sigmas holds 7 numbers");
        assertContains(refusal(() -> Dataset.unweighted(new double[6], 70000, 70000)), "does not fit 32 bits");
        Dataset d = Dataset.of(ok, okSigmas);
        assertContains(refusal(() -> d.withGeneNames("a")), "1 gene names for 2 genes");
        assertContains(refusal(() -> d.withSampleLabels("a", null, "c")), "sample labels [1] is null");
    }

    @Test
    void studyBoundsAreCheckedAgainstTheData() {
        Dataset d = KitData.dataset(20, 8, 2);
        assertEquals("ranks up to 9 exceed the data's 8 samples; a study finds at most as many patterns as the "
                + "data have samples and genes", refusal(() -> Study.of(d).ranks(2, 9)));
        assertContains(refusal(() -> Study.of(KitData.dataset(5, 8, 2)).rank(6)), "exceed the data's 5 genes");
        assertContains(refusal(() -> Study.of(d).ranks(0, 3)), "first rank must be at least 1, not 0");
        assertContains(refusal(() -> Study.of(d).ranks(4, 3)), "last rank (3) is below the first (4)");
        assertContains(refusal(() -> Study.of(d).chains(0)), "chains must be at least 1, not 0");
        assertContains(refusal(() -> Study.of(d).chains(0, 4)), "first chain must be at least 1, not 0");
        assertContains(refusal(() -> Study.of(d).chains(5, 4)), "last chain (4) is below the first (5)");
        assertContains(refusal(() -> Study.of(d).rounds(-1)), "rounds must not be negative, not -1");
        assertContains(refusal(() -> Study.of(d).threads(0)), "threads must be at least 1, not 0");
        // Seeds are checked when the study starts: no thread is made for it.
        long before = KitData.studyThreads();
        assertContains(refusal(() -> Study.of(d).chains(2, Integer.MAX_VALUE).start()), "the start seeds allow at most");
        assertEquals(before, KitData.studyThreads());
        // Defaults fit small data.
        assertEquals(3, Study.of(KitData.dataset(3, 8, 2)).lastRank());
        assertEquals(6, Study.of(d).lastRank());
    }

    @Test
    void theDataAreCopiedAtOnce() {
        KQin in = Jobs.job(12, 5, 3);
        double[][] v = rows(in.data, 5);
        double[][] u = rows(in.acc, 5);
        Dataset rowsData = Dataset.of(v, u).withGeneNames(in.geneNames);
        Dataset flatData = Dataset.of(in.data, in.acc, 12, 5);
        Study study = Study.of(rowsData).rank(2).chains(1).rounds(20).threads(1);
        StudyResult before = study.run();
        Consumer<double[]> scribble = a -> java.util.Arrays.fill(a, 7.0);
        for (double[] row : v) scribble.accept(row);
        scribble.accept(in.data);
        in.geneNames[0] = "changed";
        assertEquals("g0", rowsData.geneNames().get(0));
        assertEquals(in.acc[7], flatData.sigma(1, 2));
        KitData.assertSameRuns(before.runs(), study.run().runs());
        KitData.assertSameRuns(before.runs(), Study.of(flatData).rank(2).chains(1).rounds(20).threads(1).run().runs());
        double[] copy = rowsData.values();
        copy[0] = -1;
        assertEquals(Jobs.job(12, 5, 3).data[0], rowsData.value(0, 0));
    }

    static double[][] rows(double[] flat, int samples) {
        double[][] m = new double[flat.length / samples][];
        for (int g = 0; g < m.length; g++) {
            m[g] = java.util.Arrays.copyOfRange(flat, g * samples, (g + 1) * samples);
        }
        return m;
    }
}
