package zarno.kit;

import static org.junit.jupiter.api.Assertions.assertArrayEquals;
import static org.junit.jupiter.api.Assertions.assertEquals;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.List;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** A study through the kit holds, bit for bit, what `zarno run` writes for the same runs. */
class KitCommandTest {
    static double field(String json, String name) {
        Matcher m = Pattern.compile("\"" + name + "\": ([^,\\n]+)").matcher(json);
        if (!m.find()) throw new AssertionError("no " + name + " in " + json);
        return Double.parseDouble(m.group(1).trim());
    }

    // The numbers of a result table, row by row, after its header and the row names.
    static double[] numbers(Path file) throws IOException {
        List<String> rows = Files.readAllLines(file);
        return rows.stream().skip(1).filter(l -> !l.isBlank())
                .flatMapToDouble(l -> Arrays.stream(l.split("\t")).skip(1).mapToDouble(Double::parseDouble))
                .toArray();
    }

    @Test
    void theSampleStudyEqualsTheCommandsFiles(@TempDir Path tmp) throws Exception {
        Path data = Paths.get(System.getProperty("zarno.readme")).getParent().resolve("data");
        Path out = tmp.resolve("study");
        Process p = new ProcessBuilder(System.getProperty("zarno.command"), "run",
                data.resolve("sample.txt").toString(), "--uncert", data.resolve("sample.unc").toString(),
                "--ranks", "2:4", "--chains", "2", "--rounds", "500", "--threads", "2", "--quiet",
                // The default stop on both sides (1e-6).
                "--no-report", "--out", out.toString()).redirectErrorStream(true).start();
        String said = new String(p.getInputStream().readAllBytes());
        assertEquals(0, p.waitFor(), said);

        StudyResult result = Study.of(KitSurveyTest.sample()).ranks(2, 4).chains(2).rounds(500).threads(2).run();
        assertEquals(6, result.runs().size());
        for (Run r : result.runs()) {
            Path dir = out.resolve("runs/k" + r.patternCount() + "/c" + r.chain());
            String json = Files.readString(dir.resolve("run.json"));
            assertEquals(field(json, "chi_square"), r.chiSquare(), r.toString());
            assertEquals(field(json, "ssr"), r.residualSum());
            assertEquals((int) field(json, "seed_a"), r.seedA());
            assertEquals((int) field(json, "seed_p"), r.seedP());
            assertEquals((int) field(json, "rounds"), r.rounds());
            assertArrayEquals(numbers(dir.resolve("amplitudes.tsv")), r.amplitudes());
            assertArrayEquals(numbers(dir.resolve("patterns.tsv")), r.patterns());
        }
        List<String> names = Files.readAllLines(out.resolve("runs/k3/c1/amplitudes.tsv")).stream().skip(1)
                .map(l -> l.split("\t")[0]).collect(Collectors.toList());
        assertEquals(KitSurveyTest.sample().geneNames(), names);
    }
}
