package lib;

/**
 * Input of one {@link ZARNO#zarno} call. The native side reads these fields by name and JNI
 * type, so their names and types must not change.
 */
public class KQin {
    /** Job tag, the stem of every result name. */
    public String tag;
    /** Directory prefix of the result paths, including its trailing separator. */
    public String dir;
    /** Genes (rows) and samples (columns). */
    public int Na, Nf;
    /** Values and their uncertainties, Na by Nf, row-major; the native side uses them in place. */
    public double[] data, acc;
    /** Nonzero: weight every element by its uncertainty. */
    public int uncertFlag;
    /** Inclusive range of pattern counts to run. */
    public int StartRank, EndRank;
    /** Chains per pattern count. */
    public int Nchains;
    /** Update rounds per run. */
    public int Niter;
    /** Number of prior groups, the member count of each, and each group's gene indices. */
    public int NfeetA;
    public int[] NfootA;
    public int[][] NlistA;
    /** Gene and sample labels, passed on unchanged to the output object. */
    public String[] geneNames, xLabels;

    /**
     * Builds an input with no prior groups from a genes-by-samples matrix and its uncertainties.
     * Labels default to g0.. and s0.. when null. The group arrays are empty rather than null
     * because the native side reads them on every call.
     */
    public static KQin of(double[][] data, double[][] acc, String[] geneNames, String[] xLabels) {
        int na = data.length;
        int nf = na == 0 ? 0 : data[0].length;
        if (acc.length != na) {
            throw new IllegalArgumentException("acc has " + acc.length + " rows, data " + na);
        }
        KQin in = new KQin();
        in.Na = na;
        in.Nf = nf;
        in.data = flatten(data, nf, "data");
        in.acc = flatten(acc, nf, "acc");
        in.uncertFlag = 1;
        in.NfeetA = 0;
        in.NfootA = new int[0];
        in.NlistA = new int[0][];
        in.geneNames = geneNames != null ? geneNames : labels("g", na);
        in.xLabels = xLabels != null ? xLabels : labels("s", nf);
        if (in.geneNames.length != na || in.xLabels.length != nf) {
            throw new IllegalArgumentException("label counts do not match the matrix");
        }
        return in;
    }

    private static double[] flatten(double[][] m, int cols, String what) {
        double[] flat = new double[m.length * cols];
        for (int i = 0; i < m.length; i++) {
            if (m[i].length != cols) {
                throw new IllegalArgumentException(what + " row " + i + " has " + m[i].length
                        + " columns, expected " + cols);
            }
            System.arraycopy(m[i], 0, flat, i * cols, cols);
        }
        return flat;
    }

    private static String[] labels(String prefix, int n) {
        String[] s = new String[n];
        for (int i = 0; i < n; i++) {
            s[i] = prefix + i;
        }
        return s;
    }
}
