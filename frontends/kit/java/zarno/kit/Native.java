package zarno.kit;

/**
 * The kit's native functions (frontends/kit/native: kit_jni.cpp, kit_survey.cpp, kit_files.cpp,
 * kit_annotations.cpp), each a thin layer over the core library. Every call comes from a thread the kit owns or from the caller's
 * own thread; the core's worker threads never call into Java.
 */
final class Native {
    private Native() {}

    /** Receives a study's runs and progress, on the thread that called {@link #run}. */
    interface Sink {
        /**
         * A finished run, in job order; the arrays are fresh and belong to the receiver. failure:
         * null, or why the run failed (the core's RunFault: numbers that are not finite).
         */
        void run(int patterns, int chain, double[] amplitudes, double[] patternRows, double chiSquare,
                double ssr, int seedA, int seedP, int rounds, double seconds, double[] trace, String failure);

        /** Every 100 ms or so while runs go on; false cancels the study. */
        boolean tick(int runsDone, long roundsDone);
    }

    /** The version the library was built as; the kit refuses a library of another. */
    static native String version();

    /** The processors this process may run on. */
    static native int processors();

    /** The core's default convergence stop of a study (kStudyTolerance). */
    static native double studyTolerance();

    /**
     * Checks data with missing values allowed as a study does (CheckDataset) and returns the
     * missing cells; a refusal throws IllegalArgumentException with the core's words.
     */
    static native long cells(double[] values, double[] sigmas, int genes, int samples);

    /**
     * The arithmetic the plain runs of such data take when {@code asked} is ("gram" or
     * "classic"), as the core decides it (UsesGramForm).
     */
    static native String arithmetic(boolean weighted, boolean missingCells, String asked);

    /**
     * Copies the data into native memory; sigmas null: unweighted; allowMissing: a NaN is a
     * missing cell. Returns the study's handle.
     */
    static native long open(double[] values, double[] sigmas, int genes, int samples, boolean allowMissing);

    /** Asks every run of the study to stop within one round; any thread may call it. */
    static native void cancel(long study);

    /**
     * Runs the study's sweep on {@code threads} threads (0: every processor), with the
     * arithmetic named ("gram" or "classic"), handing each finished run to the sink in job order. Returns the nanoseconds spent handing runs over,
     * or -1 when the study was cancelled. Refusals throw IllegalArgumentException, failures
     * ZarnoException; an exception thrown by the sink ends the study and comes out unchanged.
     */
    static native long run(long study, int firstRank, int lastRank, int firstChain,
            int chains, int rounds, boolean trace, double tolerance, String arithmetic, int threads, Sink sink);

    /** Frees the study's native memory; the handle is dead afterwards. */
    static native void close(long study);

    /**
     * The core's rank survey over a study's runs (run i: patterns[i], chains[i], ...; failures[i]
     * non-null for a failed run, which the survey leaves out), of data with missingCells cells
     * missing, built by the native side as the kit's objects through their constructors ({@link
     * Survey}, {@link CountSurvey}, {@link Spread}, {@link TopGene}); a top gene's name is its
     * entry of geneNames. With annotations ({@link Annotations#parts()}, or null) matched to the
     * sample labels, also their agreement with the survey ({@link Agreement}). Arrays that do not
     * match genes, samples and the runs, and annotations that do not match the samples, throw
     * IllegalArgumentException.
     */
    static native Survey survey(int genes, int samples, boolean weighted, long missingCells, int[] patterns,
            int[] chains, double[][] amplitudes, double[][] patternRows, double[] chiSquare, double[] ssr,
            String[] failures, String[] geneNames, String[] sampleLabels, Object[] annotations);

    /** Studies opened and not yet closed, in this process. */
    static native int openStudies();

    /**
     * Reads data (and, unless null, uncertainties) as {@code zarno run} reads them: a table in
     * any of its formats, or a control file naming both; with allowMissing NA, NaN and empty
     * fields are missing cells. Returns {values, sigmas (null when unweighted), gene names,
     * sample labels, the data's SHA-256, the uncertainties' (or null), long[] {missing cells}}.
     * Bad input throws IllegalArgumentException with the command's message.
     */
    static native Object[] read(String values, String sigmas, boolean allowMissing);

    /**
     * Reads a table of sample annotations with the core's reader. Returns {@link
     * Annotations#parts()} of it: bad input throws IllegalArgumentException naming the file,
     * line and column.
     */
    static native Object[] readAnnotations(String path);

    /**
     * A run's top genes for one of its patterns (from 0), at most n, ranked as the survey
     * ranks a consensus's: the survey of this run alone. A gene's name is its entry of
     * geneNames.
     */
    static native TopGene[] topGenes(int genes, int samples, double[] amplitudes, double[] patternRows,
            int patterns, int pattern, int n, String[] geneNames);

    /**
     * Writes a study's runs as {@code zarno run} writes its run directory: job.json (data
     * SHA-256 dataSha, or that of the data as a table when null; the arithmetic the plain runs
     * took and the missing cells), the annotations' copy (unless null), then each run's files
     * (a failed run's run.json with its failure) and summary.tsv. A directory that cannot be
     * one, and annotations that do not match the samples, throw IllegalArgumentException before
     * anything is written; a failed write IOException naming the file.
     */
    static native void save(String dir, double[] values, double[] sigmas, String[] geneNames,
            String[] sampleLabels, String dataSha, String uncertSha, int rounds, boolean trace,
            double tolerance, String arithmetic, long missingCells, int[] patterns, int[] chains,
            double[][] amplitudes, double[][] patternRows, double[] chiSquare, double[] ssr, int[] seedA,
            int[] seedP, int[] runRounds, double[] seconds, double[][] traces, String[] failures,
            Object[] annotations) throws java.io.IOException;
}
