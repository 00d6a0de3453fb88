package zarno.kit;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.io.OutputStream;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.zip.GZIPOutputStream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/**
 * Dataset.read through the command's own readers (every format, its messages), and
 * StudyResult.save through its run directory writer, which zarno survey, report and run
 * --resume take as their own.
 */
class KitFilesTest {
    @TempDir
    Path tmp;

    static Path data(String name) {
        return Paths.get(System.getProperty("zarno.readme")).getParent().resolve("data").resolve(name);
    }

    /** The command's exit code and what it printed. */
    static String command(String... args) throws Exception {
        List<String> cmd = new ArrayList<>();
        cmd.add(System.getProperty("zarno.command"));
        cmd.addAll(Arrays.asList(args));
        Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(p.waitFor(5, TimeUnit.MINUTES), "zarno did not finish");
        return "exit " + p.exitValue() + "\n" + out;
    }

    Path write(String name, String text) throws IOException {
        return Files.writeString(tmp.resolve(name), text);
    }

    Path gzip(String name, String text) throws IOException {
        Path file = tmp.resolve(name);
        try (OutputStream out = new GZIPOutputStream(Files.newOutputStream(file))) {
            out.write(text.getBytes(StandardCharsets.UTF_8));
        }
        return file;
    }

    static void assertSameData(Dataset a, Dataset b) {
        assertEquals(a.genes(), b.genes());
        assertEquals(a.samples(), b.samples());
        KitData.assertBits(a.values(), b.values());
        assertEquals(a.weighted(), b.weighted());
        if (a.weighted()) {
            KitData.assertBits(a.sigmas(), b.sigmas());
        }
        assertEquals(a.geneNames(), b.geneNames());
        assertEquals(a.sampleLabels(), b.sampleLabels());
    }

    @Test
    void theSampleFilesReadAsTheTestsOwnParserReadsThem() throws IOException {
        Dataset read = Dataset.read(data("sample.txt"), data("sample.unc"));
        Dataset parsed = KitSurveyTest.sample();
        assertSameData(parsed.withSampleLabels(read.sampleLabels()), read);
        assertEquals("s01", read.sampleLabels().get(0));
        assertTrue(read.toString().endsWith("from " + data("sample.txt") + "]"), read.toString());
        Dataset plain = Dataset.read(data("sample.txt"));
        assertFalse(plain.weighted());
        KitData.assertBits(read.values(), plain.values());
    }

    @Test
    void everyFormatTheCommandReadsGivesTheSameData() throws IOException {
        Dataset tabs = Dataset.read(write("t.txt", "gene\tA\tB\ng1\t1.5\t2\ng2\t0.25\t-3e-2\n"));
        String[] same = {
            "A B\ng1 1.5 2\n\ng2   0.25 -3e-2",                  // spaces, no corner label, no last newline
            "\uFEFFgene\tA\tB\r\ng1\t1.5\t2\r\ng2\t0.25\t-0.03\r\n",  // byte order mark, CRLF
        };
        for (int i = 0; i < same.length; i++) {
            assertSameData(tabs, Dataset.read(write("f" + i + ".txt", same[i])));
        }
        assertSameData(tabs, Dataset.read(write("q.csv", "\"gene\",\"A\",B\n\"g1\", 1.5 ,\"2\"\ng2,0.25,-3e-2\n")));
        assertSameData(tabs, Dataset.read(gzip("z.txt.gz", "gene\tA\tB\ng1\t1.5\t2\ng2\t0.25\t-3e-2\n")));
        Dataset quoted = Dataset.read(write("labels.csv", "gene,\"A, the first\",\"B \"\"2\"\"\"\ng1,1,2\n"));
        assertEquals(List.of("A, the first", "B \"2\""), quoted.sampleLabels());
    }

    @Test
    void aControlFileNamesItsDataAndUncertainties() throws IOException {
        write("job.txt", "gene\tA\tB\tC\ng1\t1\t2\t3\ng2\t4\t5\t6\n");
        write("job.unc", "gene\tA\tB\tC\ng1\t.1\t.2\t.3\ng2\t.4\t.5\t.6\n");
        Path ctr = write("job.ctr", "2 3 1  genes, samples, weighted\n1 2 5 100\n");
        Dataset d = Dataset.read(ctr);
        assertTrue(d.weighted());
        assertEquals(0.5, d.sigma(1, 1));
        assertFalse(Dataset.read(write("job.ctr", "2 3 0\n1 2 5 100\n")).weighted());
        write("job.ctr", "3 3 1\n1 2 5 100\n");
        String wrong = KitInputTest.refusal(() -> Dataset.read(ctr));
        assertEquals(ctr + ":1:1: 3 genes x 3 samples, but " + tmp.resolve("job.txt") + " holds 2 x 3", wrong);
    }

    // Each bad input: the kit's message is the command's, word for word.
    @Test
    void badFilesAreRefusedWithTheCommandsMessages() throws Exception {
        Path good = write("good.txt", "gene\tA\tB\ng1\t1\t2\ng2\t3\t4\n");
        Path[][] cases = {
            {write("ragged.txt", "gene\tA\tB\ng1\t1\t2\ng2\t3\n"), null},
            {write("word.csv", "gene,A,B\ng1,1,two\n"), null},
            {good, write("zero.unc", "gene\tA\tB\ng1\t1\t0\ng2\t1\t1\n")},
            {good, write("labels.unc", "gene\tA\tC\ng1\t1\t1\ng2\t1\t1\n")},
            {good, write("short.unc", "gene\tA\tB\ng1\t1\t1\n")},
            {tmp.resolve("missing.txt"), null},
            {gzip("cut.txt.gz", "gene\tA\ng1\t1\n"), null},
        };
        Files.write(cases[6][0], Arrays.copyOf(Files.readAllBytes(cases[6][0]), 20));
        for (Path[] c : cases) {
            String kit = KitInputTest.refusal(() -> Dataset.read(c[0], c[1]));
            List<String> args = new ArrayList<>(List.of("run", c[0].toString(), "--out", tmp.resolve("out").toString()));
            if (c[1] != null) {
                args.addAll(List.of("--uncert", c[1].toString()));
            }
            String said = command(args.toArray(new String[0]));
            assertTrue(said.startsWith("exit 2\n"), said);
            assertTrue(said.contains("zarno: error: " + kit + "\n"), "kit: " + kit + "\ncommand: " + said);
            Path named = c[1] == null ? c[0] : c[1];
            assertTrue(kit.startsWith(named + ":"), kit);
        }
        assertThrows(IllegalArgumentException.class, () -> Dataset.read(null));
    }

    static String field(Path json, String name) throws IOException {
        Matcher m = Pattern.compile("\"" + name + "\": ([^,\\n]+)").matcher(Files.readString(json));
        return m.find() ? m.group(1).trim() : null;
    }

    @Test
    void aSavedStudyIsARunDirectoryTheCommandTakesAsItsOwn() throws Exception {
        Dataset sample = Dataset.read(data("sample.txt"), data("sample.unc"));
        StudyResult result = Study.of(sample).ranks(2, 4).chains(3).rounds(300).threads(2).run();
        Path dir = tmp.resolve("a/study");
        result.save(dir);
        for (Run r : result.runs()) {
            Path run = dir.resolve("runs/k" + r.patternCount() + "/c" + r.chain());
            assertEquals(r.chiSquare(), Double.parseDouble(field(run.resolve("run.json"), "chi_square")));
            KitData.assertBits(KitCommandTest.numbers(run.resolve("amplitudes.tsv")), r.amplitudes());
            KitData.assertBits(KitCommandTest.numbers(run.resolve("patterns.tsv")), r.patterns());
        }
        assertEquals(1 + 9, Files.readAllLines(dir.resolve("summary.tsv")).size());

        // zarno survey and report take it, and find what the kit's survey finds.
        String survey = command("survey", dir.toString(), "--quiet");
        assertTrue(survey.startsWith("exit 0\n"), survey);
        assertEquals(String.valueOf(result.survey().suggestedPatterns()),
                field(dir.resolve("survey.json"), "suggested_patterns"));
        String report = command("report", dir.toString());
        assertTrue(report.startsWith("exit 0\n") && Files.size(dir.resolve("report.html")) > 0, report);

        // zarno run on the same files and options (the default stop on both sides) finds
        // every run complete and computes only the new chain.
        byte[] before = Files.readAllBytes(dir.resolve("runs/k3/c2/run.json"));
        String resumed = command("run", data("sample.txt").toString(), "--uncert", data("sample.unc").toString(),
                "--ranks", "2:4", "--chains", "4", "--rounds", "300", "--no-report", "--quiet",
                "--resume", "--out",
                dir.toString());
        assertTrue(resumed.startsWith("exit 0\n"), resumed);
        assertEquals(1 + 12, Files.readAllLines(dir.resolve("summary.tsv")).size());
        assertTrue(Arrays.equals(before, Files.readAllBytes(dir.resolve("runs/k3/c2/run.json"))), "kept as saved");
        StudyResult fourth = Study.of(sample).ranks(3, 3).chains(4, 4).rounds(300).run();
        assertEquals(fourth.run(3, 4).chiSquare(),
                Double.parseDouble(field(dir.resolve("runs/k3/c4/run.json"), "chi_square")));
    }

    @Test
    void dataMadeInMemorySaveAndAnOccupiedDirectoryIsRefused() throws Exception {
        Dataset d = KitData.dataset(40, 10, 5);
        StudyResult result = Study.of(d).ranks(2, 3).chains(2).rounds(50).trace(true).run();
        Path dir = tmp.resolve("memory");
        result.save(dir);
        assertEquals(6, result.runs().get(0).trace().length);
        assertTrue(field(dir.resolve("runs/k2/c1/run.json"), "trace").startsWith("["));
        assertTrue(command("survey", dir.toString(), "--quiet").startsWith("exit 0\n"));
        String again = KitInputTest.refusal(() -> {
            try {
                result.save(dir);
            } catch (IOException e) {
                throw new AssertionError(e);
            }
        });
        assertEquals(dir + " is not empty: a study is saved into a new or empty directory", again);
        Path file = write("file", "x");
        assertTrue(KitInputTest.refusal(() -> {
            try {
                result.save(file);
            } catch (IOException e) {
                throw new AssertionError(e);
            }
        }).contains("is not a directory"));
        // A directory that cannot be made is the system's failure, named.
        IOException denied = assertThrows(IOException.class, () -> result.save(Paths.get("/proc/zarno-kit-test/s")));
        assertTrue(denied.getMessage().contains("/proc/zarno-kit-test"), denied.getMessage());
    }
}
