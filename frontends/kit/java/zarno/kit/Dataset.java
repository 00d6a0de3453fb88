package zarno.kit;

import java.nio.file.Path;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.Collections;
import java.util.HashMap;
import java.util.List;
import java.util.Map;

/**
 * A genes-by-samples matrix of values, usually with a matrix of the same shape holding the
 * uncertainty (one standard deviation) of every value. Immutable: the factories copy the
 * arrays they are given, so later changes to those arrays change nothing here.
 *
 * <p>The factories check everything a study needs from the data, with the rules and words of
 * the classic entry, and throw {@link IllegalArgumentException} naming the first fault in
 * row-major order: its row (gene), column (sample) and value. Values must be finite;
 * uncertainties must be positive and finite. Negative values are allowed (the engine runs them
 * as they are), though the factorization is meant for non-negative data.
 *
 * <p>Missing values: the factories of {@link #allowMissing()} take a NaN value, or a NaN
 * uncertainty, as a missing cell, one of weight zero in every run, whose value is never read
 * ({@link #missingCells()} counts them); files read through them may hold {@code NA}, {@code NaN}
 * or empty fields. Without it a NaN is refused as above.
 */
public final class Dataset {
    // What a Dataset holds: the factories and the with-methods fill a fresh copy before the
    // new Dataset is made, so that the final field publishes it whole to every thread. New
    // options go here and into copy().
    private static final class Fields {
        int genes;
        int samples;
        double[] values;
        double[] sigmas; // null: unweighted
        List<String> geneNames; // null: g1, g2, ...
        List<String> sampleLabels; // null: s1, s2, ...
        String dataSha256; // the files' checksums, when read from files and unchanged since
        String uncertSha256;
        String source; // the file read, for toString
        boolean allowMissing; // a NaN value or uncertainty is a missing cell
        long missingCells;

        Fields copy() {
            Fields c = new Fields();
            c.genes = genes;
            c.samples = samples;
            c.values = values;
            c.sigmas = sigmas;
            c.geneNames = geneNames;
            c.sampleLabels = sampleLabels;
            c.dataSha256 = dataSha256;
            c.uncertSha256 = uncertSha256;
            c.source = source;
            c.allowMissing = allowMissing;
            c.missingCells = missingCells;
            return c;
        }
    }

    private final Fields f;
    private Map<String, Integer> geneIndex; // built on the first lookup by name; guarded by this

    private Dataset(Fields f) {
        this.f = f;
    }

    private static Fields fields(int genes, int samples, double[] values, double[] sigmas) {
        Fields f = new Fields();
        f.genes = genes;
        f.samples = samples;
        f.values = values;
        f.sigmas = sigmas;
        return f;
    }

    /**
     * Reads a table of values as {@code zarno run} reads its data: a header of sample labels
     * (optionally after a corner label), then per gene its name and one value per sample;
     * tab-separated, separated by spaces, or a {@code .csv} (quotes allowed), each optionally
     * gzip-compressed, with or without a byte order mark. A control file ({@code TAG.ctr})
     * reads its data {@code TAG.txt} and, when its line 1 says so, the uncertainties {@code
     * TAG.unc}. Without uncertainties the fit is the plain least-squares one. The gene names
     * and sample labels come from the file.
     *
     * @param values the table's file
     * @return the data, with their names and labels
     * @throws IllegalArgumentException naming the file, line and column of the first fault, in
     *     the command's words (a file that cannot be opened included)
     * @throws UnsatisfiedLinkError when the native library cannot be loaded
     */
    public static Dataset read(Path values) {
        return Factory.STRICT.read(values, null);
    }

    /**
     * Reads values and their uncertainties as {@code zarno run DATA --uncert SIGMAS} does: two
     * tables of the same layout, with the same sample labels and gene names in the same order
     * (see {@link #read(Path)} for the formats). Every uncertainty must be positive and finite.
     *
     * @param values the values' file (or a control file)
     * @param sigmas the uncertainties' file; null: as {@link #read(Path)}
     * @return the data, with their names and labels
     * @throws IllegalArgumentException naming the file, line and column of the first fault
     * @throws UnsatisfiedLinkError when the native library cannot be loaded
     */
    public static Dataset read(Path values, Path sigmas) {
        return Factory.STRICT.read(values, sigmas);
    }

    private static Dataset readFiles(Path values, Path sigmas, boolean missing) {
        if (values == null) {
            throw new IllegalArgumentException("the values' path is null");
        }
        NativeLoader.load();
        Object[] read = Native.read(values.toString(), sigmas == null ? null : sigmas.toString(), missing);
        double[] v = (double[]) read[0];
        double[] u = (double[]) read[1];
        String[] names = (String[]) read[2];
        String[] labels = (String[]) read[3];
        checkValues(v, u, labels.length, false, missing);
        Fields f = fields(names.length, labels.length, v, u);
        f.allowMissing = missing;
        f.missingCells = ((long[]) read[6])[0];
        f.geneNames = Collections.unmodifiableList(Arrays.asList(names));
        f.sampleLabels = Collections.unmodifiableList(Arrays.asList(labels));
        f.dataSha256 = (String) read[4];
        f.uncertSha256 = (String) read[5];
        f.source = values.toString();
        return new Dataset(f);
    }

    /**
     * Values and their uncertainties, one row per gene, one column per sample. Every fit is
     * weighted: data and reconstruction are divided by the uncertainties.
     *
     * @throws IllegalArgumentException for null, ragged or empty arrays (null uncertainties
     *     included: {@link #unweighted(double[][])} takes values alone), shapes that differ,
     *     values that are not finite or uncertainties that are not positive and finite
     */
    public static Dataset of(double[][] values, double[][] sigmas) {
        return Factory.STRICT.of(values, sigmas);
    }

    /**
     * Values and uncertainties as flat row-major arrays of {@code genes x samples} numbers:
     * the value of gene {@code g}, sample {@code s} is {@code values[g * samples + s]}.
     *
     * @throws IllegalArgumentException for null arrays, dimensions below 1, arrays of another
     *     length, values that are not finite or uncertainties that are not positive and finite
     */
    public static Dataset of(double[] values, double[] sigmas, int genes, int samples) {
        return Factory.STRICT.of(values, sigmas, genes, samples);
    }

    /** Values without uncertainties: the plain least-squares fit. See {@link #of(double[][], double[][])}. */
    public static Dataset unweighted(double[][] values) {
        return Factory.STRICT.unweighted(values);
    }

    /** Flat values without uncertainties. See {@link #of(double[], double[], int, int)}. */
    public static Dataset unweighted(double[] values, int genes, int samples) {
        return Factory.STRICT.unweighted(values, genes, samples);
    }

    /**
     * The factories with missing values allowed: a NaN value, or (weighted) a NaN uncertainty,
     * is a missing cell, and {@link Factory#read(Path, Path)} reads {@code NA}, {@code NaN} (any
     * case) and empty fields as missing, as {@code zarno run} always does. A missing cell weighs
     * nothing in both halves of every round, in chi-square and in the residual sum; the survey
     * counts observed cells only. Every other value is checked as without it.
     *
     * <pre>{@code
     * Dataset data = Dataset.allowMissing().of(values, sigmas); // NaN where a value is unknown
     * }</pre>
     *
     * <p>Beside the checks of {@link #of(double[][], double[][])}, such data are refused (with
     * {@link IllegalArgumentException}, in the command's words) when a gene or a sample has no
     * observed cell or no observed value is above zero; a study whose largest pattern count has
     * more free parameters than observed cells is refused when it runs. These checks are the
     * native library's, which the factories load.
     *
     * @return the factories that allow missing values
     */
    public static Factory allowMissing() {
        return Factory.MISSING;
    }

    /**
     * The factories of a {@link Dataset}, with missing values allowed or not ({@link
     * #allowMissing()}); {@code Dataset.of(...)} and the other static factories are those without.
     */
    public static final class Factory {
        static final Factory STRICT = new Factory(false);
        static final Factory MISSING = new Factory(true);

        private final boolean missing;

        private Factory(boolean missing) {
            this.missing = missing;
        }

        /** As {@link Dataset#read(Path)}. */
        public Dataset read(Path values) {
            return read(values, null);
        }

        /** As {@link Dataset#read(Path, Path)}. */
        public Dataset read(Path values, Path sigmas) {
            return readFiles(values, sigmas, missing);
        }

        /** As {@link Dataset#of(double[][], double[][])}. */
        public Dataset of(double[][] values, double[][] sigmas) {
            requireSigmas(sigmas);
            return fromRows(values, sigmas, missing);
        }

        /** As {@link Dataset#of(double[], double[], int, int)}. */
        public Dataset of(double[] values, double[] sigmas, int genes, int samples) {
            requireSigmas(sigmas);
            return fromFlat(values, sigmas, genes, samples, missing);
        }

        /** As {@link Dataset#unweighted(double[][])}. */
        public Dataset unweighted(double[][] values) {
            return fromRows(values, null, missing);
        }

        /** As {@link Dataset#unweighted(double[], int, int)}. */
        public Dataset unweighted(double[] values, int genes, int samples) {
            return fromFlat(values, null, genes, samples, missing);
        }

        @Override
        public String toString() {
            return missing ? "Dataset.allowMissing()" : "Dataset";
        }
    }

    /**
     * The same data with gene names, one per row (shown by results and the survey).
     *
     * @throws IllegalArgumentException when the count differs from {@link #genes()} or a name is
     *     null
     */
    public Dataset withGeneNames(String... names) {
        Fields c = f.copy();
        c.geneNames = labels(names, f.genes, "gene names", "genes");
        c.dataSha256 = c.uncertSha256 = null; // no longer the files' table
        return new Dataset(c);
    }

    /** {@link #withGeneNames(String...)} from a list. */
    public Dataset withGeneNames(List<String> names) {
        if (names == null) {
            throw new IllegalArgumentException("gene names are null");
        }
        return withGeneNames(names.toArray(new String[0]));
    }

    /**
     * The same data with sample labels, one per column.
     *
     * @throws IllegalArgumentException when the count differs from {@link #samples()} or a label
     *     is null
     */
    public Dataset withSampleLabels(String... labels) {
        Fields c = f.copy();
        c.sampleLabels = labels(labels, f.samples, "sample labels", "samples");
        c.dataSha256 = c.uncertSha256 = null;
        return new Dataset(c);
    }

    /** {@link #withSampleLabels(String...)} from a list. */
    public Dataset withSampleLabels(List<String> labels) {
        if (labels == null) {
            throw new IllegalArgumentException("sample labels are null");
        }
        return withSampleLabels(labels.toArray(new String[0]));
    }

    /** Rows. */
    public int genes() {
        return f.genes;
    }

    /** Columns. */
    public int samples() {
        return f.samples;
    }

    /** True when the data carry uncertainties and every fit is weighted by them. */
    public boolean weighted() {
        return f.sigmas != null;
    }

    /** True when made by the factories of {@link #allowMissing()}: a NaN is a missing cell. */
    public boolean allowsMissing() {
        return f.allowMissing;
    }

    /** The cells missing (0 unless {@link #allowsMissing()}), as the native library counts them. */
    public long missingCells() {
        return f.missingCells;
    }

    /**
     * The value of gene {@code g}, sample {@code s}.
     *
     * @throws IndexOutOfBoundsException naming the range, when either is outside the data
     */
    public double value(int g, int s) {
        return f.values[index(g, s)];
    }

    /**
     * The uncertainty of gene {@code g}, sample {@code s}; 1 when unweighted.
     *
     * @throws IndexOutOfBoundsException naming the range, when either is outside the data
     */
    public double sigma(int g, int s) {
        int i = index(g, s);
        return f.sigmas == null ? 1.0 : f.sigmas[i];
    }

    /**
     * The row of a gene, by name (the first, when names repeat).
     *
     * @throws IllegalArgumentException when no gene has that name
     */
    public int gene(String name) {
        Map<String, Integer> index;
        synchronized (this) {
            if (geneIndex == null) {
                geneIndex = new HashMap<>();
                List<String> names = geneNames();
                for (int g = names.size() - 1; g >= 0; g--) {
                    geneIndex.put(names.get(g), g);
                }
            }
            index = geneIndex;
        }
        Integer g = name == null ? null : index.get(name);
        if (g == null) {
            throw new IllegalArgumentException("no gene is named " + (name == null ? "null" : "\"" + name + "\""));
        }
        return g;
    }

    /**
     * The column of a sample, by label (the first, when labels repeat).
     *
     * @throws IllegalArgumentException when no sample has that label
     */
    public int sample(String label) {
        return Bounds.find(sampleLabels(), label, "sample");
    }

    /** A copy of the values, flat and row-major. */
    public double[] values() {
        return f.values.clone();
    }

    /** A copy of the uncertainties, flat and row-major; null when unweighted. */
    public double[] sigmas() {
        return f.sigmas == null ? null : f.sigmas.clone();
    }

    /** Gene names given by {@link #withGeneNames}, or g1, g2, ... (unmodifiable). */
    public List<String> geneNames() {
        return f.geneNames != null ? f.geneNames : numbered("g", f.genes);
    }

    /** Sample labels given by {@link #withSampleLabels}, or s1, s2, ... (unmodifiable). */
    public List<String> sampleLabels() {
        return f.sampleLabels != null ? f.sampleLabels : numbered("s", f.samples);
    }

    // The arrays themselves, for the native copy; never handed to users.
    double[] valuesArray() {
        return f.values;
    }

    double[] sigmasArray() {
        return f.sigmas;
    }

    // The SHA-256 of the files the data were read from, while the Dataset is still what they
    // hold; null otherwise (the run directory then takes that of the data as a table).
    String dataSha256() {
        return f.dataSha256;
    }

    String uncertSha256() {
        return f.uncertSha256;
    }

    @Override
    public String toString() {
        return "Dataset[" + f.genes + " genes x " + f.samples + " samples, "
                + (weighted() ? "weighted" : "unweighted")
                + (f.missingCells > 0 ? ", " + f.missingCells + " cells missing" : "") + (f.source != null ? ", from " + f.source : "") + "]";
    }

    private int index(int g, int s) {
        return Bounds.check(g, f.genes, "gene") * f.samples + Bounds.check(s, f.samples, "sample");
    }

    private static void requireSigmas(Object sigmas) {
        if (sigmas == null) {
            throw new IllegalArgumentException("sigmas is null: Dataset.unweighted(...) takes values without "
                    + "uncertainties");
        }
    }

    private static Dataset fromRows(double[][] values, double[][] sigmas, boolean missing) {
        if (values == null) {
            throw new IllegalArgumentException("values is null");
        }
        int genes = values.length;
        if (genes < 1) {
            throw new IllegalArgumentException("genes must be positive, not 0 (values has no rows)");
        }
        if (values[0] == null) {
            throw new IllegalArgumentException("values row 0 is null");
        }
        int samples = values[0].length;
        if (samples < 1) {
            throw new IllegalArgumentException("samples must be positive, not 0 (values row 0 is empty)");
        }
        checkCells(genes, samples);
        if (sigmas != null && sigmas.length != genes) {
            throw new IllegalArgumentException("sigmas has " + sigmas.length + " rows; values has " + genes);
        }
        double[] v = new double[genes * samples];
        double[] u = sigmas == null ? null : new double[genes * samples];
        for (int g = 0; g < genes; g++) {
            copyRow(values, "values", g, samples, v);
            if (sigmas != null) {
                copyRow(sigmas, "sigmas", g, samples, u);
            }
        }
        checkValues(v, u, samples, true, missing);
        return checked(fields(genes, samples, v, u), missing);
    }

    private static Dataset fromFlat(double[] values, double[] sigmas, int genes, int samples, boolean missing) {
        if (values == null) {
            throw new IllegalArgumentException("values is null");
        }
        if (genes < 1) {
            throw new IllegalArgumentException("genes must be positive, not " + genes);
        }
        if (samples < 1) {
            throw new IllegalArgumentException("samples must be positive, not " + samples);
        }
        long cells = checkCells(genes, samples);
        if (values.length != cells) {
            throw new IllegalArgumentException("values holds " + values.length
                    + " numbers; genes x samples = " + cells);
        }
        if (sigmas != null && sigmas.length != cells) {
            throw new IllegalArgumentException("sigmas holds " + sigmas.length
                    + " numbers; genes x samples = " + cells);
        }
        double[] v = values.clone();
        double[] u = sigmas == null ? null : sigmas.clone();
        checkValues(v, u, samples, false, missing);
        return checked(fields(genes, samples, v, u), missing);
    }

    private static long checkCells(int genes, int samples) {
        long cells = (long) genes * samples;
        if (cells > Integer.MAX_VALUE - 8) {
            throw new IllegalArgumentException("genes x samples = " + cells + " does not fit 32 bits");
        }
        return cells;
    }

    private static void copyRow(double[][] m, String name, int g, int samples, double[] flat) {
        double[] row = m[g];
        if (row == null) {
            throw new IllegalArgumentException(name + " row " + g + " is null");
        }
        if (row.length != samples) {
            throw new IllegalArgumentException(name + " row " + g + " has " + row.length
                    + " columns; row 0 of values has " + samples + " (ragged arrays are refused)");
        }
        System.arraycopy(row, 0, flat, g * samples, samples);
    }

    // Data with missing cells allowed, checked by the core as a whole (a gene or a sample with
    // no observed cell, nothing above zero) and their missing cells counted.
    private static Dataset checked(Fields f, boolean missing) {
        if (missing) {
            NativeLoader.load();
            f.allowMissing = true;
            f.missingCells = Native.cells(f.values, f.sigmas, f.genes, f.samples);
        }
        return new Dataset(f);
    }

    // The classic entry's checks, in its order: value, then uncertainty, cell by cell. With
    // missing values allowed, the cells the core takes as missing (a NaN value or uncertainty)
    // are left to its own check.
    private static void checkValues(double[] v, double[] u, int samples, boolean rows, boolean missing) {
        for (int i = 0; i < v.length; i++) {
            int g = i / samples;
            int s = i % samples;
            if (missing && (Double.isNaN(v[i]) || (u != null && Double.isNaN(u[i])))) {
                continue;
            }
            if (!Double.isFinite(v[i])) {
                throw new IllegalArgumentException(cell("values", i, g, s, rows)
                        + ", the value of gene " + g + " sample " + s + ", is not finite (" + v[i] + ")");
            }
            if (u != null && !(Double.isFinite(u[i]) && u[i] > 0.0)) {
                throw new IllegalArgumentException(cell("sigmas", i, g, s, rows)
                        + ", the uncertainty of gene " + g + " sample " + s + ", is " + u[i]
                        + "; every uncertainty must be positive and finite");
            }
        }
    }

    private static String cell(String name, int i, int g, int s, boolean rows) {
        return rows ? name + "[" + g + "][" + s + "]" : name + "[" + i + "]";
    }

    private static List<String> labels(String[] names, int count, String what, String dimension) {
        if (names == null) {
            throw new IllegalArgumentException(what + " are null");
        }
        if (names.length != count) {
            throw new IllegalArgumentException(names.length + " " + what + " for " + count + " " + dimension);
        }
        List<String> list = new ArrayList<>(count);
        for (int i = 0; i < count; i++) {
            if (names[i] == null) {
                throw new IllegalArgumentException(what + " [" + i + "] is null");
            }
            list.add(names[i]);
        }
        return Collections.unmodifiableList(list);
    }

    private static List<String> numbered(String prefix, int count) {
        String[] names = new String[count];
        for (int i = 0; i < count; i++) {
            names[i] = prefix + (i + 1);
        }
        return Collections.unmodifiableList(Arrays.asList(names));
    }
}
