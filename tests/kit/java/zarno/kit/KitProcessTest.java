package zarno.kit;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertNotEquals;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.attribute.PosixFilePermissions;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;
import java.util.regex.Matcher;
import java.util.regex.Pattern;
import java.util.stream.Collectors;
import java.util.stream.Stream;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.io.TempDir;

/** The jar in JVMs of its own: loading itself, extraction races, the README example, a soak. */
class KitProcessTest {
    @TempDir
    Path tmp;

    static String jar() {
        return System.getProperty("zarno.kitJar");
    }

    static String testClasses() {
        // The child sees the jar and the test classes only: no host classes, no library path.
        return Arrays.stream(System.getProperty("zarno.classpath").split(":"))
                .filter(p -> p.endsWith("test-classes")).findFirst().orElseThrow();
    }

    /** A started child JVM under -Xcheck:jni. */
    static Process start(List<String> options, String classPath, String mainClass, String... args) throws IOException {
        List<String> cmd = new ArrayList<>();
        cmd.add(System.getProperty("zarno.java", "java"));
        cmd.add("-Xcheck:jni");
        cmd.addAll(options);
        cmd.add("-cp");
        cmd.add(classPath);
        cmd.add(mainClass);
        cmd.addAll(Arrays.asList(args));
        return new ProcessBuilder(cmd).redirectErrorStream(true).start();
    }

    static String finish(Process p) throws Exception {
        String out = new String(p.getInputStream().readAllBytes(), StandardCharsets.UTF_8);
        assertTrue(p.waitFor(5, TimeUnit.MINUTES), "child JVM did not finish");
        assertFalse(out.contains("WARNING in native method") || out.contains("FATAL ERROR in native method"), out);
        return "exit " + p.exitValue() + "\n" + out;
    }

    List<String> kitOptions(Path tmpdir, String... more) {
        List<String> o = new ArrayList<>(List.of("-Djava.io.tmpdir=" + tmpdir, "-Djava.library.path=" + tmp.resolve("none")));
        o.addAll(Arrays.asList(more));
        return o;
    }

    static List<Path> files(Path dir) throws IOException {
        try (Stream<Path> s = Files.list(dir)) {
            return s.sorted().collect(Collectors.toList());
        }
    }

    @Test
    void theJarLoadsItselfOnceAndTwoJvmsMayExtractAtOnce() throws Exception {
        String expected = "exit 0\n" + KitChild.fingerprint(KitChild.smallStudy().run()) + "\n";
        String cp = jar() + ":" + testClasses();
        Path tmpdir = Files.createDirectory(tmp.resolve("t"));
        Process a = start(kitOptions(tmpdir), cp, KitChild.class.getName(), "study");
        Process b = start(kitOptions(tmpdir), cp, KitChild.class.getName(), "study");
        assertEquals(expected, finish(a));
        assertEquals(expected, finish(b));
        Path dir = tmpdir.resolve("zarno-kit-" + System.getProperty("user.name"));
        assertEquals("rwx------", PosixFilePermissions.toString(Files.getPosixFilePermissions(dir)));
        List<Path> extracted = files(dir);
        assertEquals(1, extracted.size(), "one library, no partial file left: " + extracted);
        assertTrue(extracted.get(0).getFileName().toString().matches("libZARNO-" + NativeLoader.VERSION
                + "-[0-9a-f]{16}\\.so"), extracted.toString());
        // A later JVM reuses the file as it is.
        long modified = Files.getLastModifiedTime(extracted.get(0)).toMillis();
        assertEquals(expected, finish(start(kitOptions(tmpdir), cp, KitChild.class.getName(), "study")));
        assertEquals(modified, Files.getLastModifiedTime(extracted.get(0)).toMillis());
        // A tampered copy is replaced, never loaded.
        Files.write(extracted.get(0), new byte[] {1, 2, 3});
        assertEquals(expected, finish(start(kitOptions(tmpdir), cp, KitChild.class.getName(), "study")));
        assertEquals(1, files(dir).size());
    }

    @Test
    void aSharedOrForeignDirectoryIsNotUsed() throws Exception {
        String cp = jar() + ":" + testClasses();
        Path tmpdir = Files.createDirectory(tmp.resolve("t"));
        Path dir = Files.createDirectory(tmpdir.resolve("zarno-kit-" + System.getProperty("user.name")));
        Files.setPosixFilePermissions(dir, PosixFilePermissions.fromString("rwxrwxrwx"));
        assertTrue(finish(start(kitOptions(tmpdir), cp, KitChild.class.getName(), "study")).startsWith("exit 0\n"));
        assertEquals(List.of(), files(dir), "nothing extracted where others may write");
    }

    @Test
    void aFailureToLoadNamesWhatWasTried() throws Exception {
        String cp = jar() + ":" + testClasses();
        String missing = finish(start(List.of("-Dzarno.library=" + tmp.resolve("nowhere/libZARNO.so")), cp,
                KitChild.class.getName(), "study"));
        assertNotEquals("exit 0", missing.split("\n")[0]);
        assertTrue(missing.contains("UnsatisfiedLinkError") && missing.contains("-Dzarno.library=" + tmp.resolve("nowhere")),
                missing);
        // A library without the kit's functions (the program build's) is named, not used.
        String program = System.getProperty("zarno.programLibrary");
        String old = finish(start(List.of("-Dzarno.library=" + program), cp, KitChild.class.getName(), "study"));
        assertTrue(old.contains(program + " has no kit functions"), old);
        Path libDir = Files.createDirectory(tmp.resolve("lib"));
        Files.writeString(libDir.resolve("libZARNO.so"), "not a library");
        String bad = finish(start(List.of("-Djava.library.path=" + libDir), cp, KitChild.class.getName(), "study"));
        assertNotEquals("exit 0", bad.split("\n")[0]);
        assertTrue(bad.contains("-Dzarno.library: not set") && bad.contains(libDir.resolve("libZARNO.so").toString()), bad);
    }

    @Test
    void aMainThatReturnsAfterStartEndsTheJvm() throws Exception {
        String cp = jar() + ":" + testClasses();
        Process p = start(kitOptions(tmp), cp, KitChild.class.getName(), "abandon");
        assertTrue(p.waitFor(2, TimeUnit.MINUTES), "the study kept the JVM alive");
        assertEquals("exit 0\nstarted\n", finish(p));
    }

    @Test
    void theLoaderSaysWhatItTriedAndLogsWhatItLoaded() throws Exception {
        String cp = jar() + ":" + testClasses();
        Path missing = tmp.resolve("no-such-tmp");
        String out = finish(start(kitOptions(missing), cp, KitChild.class.getName(), "study"));
        assertNotEquals("exit 0", out.split("\n")[0]);
        assertTrue(out.contains("java.io.tmpdir (" + missing + "), where it is extracted, is not a directory"), out);
        assertFalse(out.contains("noexec"), "no cause it did not check: " + out);

        Path logging = Files.writeString(tmp.resolve("logging.properties"), "handlers=java.util.logging.ConsoleHandler\n"
                + "java.util.logging.ConsoleHandler.level=ALL\nzarno.kit.level=ALL\n");
        Path tmpdir = Files.createDirectory(tmp.resolve("t"));
        String logged = finish(start(kitOptions(tmpdir, "-Djava.util.logging.config.file=" + logging), cp,
                KitChild.class.getName(), "study"));
        Matcher m = Pattern.compile("loaded the native library (\\S+)").matcher(logged);
        assertTrue(logged.startsWith("exit 0\n") && m.find(), logged);
        assertTrue(m.group(1).startsWith(tmpdir.resolve("zarno-kit-" + System.getProperty("user.name")).toString()),
                logged);
    }

    // The first java block after `heading` in a markdown file, compiled against the jar alone
    // and run with `args`: exit status and output.
    String compileAndRun(Path markdown, String heading, String... args) throws Exception {
        String text = Files.readString(markdown);
        int section = text.indexOf(heading);
        assertTrue(section >= 0, markdown + " has " + heading.trim());
        Matcher block = Pattern.compile("```java\n(.*?)```", Pattern.DOTALL).matcher(text);
        assertTrue(block.find(section), "the section has a java block");
        String code = block.group(1);
        Matcher name = Pattern.compile("public class (\\w+)").matcher(code);
        assertTrue(name.find(), code);
        Path src = Files.createDirectories(tmp.resolve("src"));
        Path classes = Files.createDirectories(tmp.resolve("classes"));
        Files.writeString(src.resolve(name.group(1) + ".java"), code);
        Process javac = new ProcessBuilder(System.getProperty("zarno.javac"), "-Xlint:all", "-Werror", "-cp", jar(),
                "-d", classes.toString(), src.resolve(name.group(1) + ".java").toString())
                .redirectErrorStream(true).start();
        assertEquals("exit 0\n", finish(javac));
        Path tmpdir = Files.createDirectories(tmp.resolve("t"));
        return finish(start(kitOptions(tmpdir), jar() + ":" + classes, name.group(1), args));
    }

    @Test
    void theReadmeExampleCompilesAgainstTheJarAloneAndRuns() throws Exception {
        String run = compileAndRun(Paths.get(System.getProperty("zarno.readme")), "\n## Java\n");
        assertTrue(run.startsWith("exit 0\n"), run);
        assertTrue(run.split("\n").length > 2, "the example prints its results: " + run);
        // Its progress: a first call and a final one, however short the study.
        assertTrue(run.contains("0 of 20 runs, 0.0% of rounds\n") && run.contains("20 of 20 runs, 100.0% of rounds\n"),
                run);
        assertTrue(Pattern.compile("pattern 0 top genes: \\[g\\d+ score=").matcher(run).find(), run);
    }

    @Test
    void theKitPagesExampleReadsTheSampleFilesAndNamesTopGenes() throws Exception {
        Path readme = Paths.get(System.getProperty("zarno.readme"));
        String run = compileAndRun(readme.getParent().resolve("docs/kit.md"), "\n## A first program\n",
                readme.getParent().resolve("data").toString());
        assertTrue(run.startsWith("exit 0\n"), run);
        Matcher top = Pattern.compile("pattern (\\d): \\[(g\\d{3}) score=").matcher(run);
        int patterns = 0;
        while (top.find()) {
            patterns++;
        }
        assertEquals(3, patterns, "the sample's three patterns, with named genes: " + run);
    }

    @Test
    void resultsBeyondTheHeapEndTheStudyWithOutOfMemoryErrorAndNothingLeft() throws Exception {
        String cp = jar() + ":" + testClasses();
        String out = finish(start(kitOptions(tmp, "-Xmx48m"), cp, KitChild.class.getName(), "oom"));
        String small = KitChild.fingerprint(KitChild.smallStudy().run());
        assertEquals("exit 0\noom open 0 threads 0 then " + small + "\n", out);
    }

    @Test
    void cancellingAtRandomMomentsLeavesNothingBehind() throws Exception {
        String cp = jar() + ":" + testClasses();
        String out = finish(start(kitOptions(tmp, "-Xms256m", "-Xmx256m", "-XX:+AlwaysPreTouch"), cp,
                KitChild.class.getName(), "soak", "200"));
        Matcher m = Pattern.compile("soak cancelled (\\d+) done (\\d+) open (\\d+) tasks (\\d+) (\\d+) rss (\\d+) (\\d+)")
                .matcher(out);
        assertTrue(out.startsWith("exit 0\n") && m.find(), out);
        int cancelled = Integer.parseInt(m.group(1));
        assertTrue(cancelled >= 50 && cancelled + Integer.parseInt(m.group(2)) == 200, out);
        assertEquals("0", m.group(3), "native studies left open");
        // JIT compiler threads come and go; a leaked worker would add one per study.
        assertTrue(Integer.parseInt(m.group(5)) <= Integer.parseInt(m.group(4)) + 4, out);
        // One leaked copy of the data is 320 KB: 57 MB over 180 studies.
        assertTrue(Long.parseLong(m.group(7)) - Long.parseLong(m.group(6)) < 16 * 1024, out);
    }
}
