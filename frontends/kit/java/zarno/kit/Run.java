package zarno.kit;

import java.util.List;
import java.util.Optional;

/**
 * One finished run: the factorization of the data into amplitudes (genes x patterns) and
 * patterns (patterns x samples, each row summing to 1) from the random start of its pattern
 * count and chain. A run of a given (pattern count, chain) on given data is always the same
 * run, bit for bit, whoever computes it: a study of any size, on any number of threads, or the
 * classic entry. Immutable; the array getters return copies.
 *
 * <p>A run carries the data's gene names and sample labels: its amplitudes and patterns can be
 * read by index or by name, beside the flat arrays, and {@link #topGenes(int, int)} names the
 * genes that mark a pattern.
 *
 * <p>A run whose chi-square, residual sum, amplitudes or patterns are not finite (data whose
 * magnitude overflows a round's sums end so) has failed: {@link #failed()} says so and {@link
 * #failure()} why, in the core's words; its numbers are kept as they came, the survey leaves it
 * out, {@link StudyResult#best(int)} passes it over and a saved study marks it failed, as {@code
 * zarno run} does.
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
    private final Dataset data; // the names and labels
    private final String failure; // null: complete

    Run(int patternCount, int chain, Dataset data, double[] amplitudes, double[] patterns,
            double chiSquare, double residualSum, int seedA, int seedP, int rounds, double seconds,
            double[] trace, String failure) {
        this.failure = failure;
        this.patternCount = patternCount;
        this.chain = chain;
        this.data = data;
        this.genes = data.genes();
        this.samples = data.samples();
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

    /** The gene names, one per row of the amplitudes (unmodifiable; see {@link Dataset#geneNames()}). */
    public List<String> geneNames() {
        return data.geneNames();
    }

    /** The sample labels, one per column of the patterns (unmodifiable). */
    public List<String> sampleLabels() {
        return data.sampleLabels();
    }

    /**
     * The amplitude of pattern {@code k} in gene {@code g}.
     *
     * @throws IndexOutOfBoundsException naming the range, when either is outside the run
     */
    public double amplitude(int g, int k) {
        return amplitudes[Bounds.check(g, genes, "gene") * patternCount + Bounds.check(k, patternCount, "pattern")];
    }

    /**
     * The amplitude of pattern {@code k} in the gene of that name.
     *
     * @throws IllegalArgumentException when no gene has the name
     * @throws IndexOutOfBoundsException naming the range, when {@code k} is outside the run's patterns
     */
    public double amplitude(String gene, int k) {
        return amplitude(data.gene(gene), k);
    }

    /**
     * A copy of the amplitudes of pattern {@code k}, one per gene.
     *
     * @throws IndexOutOfBoundsException naming the range
     */
    public double[] amplitudes(int k) {
        Bounds.check(k, patternCount, "pattern");
        double[] column = new double[genes];
        for (int g = 0; g < genes; g++) {
            column[g] = amplitudes[g * patternCount + k];
        }
        return column;
    }

    /**
     * The value of pattern {@code k} at sample {@code s}.
     *
     * @throws IndexOutOfBoundsException naming the range, when either is outside the run
     */
    public double patternValue(int k, int s) {
        return patterns[Bounds.check(k, patternCount, "pattern") * samples + Bounds.check(s, samples, "sample")];
    }

    /**
     * The value of pattern {@code k} at the sample of that label.
     *
     * @throws IllegalArgumentException when no sample has the label
     * @throws IndexOutOfBoundsException naming the range, when {@code k} is outside the run's patterns
     */
    public double patternValue(int k, String sample) {
        return patternValue(k, data.sample(sample));
    }

    /**
     * The genes that mark pattern {@code k}, at most {@code n}, best first, each with its name:
     * ranked as {@code zarno survey} ranks the genes of a consensus pattern, here for this run
     * alone.
     *
     * @throws IndexOutOfBoundsException naming the range, when {@code k} is outside the run's patterns
     * @throws IllegalArgumentException when {@code n} is negative
     * @throws IllegalStateException when the run failed
     */
    public List<TopGene> topGenes(int k, int n) {
        Bounds.check(k, patternCount, "pattern");
        if (failure != null) {
            throw new IllegalStateException("no top genes: " + this);
        }
        if (n < 0) {
            throw new IllegalArgumentException("the number of top genes must not be negative, not " + n);
        }
        return TopGene.rank(data, amplitudes, patterns, patternCount, k, n);
    }

    /** A copy of the patterns, patterns x samples, row-major; every row sums to 1. */
    public double[] patterns() {
        return patterns.clone();
    }

    /**
     * A copy of pattern {@code k}, one value per sample.
     *
     * @throws IndexOutOfBoundsException naming the range
     */
    public double[] pattern(int k) {
        int from = Bounds.check(k, patternCount, "pattern") * samples;
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

    /** @return true when the run failed: some of its numbers are not finite ({@link #failure()} says which) */
    public boolean failed() {
        return failure != null;
    }

    /** @return why the run failed, as the core words it (for instance "chi-square is NaN"); empty when complete */
    public Optional<String> failure() {
        return Optional.ofNullable(failure);
    }

    /** A copy of the chi-square at rounds 0, 10, 20, ...; empty unless the study traced. */
    public double[] trace() {
        return trace.clone();
    }

    // The trace itself, for the run directory's writer; never handed to users.
    double[] traceArray() {
        return trace;
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
        return "Run[" + patternCount + " patterns, chain " + chain
                + (failure != null ? ", failed: " + failure : ", chi-square " + chiSquare) + "]";
    }
}
