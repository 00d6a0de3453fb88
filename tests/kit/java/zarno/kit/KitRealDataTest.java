package zarno.kit;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static zarno.kit.KitFilesTest.command;
import static zarno.kit.KitFilesTest.data;
import static zarno.kit.KitFilesTest.field;
import static zarno.kit.KitInputTest.assertContains;
import static zarno.kit.KitInputTest.refusal;

import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import lib.KQin;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import zarno.Jobs;

/** Real data as it comes: the command's defaults, missing cells and runs that fail. */
class KitRealDataTest {
    @TempDir
    Path tmp;

    @Test
    void theDefaultsAreTheCommandsAndClassicIsOneSwitchAway() throws Exception {
        NativeLoader.load();
        Study plain = Study.of(Dataset.read(data("sample.txt")));
        assertEquals(Native.studyTolerance(), plain.tolerance());
        assertEquals(Native.studyTolerance(), Study.DEFAULT_TOLERANCE);
        assertEquals(Arithmetic.GRAM, plain.arithmetic());

        // Unweighted data with every default on both sides: the command's runs, bit for bit.
        Path out = tmp.resolve("cmd");
        String said = command("run", data("sample.txt").toString(), "--ranks", "2:3", "--chains", "2", "--threads",
                "2", "--quiet", "--no-report", "--out", out.toString());
        assertTrue(said.startsWith("exit 0\n"), said);
        StudyResult gram = plain.ranks(2, 3).chains(2).threads(2).run();
        assertEquals(Arithmetic.GRAM, gram.arithmetic());
        for (Run r : gram.runs()) {
            Path dir = out.resolve("runs/k" + r.patternCount() + "/c" + r.chain());
            KitData.assertBits(KitCommandTest.numbers(dir.resolve("amplitudes.tsv")), r.amplitudes());
            KitData.assertBits(KitCommandTest.numbers(dir.resolve("patterns.tsv")), r.patterns());
            assertEquals(Integer.parseInt(field(dir.resolve("run.json"), "rounds")), r.rounds());
        }
        // What the saved study's job.json records is what the command's records.
        Path saved = tmp.resolve("kit");
        gram.save(saved);
        assertEquals(field(out.resolve("job.json"), "arithmetic"), field(saved.resolve("job.json"), "arithmetic"));
        assertEquals("\"gram\"", field(saved.resolve("job.json"), "arithmetic"));

        // The classic arithmetic is another computation: the same runs differ in their last bits.
        StudyResult classic = plain.ranks(2, 3).chains(2).threads(2).arithmetic(Arithmetic.CLASSIC).run();
        assertEquals(Arithmetic.CLASSIC, classic.arithmetic());
        assertTrue(differ(gram.runs(), classic.runs()), "the switch changed nothing");
        classic.save(tmp.resolve("classic"));
        assertEquals("\"classic\"", field(tmp.resolve("classic/job.json"), "arithmetic"));

        // Weighted data take the weighted round whatever is asked, and say so.
        StudyResult weighted = Study.of(KitData.dataset(20, 8, 3)).ranks(2, 2).chains(1).rounds(30).run();
        assertEquals(Arithmetic.CLASSIC, weighted.arithmetic());
        assertThrows(IllegalArgumentException.class, () -> plain.arithmetic(null));
        assertThrows(IllegalArgumentException.class, () -> plain.tolerance(1.0));
    }

    private static boolean differ(List<Run> a, List<Run> b) {
        for (int i = 0; i < a.size(); i++) {
            if (!Arrays.equals(a.get(i).amplitudes(), b.get(i).amplitudes())) {
                return true;
            }
        }
        return false;
    }

    // A weighted data set with NaN at the given cells (row-major), of values or of uncertainties.
    private static double[][] withNaN(double[] flat, int samples, int... cells) {
        double[] v = flat.clone();
        for (int c : cells) {
            v[c] = Double.NaN;
        }
        double[][] rows = new double[flat.length / samples][];
        for (int g = 0; g < rows.length; g++) {
            rows[g] = Arrays.copyOfRange(v, g * samples, (g + 1) * samples);
        }
        return rows;
    }

    private static double[][] rows(double[] flat, int samples) {
        return withNaN(flat, samples);
    }

    @Test
    void aMissingCellWeighsNothingAndItsValueIsNeverRead() {
        KQin in = Jobs.job(30, 9, 21);
        int[] holes = {4, 40, 41, 100, 269};
        // Without the switch a NaN is refused as before, naming the cell.
        assertContains(refusal(() -> Dataset.of(withNaN(in.data, 9, holes), rows(in.acc, 9))), "values[0][4]",
                "is not finite (NaN)");
        Dataset byValue = Dataset.allowMissing().of(withNaN(in.data, 9, holes), rows(in.acc, 9));
        assertEquals(holes.length, byValue.missingCells());
        assertTrue(byValue.allowsMissing() && byValue.toString().contains("5 cells missing"), byValue.toString());
        assertEquals(0, Dataset.allowMissing().of(rows(in.data, 9), rows(in.acc, 9)).missingCells());

        // A NaN uncertainty is a missing cell too, and then the value there is never read.
        Dataset bySigma = Dataset.allowMissing().of(rows(in.data, 9), withNaN(in.acc, 9, holes));
        assertEquals(holes.length, bySigma.missingCells());
        Study study = Study.of(byValue).ranks(2, 3).chains(2).rounds(120).tolerance(0).threads(2);
        StudyResult a = study.run();
        StudyResult b = Study.of(bySigma).ranks(2, 3).chains(2).rounds(120).tolerance(0).threads(2).run();
        KitData.assertSameRuns(a.runs(), b.runs());
        assertTrue(a.runs().stream().noneMatch(Run::failed) && Double.isFinite(a.run(3, 1).chiSquare()));
        // Missing cells take the weighted round: the arithmetic saved says so.
        assertEquals(Arithmetic.CLASSIC, a.arithmetic());

        // The survey counts observed cells only.
        StudyResult full = Study.of(Dataset.of(rows(in.data, 9), rows(in.acc, 9))).ranks(2, 3).chains(2).rounds(120)
                .tolerance(0).threads(2).run();
        for (int k = 2; k <= 3; k++) {
            assertEquals(full.survey().count(k).degreesOfFreedom() - holes.length, a.survey().count(k).degreesOfFreedom(), 1e-9);
        }
    }

    @Test
    void dataThatCannotBeFittedAreRefusedInTheCoresWords() {
        KQin in = Jobs.job(12, 6, 22);
        // Gene 2 has no observed cell.
        String gene = refusal(() -> Dataset.allowMissing().of(withNaN(in.data, 6, 12, 13, 14, 15, 16, 17), rows(in.acc, 6)));
        assertContains(gene, "gene 2", "no observed cell", "1 gene without one");
        // Sample 4, missing through its uncertainties.
        String sample = refusal(() -> Dataset.allowMissing().of(rows(in.data, 6),
                withNaN(in.acc, 6, 4, 10, 16, 22, 28, 34, 40, 46, 52, 58, 64, 70)));
        assertContains(sample, "sample 4", "no observed cell");
        // Nothing above zero.
        double[] zeros = new double[12 * 6];
        zeros[3] = Double.NaN;
        assertContains(refusal(() -> Dataset.allowMissing().unweighted(zeros, 12, 6)), "nothing to factorize");
        // Fewer observed cells than free parameters at the largest count, when the study runs: 5
        // patterns of 12 x 6 have 85, which complete data may use (a count up to the smaller
        // dimension), data with a cell missing may not.
        double[] sparse = in.data.clone();
        sparse[7] = Double.NaN;
        Dataset few = Dataset.allowMissing().unweighted(sparse, 12, 6);
        Study.of(Dataset.unweighted(in.data, 12, 6)).ranks(5, 5).chains(1).rounds(10).run();
        assertContains(refusal(() -> Study.of(few).ranks(2, 5).chains(1).run()), "observed cells", "free parameters");
    }

    @Test
    void aTableWithMissingFieldsRunsAsTheCommandRunsIt() throws Exception {
        List<String> lines = new ArrayList<>(Files.readAllLines(data("sample.txt")));
        lines.set(3, lines.get(3).replaceFirst("\t[^\t]+", "\tNA"));
        lines.set(7, lines.get(7).replaceFirst("\t[^\t]+\t", "\t\t"));
        Path file = Files.write(tmp.resolve("holes.txt"), lines);
        assertContains(refusal(() -> Dataset.read(file)), "holes.txt:4:");
        Dataset d = Dataset.allowMissing().read(file);
        assertEquals(2, d.missingCells());

        Path out = tmp.resolve("cmd");
        String said = command("run", file.toString(), "--ranks", "2:3", "--chains", "2", "--rounds", "200",
                "--quiet", "--no-report", "--out", out.toString());
        assertTrue(said.startsWith("exit 0\n"), said);
        StudyResult result = Study.of(d).ranks(2, 3).chains(2).rounds(200).run();
        for (Run r : result.runs()) {
            Path dir = out.resolve("runs/k" + r.patternCount() + "/c" + r.chain());
            KitData.assertBits(KitCommandTest.numbers(dir.resolve("amplitudes.tsv")), r.amplitudes());
        }
        Path saved = tmp.resolve("kit");
        result.save(saved);
        assertEquals("2", field(saved.resolve("job.json"), "missing_cells"));
        assertEquals(field(out.resolve("job.json"), "arithmetic"), field(saved.resolve("job.json"), "arithmetic"));
        // The command takes the saved study as its own: nothing left to compute.
        String resumed = command("run", file.toString(), "--ranks", "2:3", "--chains", "2", "--rounds", "200",
                "--quiet", "--no-report", "--resume", "--out", saved.toString());
        assertTrue(resumed.startsWith("exit 0\n"), resumed);
    }

    @Test
    void runsWhoseNumbersOverflowFailAndAStudyOfNothingElseHasNoResult() {
        double[] huge = new double[20 * 6];
        for (int i = 0; i < huge.length; i++) {
            huge[i] = 1e300 * (1 + i % 7);
        }
        ZarnoException e = assertThrows(ZarnoException.class,
                () -> Study.of(Dataset.unweighted(huge, 20, 6)).ranks(2, 2).chains(2).rounds(20).run());
        assertContains(e.getMessage(), "every run of the study failed", "k2 c1", "rescale");
    }

    // A study whose second run failed, as the sink hands such a run over.
    private static StudyResult withFailedRun() {
        Dataset d = KitData.dataset(25, 8, 23);
        Study study = Study.of(d).ranks(2, 2).chains(3).rounds(60);
        List<Run> runs = new ArrayList<>(study.run().runs());
        Run r = runs.get(1);
        double[] a = r.amplitudes();
        a[0] = Double.POSITIVE_INFINITY;
        runs.set(1, new Run(2, 2, d, a, r.patterns(), Double.NaN, Double.NaN, r.seedA(), r.seedP(), r.rounds(),
                r.seconds(), r.trace(), "chi-square is nan"));
        return new StudyResult(study, runs, Duration.ZERO, Duration.ZERO);
    }

    @Test
    void aFailedRunSaysSoIsLeftOutOfTheSurveyAndIsSavedAsFailed() throws Exception {
        StudyResult result = withFailedRun();
        Run failed = result.run(2, 2);
        assertTrue(failed.failed());
        assertEquals("chi-square is nan", failed.failure().orElseThrow());
        assertFalse(result.run(2, 1).failed());
        assertTrue(result.run(2, 1).failure().isEmpty());
        assertEquals(List.of(failed), result.failedRuns());
        assertNotEquals(2, result.best(2).chain());
        assertThrows(IllegalStateException.class, () -> failed.topGenes(0, 3));

        CountSurvey two = result.survey().count(2);
        assertEquals(List.of(1, 3), two.chains());
        assertEquals(List.of(2), two.failedChains());

        Path dir = tmp.resolve("failed");
        result.save(dir);
        assertEquals("\"failed\"", field(dir.resolve("runs/k2/c2/run.json"), "status"));
        assertFalse(Files.exists(dir.resolve("runs/k2/c2/amplitudes.tsv")));
        assertEquals(1 + 2, Files.readAllLines(dir.resolve("summary.tsv")).size());
        String survey = command("survey", dir.toString(), "--quiet");
        assertTrue(survey.startsWith("exit 0\n"), survey);
        assertTrue(Files.readString(dir.resolve("survey.json")).replaceAll("\\s", "").contains("\"failed_chains\":[2]"));
    }
}
