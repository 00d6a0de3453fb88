package zarno.kit;

import java.util.List;

/**
 * How a survey follows the sample annotations ({@link StudyResult#survey(Annotations)}), per
 * pattern count, as {@code zarno survey --annotations FILE} computes it (docs/survey.md,
 * "Agreement with sample annotations"): for each column of categories the adjusted Rand index and
 * the normalized mutual information between the consensus clusters (the consensus tree cut into
 * as many clusters as patterns) and the column, and how much of each consensus pattern's variance
 * the groups explain (eta squared); for each column of numbers the correlation of each consensus
 * pattern with it. Then the likely batch effects. The suggested pattern count never reads them.
 * Immutable.
 */
public final class Agreement {
    private final List<CountAgreement> counts;
    private final List<BatchEffect> batchEffects;
    private final List<String> warnings;

    // Called by the native survey (kit_annotations.cpp).
    Agreement(CountAgreement[] counts, BatchEffect[] batchEffects, String[] warnings) {
        this.counts = List.of(counts);
        this.batchEffects = List.of(batchEffects);
        this.warnings = List.of(warnings);
    }

    /** @return one per pattern count of the survey, ascending */
    public List<CountAgreement> counts() {
        return counts;
    }

    /**
     * @param patterns a pattern count of the survey
     * @return its agreement
     * @throws IllegalArgumentException when the survey has no such count
     */
    public CountAgreement count(int patterns) {
        for (CountAgreement c : counts) {
            if (c.patterns() == patterns) {
                return c;
            }
        }
        throw new IllegalArgumentException("the survey has no pattern count " + patterns);
    }

    /**
     * @return every column named like a batch or flagged as one ({@link Annotations#batch}) that
     *     a pattern or the clusters follow strongly (half the variance, or an ARI of a half), per
     *     pattern count where it shows
     */
    public List<BatchEffect> batchEffects() {
        return batchEffects;
    }

    /** @return the columns that cannot show any agreement (a single value, no value), said plainly */
    public List<String> warnings() {
        return warnings;
    }

    @Override
    public String toString() {
        return "Agreement[" + counts.size() + " pattern counts, " + batchEffects.size() + " likely batch effects]";
    }
}
