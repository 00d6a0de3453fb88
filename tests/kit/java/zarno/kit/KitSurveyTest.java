package zarno.kit;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.List;
import java.util.Map;
import java.util.NoSuchElementException;
import java.util.Optional;
import java.util.OptionalDouble;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The survey through the kit: the core's figures over the study's own runs, as the command writes them. */
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
                // A pattern that holds no gene's largest share has no top genes, and says so.
                if (c.topGenes(k).isEmpty()) {
                    assertTrue(c.status().contains("P" + (k + 1) + ": no gene has its largest share here"), c.status());
                    continue;
                }
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

    // Every figure of the kit's survey against the files `zarno survey` writes for the same runs:
    // a figure the native side puts in the wrong place differs here.
    @Test
    void theSurveyEqualsTheCommandsSurveyFiles(@TempDir Path tmp) throws Exception {
        Path data = Paths.get(System.getProperty("zarno.readme")).getParent().resolve("data");
        Path out = tmp.resolve("study");
        command("run", data.resolve("sample.txt").toString(), "--uncert", data.resolve("sample.unc").toString(),
                "--ranks", "1:4", "--chains", "3", "--rounds", "300", "--threads", "2", "--quiet", "--no-report",
                // The default stop on both sides (1e-6).
                "--out", out.toString());
        command("survey", out.toString(), "--quiet");
        Survey survey = Study.of(sample()).ranks(1, 4).chains(3).rounds(300).threads(2).run().survey();
        List<String> labels = Arrays.asList(Files.readAllLines(data.resolve("sample.txt")).get(0).split("\t"))
                .subList(1, 21);

        List<String[]> table = tsv(out.resolve("survey.tsv"));
        Map<String, Integer> column = new HashMap<>();
        for (String name : table.get(0)) {
            column.put(name, column.size());
        }
        assertEquals(4, survey.counts().size());
        assertEquals(survey.counts().size(), table.size() - 1);
        for (int i = 0; i < survey.counts().size(); i++) {
            CountSurvey c = survey.counts().get(i);
            String[] row = table.get(i + 1);
            java.util.function.Function<String, String> cell = name -> row[column.get(name)];
            int p = c.patterns();
            assertEquals(i + 1, p);
            assertEquals(Integer.parseInt(cell.apply("chains")), c.chains().size());
            assertSpread(cell, "chi_square", c.chiSquare(), true);
            assertSpread(cell, "chi_square_per_dof", c.chiSquarePerDof(), false);
            assertSpread(cell, "ssr", c.residualSum(), true);
            assertFigure(cell.apply("cophenetic"), c.cophenetic());
            assertFigure(cell.apply("dispersion"), c.dispersion());
            assertFigure(cell.apply("pac"), c.pac());
            assertFigure(cell.apply("stability_mean"), c.meanStability());
            assertFigure(cell.apply("stability_min"), c.minStability());
            assertFigure(cell.apply("match_mean"), c.meanMatch());
            assertFigure(cell.apply("match_min"), c.minMatch());
            assertEquals(Integer.parseInt(cell.apply("outlier_chains")), c.outlierChains().size());
            assertEquals(cell.apply("fits"), verdict(c.fits()));
            assertEquals(cell.apply("stable"), verdict(c.stable()));
            assertEquals(cell.apply("suggested"), survey.suggestion().orElse(0) == p ? "yes" : "no");
            assertEquals(cell.apply("status"), c.status());
            assertEquals(c.notes().isEmpty() ? "ok" : String.join("; ", c.notes()), c.status());

            Path k = out.resolve("consensus/k" + p);
            assertArrayEquals(KitCommandTest.numbers(k.resolve("patterns.tsv")), c.patternMean());
            assertArrayEquals(KitCommandTest.numbers(k.resolve("amplitudes.tsv")), c.amplitudeMean());
            assertDeviations(k.resolve("patterns_sd.tsv"), c.patternSd());
            assertDeviations(k.resolve("amplitudes_sd.tsv"), c.amplitudeSd());
            List<String[]> top = tsv(k.resolve("top_genes.tsv"));
            int line = 1;
            for (int g = 0; g < p; g++) {
                for (TopGene t : c.topGenes(g)) {
                    String[] r = top.get(line++);
                    assertEquals("P" + (g + 1), r[0]);
                    assertEquals(r[2], t.name());
                    assertEquals(Double.parseDouble(r[3]), t.score());
                    assertEquals(Double.parseDouble(r[4]), t.share());
                    assertEquals(Double.parseDouble(r[5]), t.amplitude());
                }
            }
            assertEquals(top.size(), line);
            List<String[]> consensus = tsv(k.resolve("sample_consensus.tsv"));
            int[] order = c.sampleOrder();
            double[] m = c.consensus();
            for (int a = 0; a < 20; a++) {
                assertEquals(labels.get(order[a]), consensus.get(0)[a + 1]);
                for (int b = 0; b < 20; b++) {
                    assertEquals(Double.parseDouble(consensus.get(a + 1)[b + 1]), m[order[a] * 20 + order[b]]);
                }
            }
        }
        String json = Files.readString(out.resolve("survey.json"));
        assertEquals(all(json, "\"chains_used\": (\\d+)"),
                survey.counts().stream().map(c -> String.valueOf(c.chainsUsed())).collect(Collectors.toList()));
        assertEquals(all(json, "\"dof\": ([^,\\n]+)").stream().map(Double::parseDouble).collect(Collectors.toList()),
                survey.counts().stream().map(CountSurvey::degreesOfFreedom).collect(Collectors.toList()));
        assertEquals(all(json, "\"suggested_patterns\": ([^,\\n]+)"),
                List.of(survey.suggestion().isPresent() ? String.valueOf(survey.suggestedPatterns()) : "null"));
        assertEquals(all(json, "\"suggestion_note\": \"([^\"]*)\""), List.of(survey.note()));
    }

    static void command(String... args) throws Exception {
        List<String> line = new ArrayList<>(List.of(System.getProperty("zarno.command")));
        line.addAll(List.of(args));
        Process p = new ProcessBuilder(line).redirectErrorStream(true).start();
        String said = new String(p.getInputStream().readAllBytes());
        assertEquals(0, p.waitFor(), said);
    }

    static List<String[]> tsv(Path file) throws IOException {
        return Files.readAllLines(file).stream().filter(l -> !l.isBlank()).map(l -> l.split("\t", -1))
                .collect(Collectors.toList());
    }

    static List<String> all(String text, String regex) {
        List<String> found = new ArrayList<>();
        Matcher m = Pattern.compile(regex).matcher(text);
        while (m.find()) {
            found.add(m.group(1).trim());
        }
        return found;
    }

    static void assertFigure(String cell, OptionalDouble figure) {
        if (cell.equals("NA")) {
            assertFalse(figure.isPresent(), "absent in the command's survey");
        } else {
            assertEquals(Double.parseDouble(cell), figure.orElseThrow());
        }
    }

    static void assertSpread(java.util.function.Function<String, String> cell, String name, Optional<Spread> spread,
            boolean worst) {
        String best = cell.apply(name + "_best");
        if (best.equals("NA")) {
            assertFalse(spread.isPresent(), name);
            return;
        }
        Spread s = spread.orElseThrow();
        assertEquals(Double.parseDouble(best), s.best(), name);
        assertEquals(Double.parseDouble(cell.apply(name + "_median")), s.median(), name);
        if (worst) {
            assertEquals(Double.parseDouble(cell.apply(name + "_worst")), s.worst(), name);
        }
    }

    // Standard deviations, or NA throughout where the kit has none.
    static void assertDeviations(Path file, double[] sd) throws IOException {
        if (sd.length > 0) {
            assertArrayEquals(KitCommandTest.numbers(file), sd);
            return;
        }
        for (String[] row : tsv(file).subList(1, tsv(file).size())) {
            for (int i = 1; i < row.length; i++) {
                assertEquals("NA", row[i], file.toString());
            }
        }
    }

    static String verdict(Optional<Boolean> v) {
        return v.map(b -> b ? "yes" : "no").orElse("NA");
    }
}
