package zarno.kit;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Collections;
import java.util.Comparator;
import java.util.List;
import java.util.NoSuchElementException;
import java.util.stream.Collectors;
import java.util.stream.Stream;

/**
 * Every run of a finished study, in job order (pattern counts outer, chains inner), failed runs
 * included ({@link Run#failed()}). Immutable.
 */
public final class StudyResult {
    private final Study study;
    private final List<Run> runs;
    private final Duration elapsed;
    private final Duration exportTime;
    private final Arithmetic arithmetic;
    private Survey survey; // computed on first use; guarded by this

    StudyResult(Study study, List<Run> runs, Duration elapsed, Duration exportTime) {
        this.study = study;
        this.runs = Collections.unmodifiableList(new ArrayList<>(runs));
        this.elapsed = elapsed;
        this.exportTime = exportTime;
        Dataset d = study.data();
        this.arithmetic = Arithmetic.of(Native.arithmetic(d.weighted(), d.missingCells() > 0, study.arithmetic().word()));
    }

    /** The study that gave these runs. */
    public Study study() {
        return study;
    }

    /** Every run, in job order (unmodifiable). */
    public List<Run> runs() {
        return runs;
    }

    /**
     * The runs of one pattern count, by chain.
     *
     * @throws IllegalArgumentException when the study did not run that pattern count
     */
    public List<Run> runs(int patternCount) {
        checkRank(patternCount);
        List<Run> list = new ArrayList<>();
        for (Run r : runs) {
            if (r.patternCount() == patternCount) {
                list.add(r);
            }
        }
        return Collections.unmodifiableList(list);
    }

    /**
     * The run of a pattern count and chain.
     *
     * @throws IllegalArgumentException when the study did not run it
     */
    public Run run(int patternCount, int chain) {
        checkRank(patternCount);
        if (chain < study.firstChain() || chain > study.lastChain()) {
            throw new IllegalArgumentException("chain " + chain + " is not in the study's chains "
                    + study.firstChain() + " to " + study.lastChain());
        }
        int chains = study.lastChain() - study.firstChain() + 1;
        return runs.get((patternCount - study.firstRank()) * chains + chain - study.firstChain());
    }

    /** The runs that failed ({@link Run#failure()} says why), in job order (unmodifiable). */
    public List<Run> failedRuns() {
        return runs.stream().filter(Run::failed).collect(Collectors.toUnmodifiableList());
    }

    /**
     * The complete run of a pattern count with the lowest chi-square (the lowest chain among
     * equals); failed runs are passed over.
     *
     * @throws IllegalArgumentException when the study did not run that pattern count
     * @throws NoSuchElementException when every run of that pattern count failed
     */
    public Run best(int patternCount) {
        return runs(patternCount).stream().filter(r -> !r.failed())
                .min(Comparator.comparingDouble(Run::chiSquare).thenComparingInt(Run::chain))
                .orElseThrow(() -> new NoSuchElementException("every run of " + patternCount + " patterns failed: "
                        + run(patternCount, study.firstChain())));
    }

    /**
     * The arithmetic the runs took: {@link Study#arithmetic()} for unweighted data without
     * missing cells, else {@link Arithmetic#CLASSIC} (the weighted round), as the core decides;
     * what {@link #save(Path)} records in {@code job.json}.
     */
    public Arithmetic arithmetic() {
        return arithmetic;
    }

    /**
     * The rank survey of the study's runs: per pattern count its fit, consensus and stability,
     * and the suggested pattern count, the same figures as {@code zarno survey}. Computed on the
     * first call (on the calling thread) and kept.
     *
     * @return the survey
     */
    public synchronized Survey survey() {
        if (survey == null) {
            survey = Survey.of(this, null);
        }
        return survey;
    }

    /**
     * The rank survey of {@link #survey()} with how it follows the sample annotations, as {@code
     * zarno survey DIR --annotations FILE} computes it: {@link Survey#agreement()} holds, per
     * pattern count, the adjusted Rand index and normalized mutual information of the consensus
     * clusters with each column of categories, each consensus pattern's eta squared or
     * correlation, the best-agreeing column, and likely batch effects. The suggestion is the
     * same: it never reads the annotations. Computed on each call.
     *
     * @param annotations one row per sample label of the data
     * @return the survey with its agreement
     * @throws IllegalArgumentException when a row names a label that is not the data's, a sample
     *     of the data has no row, or a batch column is not in the table, naming them
     */
    public Survey survey(Annotations annotations) {
        if (annotations == null) {
            throw new IllegalArgumentException("annotations is null");
        }
        return Survey.of(this, annotations);
    }

    /**
     * Writes the runs as {@code zarno run} writes its run directory: {@code job.json}, per run
     * {@code runs/k<P>/c<C>/} with {@code amplitudes.tsv}, {@code patterns.tsv} and {@code
     * run.json}, and {@code summary.tsv}, by the command's own writer, each file written whole
     * or not at all. {@code zarno survey DIR} and {@code zarno report DIR} take the directory
     * as they take the command's. Data read from files ({@link Dataset#read(Path, Path)}) keep
     * those files' checksums, so that {@code zarno run} on the same files, with the same rounds,
     * trace, tolerance and arithmetic (the defaults on both sides), {@code --resume}s it: it
     * finds these runs complete and computes only the others. {@code job.json} records the
     * {@link #arithmetic()} and, when cells are missing, how many, as the command's does. A
     * failed run's {@code run.json} says it failed and why, without matrices.
     *
     * @param dir a directory that does not exist yet (it is created, with its parents) or is empty
     * @throws IllegalArgumentException when {@code dir} exists and is not an empty directory
     * @throws IOException when a file cannot be written (a full disk, no permission), naming it
     */
    public void save(Path dir) throws IOException {
        saveWith(dir, null);
    }

    /**
     * {@link #save(Path)}, with the sample annotations kept in the run directory as {@code zarno
     * run --annotations FILE} keeps them ({@code annotations.tsv}, {@code annotations.json}), so
     * that {@code zarno survey DIR} and {@code zarno report DIR} measure their agreement.
     *
     * @param dir a directory that does not exist yet or is empty
     * @param annotations one row per sample label of the data
     * @throws IllegalArgumentException as {@link #save(Path)}, and when the annotations do not
     *     match the samples (naming the label or samples), before anything is written
     * @throws IOException when a file cannot be written, naming it
     */
    public void save(Path dir, Annotations annotations) throws IOException {
        if (annotations == null) {
            throw new IllegalArgumentException("annotations is null");
        }
        saveWith(dir, annotations);
    }

    private void saveWith(Path dir, Annotations annotations) throws IOException {
        if (dir == null) {
            throw new IllegalArgumentException("the directory is null");
        }
        if (Files.exists(dir)) {
            if (!Files.isDirectory(dir)) {
                throw new IllegalArgumentException(dir + " exists and is not a directory");
            }
            try (Stream<Path> entries = Files.list(dir)) {
                if (entries.findAny().isPresent()) {
                    throw new IllegalArgumentException(dir + " is not empty: a study is saved into a new or empty "
                            + "directory");
                }
            }
        }
        RunColumns r = new RunColumns(runs);
        Dataset d = study.data();
        Native.save(dir.toString(), d.valuesArray(), d.sigmasArray(), d.geneNames().toArray(new String[0]),
                d.sampleLabels().toArray(new String[0]), d.dataSha256(), d.uncertSha256(), study.rounds(),
                study.trace(), study.tolerance(), arithmetic.word(), d.missingCells(), r.patterns, r.chains,
                r.amplitudes, r.patternRows, r.chiSquare, r.ssr, r.seedA, r.seedP, r.rounds, r.seconds, r.traces,
                r.failures, annotations == null ? null : annotations.parts());
    }

    /** Wall time of the study, from start to the last result. */
    public Duration elapsed() {
        return elapsed;
    }

    /** The part of {@link #elapsed()} spent copying results from native memory into Java. */
    public Duration exportTime() {
        return exportTime;
    }

    private void checkRank(int patternCount) {
        if (patternCount < study.firstRank() || patternCount > study.lastRank()) {
            throw new IllegalArgumentException(patternCount + " patterns is not in the study's ranks "
                    + study.firstRank() + " to " + study.lastRank());
        }
    }

    @Override
    public String toString() {
        return "StudyResult[" + runs.size() + " runs of " + study + "]";
    }
}
