package zarno.kit;

import java.time.Duration;
import java.util.Optional;

/** Where a study stands: runs and rounds done of all, time spent, and an estimate of the rest. Immutable. */
public final class Progress {
    private final int runsDone;
    private final int runs;
    private final long roundsDone;
    private final long rounds;
    private final Duration elapsed;

    Progress(int runsDone, int runs, long roundsDone, long rounds, Duration elapsed) {
        this.runsDone = runsDone;
        this.runs = runs;
        this.roundsDone = roundsDone;
        this.rounds = rounds;
        this.elapsed = elapsed;
    }

    /** Runs finished. */
    public int runsDone() {
        return runsDone;
    }

    /** Runs of the study. */
    public int runs() {
        return runs;
    }

    /** Update rounds done by all runs, including those still going. */
    public long roundsDone() {
        return roundsDone;
    }

    /** Update rounds of the whole study. */
    public long rounds() {
        return rounds;
    }

    /** Rounds done as a fraction of all, from 0 to 1. */
    public double fraction() {
        return rounds == 0 ? 1.0 : Math.min(1.0, (double) roundsDone / rounds);
    }

    /** Wall time since the study started. */
    public Duration elapsed() {
        return elapsed;
    }

    /**
     * The time left if the remaining rounds go at the pace of those done; empty until a round is
     * done.
     */
    public Optional<Duration> timeLeft() {
        if (roundsDone <= 0) {
            return Optional.empty();
        }
        double left = (double) Math.max(0, rounds - roundsDone) / roundsDone;
        return Optional.of(Duration.ofNanos((long) (elapsed.toNanos() * left)));
    }

    @Override
    public String toString() {
        return String.format(java.util.Locale.ROOT, "%d of %d runs, %.1f%% of rounds", runsDone, runs,
                100 * fraction());
    }
}
