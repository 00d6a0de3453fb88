package demo;

import java.io.IOException;
import java.io.PrintWriter;
import java.nio.charset.StandardCharsets;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Locale;
import java.util.Random;

/**
 * Writes a small synthetic data set with a known answer: 300 genes by 20 samples built from
 * three non-negative patterns, with noise and per-element uncertainties. Output files, in the
 * directory given as the only argument (default {@code data}):
 * <ul>
 *   <li>{@code sample.txt}: header "gene s01 .. s20", then one row per gene, tab-separated;
 *   <li>{@code sample.unc}: the uncertainties in the same layout;
 *   <li>{@code sample.patterns}: the three true patterns, one per line, each summing to 1.
 * </ul>
 * The seed is fixed, so every run writes the same files.
 */
public final class SampleGenerator {
    static final int GENES = 300;
    static final int SAMPLES = 20;
    static final int PATTERNS = 3;
    private static final long SEED = 20240611L;

    private SampleGenerator() {
    }

    public static void main(String[] args) throws IOException {
        Path dir = Paths.get(args.length > 0 ? args[0] : "data");
        Files.createDirectories(dir);

        double[][] patterns = truePatterns();
        Random rnd = new Random(SEED);
        double[][] amp = amplitudes(rnd);
        double[][] data = new double[GENES][SAMPLES];
        double[][] unc = new double[GENES][SAMPLES];
        for (int g = 0; g < GENES; g++) {
            for (int s = 0; s < SAMPLES; s++) {
                double clean = 0;
                for (int k = 0; k < PATTERNS; k++) {
                    clean += amp[g][k] * patterns[k][s];
                }
                // The uncertainty is what the noise actually is, so chi-square per element
                // should come out near 1 for a good fit.
                double sigma = 0.1 * clean + 0.05;
                data[g][s] = Math.max(0.0, clean + sigma * rnd.nextGaussian());
                unc[g][s] = sigma;
            }
        }

        String[] genes = new String[GENES];
        for (int g = 0; g < GENES; g++) {
            genes[g] = String.format(Locale.ROOT, "g%03d", g + 1);
        }
        String[] samples = new String[SAMPLES];
        for (int s = 0; s < SAMPLES; s++) {
            samples[s] = String.format(Locale.ROOT, "s%02d", s + 1);
        }
        writeMatrix(dir.resolve("sample.txt"), genes, samples, data);
        writeMatrix(dir.resolve("sample.unc"), genes, samples, unc);
        writePatterns(dir.resolve("sample.patterns"), patterns);
        System.out.println("wrote " + GENES + " x " + SAMPLES + " sample data to " + dir);
    }

    /**
     * An early bump, a middle bump and a late ramp: smooth, non-negative and clearly different
     * from one another. Each is scaled to sum 1, the normalization of the factorization's own
     * output, so the files can be compared with its patterns by eye.
     */
    static double[][] truePatterns() {
        double[][] p = new double[PATTERNS][SAMPLES];
        for (int s = 0; s < SAMPLES; s++) {
            p[0][s] = Math.exp(-0.5 * sq((s - 3) / 2.0));
            p[1][s] = Math.exp(-0.5 * sq((s - 10) / 2.0));
            p[2][s] = Math.max(0.0, (s - 11) / 8.0);
        }
        for (double[] row : p) {
            double sum = 0;
            for (double v : row) {
                sum += v;
            }
            for (int s = 0; s < SAMPLES; s++) {
                row[s] /= sum;
            }
        }
        return p;
    }

    /**
     * Most genes lean on one dominant pattern with a little of the others now and then; one in
     * ten carries only a faint mixture. Amplitudes are sized so that data values reach about 10
     * against patterns that sum to 1.
     */
    private static double[][] amplitudes(Random rnd) {
        double[][] a = new double[GENES][PATTERNS];
        for (int g = 0; g < GENES; g++) {
            if (rnd.nextDouble() < 0.1) {
                for (int k = 0; k < PATTERNS; k++) {
                    a[g][k] = 2.0 * rnd.nextDouble();
                }
                continue;
            }
            int main = rnd.nextInt(PATTERNS);
            for (int k = 0; k < PATTERNS; k++) {
                if (k == main) {
                    a[g][k] = 10.0 + 30.0 * rnd.nextDouble();
                } else if (rnd.nextDouble() < 0.3) {
                    a[g][k] = 8.0 * rnd.nextDouble();
                }
            }
        }
        return a;
    }

    private static void writeMatrix(Path file, String[] rows, String[] cols, double[][] m)
            throws IOException {
        try (PrintWriter w = new PrintWriter(Files.newBufferedWriter(file, StandardCharsets.UTF_8))) {
            StringBuilder line = new StringBuilder("gene");
            for (String c : cols) {
                line.append('\t').append(c);
            }
            w.print(line.append('\n'));
            for (int i = 0; i < m.length; i++) {
                line.setLength(0);
                line.append(rows[i]);
                for (double v : m[i]) {
                    line.append('\t').append(format(v));
                }
                w.print(line.append('\n'));
            }
        }
    }

    private static void writePatterns(Path file, double[][] p) throws IOException {
        try (PrintWriter w = new PrintWriter(Files.newBufferedWriter(file, StandardCharsets.UTF_8))) {
            for (double[] row : p) {
                StringBuilder line = new StringBuilder();
                for (int s = 0; s < row.length; s++) {
                    line.append(s == 0 ? "" : "\t").append(format(row[s]));
                }
                w.print(line.append('\n'));
            }
        }
    }

    /** {@code %.6g} without its trailing zeros, which only make the files bigger. */
    static String format(double v) {
        String s = String.format(Locale.ROOT, "%.6g", v);
        int e = s.indexOf('e');
        String mantissa = e < 0 ? s : s.substring(0, e);
        if (mantissa.indexOf('.') >= 0) {
            mantissa = mantissa.replaceAll("0+$", "").replaceAll("\\.$", "");
        }
        return e < 0 ? mantissa : mantissa + s.substring(e);
    }

    private static double sq(double x) {
        return x * x;
    }
}
