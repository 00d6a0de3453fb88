package zarno.kit;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.OptionalDouble;
import java.util.OptionalInt;

/**
 * The agreement of one pattern count's consensus with one annotation column: for categories the
 * adjusted Rand index and normalized mutual information of the consensus clusters with the
 * column, and per consensus pattern eta squared (the share of its variance between the column's
 * groups); for numbers, per consensus pattern its Pearson correlation with the column. Samples
 * without a value are left out. A figure that cannot be measured (fewer than two samples, no
 * variance) is empty. Immutable.
 */
public final class ColumnAgreement {
    private final String column;
    private final boolean numbers;
    private final boolean batch;
    private final int samples;
    private final Double ari;
    private final Double nmi;
    private final List<OptionalDouble> patterns;
    private final int bestPattern; // -1: none

    // Called by the native survey (kit_annotations.cpp); null: not measured.
    ColumnAgreement(String column, boolean numbers, boolean batch, int samples, Double ari, Double nmi,
            Double[] patterns, int bestPattern) {
        this.column = column;
        this.numbers = numbers;
        this.batch = batch;
        this.samples = samples;
        this.ari = ari;
        this.nmi = nmi;
        List<OptionalDouble> figures = new ArrayList<>(patterns.length);
        for (Double x : patterns) {
            figures.add(x == null ? OptionalDouble.empty() : OptionalDouble.of(x));
        }
        this.patterns = Collections.unmodifiableList(figures);
        this.bestPattern = bestPattern;
    }

    /** @return the column's name */
    public String column() {
        return column;
    }

    /** @return true for a column of numbers, false for categories */
    public boolean numbers() {
        return numbers;
    }

    /** @return true when the column counts as a technical batch (flagged, or named like one) */
    public boolean batch() {
        return batch;
    }

    /** @return the samples with a value in the column */
    public int samples() {
        return samples;
    }

    /** @return adjusted Rand index of the consensus clusters with the column (categories) */
    public OptionalDouble ari() {
        return ari == null ? OptionalDouble.empty() : OptionalDouble.of(ari);
    }

    /** @return normalized mutual information of the consensus clusters with the column (categories) */
    public OptionalDouble nmi() {
        return nmi == null ? OptionalDouble.empty() : OptionalDouble.of(nmi);
    }

    /**
     * @return per consensus pattern (in the survey's order) eta squared for categories or the
     *     correlation r for numbers
     */
    public List<OptionalDouble> patternFigures() {
        return patterns;
    }

    /** @return the consensus pattern (from 0) with the largest eta squared or |r| */
    public OptionalInt bestPattern() {
        return bestPattern < 0 ? OptionalInt.empty() : OptionalInt.of(bestPattern);
    }

    @Override
    public String toString() {
        if (!numbers) {
            return column + " ARI " + (ari == null ? "-" : String.format("%.3f", ari));
        }
        return column + " r " + (bestPattern < 0 ? "-" : String.format("%.3f", patterns.get(bestPattern).getAsDouble()));
    }
}
