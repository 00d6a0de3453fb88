package zarno;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.Arrays;
import java.util.List;
import java.util.stream.Collectors;
import org.junit.jupiter.api.Test;

/** Contracts that need a JVM of their own: the program build, heap limits, long-lived hosts. */
class ProcessTest {
    static List<String> resultLines(ChildJvm c) {
        return Arrays.stream(c.output.split("\n")).filter(l -> l.startsWith("result ")).collect(Collectors.toList());
    }

    @Test
    void programBuildCallsWriteLumeOutWithVizPathsAndTheSameNumbers() throws Exception {
        ChildJvm program = ChildJvm.run(ChildJvm.programLibrary(), List.of(), ProgramBuildMain.class);
        ChildJvm library = ChildJvm.run(ChildJvm.library(), List.of(), ProgramBuildMain.class, "kqviewer");
        assertEquals(0, program.exitCode, program.output);
        assertEquals(0, library.exitCode, library.output);
        assertFalse(program.jniWarnings() || library.jniWarnings(), program.output + library.output);
        assertTrue(program.output.contains("rc 0\n") && program.output.contains("kqviewer 0 lumeviewer 4"),
                program.output);
        assertTrue(library.output.contains("kqviewer 4 lumeviewer 0"), library.output);
        List<String> viz = resultLines(program);
        List<String> kqo = resultLines(library);
        assertEquals(4, viz.size());
        for (int i = 0; i < 4; i++) {
            assertTrue(viz.get(i).matches("result .*/run\\d_chain\\d/expr_\\d_\\d\\.viz [0-9a-f]+"), viz.get(i));
            assertEquals(kqo.get(i).replace(".kqo ", ".viz "), viz.get(i));
        }
    }

    @Test
    void aSweepLargerThanTheHeapCompletes() throws Exception {
        // Twelve runs export 3 x 1500 x 400 doubles each (about 170 MB in all)
        // into a 64 MB heap: only possible if each run's exports can be freed.
        ChildJvm c = ChildJvm.run(ChildJvm.library(), List.of("-Xmx64m"), SoakMain.class, "sweep");
        assertEquals(0, c.exitCode, c.output);
        assertTrue(c.output.contains("rc 0 runs 12"), c.output);
        assertFalse(c.jniWarnings(), c.output);
    }

    @Test
    void manyCallsKeepNativeAndJavaMemoryFlat() throws Exception {
        ChildJvm c = ChildJvm.run(ChildJvm.library(),
                List.of("-Xms128m", "-Xmx128m", "-XX:+AlwaysPreTouch"), SoakMain.class, "calls", "300");
        assertEquals(0, c.exitCode, c.output);
        assertFalse(c.jniWarnings(), c.output);
        String line = Arrays.stream(c.output.split("\n")).filter(l -> l.startsWith("rss ")).findFirst()
                .orElseThrow(() -> new AssertionError(c.output));
        String[] f = line.split(" ");
        long rssGrowthKb = Long.parseLong(f[2]) - Long.parseLong(f[1]);
        long heapGrowth = Long.parseLong(f[5]) - Long.parseLong(f[4]);
        assertEquals("1400", f[7], line); // 350 calls of 4 runs
        // A leaked copy of data and acc alone would be 320 KB a call, 96 MB over 300 calls.
        assertTrue(rssGrowthKb < 16 * 1024, line);
        assertTrue(heapGrowth < 8L << 20, line);
    }
}
