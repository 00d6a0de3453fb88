package zarno.kit;


/**
 * A sweep of factorizations over one {@link Dataset}: every pattern count (rank) of a range,
 * each from several random starts (chains), all in parallel. Immutable: every setter returns a new study,
 * so a study can be kept, shared and extended.
 *
 * <pre>{@code
 * Study study = Study.of(data).ranks(2, 8).chains(20).rounds(2000);
 * StudyResult result = study.run(progress -> System.out.println(progress));
 * Run best = result.best(5);
 * }</pre>
 *
 * <p>Runs are numbered as in the classic job: a run is identified by its pattern count and
 * chain (from 1), and its random start depends on those two alone, so the run of a (pattern
 * count, chain) is always the same run. {@link #chains(int, int)} extends a study with new
 * starts without repeating the old ones.
 *
 * <p>Defaults, those of {@code zarno run}: ranks 2 to 6 (at most the data's smaller dimension),
 * chains 1 to 10, at most 2000 rounds with the convergence stop at {@link #DEFAULT_TOLERANCE},
 * the Gram form for unweighted data ({@link Arithmetic#GRAM}), every processor this process may
 * use, no trace. {@code tolerance(0)} with {@code arithmetic(Arithmetic.CLASSIC)} gives every run
 * all its rounds in the classic arithmetic: the classic job's runs, bit for bit.
 */
public final class Study {
    // The first chain's seeds are these bases plus pattern count and chain, in 32 bits.
    private static final int SEED_BASE = 876543212;

    /**
     * The default convergence stop, 1e-6: the command's default ({@code kStudyTolerance} of the
     * core), the largest tolerance that kept every accuracy figure of the survey's evaluation at
     * its level with all rounds (docs/survey.md, "The default stop").
     */
    public static final double DEFAULT_TOLERANCE = 1e-6;

    // The settings: each setter fills a fresh copy before the new Study is made, so that the
    // final field publishes them whole to every thread. New options go here and into copy().
    private static final class Options {
        Dataset data;
        int firstRank;
        int lastRank;
        int firstChain;
        int lastChain;
        int rounds;
        int threads; // 0: every processor
        boolean trace;
        double tolerance; // 0: fixed rounds
        Arithmetic arithmetic; // of unweighted runs

        Options copy() {
            Options c = new Options();
            c.data = data;
            c.firstRank = firstRank;
            c.lastRank = lastRank;
            c.firstChain = firstChain;
            c.lastChain = lastChain;
            c.rounds = rounds;
            c.threads = threads;
            c.trace = trace;
            c.tolerance = tolerance;
            c.arithmetic = arithmetic;
            return c;
        }
    }

    private final Options o;

    private Study(Options o) {
        this.o = o;
    }

    /** A study of the data with the defaults. */
    public static Study of(Dataset data) {
        if (data == null) {
            throw new IllegalArgumentException("data is null");
        }
        int most = Math.min(data.genes(), data.samples());
        Options o = new Options();
        o.data = data;
        o.firstRank = Math.min(2, most);
        o.lastRank = Math.min(6, most);
        o.firstChain = 1;
        o.lastChain = 10;
        o.rounds = 2000;
        o.tolerance = DEFAULT_TOLERANCE;
        o.arithmetic = Arithmetic.GRAM;
        return new Study(o);
    }

    /**
     * Ranks (pattern counts) {@code from} to {@code to}, inclusive, as {@code zarno run --ranks
     * FROM:TO}.
     *
     * @throws IllegalArgumentException when {@code from < 1}, {@code to < from}, or {@code to}
     *     exceeds the data's genes or samples
     */
    public Study ranks(int from, int to) {
        if (from < 1) {
            throw new IllegalArgumentException("the first rank must be at least 1, not " + from);
        }
        if (to < from) {
            throw new IllegalArgumentException("the last rank (" + to + ") is below the first (" + from + ")");
        }
        Dataset data = o.data;
        if (to > data.samples() || to > data.genes()) {
            boolean samples = data.samples() <= data.genes();
            throw new IllegalArgumentException("ranks up to " + to + " exceed the data's "
                    + (samples ? data.samples() + " samples" : data.genes() + " genes")
                    + "; a study finds at most as many patterns as the data have samples and genes");
        }
        if (((long) data.genes() + data.samples()) * to > Integer.MAX_VALUE) {
            throw new IllegalArgumentException("ranks up to " + to
                    + " make (genes + samples) x patterns exceed 32 bits");
        }
        Options x = o.copy();
        x.firstRank = from;
        x.lastRank = to;
        return new Study(x);
    }

    /** A single rank: {@code ranks(rank, rank)}. */
    public Study rank(int rank) {
        return ranks(rank, rank);
    }

    /** Chains 1 to {@code count}. */
    public Study chains(int count) {
        if (count < 1) {
            throw new IllegalArgumentException("chains must be at least 1, not " + count);
        }
        return chains(1, count);
    }

    /**
     * Chains {@code from} to {@code to}, inclusive, numbered as in the classic job: {@code
     * chains(11, 20)} adds ten new starts to a study of {@code chains(10)}.
     *
     * @throws IllegalArgumentException when {@code from < 1}, {@code to < from} or the start
     *     seeds would exceed 32 bits
     */
    public Study chains(int from, int to) {
        if (from < 1) {
            throw new IllegalArgumentException("the first chain must be at least 1, not " + from);
        }
        if (to < from) {
            throw new IllegalArgumentException("the last chain (" + to + ") is below the first (" + from + ")");
        }
        Options x = o.copy();
        x.firstChain = from;
        x.lastChain = to;
        return new Study(x);
    }

    /**
     * Update rounds per run (each round moves the patterns, then the amplitudes).
     *
     * @throws IllegalArgumentException when negative
     */
    public Study rounds(int rounds) {
        if (rounds < 0) {
            throw new IllegalArgumentException("rounds must not be negative, not " + rounds);
        }
        Options x = o.copy();
        x.rounds = rounds;
        return new Study(x);
    }

    /**
     * Runs computed at the same time, one per thread. Results do not depend on it.
     *
     * @throws IllegalArgumentException when below 1
     */
    public Study threads(int threads) {
        if (threads < 1) {
            throw new IllegalArgumentException("threads must be at least 1, not " + threads);
        }
        Options x = o.copy();
        x.threads = threads;
        return new Study(x);
    }

    /** Whether runs record their chi-square every 10 rounds ({@link Run#trace()}); costs a pass each. */
    public Study trace(boolean trace) {
        Options x = o.copy();
        x.trace = trace;
        return new Study(x);
    }

    /**
     * Ends each run early once its fit stops moving: chi-square is taken every 10 rounds, and
     * the run stops when its relative change, fall or rise, has stayed below {@code tolerance}
     * for three tests in a row ({@link Run#rounds()} then says how many it used; {@link
     * Progress#rounds()} is an upper bound). The default is {@link #DEFAULT_TOLERANCE}, as {@code
     * zarno run}'s. 0 runs every round, as {@code zarno run --tolerance 0}: only then is a run
     * the classic job's run bit for bit (with {@link Arithmetic#CLASSIC} for unweighted data).
     *
     * @param tolerance the relative change of chi-square below which a run counts as settled
     * @return the study with this tolerance
     * @throws IllegalArgumentException when negative, not finite, or 1 or more
     */
    public Study tolerance(double tolerance) {
        if (!(tolerance >= 0 && tolerance < 1)) {
            throw new IllegalArgumentException("tolerance must be at least 0 and below 1, not " + tolerance);
        }
        Options x = o.copy();
        x.tolerance = tolerance;
        return new Study(x);
    }

    /**
     * How the runs of unweighted data compute their rounds: {@link Arithmetic#GRAM} (the
     * default, as {@code zarno run}'s) or {@link Arithmetic#CLASSIC}, the classic entry's
     * arithmetic and bits ({@code zarno run --arithmetic classic}). Weighted data and data with
     * missing cells take the weighted round whatever is asked ({@link StudyResult#arithmetic()}).
     *
     * @param arithmetic the arithmetic of unweighted runs
     * @return the study with it
     * @throws IllegalArgumentException when null
     */
    public Study arithmetic(Arithmetic arithmetic) {
        if (arithmetic == null) {
            throw new IllegalArgumentException("arithmetic is null");
        }
        Options x = o.copy();
        x.arithmetic = arithmetic;
        return new Study(x);
    }

    /** @return the data of the study */
    public Dataset data() {
        return o.data;
    }

    /** @return the first rank (pattern count) */
    public int firstRank() {
        return o.firstRank;
    }

    /** @return the last rank (pattern count) */
    public int lastRank() {
        return o.lastRank;
    }

    /** @return the first chain */
    public int firstChain() {
        return o.firstChain;
    }

    /** @return the last chain */
    public int lastChain() {
        return o.lastChain;
    }

    /** @return update rounds per run */
    public int rounds() {
        return o.rounds;
    }

    /** Threads set by {@link #threads(int)}, or 0 for every processor. */
    public int threads() {
        return o.threads;
    }

    /** @return whether runs record their chi-square every 10 rounds */
    public boolean trace() {
        return o.trace;
    }

    /** @return the convergence tolerance; 0 runs every round */
    public double tolerance() {
        return o.tolerance;
    }

    /** @return the arithmetic asked for unweighted runs */
    public Arithmetic arithmetic() {
        return o.arithmetic;
    }

    /** The number of runs: ranks times chains. */
    public int runCount() {
        return (o.lastRank - o.firstRank + 1) * (o.lastChain - o.firstChain + 1);
    }

    /** Runs the study without progress; see {@link #run(ProgressListener)}. */
    public StudyResult run() {
        return run(null);
    }

    /**
     * Runs the study and blocks until every run is done. The runs go on threads of the study's
     * own; progress reaches the listener on the thread named {@code zarno-study-N} (see {@link
     * ProgressListener}).
     *
     * <p>Interrupting the calling thread cancels the study: every run stops within one round,
     * the study's threads and native memory are released, and then this method throws {@link
     * java.util.concurrent.CancellationException} with the thread's interrupt flag set.
     *
     * @param listener receives the progress, or null
     * @throws java.util.concurrent.CancellationException when interrupted
     * @throws ZarnoException when a run failed (for instance, its matrices could not be allocated)
     * @throws UnsatisfiedLinkError when the native library cannot be loaded
     */
    public StudyResult run(ProgressListener listener) {
        return start(listener).await();
    }

    /** Starts the study without progress; see {@link #start(ProgressListener)}. */
    public RunningStudy start() {
        return start(null);
    }

    /**
     * Starts the study on threads of its own and returns at once. The handle gives the result
     * as a {@link java.util.concurrent.CompletableFuture}, the progress, and {@link
     * RunningStudy#cancel()}.
     *
     * @param listener receives the progress on the study's thread, or null
     * @throws UnsatisfiedLinkError when the native library cannot be loaded
     */
    public RunningStudy start(ProgressListener listener) {
        if ((long) o.lastRank + o.lastChain > Integer.MAX_VALUE - (long) SEED_BASE) {
            throw new IllegalArgumentException("the last rank + the last chain = "
                    + ((long) o.lastRank + o.lastChain) + "; the start seeds allow at most "
                    + (Integer.MAX_VALUE - (long) SEED_BASE));
        }
        NativeLoader.load();
        return RunningStudy.start(this, listener);
    }

    @Override
    public String toString() {
        return "Study[" + o.data + ", ranks " + o.firstRank + ".." + o.lastRank + ", chains " + o.firstChain
                + ".." + o.lastChain + ", " + o.rounds + " rounds"
                + (o.tolerance > 0 ? " or until settled to " + o.tolerance : "")
                + ", " + o.arithmetic.word() + " arithmetic when unweighted"
                + ", " + (o.threads == 0 ? "all" : o.threads) + " threads]";
    }
}
