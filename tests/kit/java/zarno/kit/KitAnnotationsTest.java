package zarno.kit;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNull;
import static org.junit.jupiter.api.Assertions.assertTrue;
import static zarno.kit.KitFilesTest.command;
import static zarno.kit.KitFilesTest.data;
import static zarno.kit.KitInputTest.assertContains;
import static zarno.kit.KitInputTest.refusal;

import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.HashMap;
import java.util.LinkedHashMap;
import java.util.List;
import java.util.Map;
import java.util.OptionalDouble;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** Sample annotations: the survey's agreement with them, as the command computes and keeps it. */
class KitAnnotationsTest {
    @TempDir
    Path tmp;

    // The sample data's 20 samples with a lineage (the first half against the second), a
    // plate (named like a batch; alternating), an age (numbers) and a stage (codes 1-3).
    static Annotations sampleNotes(List<String> labels) {
        List<String> lineage = new ArrayList<>();
        List<String> plate = new ArrayList<>();
        List<Double> age = new ArrayList<>();
        List<Integer> stage = new ArrayList<>();
        for (int s = 0; s < labels.size(); s++) {
            lineage.add(s < labels.size() / 2 ? "B" : "T");
            plate.add("p" + (s % 2));
            age.add(s == 3 ? null : 20.0 + 1.5 * s);
            stage.add(1 + s % 3);
        }
        Map<String, List<?>> columns = new LinkedHashMap<>();
        columns.put("lineage", lineage);
        columns.put("plate", plate);
        columns.put("age", age);
        columns.put("stage", stage);
        return Annotations.of(labels, columns);
    }

    // survey.tsv of `zarno survey`: per pattern count, column name -> value.
    static Map<Integer, Map<String, String>> surveyTsv(Path dir) throws Exception {
        List<String[]> rows = KitSurveyTest.tsv(dir.resolve("survey.tsv"));
        Map<Integer, Map<String, String>> out = new HashMap<>();
        for (String[] row : rows.subList(1, rows.size())) {
            Map<String, String> line = new HashMap<>();
            for (int c = 0; c < row.length; c++) {
                line.put(rows.get(0)[c], row[c]);
            }
            out.put(Integer.parseInt(row[0]), line);
        }
        return out;
    }

    static void assertFigure(String command, OptionalDouble kit, String what) {
        if (command.equals("NA")) {
            assertTrue(kit.isEmpty(), what);
        } else {
            assertEquals(Double.parseDouble(command), kit.orElseThrow(), 1e-12 * (1 + Math.abs(kit.orElseThrow())), what);
        }
    }

    @Test
    void theAgreementIsTheCommandsAndTheCopyInTheRunDirectoryIsTheSame() throws Exception {
        Dataset sample = Dataset.read(data("sample.txt"), data("sample.unc"));
        StudyResult result = Study.of(sample).ranks(2, 3).chains(3).rounds(300).threads(2).run();
        Annotations notes = sampleNotes(sample.sampleLabels()).batch("lineage");
        Survey survey = result.survey(notes);
        assertTrue(result.survey().agreement().isEmpty());
        // The suggestion never reads the annotations.
        assertEquals(result.survey().suggestedPatterns(), survey.suggestedPatterns());
        Agreement agreement = survey.agreement().orElseThrow();
        assertEquals(List.of(2, 3), agreement.counts().stream().map(CountAgreement::patterns).collect(Collectors.toList()));

        Path dir = tmp.resolve("study");
        result.save(dir, notes);
        assertTrue(Files.exists(dir.resolve("annotations.tsv")));
        String said = command("survey", dir.toString(), "--quiet");
        assertTrue(said.startsWith("exit 0\n"), said);
        Map<Integer, Map<String, String>> tsv = surveyTsv(dir);
        for (CountAgreement count : agreement.counts()) {
            Map<String, String> line = tsv.get(count.patterns());
            for (String c : List.of("lineage", "plate", "stage")) {
                ColumnAgreement x = count.column(c);
                assertFalse(x.numbers(), c);
                assertFigure(line.get("ari_" + c), x.ari(), c + " at " + count.patterns());
                assertFigure(line.get("nmi_" + c), x.nmi(), c);
            }
            ColumnAgreement age = count.column("age");
            assertTrue(age.numbers());
            assertEquals(19, age.samples());
            assertFigure(line.get("r_age"), age.patternFigures().get(age.bestPattern().orElseThrow()), "age");
            assertEquals(line.get("best_annotation"), count.best().map(ColumnAgreement::column).orElse("NA"));
        }
        // Batches: flagged and named like one; the command's survey.json lists as many effects.
        assertTrue(agreement.counts().get(0).column("lineage").batch());
        assertTrue(agreement.counts().get(0).column("plate").batch());
        assertFalse(agreement.counts().get(0).column("age").batch());
        String json = Files.readString(dir.resolve("survey.json"));
        String effects = json.substring(json.indexOf("\"batch_effects\""));
        effects = effects.substring(0, effects.indexOf(']') + 1);
        assertEquals(agreement.batchEffects().size(), effects.split("\"figure\"", -1).length - 1, effects);

        // The copy read back gives the same figures.
        Annotations read = Annotations.read(dir.resolve("annotations.tsv"));
        assertEquals(notes.columns(), read.columns());
        assertNull(read.value("s04", "age"));
        assertEquals("T", read.value("s20", "lineage"));
        Agreement again = result.survey(read.batch("lineage")).agreement().orElseThrow();
        for (int i = 0; i < agreement.counts().size(); i++) {
            assertEquals(agreement.counts().get(i).column("lineage").ari(), again.counts().get(i).column("lineage").ari());
            assertEquals(agreement.counts().get(i).column("age").patternFigures(),
                    again.counts().get(i).column("age").patternFigures());
        }
    }

    @Test
    void annotationsThatDoNotMatchTheSamplesAreRefusedBeforeAnythingIsWritten() throws Exception {
        Dataset d = KitData.dataset(20, 6, 31);
        StudyResult result = Study.of(d).ranks(2, 2).chains(2).rounds(40).run();
        List<String> labels = new ArrayList<>(d.sampleLabels());
        labels.set(2, "stranger");
        String unknown = refusal(() -> result.survey(Annotations.of(labels, Map.of("g", List.of(1, 2, 1, 2, 1, 2)))));
        assertContains(unknown, "annotations, row 3", "\"stranger\"", "not a sample of the data");
        String without = refusal(() -> result.survey(
                Annotations.of(d.sampleLabels().subList(0, 5), Map.of("g", List.of(1, 2, 1, 2, 1)))));
        assertContains(without, "no row for 1 of the data's 6 samples", "\"s6\"");
        Path dir = tmp.resolve("refused");
        refusal(() -> {
            try {
                result.save(dir, Annotations.of(labels, Map.of("g", List.of(1, 2, 1, 2, 1, 2))));
            } catch (java.io.IOException e) {
                throw new AssertionError(e);
            }
        });
        assertFalse(Files.exists(dir), "written although refused");
        Annotations ok = Annotations.of(d.sampleLabels(), Map.of("g", List.of("a", "a", "b", "b", "c", "c")));
        assertContains(refusal(() -> ok.batch("lane")), "no annotation column is named \"lane\"");
        assertContains(refusal(() -> Annotations.of(d.sampleLabels(), Map.of("g", List.of(1, 2)))), "2 values for 6");
        // The run directory's tab-separated copy could not hold a tab; an infinite number is no value.
        assertContains(refusal(() -> Annotations.of(d.sampleLabels(), Map.of("g", List.of("a", "b\tc", "a", "b", "a", "b")))),
                "holds a tab");
        assertContains(refusal(() -> Annotations.of(d.sampleLabels(),
                Map.of("dose", List.of(1.0, 2.0, Double.POSITIVE_INFINITY, 1.0, 2.0, 1.0)))), "is not finite");
        // A column of one value cannot agree with anything, and says so.
        Annotations flat = Annotations.of(d.sampleLabels(), Map.of("site", List.of("x", "x", "x", "x", "x", "x")));
        assertEquals(1, result.survey(flat).agreement().orElseThrow().warnings().size());
    }

    @Test
    void aTableFileIsReadWithTheCommandsRulesAndMessages() throws Exception {
        Path good = Files.writeString(tmp.resolve("notes.csv"), "sample,group,dose\ns1,a,1.5\ns2,b,NA\n");
        Annotations a = Annotations.read(good);
        assertEquals(List.of("group", "dose"), a.columns());
        assertEquals(List.of("s1", "s2"), a.samples());
        assertNull(a.value("s2", "dose"));
        Path ragged = Files.writeString(tmp.resolve("ragged.tsv"), "sample\tgroup\ns1\ta\ns2\tb\tc\n");
        assertContains(refusal(() -> Annotations.read(ragged)), "ragged.tsv:3:");
        Path twice = Files.writeString(tmp.resolve("twice.tsv"), "sample\tgroup\ns1\ta\ns1\tb\n");
        assertContains(refusal(() -> Annotations.read(twice)), "twice.tsv:3:1", "has a row already");
        // A table read from a file names its lines when it does not match the data.
        Dataset d = KitData.dataset(20, 3, 32);
        StudyResult result = Study.of(d).ranks(2, 2).chains(1).rounds(20).run();
        Path other = Files.writeString(tmp.resolve("other.tsv"), "sample\tgroup\ns1\ta\ns2\tb\nx9\ta\n");
        assertContains(refusal(() -> result.survey(Annotations.read(other))), "other.tsv:4:1", "\"x9\"");
    }
}
