package zarno.kit;

import java.util.OptionalInt;

/**
 * A column that records a technical batch (flagged with {@link Annotations#batch}, or named like
 * one) which a consensus pattern or the consensus clusters follow strongly at a pattern count: a
 * likely batch effect, as {@code zarno survey} and the report note it. Immutable.
 */
public final class BatchEffect {
    private final String column;
    private final boolean flagged;
    private final int patterns;
    private final String figure;
    private final int pattern; // -1: the clusters
    private final double value;

    // Called by the native survey (kit_annotations.cpp); pattern -1: the clusters.
    BatchEffect(String column, boolean flagged, int patterns, String figure, int pattern, double value) {
        this.column = column;
        this.flagged = flagged;
        this.patterns = patterns;
        this.figure = figure;
        this.pattern = pattern;
        this.value = value;
    }

    /** @return the batch column */
    public String column() {
        return column;
    }

    /** @return true when flagged by the user, false when named like a batch */
    public boolean flagged() {
        return flagged;
    }

    /** @return the pattern count where it shows */
    public int patterns() {
        return patterns;
    }

    /** @return what follows it: "eta2" or "r2" (a pattern), "ari" (the clusters) */
    public String figure() {
        return figure;
    }

    /** @return the consensus pattern that follows it (from 0), for eta2 and r2; empty for the clusters */
    public OptionalInt pattern() {
        return pattern < 0 ? OptionalInt.empty() : OptionalInt.of(pattern);
    }

    /** @return the figure's value */
    public double value() {
        return value;
    }

    @Override
    public String toString() {
        return "likely batch effect: column " + column + " (" + (flagged ? "flagged" : "named like a batch")
                + ") is followed by " + (pattern < 0 ? "the clusters" : "P" + (pattern + 1)) + " at " + patterns
                + " patterns (" + figure + " " + String.format("%.2f", value) + ")";
    }
}
