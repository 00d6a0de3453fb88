package demo;

import java.nio.file.Path;
import java.nio.file.Paths;
import java.util.Locale;
import zarno.kit.Dataset;
import zarno.kit.Run;
import zarno.kit.Study;
import zarno.kit.StudyResult;

/**
 * {@link Demo}'s job through the kit: factorizes the sample data (2 to 5 patterns, 3 chains)
 * and checks the best run of the true pattern count against the known patterns.
 *
 * <p>Usage: {@code java -cp zarno-kit-VERSION.jar:CLASSES demo.KitDemo [DATA_DIR [NITER]]}.
 */
public final class KitDemo {
    private KitDemo() {}

    public static void main(String[] args) throws Exception {
        Path dir = Paths.get(args.length > 0 ? args[0] : "data");
        int rounds = args.length > 1 ? Integer.parseInt(args[1]) : 2000;
        Dataset dataset = Dataset.read(dir.resolve("sample.txt"), dir.resolve("sample.unc"));
        double[][] truth = Demo.readPatterns(dir.resolve("sample.patterns"));
        StudyResult result = Study.of(dataset).ranks(2, 5).chains(3).rounds(rounds)
                .run(progress -> System.out.println("[zarno] " + progress));

        System.out.printf(Locale.ROOT, "%n%8s %5s %14s %14s %9s%n", "Patterns", "Chain", "ChiSquare", "SSR", "Seconds");
        for (Run r : result.runs()) {
            System.out.printf(Locale.ROOT, "%8d %5d %14.6g %14.6g %9.3f%n", r.patternCount(), r.chain(), r.chiSquare(),
                    r.residualSum(), r.seconds());
        }
        Run best = result.best(truth.length);
        double[][] found = new double[best.patternCount()][];
        for (int k = 0; k < found.length; k++) {
            found[k] = best.pattern(k);
        }
        System.out.printf(Locale.ROOT, "%n%d patterns, chain %d (lowest chi-square %.6g):%n", best.patternCount(),
                best.chain(), best.chiSquare());
        int[] match = Demo.greedyMatch(truth, found);
        for (int t = 0; t < truth.length; t++) {
            System.out.printf(Locale.ROOT, "true pattern %d: r = %.5f (recovered pattern %d)%n", t + 1,
                    Demo.pearson(truth[t], found[match[t]]), match[t] + 1);
        }
    }
}
