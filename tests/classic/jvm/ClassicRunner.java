package zarnotest;

import java.util.ArrayList;
import java.util.List;

import lib.KQin;
import kqviewer.ZevuzuExp;

/**
 * Runs a job through the classic entry and keeps, per run, what KQout held at its result
 * callback, flattened for a native test: patterns, chain, chi-square, residual sum, the two
 * seeds, rounds, then the amplitudes and the patterns row by row.
 */
public class ClassicRunner extends lib.ZARNO {
    private final List<double[]> runs = new ArrayList<>();
    private final List<String> messages = new ArrayList<>();
    private int returned;

    @Override
    public void guiPrint(String msg) {
        messages.add(msg);
    }

    @Override
    public void writeKQout(String path, ZevuzuExp out) {
        int k = out.Nsol, g = out.Na, s = out.Nf;
        double[] r = new double[7 + g * k + k * s];
        r[0] = k;
        r[1] = Integer.parseInt(path.replaceAll(".*_chain(\\d+)/.*", "$1"));
        r[2] = out.chisq;
        r[3] = out.AtomsA;
        r[4] = out.Iseed;
        r[5] = out.SeedP;
        r[6] = out.Nshow;
        int at = 7;
        for (double[] row : out.distribution) for (double v : row) r[at++] = v;
        for (double[] row : out.pattern) for (double v : row) r[at++] = v;
        runs.add(r);
    }

    /** The job of the arguments; its return value is kept for {@link #returned}. */
    public double[][] run(double[] data, double[] acc, int genes, int samples, int uncertFlag,
            int first, int last, int chains, int rounds) {
        runs.clear();
        KQin in = new KQin();
        in.tag = "expr";
        in.dir = "/tmp/";
        in.Na = genes;
        in.Nf = samples;
        in.data = data;
        in.acc = acc;
        in.uncertFlag = uncertFlag;
        in.StartRank = first;
        in.EndRank = last;
        in.Nchains = chains;
        in.Niter = rounds;
        in.NfootA = new int[0];
        in.NlistA = new int[0][];
        returned = zarno(in, new ZevuzuExp());
        return runs.toArray(new double[0][]);
    }

    public int returned() {
        return returned;
    }

    /** The messages received since the last call, oldest first. */
    public String[] messages() {
        String[] out = messages.toArray(new String[0]);
        messages.clear();
        return out;
    }
}
