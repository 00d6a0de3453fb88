import java.util.Locale;
import zarno.kit.Dataset;
import zarno.kit.Study;
import zarno.kit.StudyResult;

/**
 * The same study as floor.cpp through the kit's jar; prints the wall seconds of each
 * repetition (from the call to the result, data copy included) and the part spent handing
 * results to Java.
 *
 * <p>{@code java -cp zarno-kit-VERSION.jar:DIR KitBench GENES SAMPLES FIRST_RANK LAST_RANK CHAINS ROUNDS THREADS REPS}
 */
public final class KitBench {
    public static void main(String[] args) {
        int genes = Integer.parseInt(args[0]);
        int samples = Integer.parseInt(args[1]);
        double[] values = new double[genes * samples];
        double[] sigmas = new double[values.length];
        for (int g = 0; g < genes; g++) {
            for (int s = 0; s < samples; s++) {
                double v = 0.1 * ((g * 31 + s * 17) % 11) / 11.0;
                for (int k = 0; k < 4; k++) {
                    double a = 1.0 + ((g * 7 + k * 13) % 17) / 4.0;
                    double z = (s - samples * (k + 0.5) / 4.0) / (samples / 12.0);
                    v += a * (Math.exp(-z * z) + 0.05);
                }
                values[g * samples + s] = v;
                sigmas[g * samples + s] = 0.05 + 0.05 * v;
            }
        }
        Study study = Study.of(Dataset.of(values, sigmas, genes, samples))
                .ranks(Integer.parseInt(args[2]), Integer.parseInt(args[3])).chains(Integer.parseInt(args[4]))
                .rounds(Integer.parseInt(args[5])).threads(Integer.parseInt(args[6]))
                .tolerance(0); // every round, as the core floor runs them
        Study.of(Dataset.of(new double[] {1, 2, 3, 4}, new double[] {1, 1, 1, 1}, 2, 2)).rank(1).chains(1)
                .rounds(1).run(); // loads the library outside the timing
        com.sun.management.OperatingSystemMXBean os = (com.sun.management.OperatingSystemMXBean)
                java.lang.management.ManagementFactory.getOperatingSystemMXBean();
        for (int rep = Integer.parseInt(args[7]); rep > 0; rep--) {
            long start = System.nanoTime();
            long cpu = os.getProcessCpuTime(); // every thread of the JVM: the kit's, the GC's, the JIT's
            StudyResult result = study.run();
            double seconds = (System.nanoTime() - start) / 1e9;
            System.out.printf(Locale.ROOT, "kit %.3f export %.4f runs %d cpu %.3f%n", seconds,
                    result.exportTime().toNanos() / 1e9, result.runs().size(), (os.getProcessCpuTime() - cpu) / 1e9);
        }
    }
}
