package zarno.kit;

import java.util.List;

/** The runs of a study as the native calls take them: one array per field, run i at index i. */
final class RunColumns {
    final int[] patterns;
    final int[] chains;
    final double[][] amplitudes; // the runs' own arrays, never handed to users
    final double[][] patternRows;
    final double[] chiSquare;
    final double[] ssr;
    final int[] seedA;
    final int[] seedP;
    final int[] rounds;
    final double[] seconds;
    final double[][] traces;
    final String[] failures; // null where the run is complete

    RunColumns(List<Run> runs) {
        int n = runs.size();
        patterns = new int[n];
        chains = new int[n];
        amplitudes = new double[n][];
        patternRows = new double[n][];
        chiSquare = new double[n];
        ssr = new double[n];
        seedA = new int[n];
        seedP = new int[n];
        rounds = new int[n];
        seconds = new double[n];
        traces = new double[n][];
        failures = new String[n];
        for (int i = 0; i < n; i++) {
            Run r = runs.get(i);
            patterns[i] = r.patternCount();
            chains[i] = r.chain();
            amplitudes[i] = r.amplitudesArray();
            patternRows[i] = r.patternsArray();
            chiSquare[i] = r.chiSquare();
            ssr[i] = r.residualSum();
            seedA[i] = r.seedA();
            seedP[i] = r.seedP();
            rounds[i] = r.rounds();
            seconds[i] = r.seconds();
            traces[i] = r.traceArray();
            failures[i] = r.failure().orElse(null);
        }
    }
}
