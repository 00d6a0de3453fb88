package zarno.kit;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.List;
import java.util.NoSuchElementException;
import org.junit.jupiter.api.Test;

/** The survey through the kit: the core's figures over the study's own runs. */
class KitSurveyTest {
    // The shipped sample: 300 genes x 20 samples made of 3 known patterns.
    static Dataset sample() throws IOException {
        Path dir = Paths.get(System.getProperty("zarno.readme")).getParent().resolve("data");
        double[][] v = read(dir.resolve("sample.txt"));
        double[][] u = read(dir.resolve("sample.unc"));
        String[] genes = Files.readAllLines(dir.resolve("sample.txt")).stream().skip(1).filter(l -> !l.isBlank())
                .map(l -> l.split("\t")[0]).toArray(String[]::new);
        return Dataset.of(v, u).withGeneNames(genes);
    }

    static double[][] read(Path file) throws IOException {
        return Files.readAllLines(file).stream().skip(1).filter(l -> !l.isBlank())
                .map(l -> Arrays.stream(l.split("\t")).skip(1).mapToDouble(Double::parseDouble).toArray())
                .toArray(double[][]::new);
    }

    @Test
    void theSampleSuggestsItsThreePatternsFromTheRunsFigures() throws IOException {
        Dataset data = sample();
        StudyResult result = Study.of(data).ranks(2, 5).chains(5).rounds(2000).run();
        Survey survey = result.survey();
        assertSame(survey, result.survey(), "computed once");
        assertEquals(3, survey.suggestedPatterns(), survey.note());
        assertEquals(List.of(2, 3, 4, 5), survey.counts().stream().map(CountSurvey::patterns)
                .collect(java.util.stream.Collectors.toList()));
        for (CountSurvey c : survey.counts()) {
            int p = c.patterns();
            assertEquals(List.of(1, 2, 3, 4, 5), c.chains());
            double[] chi = result.runs(p).stream().mapToDouble(Run::chiSquare).sorted().toArray();
            assertEquals(chi[0], c.chiSquare().orElseThrow().best());
            assertEquals(chi[2], c.chiSquare().orElseThrow().median());
            assertEquals(chi[4], c.chiSquare().orElseThrow().worst());
            double dof = 300.0 * 20 - (300.0 * p + p * 20.0 - p);
            assertEquals(dof, c.degreesOfFreedom());
            assertEquals(chi[0] / dof, c.chiSquarePerDof().orElseThrow().best(), 1e-12 * chi[0] / dof);
            assertEquals(20 * 20, c.consensus().length);
            assertEquals(p * 20, c.patternMean().length);
            assertEquals(300 * p, c.amplitudeMean().length);
            for (int k = 0; k < p; k++) {
                assertEquals(1.0, Arrays.stream(c.patternMean(), k * 20, k * 20 + 20).sum(), 1e-9);
                TopGene top = c.topGenes(k).get(0);
                assertEquals(data.geneNames().get(top.gene()), top.name());
            }
        }
        CountSurvey three = survey.count(3);
        assertTrue(three.meanStability().orElseThrow() > 0.8, three.toString());
        assertTrue(three.stable().orElseThrow());
        assertThrows(IllegalArgumentException.class, () -> survey.count(6));
    }

    @Test
    void oneChainMeasuresNoStabilityAndSaysSo() {
        StudyResult result = Study.of(KitData.dataset(40, 10, 51)).ranks(2, 3).chains(1).rounds(100).run();
        Survey survey = result.survey();
        for (CountSurvey c : survey.counts()) {
            assertFalse(c.meanStability().isPresent());
            assertFalse(c.notes().isEmpty());
            assertEquals(0, c.patternSd().length);
        }
        if (survey.suggestion().isEmpty()) {
            NoSuchElementException e = assertThrows(NoSuchElementException.class, survey::suggestedPatterns);
            assertTrue(e.getMessage().contains(survey.note()));
        }
        assertFalse(survey.note().isEmpty());
    }
}
