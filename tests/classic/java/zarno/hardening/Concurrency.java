package zarno.hardening;

import java.nio.ByteBuffer;
import java.nio.charset.StandardCharsets;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CyclicBarrier;

import lib.KQin;
import lib.ZARNO;

/**
 * Runs jobs on several threads at once and prints a digest of everything each job handed to its
 * host, so that the test can compare it with the digest of the same job run alone.
 *
 * <p>Usage: {@code Concurrency MODE THREADS REPETITIONS}. MODE {@code separate}: every thread
 * has its own host object and its own input; {@code shared}: all threads call the same host
 * object, each with its own input; {@code shared-input}: the same host object and the same
 * {@link KQin} for all threads. Prints {@code ALONE job digest} for each distinct job run on
 * the main thread first, then {@code TOGETHER job repetition digest} for every concurrent job,
 * then {@code DONE}.
 */
public final class Concurrency {
    private Concurrency() {}

    /**
     * Digests messages and results per calling thread, so one instance can serve several
     * threads. The timing messages are left out: they are the only thing that may differ.
     */
    static final class DigestHost extends ZARNO {
        private final ThreadLocal<MessageDigest> digest = ThreadLocal.withInitial(() -> {
            try {
                return MessageDigest.getInstance("SHA-256");
            } catch (NoSuchAlgorithmException e) {
                throw new IllegalStateException(e);
            }
        });

        String finish() {
            StringBuilder hex = new StringBuilder();
            for (byte b : digest.get().digest()) {
                hex.append(String.format("%02x", b));
            }
            digest.remove();
            return hex.toString();
        }

        private void text(String s) {
            digest.get().update(s.getBytes(StandardCharsets.UTF_8));
            digest.get().update((byte) 0);
        }

        private void ints(int... v) {
            ByteBuffer b = ByteBuffer.allocate(4 * v.length);
            for (int x : v) {
                b.putInt(x);
            }
            digest.get().update(b.array());
        }

        private void doubles(double... v) {
            ByteBuffer b = ByteBuffer.allocate(8 * v.length);
            for (double x : v) {
                b.putLong(Double.doubleToRawLongBits(x));
            }
            digest.get().update(b.array());
        }

        private void matrix(double[][] m) {
            ints(m.length);
            for (double[] row : m) {
                ints(row.length);
                doubles(row);
            }
        }

        @Override
        public void guiPrint(String msg) {
            if (!msg.startsWith("////")) {
                text(msg);
            }
        }

        @Override
        public void writeKQout(String path, kqviewer.ZevuzuExp o) {
            text(path);
            text(o.tag);
            ints(o.Na, o.Nf, o.Nsol, o.Nfoot, o.ENSEMBLE, o.Niter, o.Nshow, o.Iseed, o.SeedP);
            doubles(o.chisq, o.AtomsA, o.AtomsF, o.Evidence, o.lineMeasure, o.ptwidth);
            doubles(o.footprint);
            for (double[][] m : new double[][][] {o.distribution, o.distSD, o.pattern, o.pattSD,
                    o.data, o.mock, o.noise}) {
                matrix(m);
            }
            text(String.join(",", o.geneNames));
            text(String.join(",", o.xLabels));
        }
    }

    /**
     * Job k: its own data, tag and pattern range, so that results swapped between jobs show.
     * Many patterns and few rounds make the random starts a large part of each run, so that the
     * starts of concurrent jobs overlap often: a generator shared between jobs shows within a
     * few jobs.
     */
    static KQin job(int k) {
        int na = 500 + 7 * k;
        int nf = 3 + k;
        double[][] d = new double[na][nf];
        double[][] u = new double[na][nf];
        long x = 12345 + 7919L * k;
        for (int g = 0; g < na; g++) {
            for (int s = 0; s < nf; s++) {
                x = x * 6364136223846793005L + 1442695040888963407L;
                d[g][s] = 0.5 + ((x >>> 33) % 1000) / 100.0;
                u[g][s] = 0.2 + ((x >>> 20) % 50) / 100.0;
            }
        }
        KQin in = KQin.of(d, u, null, null);
        in.tag = "job" + k;
        in.dir = "/nonexistent/concurrent/";
        in.StartRank = 100 + k % 2;
        in.EndRank = 101;
        in.Nchains = 3;
        in.Niter = 3;
        in.NfeetA = 0;
        return in;
    }

    public static void main(String[] args) throws Exception {
        ZARNO.load();
        String mode = args[0];
        int threads = Integer.parseInt(args[1]);
        int repetitions = Integer.parseInt(args[2]);
        boolean sharedHost = !mode.equals("separate");
        boolean sharedInput = mode.equals("shared-input");

        int jobs = sharedInput ? 1 : threads;
        for (int k = 0; k < jobs; k++) {
            DigestHost alone = new DigestHost();
            int rc = alone.zarno(job(k), new kqviewer.ZevuzuExp());
            Child.out("ALONE " + k + " " + alone.finish() + " rc=" + rc);
        }

        DigestHost shared = new DigestHost();
        KQin sharedKqin = job(0);
        CyclicBarrier start = new CyclicBarrier(threads);
        List<Thread> pool = new ArrayList<>();
        List<Throwable> failures = new ArrayList<>();
        for (int t = 0; t < threads; t++) {
            final int k = sharedInput ? 0 : t;
            Thread th = new Thread(() -> {
                try {
                    DigestHost host = sharedHost ? shared : new DigestHost();
                    for (int r = 0; r < repetitions; r++) {
                        KQin in = sharedInput ? sharedKqin : job(k);
                        start.await();
                        int rc = host.zarno(in, new kqviewer.ZevuzuExp());
                        Child.out("TOGETHER " + k + " " + r + " " + host.finish() + " rc=" + rc);
                    }
                } catch (Throwable e) {
                    synchronized (failures) {
                        failures.add(e);
                    }
                    start.reset();
                }
            }, "job-thread-" + t);
            pool.add(th);
            th.start();
        }
        for (Thread th : pool) {
            th.join();
        }
        for (Throwable e : failures) {
            Child.out("FAILED " + e);
        }
        Child.out("DONE");
    }
}
