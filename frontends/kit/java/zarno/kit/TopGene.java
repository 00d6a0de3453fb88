package zarno.kit;

import java.util.List;
import java.util.OptionalDouble;

/** A gene that marks a consensus pattern: high amplitude there relative to the other patterns. */
public final class TopGene {
    private final int gene;
    private final String name;
    private final OptionalDouble zscore;
    private final double amplitude;

    // Called by the native survey (kit_survey.cpp); zscore counts only when scored.
    TopGene(int gene, String name, boolean scored, double zscore, double amplitude) {
        this.gene = gene;
        this.name = name;
        this.zscore = scored ? OptionalDouble.of(zscore) : OptionalDouble.empty();
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

    /** @return the z-score of the gene's amplitudes; empty with one pattern, where nothing compares */
    public OptionalDouble zscore() {
        return zscore;
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
        return name + (zscore.isPresent() ? " z=" + zscore.getAsDouble() : "");
    }
}
