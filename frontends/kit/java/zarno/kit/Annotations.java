package zarno.kit;

import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.List;
import java.util.Map;

/**
 * What is known of the samples (cell type, lineage, batch, patient group): one row per sample
 * label, one column per property, categories or numbers, a value missing where it is unknown.
 * {@link StudyResult#survey(Annotations)} measures how the consensus clusters and patterns
 * follow each column, as {@code zarno survey --annotations FILE} does; {@link
 * StudyResult#save(Path, Annotations)} keeps them in the run directory. Immutable.
 *
 * <p>The rows are matched to the data's sample labels when used: a row whose label is not the
 * data's, or a sample of the data without a row, is refused then with {@link
 * IllegalArgumentException} naming them. A column is numbers or categories by the rule of {@code
 * zarno run --annotations}: numbers when every value present is a number, unless they are all
 * whole numbers with at most 10 distinct values (codes such as a stage 1-4); columns flagged as
 * batches ({@link #batch(String...)}) are always categories.
 */
public final class Annotations {
    // A column's kind as the core takes it: by its rule, or fixed by the values' Java type.
    static final int BY_RULE = -1;
    static final int CATEGORIES = 0;
    static final int NUMBERS = 1;

    private final String source;
    private final String labelHeader;
    private final List<String> columns;
    private final List<String> labels;
    private final String[] cells; // labels x columns, row-major; "" where missing
    private final int[] kinds; // per column
    private final int[] positions; // from a file: header line, header columns, lines, cells' columns; else null
    private final List<String> batch;

    private Annotations(String source, String labelHeader, List<String> columns, List<String> labels, String[] cells,
            int[] kinds, int[] positions, List<String> batch) {
        this.source = source;
        this.labelHeader = labelHeader;
        this.columns = columns;
        this.labels = labels;
        this.cells = cells;
        this.kinds = kinds;
        this.positions = positions;
        this.batch = batch;
    }

    /**
     * Annotations built in memory: the sample labels, then per column (in the map's order: use a
     * {@link java.util.LinkedHashMap} to fix it) one value per label, in the labels' order. A
     * value is a {@link String} (or any object, by its {@code toString()}), a {@link Number}, or
     * null where unknown (so is a NaN, and a text {@code NA}, {@code NaN}, {@code N/A} or
     * empty). A column of {@code Double} or {@code Float} values is numbers, one of texts
     * categories; whole numbers ({@code Integer}, {@code Long}) and mixed columns take the rule
     * above.
     *
     * <pre>{@code
     * Annotations notes = Annotations.of(data.sampleLabels(),
     *         Map.of("lineage", List.of("B", "B", "T", ...), "age", List.of(34.0, 51.5, ...)));
     * }</pre>
     *
     * @param samples the sample labels, one per row
     * @param columns per column name its values, one per sample label
     * @return the annotations; messages about them name a row as "annotations, row N"
     * @throws IllegalArgumentException for no column, a null or empty name, a column whose size
     *     differs from the labels', a value that is infinite, or a label, name or value holding a
     *     tab or a line break (the run directory's tab-separated copy cannot hold them)
     */
    public static Annotations of(List<String> samples, Map<String, ? extends List<?>> columns) {
        if (samples == null || columns == null) {
            throw new IllegalArgumentException("the sample labels or the columns are null");
        }
        if (columns.isEmpty()) {
            throw new IllegalArgumentException("annotations need at least one column");
        }
        List<String> labels = new ArrayList<>(samples.size());
        for (int r = 0; r < samples.size(); r++) {
            labels.add(text(samples.get(r), "sample label " + r));
        }
        List<String> names = new ArrayList<>(columns.size());
        String[] cells = new String[samples.size() * columns.size()];
        int[] kinds = new int[columns.size()];
        int c = 0;
        for (Map.Entry<String, ? extends List<?>> e : columns.entrySet()) {
            String name = e.getKey();
            if (name == null || name.isEmpty()) {
                throw new IllegalArgumentException("an annotation column has no name");
            }
            names.add(text(name, "column name"));
            List<?> values = e.getValue();
            if (values == null || values.size() != labels.size()) {
                throw new IllegalArgumentException("column \"" + name + "\" has " + (values == null ? 0 : values.size())
                        + " values for " + labels.size() + " sample labels");
            }
            boolean texts = true;
            boolean fractions = true;
            for (int r = 0; r < labels.size(); r++) {
                Object v = values.get(r);
                cells[r * kinds.length + c] = cell(v, name, labels.get(r));
                if (v != null && !cells[r * kinds.length + c].isEmpty()) {
                    texts &= !(v instanceof Number);
                    fractions &= v instanceof Double || v instanceof Float;
                }
            }
            kinds[c++] = texts ? CATEGORIES : fractions ? NUMBERS : BY_RULE;
        }
        return new Annotations("annotations", "sample", Collections.unmodifiableList(names),
                Collections.unmodifiableList(labels), cells, kinds, null, List.of());
    }

    /**
     * Reads a table of annotations as {@code zarno run --annotations FILE} does, with the same
     * native reader: tab-separated, separated by spaces or a {@code .csv} with quotes, gzip
     * allowed; a header naming the sample label column and then each annotation column, a row
     * per sample, {@code NA}, {@code NaN}, {@code N/A} or an empty field where a value is
     * unknown. Messages about it name the file, line and column.
     *
     * @param file the table
     * @return the annotations
     * @throws IllegalArgumentException in the command's words, naming the file, line and column:
     *     a ragged row, an empty or repeated label or column name, no annotation column or no row,
     *     a file that cannot be read
     * @throws UnsatisfiedLinkError when the native library cannot be loaded
     */
    public static Annotations read(Path file) {
        if (file == null) {
            throw new IllegalArgumentException("the annotations' path is null");
        }
        NativeLoader.load();
        Object[] p = Native.readAnnotations(file.toString());
        String[] names = (String[]) p[2];
        int[] kinds = new int[names.length];
        Arrays.fill(kinds, BY_RULE);
        return new Annotations((String) p[0], (String) p[1], List.of(names), List.of((String[]) p[3]),
                (String[]) p[4], kinds, (int[]) p[5], List.of());
    }

    /**
     * The same annotations with these columns flagged as technical batches (replacing earlier
     * flags), as {@code --batch COLUMN} does: a pattern or the clusters that follow one strongly
     * are reported as a likely batch effect ({@link Agreement#batchEffects()}). Columns named like
     * a batch (batch, plate, lane, run, date ...) count as batches anyway.
     *
     * @param columns names of columns of the table
     * @return the flagged annotations
     * @throws IllegalArgumentException when a name is not a column of the table
     */
    public Annotations batch(String... columns) {
        if (columns == null) {
            throw new IllegalArgumentException("the batch columns are null");
        }
        for (String c : columns) {
            if (!this.columns.contains(c)) {
                throw new IllegalArgumentException("no annotation column is named " + (c == null ? "null" : "\"" + c + "\"")
                        + " (the columns: " + String.join(", ", this.columns) + ")");
            }
        }
        return new Annotations(source, labelHeader, this.columns, labels, cells, kinds, positions, List.of(columns));
    }

    /** @return the annotation columns' names, in order (the label column not included) */
    public List<String> columns() {
        return columns;
    }

    /** @return the rows' sample labels, in order */
    public List<String> samples() {
        return labels;
    }

    /** @return the columns flagged by {@link #batch(String...)} */
    public List<String> batchColumns() {
        return batch;
    }

    /**
     * @param sample a row's label
     * @param column a column's name
     * @return the value as text, as the survey reads it; null where it is missing
     * @throws IllegalArgumentException when no row or column has that name
     */
    public String value(String sample, String column) {
        int r = Bounds.find(labels, sample, "sample");
        String v = cells[r * columns.size() + Bounds.find(columns, column, "column")];
        // The core's missing values: an empty field, NA, NaN or N/A.
        return v.isEmpty() || v.equals("NA") || v.equals("NaN") || v.equals("N/A") ? null : v;
    }

    // The table as the native side takes it: {source, label header, columns, labels, cells
    // (row-major), positions in the file (or null), kinds, batch columns}.
    Object[] parts() {
        return new Object[] {source, labelHeader, columns.toArray(new String[0]), labels.toArray(new String[0]),
            cells, positions, kinds, batch.toArray(new String[0])};
    }

    @Override
    public String toString() {
        return "Annotations[" + labels.size() + " samples, columns " + columns + (batch.isEmpty() ? "" : ", batch " + batch)
                + ", from " + source + "]";
    }

    // A value's text for the table: "" where missing.
    private static String cell(Object v, String column, String sample) {
        if (v == null || (v instanceof Double && ((Double) v).isNaN()) || (v instanceof Float && ((Float) v).isNaN())) {
            return "";
        }
        if ((v instanceof Double && ((Double) v).isInfinite()) || (v instanceof Float && ((Float) v).isInfinite())) {
            throw new IllegalArgumentException("column \"" + column + "\", sample \"" + sample + "\": " + v
                    + " is not finite");
        }
        return text(v.toString(), "the value of column \"" + column + "\", sample \"" + sample + "\"");
    }

    private static String text(String s, String what) {
        if (s == null) {
            throw new IllegalArgumentException(what + " is null");
        }
        if (s.indexOf('\t') >= 0 || s.indexOf('\n') >= 0 || s.indexOf('\r') >= 0) {
            throw new IllegalArgumentException(what + " (\"" + s + "\") holds a tab or a line break, which the "
                    + "tab-separated copy in a run directory cannot hold");
        }
        return s;
    }
}
