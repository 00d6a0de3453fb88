package zarno;

import java.util.Random;
import lib.KQin;

/** Small jobs with known structure: rank-2 non-negative data plus noise. */
public final class Jobs {
    private Jobs() {}

    public static KQin job(int genes, int samples, long seed) {
        Random r = new Random(seed);
        double[][] a = new double[genes][2];
        double[][] p = new double[2][samples];
        for (double[] row : a) {
            row[0] = r.nextDouble() * 5;
            row[1] = r.nextDouble() * 5;
        }
        for (int s = 0; s < samples; s++) {
            p[0][s] = Math.exp(-0.5 * Math.pow((s - samples * 0.3) / 2.0, 2));
            p[1][s] = (double) s / samples;
        }
        double[][] data = new double[genes][samples];
        double[][] acc = new double[genes][samples];
        for (int g = 0; g < genes; g++) {
            for (int s = 0; s < samples; s++) {
                double clean = a[g][0] * p[0][s] + a[g][1] * p[1][s];
                acc[g][s] = 0.1 * clean + 0.05;
                data[g][s] = Math.max(0.0, clean + acc[g][s] * r.nextGaussian());
            }
        }
        KQin in = KQin.of(data, acc, null, null);
        in.tag = "expr";
        in.dir = System.getProperty("java.io.tmpdir") + "/zarno-test/";
        in.StartRank = 2;
        in.EndRank = 3;
        in.Nchains = 2;
        in.Niter = 30;
        return in;
    }
}
