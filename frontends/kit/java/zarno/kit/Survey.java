package zarno.kit;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.NoSuchElementException;
import java.util.OptionalDouble;
import java.util.OptionalInt;

/**
 * What a study's runs say about the number of patterns the data hold: per pattern count, the
 * figures of {@code zarno survey} ({@link CountSurvey}), and the suggested pattern count with the
 * reason. Computed by the same native code as the command. Immutable.
 */
public final class Survey {
    private final List<CountSurvey> counts;
    private final int suggested; // 0: none
    private final String note;

    private Survey(List<CountSurvey> counts, int suggested, String note) {
        this.counts = Collections.unmodifiableList(counts);
        this.suggested = suggested;
        this.note = note;
    }

    /** @return one survey per pattern count, ascending */
    public List<CountSurvey> counts() {
        return counts;
    }

    /**
     * @param patterns a pattern count of the study
     * @return its survey
     * @throws IllegalArgumentException when the study did not run it
     */
    public CountSurvey count(int patterns) {
        for (CountSurvey c : counts) {
            if (c.patterns() == patterns) {
                return c;
            }
        }
        throw new IllegalArgumentException("the survey has no pattern count " + patterns);
    }

    /** @return the suggested pattern count, or empty when the rule suggests none ({@link #note()} says why) */
    public OptionalInt suggestion() {
        return suggested > 0 ? OptionalInt.of(suggested) : OptionalInt.empty();
    }

    /**
     * @return the suggested pattern count
     * @throws NoSuchElementException when there is none, with the reason
     */
    public int suggestedPatterns() {
        if (suggested <= 0) {
            throw new NoSuchElementException("no suggested pattern count: " + note);
        }
        return suggested;
    }

    /** @return why this count was suggested, or why none was */
    public String note() {
        return note;
    }

    @Override
    public String toString() {
        return "Survey[" + counts.size() + " pattern counts, suggested " + (suggested > 0 ? suggested : "none") + "]";
    }

    /** Runs the survey over a study's runs. */
    static Survey of(StudyResult result) {
        List<Run> runs = result.runs();
        int n = runs.size();
        int[] patterns = new int[n];
        int[] chains = new int[n];
        double[][] amplitudes = new double[n][];
        double[][] patternRows = new double[n][];
        double[] chi = new double[n];
        double[] ssr = new double[n];
        for (int i = 0; i < n; i++) {
            Run r = runs.get(i);
            patterns[i] = r.patternCount();
            chains[i] = r.chain();
            amplitudes[i] = r.amplitudesArray();
            patternRows[i] = r.patternsArray();
            chi[i] = r.chiSquare();
            ssr[i] = r.residualSum();
        }
        Dataset data = result.study().data();
        Collector collector = new Collector(data.geneNames());
        Native.survey(data.genes(), data.samples(), data.weighted(), patterns, chains, amplitudes, patternRows, chi,
                ssr, collector);
        return new Survey(collector.counts, collector.suggested, collector.note);
    }

    private static final class Collector implements Native.SurveySink {
        final List<String> geneNames;
        final List<CountSurvey> counts = new ArrayList<>();
        int suggested;
        String note = "";

        Collector(List<String> geneNames) {
            this.geneNames = geneNames;
        }

        @Override
        public void count(int patterns, int[] chains, int[] failedChains, int[] missingChains, String[] notes,
                String status, double dof, double[] spreads, boolean[] spreadPresent, double[] figures,
                boolean[] figurePresent, double[] consensus, int[] sampleOrder, boolean[] outlier,
                double[] chainMatch, int chainsUsed, double[] patternMean, double[] patternSd,
                double[] amplitudeMean, double[] amplitudeSd, boolean hasSd, int[] topGroupSizes, int[] topGenes,
                double[] topZ, boolean[] topZPresent, double[] topAmplitude) {
            List<Integer> chainList = new ArrayList<>();
            List<Integer> outliers = new ArrayList<>();
            for (int i = 0; i < chains.length; i++) {
                chainList.add(chains[i]);
                if (i < outlier.length && outlier[i]) {
                    outliers.add(chains[i]);
                }
            }
            Spread[] s = new Spread[spreadPresent.length];
            for (int i = 0; i < s.length; i++) {
                s[i] = spreadPresent[i] ? new Spread(spreads[3 * i], spreads[3 * i + 1], spreads[3 * i + 2]) : null;
            }
            double[] f = new double[figures.length];
            for (int i = 0; i < f.length; i++) {
                f[i] = figurePresent[i] ? figures[i] : Double.NaN;
            }
            List<List<TopGene>> top = new ArrayList<>();
            int k = 0;
            for (int size : topGroupSizes) {
                List<TopGene> group = new ArrayList<>();
                for (int j = 0; j < size; j++, k++) {
                    group.add(new TopGene(topGenes[k], geneNames.get(topGenes[k]),
                            topZPresent[k] ? OptionalDouble.of(topZ[k]) : OptionalDouble.empty(), topAmplitude[k]));
                }
                top.add(Collections.unmodifiableList(group));
            }
            counts.add(new CountSurvey(patterns, chainList, outliers, List.of(notes), status, dof, s, f, consensus,
                    sampleOrder, chainsUsed, patternMean, patternSd, amplitudeMean, amplitudeSd, hasSd,
                    Collections.unmodifiableList(top)));
        }

        @Override
        public void suggestion(int patterns, String note) {
            this.suggested = patterns;
            this.note = note;
        }
    }
}
