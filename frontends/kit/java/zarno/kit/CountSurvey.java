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
    private final List<String> notes;
    private final String status;
    private final double dof;
    private final Spread[] spreads; // chi-square, residual sum, per dof, held-out; null: none
    private final double[] figures; // NaN: not measured
    private final double[] consensus;
    private final int[] sampleOrder;
    private final int chainsUsed;
    private final double[] patternMean;
    private final double[] patternSd;
    private final double[] amplitudeMean;
    private final double[] amplitudeSd;
    private final boolean hasSd;
    private final List<List<TopGene>> topGenes;

    CountSurvey(int patterns, List<Integer> chains, List<Integer> outlierChains, List<String> notes, String status,
            double dof, Spread[] spreads, double[] figures, double[] consensus, int[] sampleOrder, int chainsUsed,
            double[] patternMean, double[] patternSd, double[] amplitudeMean, double[] amplitudeSd, boolean hasSd,
            List<List<TopGene>> topGenes) {
        this.patterns = patterns;
        this.chains = Collections.unmodifiableList(new ArrayList<>(chains));
        this.outlierChains = Collections.unmodifiableList(new ArrayList<>(outlierChains));
        this.notes = Collections.unmodifiableList(new ArrayList<>(notes));
        this.status = status;
        this.dof = dof;
        this.spreads = spreads;
        this.figures = figures;
        this.consensus = consensus;
        this.sampleOrder = sampleOrder;
        this.chainsUsed = chainsUsed;
        this.patternMean = patternMean;
        this.patternSd = patternSd;
        this.amplitudeMean = amplitudeMean;
        this.amplitudeSd = amplitudeSd;
        this.hasSd = hasSd;
        this.topGenes = topGenes;
    }

    /** @return the pattern count */
    public int patterns() {
        return patterns;
    }

    /** @return the chains of the complete runs surveyed */
    public List<Integer> chains() {
        return chains;
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
        return Optional.ofNullable(spreads[0]);
    }

    /** @return the plain sum of squared residuals over the chains */
    public Optional<Spread> residualSum() {
        return Optional.ofNullable(spreads[1]);
    }

    /** @return chi-square per degree of freedom (weighted data); about 1 once the fit reaches the noise */
    public Optional<Spread> chiSquarePerDof() {
        return Optional.ofNullable(spreads[2]);
    }

    /** @return cophenetic correlation of the sample consensus (average linkage on 1 - consensus) */
    public OptionalDouble cophenetic() {
        return figure(0);
    }

    /** @return dispersion of the sample consensus */
    public OptionalDouble dispersion() {
        return figure(1);
    }

    /** @return share of consensus values strictly between 0.1 and 0.9 */
    public OptionalDouble pac() {
        return figure(2);
    }

    /** @return mean cosine silhouette of the matched pattern groups */
    public OptionalDouble meanStability() {
        return figure(3);
    }

    /** @return lowest cosine silhouette of the matched pattern groups */
    public OptionalDouble minStability() {
        return figure(4);
    }

    /** @return mean cosine of each pattern to its group's mean */
    public OptionalDouble meanMatch() {
        return figure(5);
    }

    /** @return lowest cosine of a pattern to its group's mean */
    public OptionalDouble minMatch() {
        return figure(6);
    }

    /** @return whether the fit reaches the noise, as the suggestion rule judges it; empty: not judged */
    public Optional<Boolean> fits() {
        return flag(7);
    }

    /** @return whether the patterns are stable, as the suggestion rule judges it; empty: not judged */
    public Optional<Boolean> stable() {
        return flag(8);
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
        return hasSd ? patternSd.clone() : new double[0];
    }

    /** @return the consensus amplitudes, genes x patterns row-major */
    public double[] amplitudeMean() {
        return amplitudeMean.clone();
    }

    /** @return standard deviations of {@link #amplitudeMean()}; empty below two chains */
    public double[] amplitudeSd() {
        return hasSd ? amplitudeSd.clone() : new double[0];
    }

    /**
     * @param group a consensus pattern, from 0
     * @return its top genes by z-score, highest first
     */
    public List<TopGene> topGenes(int group) {
        return topGenes.get(group);
    }

    private OptionalDouble figure(int i) {
        return Double.isNaN(figures[i]) ? OptionalDouble.empty() : OptionalDouble.of(figures[i]);
    }

    private Optional<Boolean> flag(int i) {
        return Double.isNaN(figures[i]) ? Optional.empty() : Optional.of(figures[i] != 0);
    }

    @Override
    public String toString() {
        return patterns + " patterns: " + status;
    }
}
