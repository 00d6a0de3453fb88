package zarno.kit;

import java.util.List;

/**
 * A gene that marks a consensus pattern: listed for the pattern that holds its largest share of
 * amplitude, ranked there by its score.
 */
public final class TopGene {
    private final int gene;
    private final String name;
    private final double score;
    private final double share;
    private final double amplitude;

    // Called by the native survey (kit_survey.cpp).
    TopGene(int gene, String name, double score, double share, double amplitude) {
        this.gene = gene;
        this.name = name;
        this.score = score;
        this.share = share;
        this.amplitude = amplitude;
    }

    /** @return the gene's row in the data, from 0 */
    public int gene() {
        return gene;
    }

    /** @return the gene's name (see {@link Dataset#geneNames()}) */
    public String name() {
        return name;
    }

    /**
     * @return the marker score, in (0, 1]: {@link #share()} times the gene's amplitude over the
     *     pattern's largest; 1 for the pattern's strongest gene found in it alone
     */
    public double score() {
        return score;
    }

    /** @return the gene's amplitude in this pattern over its amplitudes summed over the patterns */
    public double share() {
        return share;
    }

    /** @return the gene's consensus amplitude in the pattern */
    public double amplitude() {
        return amplitude;
    }

    // The top genes of pattern k of amplitudes (genes x patterns) and pattern rows, at most n,
    // ranked by the core's survey of these matrices alone.
    static List<TopGene> rank(Dataset data, double[] amplitudes, double[] patternRows, int patterns, int k, int n) {
        return List.of(Native.topGenes(data.genes(), data.samples(), amplitudes, patternRows, patterns, k,
                Math.min(n, data.genes()), data.geneNames().toArray(new String[0])));
    }

    @Override
    public String toString() {
        return name + " score=" + score;
    }
}
