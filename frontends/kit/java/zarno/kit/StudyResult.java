package zarno.kit;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.time.Duration;
import java.util.ArrayList;
import java.util.Collections;
import java.util.Comparator;
import java.util.List;
import java.util.stream.Stream;

/** Every run of a finished study, in job order (pattern counts outer, chains inner). Immutable. */
public final class StudyResult {
    private final Study study;
    private final List<Run> runs;
    private final Duration elapsed;
    private final Duration exportTime;
    private Survey survey; // computed on first use; guarded by this

    StudyResult(Study study, List<Run> runs, Duration elapsed, Duration exportTime) {
        this.study = study;
        this.runs = Collections.unmodifiableList(new ArrayList<>(runs));
        this.elapsed = elapsed;
        this.exportTime = exportTime;
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

    /**
     * The run of a pattern count with the lowest chi-square (the lowest chain among equals).
     *
     * @throws IllegalArgumentException when the study did not run that pattern count
     */
    public Run best(int patternCount) {
        return runs(patternCount).stream()
                .min(Comparator.comparingDouble(Run::chiSquare).thenComparingInt(Run::chain))
                .orElseThrow(AssertionError::new);
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
            survey = Survey.of(this);
        }
        return survey;
    }

    /**
     * Writes the runs as {@code zarno run} writes its run directory: {@code job.json}, per run
     * {@code runs/k<P>/c<C>/} with {@code amplitudes.tsv}, {@code patterns.tsv} and {@code
     * run.json}, and {@code summary.tsv}, by the command's own writer, each file written whole
     * or not at all. {@code zarno survey DIR} and {@code zarno report DIR} take the directory
     * as they take the command's. Data read from files ({@link Dataset#read(Path, Path)}) keep
     * those files' checksums, so that {@code zarno run} on the same files, with the same rounds,
     * trace and tolerance, {@code --resume}s it: it finds these runs complete and computes only
     * the others.
     *
     * @param dir a directory that does not exist yet (it is created, with its parents) or is empty
     * @throws IllegalArgumentException when {@code dir} exists and is not an empty directory
     * @throws IOException when a file cannot be written (a full disk, no permission), naming it
     */
    public void save(Path dir) throws IOException {
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
                study.trace(), study.tolerance(), r.patterns, r.chains, r.amplitudes, r.patternRows, r.chiSquare,
                r.ssr, r.seedA, r.seedP, r.rounds, r.seconds, r.traces);
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
