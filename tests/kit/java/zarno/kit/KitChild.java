package zarno.kit;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.Random;
import java.util.concurrent.CancellationException;

/** Main of the child JVMs of KitProcessTest; prints what the test checks. */
public final class KitChild {
    private KitChild() {}

    public static void main(String[] args) throws Exception {
        switch (args[0]) {
            case "study":
                // A small study; its chi-squares identify the library's numbers.
                System.out.println(fingerprint(smallStudy().run()));
                break;
            case "oom":
                // Results that outgrow the heap: the study ends with the JVM's OutOfMemoryError,
                // the native side lets go of everything, and the JVM carries on.
                Study big = Study.of(data(30000, 20, 44)).rank(8).chains(40).rounds(1).threads(2);
                try {
                    big.run();
                    System.out.println("no error");
                } catch (OutOfMemoryError e) {
                    System.gc();
                    System.out.println("oom open " + Native.openStudies() + " threads " + threads() + " then "
                            + fingerprint(smallStudy().run()));
                }
                break;
            case "soak":
                soak(Integer.parseInt(args[1]));
                break;
            case "abandon":
                // main returns with a study running: the JVM must exit, the study cancelled.
                Study.of(data(200, 30, 45)).ranks(2, 4).chains(4).rounds(50_000_000).tolerance(0).threads(2).start();
                System.out.println("started");
                break;
            default:
                throw new IllegalArgumentException(args[0]);
        }
    }

    // Studies cancelled at random moments: before their thread starts, while
    // the data go native, mid-run, or after they ended. Native memory (resident
    // size) and threads (of the process, native ones included) must stay flat.
    static void soak(int studies) throws Exception {
        Random random = new Random(42);
        Dataset data = data(400, 50, 43);
        int warmup = studies / 10;
        long rss0 = 0;
        int tasks0 = 0;
        int cancelled = 0;
        int done = 0;
        for (int i = 0; i < studies; i++) {
            if (i == warmup) {
                System.gc();
                rss0 = rssKb();
                tasks0 = tasks();
            }
            // A quarter are short enough to end before some of the cancels.
            int rounds = random.nextInt(4) == 0 ? random.nextInt(5) : 20 + random.nextInt(400);
            RunningStudy running = Study.of(data).ranks(2, 4).chains(2).rounds(rounds).threads(2).start();
            int wait = random.nextInt(30);
            if (wait > 0) {
                Thread.sleep(wait / 3, (wait % 3) * 300_000);
            }
            running.cancel();
            try {
                running.await();
                done++;
            } catch (CancellationException e) {
                cancelled++;
            }
        }
        System.gc();
        System.out.println("soak cancelled " + cancelled + " done " + done + " open " + Native.openStudies()
                + " tasks " + tasks0 + " " + tasks() + " rss " + rss0 + " " + rssKb());
    }

    // The child's class path holds the kit's jar and the test classes only.
    static Dataset data(int genes, int samples, long seed) {
        Random r = new Random(seed);
        double[] v = new double[genes * samples];
        double[] u = new double[v.length];
        for (int i = 0; i < v.length; i++) {
            v[i] = r.nextDouble() * 3 + (i % samples == i / samples % 5 ? 2 : 0);
            u[i] = 0.1 + 0.1 * v[i];
        }
        return Dataset.of(v, u, genes, samples);
    }

    static Study smallStudy() {
        return Study.of(data(30, 8, 41)).ranks(2, 3).chains(2).rounds(60);
    }

    static String fingerprint(StudyResult r) {
        StringBuilder s = new StringBuilder("runs");
        for (Run run : r.runs()) {
            s.append(' ').append(Long.toHexString(Double.doubleToRawLongBits(run.chiSquare())));
        }
        return s.toString();
    }

    static long threads() {
        return Thread.getAllStackTraces().keySet().stream().filter(t -> t.getName().startsWith("zarno-study-")).count();
    }

    static int tasks() throws IOException {
        try (var s = Files.list(Paths.get("/proc/self/task"))) {
            return (int) s.count();
        }
    }

    static long rssKb() throws IOException {
        for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) {
                return Long.parseLong(line.replaceAll("[^0-9]", ""));
            }
        }
        throw new IOException("no VmRSS");
    }
}
