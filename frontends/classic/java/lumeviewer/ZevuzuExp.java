package lumeviewer;

/**
 * Results of one factorization run, filled by the native side. Field names and types are read
 * and written by name through JNI and must not change.
 */
public class ZevuzuExp {
    /** Gene and sample labels, the very arrays of the input object. */
    public String[] geneNames, xLabels;
    /** Genes, samples, patterns of this run, and footprint length (always 1). */
    public int Na, Nf, Nsol, Nfoot;
    /** Time stamp of the export. */
    public String date;
    public double[] footprint;
    /** Amplitudes (Na by Nsol) and patterns (Nsol by Nf, rows summing to 1), with deviations. */
    public double[][] distribution, distSD, pattern, pattSD;
    public String tag;
    /** Chi-square of the fit and plain sum of squared residuals; the rest are fixed values. */
    public double chisq, AtomsA, AtomsF, Evidence, lineMeasure, ptwidth;
    /** Rounds requested (Niter) and run (Nshow), and the two start seeds. */
    public int ENSEMBLE, Niter, Nshow, Iseed, SeedP;
    /** Data, reconstruction and uncertainties, Na by Nf. */
    public double[][] data, mock, noise;

    /**
     * Deep copy. The native side replaces the arrays on every run; a host that wants to keep a
     * run's results past the callback should keep a snapshot.
     */
    public ZevuzuExp snapshot() {
        ZevuzuExp c = new ZevuzuExp();
        c.geneNames = copy(geneNames);
        c.xLabels = copy(xLabels);
        c.Na = Na;
        c.Nf = Nf;
        c.Nsol = Nsol;
        c.Nfoot = Nfoot;
        c.date = date;
        c.footprint = footprint == null ? null : footprint.clone();
        c.distribution = copy(distribution);
        c.distSD = copy(distSD);
        c.pattern = copy(pattern);
        c.pattSD = copy(pattSD);
        c.tag = tag;
        c.chisq = chisq;
        c.AtomsA = AtomsA;
        c.AtomsF = AtomsF;
        c.Evidence = Evidence;
        c.lineMeasure = lineMeasure;
        c.ptwidth = ptwidth;
        c.ENSEMBLE = ENSEMBLE;
        c.Niter = Niter;
        c.Nshow = Nshow;
        c.Iseed = Iseed;
        c.SeedP = SeedP;
        c.data = copy(data);
        c.mock = copy(mock);
        c.noise = copy(noise);
        return c;
    }

    private static String[] copy(String[] a) {
        return a == null ? null : a.clone();
    }

    private static double[][] copy(double[][] m) {
        if (m == null) {
            return null;
        }
        double[][] c = new double[m.length][];
        for (int i = 0; i < m.length; i++) {
            c[i] = m[i] == null ? null : m[i].clone();
        }
        return c;
    }
}
