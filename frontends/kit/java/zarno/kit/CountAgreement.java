package zarno.kit;

import java.util.List;
import java.util.Optional;

/** The agreement of one pattern count's consensus with each annotation column. Immutable. */
public final class CountAgreement {
    private final int patterns;
    private final List<ColumnAgreement> columns;
    private final int best; // -1: none

    // Called by the native survey (kit_annotations.cpp); best -1: none.
    CountAgreement(int patterns, ColumnAgreement[] columns, int best) {
        this.patterns = patterns;
        this.columns = List.of(columns);
        this.best = best;
    }

    /** @return the pattern count */
    public int patterns() {
        return patterns;
    }

    /** @return one per annotation column, in the table's order; empty when the count has no complete run */
    public List<ColumnAgreement> columns() {
        return columns;
    }

    /**
     * @param name an annotation column
     * @return its agreement at this count
     * @throws IllegalArgumentException when there is no such column
     */
    public ColumnAgreement column(String name) {
        for (ColumnAgreement c : columns) {
            if (c.column().equals(name)) {
                return c;
            }
        }
        throw new IllegalArgumentException("no annotation column is named \"" + name + "\" at " + patterns
                + " patterns");
    }

    /**
     * @return the column that agrees best: among the categories the highest ARI; with no
     *     categories, the numbers' highest |r|; empty when none can be measured
     */
    public Optional<ColumnAgreement> best() {
        return best < 0 ? Optional.empty() : Optional.of(columns.get(best));
    }

    @Override
    public String toString() {
        return patterns + " patterns: best " + best().map(ColumnAgreement::toString).orElse("none");
    }
}
