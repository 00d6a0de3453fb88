package zarno.kit;

import java.util.Objects;

/**
 * One finished run: the factorization of the data into amplitudes (genes x patterns) and
 * patterns (patterns x samples, each row summing to 1) from the random start of its pattern
 * count and chain. A run of a given (pattern count, chain) on given data is always the same
 * run, bit for bit, whoever computes it: a study of any size, on any number of threads, or the
 * classic entry. Immutable; the array getters return copies.
 */
public final class Run {
    private final int patternCount;
    private final int chain;
    private final int genes;
    private final int samples;
    private final double[] amplitudes;
    private final double[] patterns;
    private final double chiSquare;
    private final double residualSum;
    private final int seedA;
    private final int seedP;
    private final int rounds;
    private final double seconds;
    private final double[] trace;

    Run(int patternCount, int chain, int genes, int samples, double[] amplitudes, double[] patterns,
            double chiSquare, double residualSum, int seedA, int seedP, int rounds, double seconds,
            double[] trace) {
        this.patternCount = patternCount;
        this.chain = chain;
        this.genes = genes;
        this.samples = samples;
        this.amplitudes = amplitudes;
        this.patterns = patterns;
        this.chiSquare = chiSquare;
        this.residualSum = residualSum;
        this.seedA = seedA;
        this.seedP = seedP;
        this.rounds = rounds;
        this.seconds = seconds;
        this.trace = trace;
    }

    /** The number of patterns of this run. */
    public int patternCount() {
        return patternCount;
    }

    /** The chain, numbered from 1 as in the classic job. */
    public int chain() {
        return chain;
    }

    /** Rows of the amplitudes. */
    public int genes() {
        return genes;
    }

    /** Columns of the patterns. */
    public int samples() {
        return samples;
    }

    /** A copy of the amplitudes, genes x patterns, row-major: gene g, pattern k at {@code g * patternCount() + k}. */
    public double[] amplitudes() {
        return amplitudes.clone();
    }

    /** The amplitude of pattern {@code k} in gene {@code g}. */
    public double amplitude(int g, int k) {
        return amplitudes[Objects.checkIndex(g, genes) * patternCount + Objects.checkIndex(k, patternCount)];
    }

    /** A copy of the patterns, patterns x samples, row-major; every row sums to 1. */
    public double[] patterns() {
        return patterns.clone();
    }

    /** A copy of pattern {@code k}, one value per sample. */
    public double[] pattern(int k) {
        int from = Objects.checkIndex(k, patternCount) * samples;
        double[] row = new double[samples];
        System.arraycopy(patterns, from, row, 0, samples);
        return row;
    }

    /** The weighted fit: the sum over all cells of ((data - fit) / sigma)^2 (plain when unweighted). */
    public double chiSquare() {
        return chiSquare;
    }

    /** The plain sum of squared residuals, (data - fit)^2 over all cells. */
    public double residualSum() {
        return residualSum;
    }

    /** The seed of the amplitudes' random start. */
    public int seedA() {
        return seedA;
    }

    /** The seed of the patterns' random start. */
    public int seedP() {
        return seedP;
    }

    /** Update rounds done. */
    public int rounds() {
        return rounds;
    }

    /** Wall time of the run, in seconds. */
    public double seconds() {
        return seconds;
    }

    /** A copy of the chi-square at rounds 0, 10, 20, ...; empty unless the study traced. */
    public double[] trace() {
        return trace.clone();
    }

    // The arrays themselves, for the survey's native call; never handed to users.
    double[] amplitudesArray() {
        return amplitudes;
    }

    double[] patternsArray() {
        return patterns;
    }

    @Override
    public String toString() {
        return "Run[" + patternCount + " patterns, chain " + chain + ", chi-square " + chiSquare + "]";
    }
}
