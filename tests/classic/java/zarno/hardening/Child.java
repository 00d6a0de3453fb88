package zarno.hardening;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Paths;
import java.util.Arrays;
import java.util.HashMap;
import java.util.Map;
import java.util.function.Consumer;

import lib.KQin;
import lib.ZARNO;

/**
 * Runs one hostile case in a JVM of its own, so that a crash takes down only this process.
 *
 * <p>Usage: {@code Child CASE [ARGS]}. Prints one line per event: {@code MSG text} for each
 * message (newlines as \n), {@code RESULT path ...} for each result callback, then {@code RETURN
 * rc} or {@code THREW class: message} for the call, {@code AFTER rc results} for an ordinary
 * job run afterwards in the same JVM (omitted where the case's classes cannot run one), and
 * {@code DONE}.
 */
public final class Child {
    private Child() {}

    static synchronized void out(String line) {
        System.out.println(line);
        System.out.flush();
    }

    /** A small valid job of 4 runs (2 and 3 patterns, 2 chains) with two prior groups. */
    static KQin good() {
        int na = 6;
        int nf = 5;
        double[][] d = new double[na][nf];
        double[][] u = new double[na][nf];
        for (int g = 0; g < na; g++) {
            for (int s = 0; s < nf; s++) {
                d[g][s] = 1 + ((g * 7 + s * 3) % 11) / 4.0;
                u[g][s] = 0.1 + ((g + s) % 3) * 0.05;
            }
        }
        KQin in = KQin.of(d, u, null, null);
        in.tag = "hard";
        in.dir = "/nonexistent/zarno/";
        in.StartRank = 2;
        in.EndRank = 3;
        in.Nchains = 2;
        in.Niter = 20;
        in.NfeetA = 2;
        in.NfootA = new int[] {2, 1};
        in.NlistA = new int[][] {{0, 3}, {5}};
        return in;
    }

    /** Inputs that must be refused, by case name; the test names the field each must mention. */
    static final Map<String, Consumer<KQin>> REFUSALS = new HashMap<>();

    static {
        REFUSALS.put("data-null", in -> in.data = null);
        REFUSALS.put("acc-null", in -> in.acc = null);
        REFUSALS.put("data-short", in -> in.data = Arrays.copyOf(in.data, in.data.length - 1));
        REFUSALS.put("acc-short", in -> in.acc = Arrays.copyOf(in.acc, in.acc.length - 1));
        REFUSALS.put("NfootA-null", in -> in.NfootA = null);
        REFUSALS.put("NlistA-null", in -> in.NlistA = null);
        REFUSALS.put("NfootA-short", in -> in.NfootA = new int[] {2});
        REFUSALS.put("NlistA-short", in -> in.NlistA = new int[][] {{0, 3}});
        REFUSALS.put("NlistA-row-short", in -> in.NlistA[1] = new int[0]);
        REFUSALS.put("NlistA-row-null", in -> in.NlistA[0] = null);
        REFUSALS.put("NfootA-negative", in -> in.NfootA[1] = -1);
        REFUSALS.put("NfeetA-negative", in -> in.NfeetA = -1);
        REFUSALS.put("Na-zero", in -> in.Na = 0);
        REFUSALS.put("Nf-negative", in -> in.Nf = -5);
        REFUSALS.put("StartRank-zero", in -> in.StartRank = 0);
        REFUSALS.put("StartRank-negative", in -> {
            in.StartRank = -2;
            in.EndRank = -1;
        });
        // 2^32 wraps to 0 and 46341^2 to a negative number in 32-bit arithmetic.
        REFUSALS.put("NaNf-2^32", in -> {
            in.Na = 65536;
            in.Nf = 65536;
        });
        REFUSALS.put("NaNf-wraps-negative", in -> {
            in.Na = 46341;
            in.Nf = 46341;
        });
        REFUSALS.put("EndRank-overflow", in -> in.EndRank = 500_000_000);
        REFUSALS.put("seed-overflow", in -> in.Nchains = Integer.MAX_VALUE - 5);
        REFUSALS.put("data-nan", in -> in.data[7] = Double.NaN);
        REFUSALS.put("acc-zero", in -> in.acc[3] = 0.0);
        REFUSALS.put("acc-negative", in -> in.acc[29] = -0.5);
        REFUSALS.put("tag-null", in -> in.tag = null);
        REFUSALS.put("dir-null", in -> in.dir = null);
        REFUSALS.put("tag-200", in -> in.tag = "t".repeat(200));
        // 100 characters, 200 bytes of UTF-8: the buffer holds bytes.
        REFUSALS.put("tag-multibyte", in -> in.tag = "\u00e9".repeat(100));
        REFUSALS.put("dir-250", in -> in.dir = "/" + "d".repeat(248) + "/");
        REFUSALS.put("dir-tag-196", in -> {
            in.dir = "/" + "d".repeat(98) + "/";
            in.tag = "t".repeat(96);
        });
    }

    public static void main(String[] args) throws Exception {
        ZARNO.load();
        String name = args[0];
        boolean after = true;
        try {
            int rc;
            if (REFUSALS.containsKey(name)) {
                KQin in = good();
                REFUSALS.get(name).accept(in);
                rc = new RecordingHost().zarno(in, new kqviewer.ZevuzuExp());
            } else {
                switch (name) {
                    case "kqin-null":
                        rc = new RecordingHost().zarno(null, new kqviewer.ZevuzuExp());
                        break;
                    case "kqout-null":
                        rc = new RecordingHost().zarno(good(), null);
                        break;
                    case "kqin-without-Nf":
                        rc = run(Lookalikes.from(good(), new Lookalikes.WithoutNf()));
                        break;
                    case "kqin-long-Na":
                        rc = run(Lookalikes.from(good(), new Lookalikes.LongNa()));
                        break;
                    case "kqin-object-labels":
                        rc = run(Lookalikes.from(good(), new Lookalikes.ObjectLabels()));
                        break;
                    case "kqout-lookalike":
                        rc = new RecordingHost().zarno(good(), new Lookalikes.Output());
                        break;
                    case "kqout-kqviewer":
                        rc = new RecordingHost().zarno(good(), new kqviewer.ZevuzuExp());
                        break;
                    case "kqout-lumeviewer":
                        rc = new RecordingHost().zarno(good(), new lumeviewer.ZevuzuExp());
                        break;
                    case "throw-on-message":
                    case "throw-on-result": {
                        RecordingHost host = new RecordingHost();
                        int n = Integer.parseInt(args[1]);
                        if (name.equals("throw-on-message")) {
                            host.throwOnMessage = n;
                        } else {
                            host.throwOnResult = n;
                        }
                        KQin in = good();
                        if (args.length > 2 && args[2].equals("refused")) {
                            in.data = null;
                        }
                        rc = host.zarno(in, new kqviewer.ZevuzuExp());
                        break;
                    }
                    case "plain-host":
                        // The class lib.ZARNO itself, as the classpath supplies it.
                        rc = new ZARNO().zarno(good(), new kqviewer.ZevuzuExp());
                        break;
                    case "hostile-output":
                        // kqviewer.ZevuzuExp as the classpath supplies it; no ordinary job
                        // can run with it afterwards.
                        after = false;
                        rc = new RecordingHost().zarno(good(), new kqviewer.ZevuzuExp());
                        break;
                    case "names": {
                        KQin in = good();
                        in.dir = "/" + "d".repeat(Integer.parseInt(args[1]) - 2) + "/";
                        in.tag = "t".repeat(Integer.parseInt(args[2]));
                        in.StartRank = Integer.parseInt(args[3]);
                        in.EndRank = Integer.parseInt(args[4]);
                        in.Nchains = 1;
                        in.Niter = 1;
                        rc = new RecordingHost().zarno(in, new kqviewer.ZevuzuExp());
                        break;
                    }
                    case "native-memory":
                        rc = nativeMemory();
                        break;
                    case "java-heap":
                        rc = javaHeap();
                        break;
                    default:
                        throw new IllegalArgumentException("no case " + name);
                }
            }
            out("RETURN " + rc);
        } catch (Throwable t) {
            out("THREW " + t.getClass().getName() + ": " + t.getMessage());
        }
        if (after) {
            Counter host = new Counter();
            Object output = "lumeviewer".equals(System.getProperty("hardening.output"))
                    ? new lumeviewer.ZevuzuExp() : new kqviewer.ZevuzuExp();
            int rc = host.zarno(good(), output);
            out("AFTER " + rc + " " + host.results);
        }
        out("DONE");
    }

    private static int run(Object kqin) {
        return new RecordingHost().zarno(kqin, new kqviewer.ZevuzuExp());
    }

    /**
     * A run whose first large matrix (2.4 GB) exceeds the address-space limit the test starts
     * this JVM under. Without such a limit the case does not run, so that it can never take
     * that memory from the machine.
     */
    private static int nativeMemory() throws IOException {
        long limit = -1;
        for (String line : Files.readAllLines(Paths.get("/proc/self/limits"))) {
            if (line.startsWith("Max address space")) {
                String[] f = line.trim().split("\\s+");
                limit = f[3].equals("unlimited") ? -1 : Long.parseLong(f[3]);
            }
        }
        if (limit < 0 || limit > 2_000_000_000L) {
            throw new IllegalStateException("no address-space limit below 2 GB: " + limit);
        }
        KQin in = KQin.of(new double[][] {{1.0}}, new double[][] {{1.0}}, null, null);
        in.tag = "big";
        in.dir = "/nonexistent/";
        in.StartRank = 300_000_000;
        in.EndRank = 300_000_000;
        in.Nchains = 1;
        in.Niter = 0;
        return new RecordingHost().zarno(in, new kqviewer.ZevuzuExp());
    }

    /**
     * A job whose exported matrices (3 x 12 MB) do not fit the small Java heap the test starts
     * this JVM with, beside its 24 MB of input.
     */
    private static int javaHeap() {
        KQin in = new KQin();
        in.tag = "heap";
        in.dir = "/nonexistent/";
        in.Na = 1500;
        in.Nf = 1000;
        in.data = new double[in.Na * in.Nf];
        in.acc = new double[in.Na * in.Nf];
        Arrays.fill(in.data, 2.0);
        Arrays.fill(in.acc, 0.5);
        in.uncertFlag = 1;
        in.StartRank = 1;
        in.EndRank = 1;
        in.Nchains = 1;
        in.Niter = 0;
        in.NfootA = new int[0];
        in.NlistA = new int[0][];
        return new RecordingHost().zarno(in, new kqviewer.ZevuzuExp());
    }

    /** The ordinary host of the follow-up job: counts results, prints nothing. */
    static final class Counter extends ZARNO {
        int results;

        @Override
        public void guiPrint(String msg) {}

        @Override
        public void writeKQout(String path, kqviewer.ZevuzuExp out) {
            results++;
        }

        @Override
        public void writeLumeOut(String path, lumeviewer.ZevuzuExp out) {
            results++;
        }
    }
}
