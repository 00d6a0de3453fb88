package zarno.kit;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Arrays;
import java.util.List;
import java.util.stream.IntStream;
import org.junit.jupiter.api.Test;

/**
 * The survey's crossing from native code into the kit's objects: names exactly as given, figures
 * present or absent, thousands of objects in one call, and runs that do not match the data
 * refused. The suite runs under -Xcheck:jni, which fails it on a JNI call that skips an
 * exception check.
 */
class KitSurveyCrossingTest {
    @Test
    void topGenesCarryTheirNamesAsGivenAndZScoresBesideOtherPatternsOnly() {
        // Accents, CJK, a character beyond U+FFFF, an emoji and a NUL: a name that went
        // through C text (modified or plain UTF-8) would come back different.
        String[] stems = {"G\u00e8ne-\u03b1", "\u57fa\u56e0", "\uD835\uDD0Aen\u0000e", "\uD83E\uDDEC"};
        String[] names = new String[24];
        for (int g = 0; g < names.length; g++) {
            names[g] = stems[g % stems.length] + g;
        }
        Dataset data = KitData.dataset(24, 10, 61).withGeneNames(names);
        Survey survey = Study.of(data).ranks(1, 2).chains(2).rounds(50).run().survey();
        assertEquals(2, survey.counts().size());
        for (CountSurvey c : survey.counts()) {
            int p = c.patterns();
            double[] amplitudes = c.amplitudeMean();
            for (int k = 0; k < p; k++) {
                // A gene is listed where its consensus amplitude is largest.
                int candidates = 0;
                for (int g = 0; g < names.length; g++) {
                    boolean largest = true;
                    for (int j = 0; j < p; j++) {
                        largest &= amplitudes[g * p + j] <= amplitudes[g * p + k];
                    }
                    candidates += largest ? 1 : 0;
                }
                List<TopGene> top = c.topGenes(k);
                assertEquals(Math.min(20, candidates), top.size());
                for (TopGene t : top) {
                    assertEquals(names[t.gene()], t.name());
                    assertEquals(amplitudes[t.gene() * p + k], t.amplitude(), t.toString());
                    double sum = 0;
                    for (int j = 0; j < p; j++) {
                        sum += amplitudes[t.gene() * p + j];
                    }
                    assertEquals(t.amplitude() / sum, t.share(), 1e-12, t.toString());
                    assertTrue(t.score() > 0 && t.score() <= 1, t.toString());
                }
            }
        }
    }

    @Test
    void aSurveyOfManySamplesAndCountsBuildsEveryObject() {
        int samples = 500;
        Survey survey = Study.of(KitData.dataset(30, samples, 62)).ranks(1, 10).chains(2).rounds(5).run().survey();
        assertEquals(10, survey.counts().size());
        int[] everySample = IntStream.range(0, samples).toArray();
        for (CountSurvey c : survey.counts()) {
            int p = c.patterns();
            assertEquals(List.of(1, 2), c.chains());
            assertEquals(samples * samples, c.consensus().length);
            int[] order = c.sampleOrder();
            Arrays.sort(order);
            assertArrayEquals(everySample, order);
            assertEquals(p * samples, c.patternMean().length);
            assertEquals(30 * p, c.amplitudeMean().length);
            assertEquals(c.chainsUsed() > 1 ? p * samples : 0, c.patternSd().length);
            assertEquals(c.chainsUsed() > 1 ? 30 * p : 0, c.amplitudeSd().length);
            // Every gene is listed where its share is largest, at most 20 a pattern.
            int listed = 0;
            for (int k = 0; k < p; k++) {
                assertTrue(c.topGenes(k).size() <= 20);
                listed += c.topGenes(k).size();
            }
            assertTrue(listed >= 20, "listed " + listed);
            assertTrue(c.chiSquare().orElseThrow().best() <= c.chiSquare().orElseThrow().worst());
        }
    }

    // Two runs of 2 patterns on 6 genes x 4 samples, and what a call needs beside them.
    static final class Runs {
        int genes = 6;
        int samples = 4;
        int[] patterns = {2, 2};
        int[] chains = {1, 2};
        double[][] amplitudes = {ramp(12, 1), ramp(12, 2)};
        double[][] patternRows = {ramp(8, 3), ramp(8, 4)};
        double[] chiSquare = {3.0, 4.0};
        double[] ssr = {1.0, 2.0};
        String[] failures = new String[2];
        long missingCells = 0;
        String[] names = {"a", "b", "c", "d", "e", "f"};
        String[] labels = {"s1", "s2", "s3", "s4"};
        Object[] annotations = null;

        Survey survey() {
            NativeLoader.load();
            return Native.survey(genes, samples, true, missingCells, patterns, chains, amplitudes, patternRows,
                    chiSquare, ssr, failures, names, labels, annotations);
        }

        static double[] ramp(int n, int seed) {
            return IntStream.range(0, n).mapToDouble(i -> 1 + (i * 7 + seed * 3) % 5).toArray();
        }
    }

    @Test
    void runsThatDoNotMatchTheDataAreRefusedBeforeTheSurveyReadsThem() {
        Runs ok = new Runs();
        CountSurvey two = ok.survey().count(2);
        assertEquals(List.of(1, 2), two.chains());
        assertEquals(3.0, two.chiSquare().orElseThrow().best());
        assertEquals(4.0, two.chiSquare().orElseThrow().worst());

        Runs shortAmplitudes = new Runs();
        shortAmplitudes.amplitudes[1] = new double[11];
        Runs longPatterns = new Runs();
        longPatterns.patternRows[0] = new double[9];
        Runs nullRow = new Runs();
        nullRow.patternRows[1] = null;
        Runs fewNames = new Runs();
        fewNames.names = new String[5];
        Runs tooManyPatterns = new Runs();
        tooManyPatterns.patterns = new int[] {2, 5};
        Runs fewChains = new Runs();
        fewChains.chains = new int[] {1};
        Runs fewFailures = new Runs();
        fewFailures.failures = new String[1];
        Runs everyCellMissing = new Runs();
        everyCellMissing.missingCells = 24;
        Runs unknownKind = new Runs();
        unknownKind.annotations = new Object[] {"t", "sample", new String[] {"x"}, fewChains.labels,
            new String[] {"a", "b", "a", "b"}, null, new int[] {7}, new String[0]};
        for (Runs bad : List.of(shortAmplitudes, longPatterns, nullRow, fewNames, tooManyPatterns, fewChains,
                fewFailures, everyCellMissing, unknownKind)) {
            assertThrows(IllegalArgumentException.class, bad::survey);
        }
    }

    @Test
    void noRunsGiveNoCountsAndSayWhy() {
        Runs none = new Runs();
        none.patterns = new int[0];
        none.chains = new int[0];
        none.amplitudes = new double[0][];
        none.patternRows = new double[0][];
        none.chiSquare = new double[0];
        none.ssr = new double[0];
        none.failures = new String[0];
        Survey survey = none.survey();
        assertTrue(survey.counts().isEmpty());
        assertFalse(survey.suggestion().isPresent());
        assertFalse(survey.note().isEmpty());
    }
}
