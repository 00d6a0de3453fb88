package zarno.hardening;

import java.lang.reflect.Field;

import lib.KQin;

/**
 * Input and output objects that look like the real ones but are not: one field missing or of
 * another type, or a copy of the output class under another name. {@link #from} fills the
 * fields that match a real {@link KQin} by name and type.
 */
final class Lookalikes {
    private Lookalikes() {}

    /** KQin without "Nf". */
    public static final class WithoutNf {
        public String tag, dir;
        public int Na;
        public double[] data, acc;
        public int uncertFlag, StartRank, EndRank, Nchains, Niter, NfeetA;
        public int[] NfootA;
        public int[][] NlistA;
        public String[] geneNames, xLabels;
    }

    /** KQin whose "Na" is a long. */
    public static final class LongNa {
        public String tag, dir;
        public long Na;
        public int Nf;
        public double[] data, acc;
        public int uncertFlag, StartRank, EndRank, Nchains, Niter, NfeetA;
        public int[] NfootA;
        public int[][] NlistA;
        public String[] geneNames, xLabels;
    }

    /** KQin whose last field read, "xLabels", is an Object array. */
    public static final class ObjectLabels {
        public String tag, dir;
        public int Na, Nf;
        public double[] data, acc;
        public int uncertFlag, StartRank, EndRank, Nchains, Niter, NfeetA;
        public int[] NfootA;
        public int[][] NlistA;
        public String[] geneNames;
        public Object[] xLabels;
    }

    /** Every field of kqviewer.ZevuzuExp, in another class. */
    public static final class Output {
        public String[] geneNames, xLabels;
        public int Na, Nf, Nsol, Nfoot;
        public String date;
        public double[] footprint;
        public double[][] distribution, distSD, pattern, pattSD;
        public String tag;
        public double chisq, AtomsA, AtomsF, Evidence, lineMeasure, ptwidth;
        public int ENSEMBLE, Niter, Nshow, Iseed, SeedP;
        public double[][] data, mock, noise;
    }

    /** Copies the fields of {@code in} into {@code target} wherever name and type agree. */
    static <T> T from(KQin in, T target) {
        try {
            for (Field f : target.getClass().getFields()) {
                Field source = KQin.class.getField(f.getName());
                if (source.getType() == f.getType()) {
                    f.set(target, source.get(in));
                }
            }
        } catch (ReflectiveOperationException e) {
            throw new IllegalStateException(e);
        }
        return target;
    }
}
