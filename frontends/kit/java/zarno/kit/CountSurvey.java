package zarno.kit;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.Optional;
import java.util.OptionalDouble;

/**
 * The survey of one pattern count over its chains: fit, sample consensus, pattern stability and
 * the consensus patterns, as {@code zarno survey} reports them. A figure that cannot be measured
 * (one chain, a degenerate consensus) is empty, and {@link #notes()} says why. Immutable; array
 * getters return copies.
 */
public final class CountSurvey {
    private final int patterns;
    private final List<Integer> chains;
    private final List<Integer> outlierChains;
    private final List<Integer> failedChains;
    private final List<String> notes;
    private final String status;
    // Every reference below may be null: not measured.
    private final Spread chiSquare;
    private final Spread residualSum;
    private final double dof;
    private final Spread chiSquarePerDof;
    private final double[] consensus;
    private final int[] sampleOrder;
    private final Double cophenetic;
    private final Double dispersion;
    private final Double pac;
    private final Double meanStability;
    private final Double minStability;
    private final Double meanMatch;
    private final Double minMatch;
    private final int chainsUsed;
    private final double[] patternMean;
    private final double[] patternSd; // empty below two chains
    private final double[] amplitudeMean;
    private final double[] amplitudeSd; // empty below two chains
    private final List<List<TopGene>> topGenes;
    private final Boolean fits;
    private final Boolean stable;
    private Dataset data; // the names and labels; set by Survey.of before anyone sees this

    // Called by the native survey (kit_survey.cpp), in the order of the core's CountSurvey;
    // the arrays are fresh and belong to this object.
    CountSurvey(int patterns, int[] chains, int[] failedChains, int[] outlierChains, String[] notes, String status,
            Spread chiSquare, Spread residualSum, double dof, Spread chiSquarePerDof,
            double[] consensus, int[] sampleOrder, Double cophenetic, Double dispersion, Double pac,
            Double meanStability, Double minStability, Double meanMatch, Double minMatch,
            int chainsUsed, double[] patternMean, double[] patternSd, double[] amplitudeMean,
            double[] amplitudeSd, TopGene[][] topGenes, Boolean fits, Boolean stable) {
        this.patterns = patterns;
        this.chains = integers(chains);
        this.outlierChains = integers(outlierChains);
        this.failedChains = integers(failedChains);
        this.notes = List.of(notes);
        this.status = status;
        this.chiSquare = chiSquare;
        this.residualSum = residualSum;
        this.dof = dof;
        this.chiSquarePerDof = chiSquarePerDof;
        this.consensus = consensus;
        this.sampleOrder = sampleOrder;
        this.cophenetic = cophenetic;
        this.dispersion = dispersion;
        this.pac = pac;
        this.meanStability = meanStability;
        this.minStability = minStability;
        this.meanMatch = meanMatch;
        this.minMatch = minMatch;
        this.chainsUsed = chainsUsed;
        this.patternMean = patternMean;
        this.patternSd = patternSd;
        this.amplitudeMean = amplitudeMean;
        this.amplitudeSd = amplitudeSd;
        List<List<TopGene>> groups = new ArrayList<>(topGenes.length);
        for (TopGene[] group : topGenes) {
            groups.add(List.of(group));
        }
        this.topGenes = Collections.unmodifiableList(groups);
        this.fits = fits;
        this.stable = stable;
    }

    /** @return the pattern count */
    public int patterns() {
        return patterns;
    }

    /** @return the chains of the complete runs surveyed */
    public List<Integer> chains() {
        return chains;
    }

    /** @return the chains whose runs failed, left out of every figure (a note names them) */
    public List<Integer> failedChains() {
        return failedChains;
    }

    /** @return chains whose patterns match the others' far worse, left out of the consensus */
    public List<Integer> outlierChains() {
        return outlierChains;
    }

    /** @return every figure that could not be measured or looks degenerate, said plainly */
    public List<String> notes() {
        return notes;
    }

    /** @return "ok", or the notes joined */
    public String status() {
        return status;
    }

    /** @return cells minus free parameters: genes x samples - (genes x P + P x samples - P) */
    public double degreesOfFreedom() {
        return dof;
    }

    /** @return the chi-square over the chains */
    public Optional<Spread> chiSquare() {
        return Optional.ofNullable(chiSquare);
    }

    /** @return the plain sum of squared residuals over the chains */
    public Optional<Spread> residualSum() {
        return Optional.ofNullable(residualSum);
    }

    /** @return chi-square per degree of freedom (weighted data); about 1 once the fit reaches the noise */
    public Optional<Spread> chiSquarePerDof() {
        return Optional.ofNullable(chiSquarePerDof);
    }

    /** @return cophenetic correlation of the sample consensus (average linkage on 1 - consensus) */
    public OptionalDouble cophenetic() {
        return optional(cophenetic);
    }

    /** @return dispersion of the sample consensus */
    public OptionalDouble dispersion() {
        return optional(dispersion);
    }

    /** @return share of consensus values strictly between 0.1 and 0.9 */
    public OptionalDouble pac() {
        return optional(pac);
    }

    /** @return mean cosine silhouette of the matched pattern groups */
    public OptionalDouble meanStability() {
        return optional(meanStability);
    }

    /** @return lowest cosine silhouette of the matched pattern groups */
    public OptionalDouble minStability() {
        return optional(minStability);
    }

    /** @return mean cosine of each pattern to its group's mean */
    public OptionalDouble meanMatch() {
        return optional(meanMatch);
    }

    /** @return lowest cosine of a pattern to its group's mean */
    public OptionalDouble minMatch() {
        return optional(minMatch);
    }

    /** @return whether the fit reaches the noise, as the suggestion rule judges it; empty: not judged */
    public Optional<Boolean> fits() {
        return Optional.ofNullable(fits);
    }

    /** @return whether the patterns are stable, as the suggestion rule judges it; empty: not judged */
    public Optional<Boolean> stable() {
        return Optional.ofNullable(stable);
    }

    /** @return the sample consensus, samples x samples row-major: the share of chains putting two samples together */
    public double[] consensus() {
        return consensus.clone();
    }

    /** @return the samples in the leaf order of the consensus's average-linkage tree */
    public int[] sampleOrder() {
        return sampleOrder.clone();
    }

    /** @return the chains that went into the consensus patterns (outliers left out) */
    public int chainsUsed() {
        return chainsUsed;
    }

    /** @return the consensus patterns, patterns x samples row-major, rows summing to 1 */
    public double[] patternMean() {
        return patternMean.clone();
    }

    /** @return standard deviations of {@link #patternMean()} over the chains used; empty below two chains */
    public double[] patternSd() {
        return patternSd.clone();
    }

    /** @return the consensus amplitudes, genes x patterns row-major */
    public double[] amplitudeMean() {
        return amplitudeMean.clone();
    }

    /** @return standard deviations of {@link #amplitudeMean()}; empty below two chains */
    public double[] amplitudeSd() {
        return amplitudeSd.clone();
    }

    /**
     * @param group a consensus pattern, from 0
     * @return its top genes by z-score, highest first (as many as {@code zarno survey} lists)
     * @throws IndexOutOfBoundsException naming the range of consensus patterns
     */
    public List<TopGene> topGenes(int group) {
        return topGenes.get(Bounds.check(group, topGenes.size(), "pattern"));
    }

    /**
     * @param group a consensus pattern, from 0
     * @param n how many genes at most
     * @return its top genes, best first, ranked as {@link #topGenes(int)} ranks them, as many as asked
     * @throws IndexOutOfBoundsException naming the range of consensus patterns
     * @throws IllegalArgumentException when {@code n} is negative
     */
    public List<TopGene> topGenes(int group, int n) {
        Bounds.check(group, patterns, "pattern");
        if (n < 0) {
            throw new IllegalArgumentException("the number of top genes must not be negative, not " + n);
        }
        return TopGene.rank(data, amplitudeMean, patternMean, patterns, group, n);
    }

    /** @return the gene names, one per row of the consensus amplitudes (unmodifiable) */
    public List<String> geneNames() {
        return data.geneNames();
    }

    /** @return the sample labels, one per column of the consensus patterns (unmodifiable) */
    public List<String> sampleLabels() {
        return data.sampleLabels();
    }

    /**
     * @param gene a gene's row, from 0
     * @param group a consensus pattern, from 0
     * @return the gene's consensus amplitude in that pattern
     * @throws IndexOutOfBoundsException naming the range, when either is outside the consensus
     */
    public double amplitude(int gene, int group) {
        return amplitudeMean[Bounds.check(gene, data.genes(), "gene") * patterns + Bounds.check(group, patterns, "pattern")];
    }

    /**
     * @param gene a gene's name
     * @param group a consensus pattern, from 0
     * @return the gene's consensus amplitude in that pattern
     * @throws IllegalArgumentException when no gene has the name
     * @throws IndexOutOfBoundsException naming the range of consensus patterns
     */
    public double amplitude(String gene, int group) {
        return amplitude(data.gene(gene), group);
    }

    /**
     * @param group a consensus pattern, from 0
     * @param sample a sample's column, from 0
     * @return the consensus pattern's value at the sample
     * @throws IndexOutOfBoundsException naming the range, when either is outside the consensus
     */
    public double patternValue(int group, int sample) {
        return patternMean[Bounds.check(group, patterns, "pattern") * data.samples()
                + Bounds.check(sample, data.samples(), "sample")];
    }

    /**
     * @param group a consensus pattern, from 0
     * @param sample a sample's label
     * @return the consensus pattern's value at the sample
     * @throws IllegalArgumentException when no sample has the label
     * @throws IndexOutOfBoundsException naming the range of consensus patterns
     */
    public double patternValue(int group, String sample) {
        return patternValue(group, data.sample(sample));
    }

    // Called once by Survey.of, before the survey is handed out.
    void label(Dataset data) {
        this.data = data;
    }

    private static OptionalDouble optional(Double x) {
        return x == null ? OptionalDouble.empty() : OptionalDouble.of(x);
    }

    private static List<Integer> integers(int[] values) {
        List<Integer> list = new ArrayList<>(values.length);
        for (int v : values) {
            list.add(v);
        }
        return Collections.unmodifiableList(list);
    }

    @Override
    public String toString() {
        return patterns + " patterns: " + status;
    }
}
