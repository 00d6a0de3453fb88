package zarno.kit;

/**
 * The kit's native functions (frontends/kit/native: kit_jni.cpp, kit_survey.cpp), each a thin
 * layer over the core library. Every call comes from a thread the kit owns or from the caller's
 * own thread; the core's worker threads never call into Java.
 */
final class Native {
    private Native() {}

    /** Receives a study's runs and progress, on the thread that called {@link #run}. */
    interface Sink {
        /** A complete run, in job order; the arrays are fresh and belong to the receiver. */
        void run(int patterns, int chain, double[] amplitudes, double[] patternRows, double chiSquare,
                double ssr, int seedA, int seedP, int rounds, double seconds, double[] trace);

        /** Every 100 ms or so while runs go on; false cancels the study. */
        boolean tick(int runsDone, long roundsDone);
    }

    /** The version the library was built as; the kit refuses a library of another. */
    static native String version();

    /** The processors this process may run on. */
    static native int processors();

    /** Copies the data into native memory; sigmas null: unweighted. Returns the study's handle. */
    static native long open(double[] values, double[] sigmas, int genes, int samples);

    /** Asks every run of the study to stop within one round; any thread may call it. */
    static native void cancel(long study);

    /**
     * Runs the study's sweep on {@code threads} threads (0: every processor), handing each
     * complete run to the sink in job order. Returns the nanoseconds spent handing runs over,
     * or -1 when the study was cancelled. Refusals throw IllegalArgumentException, failures
     * ZarnoException; an exception thrown by the sink ends the study and comes out unchanged.
     */
    static native long run(long study, int firstRank, int lastRank, int firstChain,
            int chains, int rounds, boolean trace, double tolerance, int threads, Sink sink);

    /** Frees the study's native memory; the handle is dead afterwards. */
    static native void close(long study);

    /**
     * The core's rank survey over complete runs (run i: patterns[i], chains[i], ...), built by
     * the native side as the kit's objects through their constructors ({@link Survey}, {@link
     * CountSurvey}, {@link Spread}, {@link TopGene}); a top gene's name is its entry of
     * geneNames. Arrays that do not match genes, samples and the runs throw
     * IllegalArgumentException.
     */
    static native Survey survey(int genes, int samples, boolean weighted, int[] patterns, int[] chains,
            double[][] amplitudes, double[][] patternRows, double[] chiSquare, double[] ssr, String[] geneNames);

    /** Studies opened and not yet closed, in this process. */
    static native int openStudies();

    /**
     * Reads data (and, unless null, uncertainties) as {@code zarno run} reads them: a table in
     * any of its formats, or a control file naming both. Returns {values, sigmas (null when
     * unweighted), gene names, sample labels, the data's SHA-256, the uncertainties' (or
     * null)}. Bad input throws IllegalArgumentException with the command's message.
     */
    static native Object[] read(String values, String sigmas);

    /**
     * A run's top genes for one of its patterns (from 0), at most n, ranked as the survey
     * ranks a consensus's: the survey of this run alone. A gene's name is its entry of
     * geneNames.
     */
    static native TopGene[] topGenes(int genes, int samples, double[] amplitudes, double[] patternRows,
            int patterns, int pattern, int n, String[] geneNames);

    /**
     * Writes complete runs as {@code zarno run} writes its run directory: job.json (data
     * SHA-256 dataSha, or that of the data as a table when null), then each run's files and
     * summary.tsv. A directory that cannot be one throws IllegalArgumentException; a failed
     * write IOException naming the file.
     */
    static native void save(String dir, double[] values, double[] sigmas, String[] geneNames,
            String[] sampleLabels, String dataSha, String uncertSha, int rounds, boolean trace,
            double tolerance, int[] patterns, int[] chains, double[][] amplitudes, double[][] patternRows,
            double[] chiSquare, double[] ssr, int[] seedA, int[] seedP, int[] runRounds, double[] seconds,
            double[][] traces) throws java.io.IOException;
}
