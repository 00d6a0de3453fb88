package demo;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.Locale;
import java.util.regex.Matcher;
import java.util.regex.Pattern;

import lib.KQin;
import lib.ZARNO;

/**
 * Runs the factorization on the sample data set and checks it against the known answer.
 *
 * <p>Usage: {@code java -Dzarno.library=/abs/libZARNO.so -cp CLASSES demo.Demo [DATA_DIR [NITER]]}.
 * Reads {@code sample.txt}, {@code sample.unc} and {@code sample.patterns} from DATA_DIR
 * (default {@code data}), runs 2 to 5 patterns with 3 chains each, prints a table of the runs
 * and, for the chain with the lowest chi-square at the true pattern count, how well each true
 * pattern was recovered. The program build calls {@code writeLumeOut} with a lumeviewer output
 * object; run with {@code -Dzarno.host=lumeviewer} to hand it one.
 */
public class Demo extends ZARNO {
    private static final Pattern RUN_MESSAGE = Pattern.compile("Npatterns (\\d+) chain (\\d+)");
    private static final Pattern RUN_PATH = Pattern.compile("run(\\d+)_chain(\\d+)/[^/]*$");

    /** What the demo keeps of one run. */
    private static final class Run {
        final int patterns;
        final int chain;
        final double chisq;
        final double ssr;
        final double seconds;
        final double[][] pattern;

        Run(int patterns, int chain, double chisq, double ssr, double seconds, double[][] pattern) {
            this.patterns = patterns;
            this.chain = chain;
            this.chisq = chisq;
            this.ssr = ssr;
            this.seconds = seconds;
            this.pattern = pattern;
        }
    }

    private final List<Run> runs = new ArrayList<>();
    private long runStartNanos = System.nanoTime();
    private int lastChain;

    public static void main(String[] args) throws IOException {
        Path dir = Paths.get(args.length > 0 ? args[0] : "data");
        int niter = args.length > 1 ? Integer.parseInt(args[1]) : 2000;

        Matrix data = Matrix.read(dir.resolve("sample.txt"));
        Matrix unc = Matrix.read(dir.resolve("sample.unc"));
        if (unc.values.length != data.values.length
                || unc.values[0].length != data.values[0].length) {
            throw new IOException("sample.unc does not match the size of sample.txt");
        }
        double[][] truth = readPatterns(dir.resolve("sample.patterns"));

        KQin in = KQin.of(data.values, unc.values, data.rows, data.cols);
        in.tag = "sample";
        // The library only forms result paths under this prefix and writes nothing there;
        // create it anyway so that a host which does save the records can.
        Path out = Paths.get(System.getProperty("java.io.tmpdir"), "zarno-demo");
        Files.createDirectories(out);
        in.dir = out.toAbsolutePath() + "/";
        in.uncertFlag = 1;
        in.StartRank = 2;
        in.EndRank = 5;
        in.Nchains = 3;
        in.Niter = niter;

        ZARNO.load();
        Demo demo = new Demo();
        Object kqout = "lumeviewer".equals(System.getProperty("zarno.host"))
                ? new lumeviewer.ZevuzuExp() : new kqviewer.ZevuzuExp();
        int rc = demo.zarno(in, kqout);

        demo.printRuns();
        demo.printRecovery(truth);
        System.out.println("zarno returned " + rc);
        System.exit(rc == 0 ? 0 : 1);
    }

    @Override
    public void guiPrint(String msg) {
        Matcher m = RUN_MESSAGE.matcher(msg);
        if (m.matches()) {
            runStartNanos = System.nanoTime();
            lastChain = Integer.parseInt(m.group(2));
        }
        for (String line : msg.split("\n")) {
            System.out.println("[zarno] " + line);
        }
    }

    @Override
    public void writeKQout(String path, kqviewer.ZevuzuExp out) {
        record(path, out.Nsol, out.chisq, out.AtomsA, out.pattern);
    }

    @Override
    public void writeLumeOut(String path, lumeviewer.ZevuzuExp out) {
        record(path, out.Nsol, out.chisq, out.AtomsA, out.pattern);
    }

    private void record(String path, int nsol, double chisq, double ssr, double[][] pattern) {
        double seconds = (System.nanoTime() - runStartNanos) / 1e9;
        Matcher m = RUN_PATH.matcher(path);
        int chain = m.find() ? Integer.parseInt(m.group(2)) : lastChain;
        double[][] kept = new double[pattern.length][];
        for (int k = 0; k < pattern.length; k++) {
            kept[k] = pattern[k].clone();
        }
        runs.add(new Run(nsol, chain, chisq, ssr, seconds, kept));
    }

    private void printRuns() {
        System.out.printf(Locale.ROOT, "%n%8s %5s %14s %14s %9s%n",
                "Patterns", "Chain", "ChiSquare", "SSR", "Seconds");
        for (Run r : runs) {
            System.out.printf(Locale.ROOT, "%8d %5d %14.6g %14.6g %9.3f%n",
                    r.patterns, r.chain, r.chisq, r.ssr, r.seconds);
        }
    }

    private void printRecovery(double[][] truth) {
        Run best = null;
        for (Run r : runs) {
            if (r.patterns == truth.length && (best == null || r.chisq < best.chisq)) {
                best = r;
            }
        }
        System.out.println();
        if (best == null) {
            System.out.println("no run with " + truth.length + " patterns to compare");
            return;
        }
        System.out.printf(Locale.ROOT, "%d patterns, chain %d (lowest chi-square %.6g):%n",
                best.patterns, best.chain, best.chisq);
        int[] match = greedyMatch(truth, best.pattern);
        for (int t = 0; t < truth.length; t++) {
            if (match[t] < 0) {
                System.out.printf(Locale.ROOT, "true pattern %d: no recovered pattern left%n",
                        t + 1);
            } else {
                System.out.printf(Locale.ROOT, "true pattern %d: r = %.5f (recovered pattern %d)%n",
                        t + 1, pearson(truth[t], best.pattern[match[t]]), match[t] + 1);
            }
        }
    }

    /**
     * Pairs true with recovered patterns one to one, best correlation first, so that two true
     * patterns never claim the same recovered one. Returns, per true pattern, the index of its
     * recovered pattern or -1.
     */
    static int[] greedyMatch(double[][] truth, double[][] found) {
        int[] match = new int[truth.length];
        Arrays.fill(match, -1);
        boolean[] taken = new boolean[found.length];
        for (int round = 0; round < Math.min(truth.length, found.length); round++) {
            int bestT = -1;
            int bestF = -1;
            double bestR = Double.NEGATIVE_INFINITY;
            for (int t = 0; t < truth.length; t++) {
                if (match[t] >= 0) {
                    continue;
                }
                for (int f = 0; f < found.length; f++) {
                    double r = pearson(truth[t], found[f]);
                    // A constant row has no correlation; it is paired only when nothing else is left.
                    if (Double.isNaN(r)) {
                        r = Double.NEGATIVE_INFINITY;
                    }
                    if (!taken[f] && (bestT < 0 || r > bestR)) {
                        bestT = t;
                        bestF = f;
                        bestR = r;
                    }
                }
            }
            match[bestT] = bestF;
            taken[bestF] = true;
        }
        return match;
    }

    static double pearson(double[] x, double[] y) {
        int n = x.length;
        double mx = 0;
        double my = 0;
        for (int i = 0; i < n; i++) {
            mx += x[i];
            my += y[i];
        }
        mx /= n;
        my /= n;
        double sxy = 0;
        double sxx = 0;
        double syy = 0;
        for (int i = 0; i < n; i++) {
            sxy += (x[i] - mx) * (y[i] - my);
            sxx += (x[i] - mx) * (x[i] - mx);
            syy += (y[i] - my) * (y[i] - my);
        }
        return sxy / Math.sqrt(sxx * syy);
    }

    /** A labelled matrix file: header with a corner label, then one labelled row per gene. */
    static final class Matrix {
        final String[] rows;
        final String[] cols;
        final double[][] values;

        private Matrix(String[] rows, String[] cols, double[][] values) {
            this.rows = rows;
            this.cols = cols;
            this.values = values;
        }

        static Matrix read(Path file) throws IOException {
            List<String> lines = nonEmptyLines(file);
            if (lines.size() < 2) {
                throw new IOException(file + ": no data rows");
            }
            String[] header = lines.get(0).split("\t");
            String[] cols = Arrays.copyOfRange(header, 1, header.length);
            String[] rows = new String[lines.size() - 1];
            double[][] values = new double[rows.length][];
            for (int i = 0; i < rows.length; i++) {
                String[] f = lines.get(i + 1).split("\t");
                if (f.length != cols.length + 1) {
                    throw new IOException(file + ": row " + (i + 1) + " has " + (f.length - 1)
                            + " values, expected " + cols.length);
                }
                rows[i] = f[0];
                values[i] = parse(f, 1, file);
            }
            return new Matrix(rows, cols, values);
        }
    }

    static double[][] readPatterns(Path file) throws IOException {
        List<String> lines = nonEmptyLines(file);
        double[][] p = new double[lines.size()][];
        for (int k = 0; k < p.length; k++) {
            p[k] = parse(lines.get(k).split("\t"), 0, file);
        }
        return p;
    }

    private static List<String> nonEmptyLines(Path file) throws IOException {
        List<String> lines = new ArrayList<>();
        for (String line : Files.readAllLines(file, StandardCharsets.UTF_8)) {
            if (!line.isBlank()) {
                lines.add(line);
            }
        }
        return lines;
    }

    private static double[] parse(String[] fields, int from, Path file) throws IOException {
        double[] v = new double[fields.length - from];
        for (int i = 0; i < v.length; i++) {
            try {
                v[i] = Double.parseDouble(fields[from + i]);
            } catch (NumberFormatException e) {
                throw new IOException(file + ": not a number: " + fields[from + i], e);
            }
        }
        return v;
    }
}
