package zarno;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotNull;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.File;
import java.io.IOException;
import java.io.StringWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.HashMap;
import java.util.HashSet;
import java.util.List;
import java.util.Map;
import java.util.concurrent.TimeUnit;
import java.util.stream.Collectors;
import java.util.stream.Stream;

import javax.tools.JavaCompiler;
import javax.tools.StandardJavaFileManager;
import javax.tools.ToolProvider;

import org.junit.jupiter.api.BeforeAll;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;
import org.junit.jupiter.params.ParameterizedTest;
import org.junit.jupiter.params.provider.Arguments;
import org.junit.jupiter.params.provider.MethodSource;
import org.junit.jupiter.params.provider.ValueSource;

/**
 * Hostile hosts and hostile input. Every case runs in a child JVM under -Xcheck:jni, so that a
 * native crash fails that case alone; each child must exit normally, print no JNI warning, and
 * run an ordinary job afterwards (see zarno.hardening.Child for the line protocol).
 */
class HardeningTest {
    private static final String JAVA = System.getProperty("zarno.java");
    private static final String LIBRARY = System.getProperty("zarno.library");
    private static final String PROGRAM = System.getProperty("zarno.programLibrary");
    private static final String CLASSPATH = System.getProperty("zarno.classpath");
    private static final String GOOD_AFTER = "AFTER 0 4";

    @TempDir
    static Path work;

    /** Class directories that replace a host class for one child. */
    private static Path noGuiPrint, noResultMethod, outputWithoutField, outputMistyped;

    /** What a child JVM printed. */
    static final class ChildRun {
        final int exit;
        final List<String> lines;

        ChildRun(int exit, List<String> lines) {
            this.exit = exit;
            this.lines = lines;
        }

        List<String> tagged(String tag) {
            return lines.stream().filter(l -> l.startsWith(tag + " "))
                    .map(l -> l.substring(tag.length() + 1)).collect(Collectors.toList());
        }

        List<String> messages() {
            return tagged("MSG");
        }

        List<String> results() {
            return tagged("RESULT");
        }

        /** "RETURN rc" or "THREW class: message". */
        String outcome() {
            return lines.stream().filter(l -> l.startsWith("RETURN ") || l.startsWith("THREW "))
                    .findFirst().orElse("(no outcome)");
        }

        String after() {
            return lines.stream().filter(l -> l.startsWith("AFTER ")).findFirst().orElse("");
        }

        @Override
        public String toString() {
            return "exit " + exit + "\n" + String.join("\n", lines);
        }
    }

    @BeforeAll
    static void compileHostileClasses() throws IOException {
        assertNotNull(JAVA, "run through tests/run-junit.sh, which sets zarno.java");
        String load = "  public static void load() { System.load(System.getProperty(\"zarno.library\")); }\n";
        String nativeCall = "  public native int zarno(Object KQin, Object KQout);\n";
        noGuiPrint = compile("no-guiprint", "lib/ZARNO.java", "package lib;\n"
                + "public class ZARNO {\n" + nativeCall + load
                + "  public void writeKQout(String p, kqviewer.ZevuzuExp o) { System.out.println(\"RESULT \" + p); }\n"
                + "  public void writeLumeOut(String p, lumeviewer.ZevuzuExp o) { System.out.println(\"RESULT \" + p); }\n"
                + "}\n");
        noResultMethod = compile("no-result-method", "lib/ZARNO.java", "package lib;\n"
                + "public class ZARNO {\n" + nativeCall + load
                + "  public void guiPrint(String m) { System.out.println(\"MSG \" + m.replace(\"\\n\", \"\\\\n\")); }\n"
                + "}\n");
        String fields = "  public String[] geneNames, xLabels;\n"
                + "  public int Na, Nf, Nsol, Nfoot;\n"
                + "  public String date;\n"
                + "  public double[] footprint;\n"
                + "  public double[][] distribution, distSD, pattern, pattSD;\n"
                + "  public String tag;\n"
                + "  public double chisq, AtomsA, AtomsF, Evidence, lineMeasure, ptwidth;\n"
                + "  public int ENSEMBLE, Niter, Nshow, Iseed, SeedP;\n"
                + "  public double[][] data, mock, noise;\n";
        outputWithoutField = compile("output-without-pattSD", "kqviewer/ZevuzuExp.java",
                "package kqviewer;\npublic class ZevuzuExp {\n"
                        + fields.replace(", pattSD;", ";") + "}\n");
        outputMistyped = compile("output-float-chisq", "kqviewer/ZevuzuExp.java",
                "package kqviewer;\npublic class ZevuzuExp {\n"
                        + fields.replace("double chisq, ", "float chisq;\n  public double ") + "}\n");
    }

    private static Path compile(String name, String file, String source) throws IOException {
        Path src = work.resolve(name).resolve("src").resolve(file);
        Path out = work.resolve(name).resolve("classes");
        Files.createDirectories(src.getParent());
        Files.createDirectories(out);
        Files.write(src, source.getBytes(StandardCharsets.UTF_8));
        JavaCompiler javac = ToolProvider.getSystemJavaCompiler();
        assertNotNull(javac, "compiling the hostile host classes needs a JDK");
        StringWriter log = new StringWriter();
        try (StandardJavaFileManager files = javac.getStandardFileManager(null, null, null)) {
            boolean ok = javac.getTask(log, files, null,
                    Arrays.asList("-d", out.toString(), "-cp", CLASSPATH), null,
                    files.getJavaFileObjectsFromFiles(Arrays.asList(src.toFile()))).call();
            assertTrue(ok, log.toString());
        }
        return out;
    }

    /**
     * Runs {@code main} with {@code args} in a child JVM under -Xcheck:jni, with
     * {@code classesFirst} (if any) ahead of the test classpath, and checks that it ended
     * normally and cleanly.
     */
    static ChildRun child(List<String> launcher, List<String> jvmOptions, String library,
            Path classesFirst, String main, String... args) throws Exception {
        List<String> cmd = new ArrayList<>(launcher);
        cmd.add(JAVA);
        cmd.add("-Xcheck:jni");
        cmd.addAll(jvmOptions);
        cmd.add("-Dzarno.library=" + library);
        cmd.add("-cp");
        cmd.add(classesFirst == null ? CLASSPATH : classesFirst + File.pathSeparator + CLASSPATH);
        cmd.add(main);
        cmd.addAll(Arrays.asList(args));
        Path log = Files.createTempFile(work, "child", ".log");
        Process p = new ProcessBuilder(cmd).directory(work.toFile()).redirectErrorStream(true)
                .redirectOutput(log.toFile()).start();
        if (!p.waitFor(120, TimeUnit.SECONDS)) {
            p.destroyForcibly().waitFor();
            throw new AssertionError("child timed out: " + String.join(" ", cmd) + "\n"
                    + new String(Files.readAllBytes(log), StandardCharsets.UTF_8));
        }
        ChildRun run = new ChildRun(p.exitValue(), Files.readAllLines(log, StandardCharsets.UTF_8));
        assertEquals(0, run.exit, () -> "the child JVM did not end normally:\n" + run);
        assertEquals("DONE", run.lines.isEmpty() ? "" : run.lines.get(run.lines.size() - 1),
                () -> run.toString());
        for (String line : run.lines) {
            assertFalse(line.contains("WARNING") || line.contains("FATAL ERROR"),
                    () -> "JNI check output:\n" + run);
        }
        return run;
    }

    static ChildRun hostile(String... args) throws Exception {
        return child(List.of(), List.of("-Xmx256m"), LIBRARY, null, "zarno.hardening.Child", args);
    }

    static ChildRun hostileWith(Path classesFirst, String... args) throws Exception {
        return child(List.of(), List.of("-Xmx256m"), LIBRARY, classesFirst,
                "zarno.hardening.Child", args);
    }

    // Host mistakes

    // The JVM words its NoSuchFieldError itself (HotSpot: "Class.field signature"); the tests
    // ask only that it names the field.
    static Stream<Arguments> inputLookalikes() {
        return Stream.of(
                Arguments.of("kqin-without-Nf", "Nf"),
                Arguments.of("kqin-long-Na", "Na"),
                Arguments.of("kqin-object-labels", "xLabels"));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("inputLookalikes")
    void inputFieldMissingOrMistypedThrowsNoSuchFieldErrorBeforeAnyRun(String name, String field)
            throws Exception {
        ChildRun run = hostile(name);
        assertTrue(run.outcome().startsWith("THREW java.lang.NoSuchFieldError: "), run::toString);
        assertTrue(run.outcome().matches(".*\\b" + field + "\\b.*"), run::toString);
        assertEquals(List.of("Running ZARNO"), run.messages());
        assertEquals(List.of(), run.results());
        assertEquals(GOOD_AFTER, run.after());
    }

    @Test
    void outputClassWithoutAFieldStopsTheRunThatNeedsIt() throws Exception {
        // pattSD is set with the random start, before the first update round.
        ChildRun run = hostileWith(outputWithoutField, "hostile-output");
        assertTrue(run.outcome().startsWith("THREW java.lang.NoSuchFieldError: "), run::toString);
        assertTrue(run.outcome().contains("pattSD"), run::toString);
        assertEquals("Npatterns 2 chain 1", last(run.messages()), run::toString);
        assertEquals(List.of(), run.results());
    }

    @Test
    void outputClassWithAMistypedFieldStopsBeforeTheResultCallback() throws Exception {
        // chisq is set after the run, just before the callback.
        ChildRun run = hostileWith(outputMistyped, "hostile-output");
        assertTrue(run.outcome().startsWith("THREW java.lang.NoSuchFieldError: "), run::toString);
        assertTrue(run.outcome().contains("chisq"), run::toString);
        assertEquals("Npatterns 2 chain 1", last(run.messages()), run::toString);
        assertEquals(List.of(), run.results());
    }

    @Test
    void hostClassWithoutGuiPrintThrowsNoSuchMethodErrorNamingIt() throws Exception {
        ChildRun run = hostileWith(noGuiPrint, "plain-host");
        assertEquals("THREW java.lang.NoSuchMethodError: lib.ZARNO.guiPrint(Ljava/lang/String;)V: "
                + "the host class lacks this method, which ZARNO calls", run.outcome());
        assertEquals(List.of(), run.messages());
        assertEquals(List.of(), run.results());
        assertEquals(GOOD_AFTER, run.after());
    }

    @Test
    void hostClassWithoutTheResultMethodThrowsBeforeAnyRun() throws Exception {
        ChildRun run = hostileWith(noResultMethod, "plain-host");
        assertEquals("THREW java.lang.NoSuchMethodError: "
                + "lib.ZARNO.writeKQout(Ljava/lang/String;Lkqviewer/ZevuzuExp;)V: "
                + "the host class lacks this method, which ZARNO calls", run.outcome());
        assertEquals(List.of("Running ZARNO"), run.messages());
        assertEquals(GOOD_AFTER, run.after());
    }

    @Test
    void outputOfAnotherClassThrowsClassCastExceptionBeforeAnyRun() throws Exception {
        // Passed unchecked, such an object would reach writeKQout typed as a
        // kqviewer.ZevuzuExp, and reading its fields could crash the JVM.
        ChildRun lookalike = hostile("kqout-lookalike");
        assertEquals("THREW java.lang.ClassCastException: KQout is a "
                + "zarno.hardening.Lookalikes$Output, but the host's writeKQout takes a "
                + "kqviewer.ZevuzuExp", lookalike.outcome());
        assertEquals(List.of("Running ZARNO"), lookalike.messages());
        assertEquals(GOOD_AFTER, lookalike.after());

        ChildRun otherBuild = hostile("kqout-lumeviewer");
        assertEquals("THREW java.lang.ClassCastException: KQout is a lumeviewer.ZevuzuExp, but "
                + "the host's writeKQout takes a kqviewer.ZevuzuExp", otherBuild.outcome());
        assertEquals(List.of(), otherBuild.results());

        ChildRun program = child(List.of(), List.of("-Xmx256m", "-Dhardening.output=lumeviewer"),
                PROGRAM, null, "zarno.hardening.Child", "kqout-kqviewer");
        assertEquals("THREW java.lang.ClassCastException: KQout is a kqviewer.ZevuzuExp, but "
                + "the host's writeLumeOut takes a lumeviewer.ZevuzuExp", program.outcome());
        assertEquals(GOOD_AFTER, program.after());
    }

    static Stream<Arguments> throwingCallbacks() {
        // Messages of the ordinary job: 1 "Running ZARNO", 2 the report, 3 to 6 one per run
        // before it; results after each run.
        return Stream.of(
                Arguments.of(new String[] {"throw-on-message", "1"}, "guiPrint #1", 1, 0),
                Arguments.of(new String[] {"throw-on-message", "2"}, "guiPrint #2", 2, 0),
                Arguments.of(new String[] {"throw-on-message", "5"}, "guiPrint #5", 5, 2),
                Arguments.of(new String[] {"throw-on-message", "2", "refused"}, "guiPrint #2", 2, 0),
                Arguments.of(new String[] {"throw-on-result", "1"}, "result #1", 3, 1),
                Arguments.of(new String[] {"throw-on-result", "4"}, "result #4", 6, 4));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("throwingCallbacks")
    void exceptionOfTheHostReachesTheCallerAndNothingFollowsIt(String[] args, String what,
            int messages, int results) throws Exception {
        ChildRun run = hostile(args);
        assertEquals("THREW zarno.hardening.RecordingHost$HostFailure: " + what, run.outcome());
        assertEquals(messages, run.messages().size(), run::toString);
        assertEquals(results, run.results().size(), run::toString);
        if (args.length > 2) {
            assertEquals("Refused: \"data\" is null", last(run.messages()));
        }
        // The failed job leaves nothing behind that would disturb the next.
        assertEquals(GOOD_AFTER, run.after());
    }

    // Bad sizes, values and names

    static Stream<Arguments> refusals() {
        return Stream.of(
                Arguments.of("data-null", "\"data\" is null"),
                Arguments.of("acc-null", "\"acc\" is null"),
                Arguments.of("data-short", "\"data\" holds 29 values, fewer than \"Na\" x \"Nf\" = 30"),
                Arguments.of("acc-short", "\"acc\" holds 29 values, fewer than \"Na\" x \"Nf\" = 30"),
                Arguments.of("NfootA-null", "\"NfootA\" is null"),
                Arguments.of("NlistA-null", "\"NlistA\" is null"),
                Arguments.of("NfootA-short", "\"NfootA\" holds 1 counts, fewer than \"NfeetA\" = 2"),
                Arguments.of("NlistA-short", "\"NlistA\" holds 1 rows, fewer than \"NfeetA\" = 2"),
                Arguments.of("NlistA-row-short", "\"NlistA\"[1] holds 0 indices, fewer than \"NfootA\"[1] = 1"),
                Arguments.of("NlistA-row-null", "\"NlistA\"[0] is null"),
                Arguments.of("NfootA-negative", "\"NfootA\"[1] is negative (-1)"),
                Arguments.of("NfeetA-negative", "\"NfeetA\" is negative (-1)"),
                Arguments.of("Na-zero", "\"Na\" must be positive, not 0"),
                Arguments.of("Nf-negative", "\"Nf\" must be positive, not -5"),
                Arguments.of("StartRank-zero", "\"StartRank\" must be at least 1, not 0"),
                Arguments.of("StartRank-negative", "\"StartRank\" must be at least 1, not -2"),
                Arguments.of("NaNf-2^32", "\"Na\" x \"Nf\" = 4294967296 does not fit 32 bits"),
                Arguments.of("NaNf-wraps-negative", "\"Na\" x \"Nf\" = 2147488281 does not fit 32 bits"),
                Arguments.of("EndRank-overflow", "\"EndRank\" 500000000 makes"),
                Arguments.of("seed-overflow", "\"EndRank\" + \"Nchains\" = 2147483645"),
                Arguments.of("data-nan", "\"data\" of gene 1 sample 2 is not finite"),
                Arguments.of("acc-zero", "\"acc\" of gene 0 sample 3 is 0;"),
                Arguments.of("acc-negative", "\"acc\" of gene 5 sample 4 is -0.5;"),
                Arguments.of("tag-null", "\"tag\" is null"),
                Arguments.of("dir-null", "\"dir\" is null"),
                Arguments.of("tag-200", "\"tag\" takes 200 bytes in UTF-8; at most 199 fit"),
                Arguments.of("tag-multibyte", "\"tag\" takes 200 bytes in UTF-8; at most 199 fit"),
                Arguments.of("dir-250", "\"dir\" takes 250 bytes in UTF-8; at most 199 fit"),
                Arguments.of("dir-tag-196", "\"dir\" and \"tag\" together take 196 bytes in UTF-8; at most 195 fit"),
                Arguments.of("kqin-null", "KQin is null"),
                Arguments.of("kqout-null", "KQout is null"));
    }

    @ParameterizedTest(name = "{0}")
    @MethodSource("refusals")
    void badInputIsRefusedBeforeAnyRunWithAMessageNamingTheField(String name, String text)
            throws Exception {
        ChildRun run = hostile(name);
        assertEquals("RETURN -1", run.outcome(), run::toString);
        List<String> refusals = run.messages().stream().filter(m -> m.startsWith("Refused: "))
                .collect(Collectors.toList());
        assertEquals(1, refusals.size(), run::toString);
        assertTrue(refusals.get(0).startsWith("Refused: " + text), run::toString);
        assertEquals(refusals.get(0), last(run.messages()), "the refusal ends the job");
        assertFalse(run.messages().stream().anyMatch(m -> m.startsWith("Npatterns")), run::toString);
        assertEquals(List.of(), run.results());
        assertEquals(GOOD_AFTER, run.after());
    }

    @Test
    void resultPathsAreWholeUpToTheLastCharacterAndRefusedBeyondIt() throws Exception {
        // dir (100) + tag (79) + "run1_chain1/" + "_1_1.kqo" = 199 characters: fits.
        ChildRun fits = hostile("names", "100", "79", "1", "1");
        assertEquals("RETURN 0", fits.outcome(), fits::toString);
        String dir = "/" + "d".repeat(98) + "/";
        assertEquals(List.of(dir + "run1_chain1/" + "t".repeat(79) + "_1_1.kqo Nsol=1 rows=1 finite=true"),
                fits.results());

        ChildRun over = hostile("names", "100", "80", "1", "1");
        assertEquals("RETURN -1", over.outcome(), over::toString);
        assertEquals("Refused: the result-record paths of \"dir\" and \"tag\" reach 200 "
                + "characters; at most 199 fit", last(over.messages()));
        assertEquals(List.of(), over.results());

        // Only the last pattern count's paths are too long: the job is refused whole, before
        // its first run, rather than stopped half done.
        ChildRun late = hostile("names", "100", "78", "9", "10");
        assertEquals("RETURN -1", late.outcome(), late::toString);
        assertEquals(List.of(), late.results());

        ChildRun twoDigits = hostile("names", "100", "77", "9", "10");
        assertEquals("RETURN 0", twoDigits.outcome(), twoDigits::toString);
        List<String> paths = twoDigits.results().stream().map(r -> r.substring(0, r.indexOf(' ')))
                .collect(Collectors.toList());
        assertEquals(2, new HashSet<>(paths).size());
        assertEquals(dir + "run10_chain1/" + "t".repeat(77) + "_10_1.kqo", paths.get(1));
        assertEquals(199, paths.get(1).length());
    }

    // Memory

    @Test
    void matricesThatCannotBeAllocatedEndTheJobWithAMessage() throws Exception {
        // Under an address-space limit of 1.5 GB the run's first large matrix (2.4 GB) cannot
        // be had, whatever else the machine is doing. Few malloc arenas and a small Java heap
        // keep the JVM itself well inside the limit.
        ChildRun run = child(List.of("/bin/sh", "-c",
                "ulimit -v 1500000 && export MALLOC_ARENA_MAX=2 && exec \"$0\" \"$@\""),
                List.of("-Xmx64m", "-XX:+UseSerialGC", "-XX:ReservedCodeCacheSize=32m",
                        "-XX:CompressedClassSpaceSize=64m"),
                LIBRARY, null, "zarno.hardening.Child", "native-memory");
        assertEquals("RETURN -1", run.outcome(), run::toString);
        String last = last(run.messages());
        assertTrue(last.startsWith("Could not allocate the "), run::toString);
        assertTrue(last.endsWith(" MB of matrices of Npatterns 300000000 chain 1; the job stops"),
                run::toString);
        assertEquals(List.of(), run.results());
        assertEquals(GOOD_AFTER, run.after());
    }

    @Test
    void javaHeapExhaustedWhileExportingThrowsOutOfMemoryError() throws Exception {
        ChildRun run = child(List.of(), List.of("-Xmx48m", "-XX:+UseSerialGC"), LIBRARY, null,
                "zarno.hardening.Child", "java-heap");
        assertTrue(run.outcome().startsWith("THREW java.lang.OutOfMemoryError"), run::toString);
        assertEquals("Npatterns 1 chain 1", last(run.messages()));
        assertEquals(List.of(), run.results());
        assertEquals(GOOD_AFTER, run.after());
    }

    // Concurrency

    @ParameterizedTest
    @ValueSource(strings = {"separate", "shared", "shared-input"})
    void concurrentJobsGiveExactlyWhatEachGivesAlone(String mode) throws Exception {
        int threads = 4;
        int repetitions = 8;
        ChildRun run = child(List.of(), List.of("-Xmx256m"), LIBRARY, null,
                "zarno.hardening.Concurrency", mode, String.valueOf(threads),
                String.valueOf(repetitions));
        assertEquals(List.of(), run.tagged("FAILED"));
        Map<String, String> alone = new HashMap<>();
        for (String line : run.tagged("ALONE")) {
            String[] f = line.split(" ");
            assertEquals("rc=0", f[2], line);
            alone.put(f[0], f[1]);
        }
        int jobs = mode.equals("shared-input") ? 1 : threads;
        assertEquals(jobs, alone.size());
        // Different jobs differ, so results handed to the wrong thread would show.
        assertEquals(jobs, new HashSet<>(alone.values()).size());
        List<String> together = run.tagged("TOGETHER");
        assertEquals(threads * repetitions, together.size());
        for (String line : together) {
            String[] f = line.split(" ");
            assertEquals(alone.get(f[0]) + " rc=0", f[2] + " " + f[3], () -> "job " + line);
        }
    }

    private static String last(List<String> list) {
        return list.isEmpty() ? "(none)" : list.get(list.size() - 1);
    }
}
