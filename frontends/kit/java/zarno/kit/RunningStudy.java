package zarno.kit;

import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CancellationException;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * A study that was started: its result to come, its progress, and a way to stop it.
 *
 * <p>The study runs on a thread of its own named {@code zarno-study-N}, which hands the data to
 * native memory once, starts the runs on native worker threads, receives every finished run
 * and calls the {@link ProgressListener}. When the study ends, however it ends, its native
 * memory and worker threads are released before the future completes.
 */
public final class RunningStudy {
    private static final AtomicInteger NUMBER = new AtomicInteger();
    private static final long PROGRESS_NANOS = 100_000_000L;

    private final Study study;
    private final ProgressListener listener;
    private final StudyFuture future = new StudyFuture();
    private final Thread thread;
    private final long startNanos = System.nanoTime();
    private final long totalRounds;

    private final Object lock = new Object();
    private long handle; // native study while it is open
    private volatile boolean cancelRequested;
    private boolean ended; // the outcome is decided; guarded by lock
    private volatile Progress progress;

    private RunningStudy(Study study, ProgressListener listener) {
        this.study = study;
        this.listener = listener;
        this.totalRounds = (long) study.runCount() * study.rounds();
        this.progress = new Progress(0, study.runCount(), 0, totalRounds, Duration.ZERO);
        this.thread = new Thread(this::execute, "zarno-study-" + NUMBER.incrementAndGet());
    }

    static RunningStudy start(Study study, ProgressListener listener) {
        RunningStudy running = new RunningStudy(study, listener);
        running.thread.start();
        return running;
    }

    /**
     * The result: completes with the {@link StudyResult}, exceptionally with a {@link
     * ZarnoException} or an exception of the listener, or cancelled. Cancelling this future
     * cancels the study and waits for it to end (within one round).
     */
    public CompletableFuture<StudyResult> future() {
        return future;
    }

    /**
     * Asks every run to stop within one round; the future then ends with a {@link
     * CancellationException}. Returns at once; {@link #await()} or the future tells when
     * everything was released.
     *
     * @return false when the study had ended already
     */
    public boolean cancel() {
        synchronized (lock) {
            if (ended) {
                return false;
            }
            cancelRequested = true;
            if (handle != 0) {
                Native.cancel(handle);
            }
            return true;
        }
    }

    /** The latest progress; any thread may ask at any time. */
    public Progress progress() {
        return progress;
    }

    /** True once the study has ended and released everything. */
    public boolean isDone() {
        return future.isDone();
    }

    /**
     * Waits for the study to end and returns its result, like {@link Study#run}: interrupting
     * the waiting thread cancels the study, waits for it to stop, and throws {@link
     * CancellationException} with the interrupt flag set.
     *
     * @throws CancellationException when the study was cancelled or the wait interrupted
     * @throws ZarnoException when a run failed; other exceptions of the study (a listener's)
     *     come out unchanged
     */
    public StudyResult await() {
        if (Thread.currentThread() == thread) {
            throw new IllegalStateException("a study cannot wait for itself (called from its own listener)");
        }
        try {
            return future.get();
        } catch (InterruptedException e) {
            cancel();
            joinUninterruptibly();
            Thread.currentThread().interrupt();
            CancellationException c = new CancellationException("the thread waiting for the study was interrupted");
            c.initCause(e);
            throw c;
        } catch (ExecutionException e) {
            Throwable cause = e.getCause();
            if (cause instanceof RuntimeException) {
                throw (RuntimeException) cause;
            }
            if (cause instanceof Error) {
                throw (Error) cause;
            }
            throw new ZarnoException("the study failed: " + cause);
        } finally {
            if (future.isDone()) {
                joinUninterruptibly();
            }
        }
    }

    private void joinUninterruptibly() {
        if (Thread.currentThread() == thread) {
            return; // cancelled from the listener: the study ends once it returns
        }
        boolean interrupted = false;
        while (thread.isAlive()) {
            try {
                thread.join();
            } catch (InterruptedException e) {
                interrupted = true;
            }
        }
        if (interrupted) {
            Thread.currentThread().interrupt();
        }
    }

    // The study's thread: open, run, close, then complete the future.
    private void execute() {
        Collector collector = new Collector();
        Throwable failure = null;
        long exportNanos = -1;
        long opened = 0;
        try {
            if (!cancelRequested) {
                Dataset d = study.data();
                opened = Native.open(d.valuesArray(), d.sigmasArray(), d.genes(), d.samples());
                synchronized (lock) {
                    handle = opened;
                    if (cancelRequested) {
                        Native.cancel(opened);
                    }
                }
                exportNanos = Native.run(opened, study.firstRank(), study.lastRank(), study.firstChain(),
                        study.lastChain() - study.firstChain() + 1, study.rounds(), study.trace(), study.tolerance(), study.threads(),
                        collector);
            }
        } catch (Throwable t) {
            failure = t;
        } finally {
            if (opened != 0) {
                synchronized (lock) {
                    handle = 0;
                }
                Native.close(opened);
            }
        }
        Duration elapsed = Duration.ofNanos(System.nanoTime() - startNanos);
        boolean cancelled;
        synchronized (lock) {
            ended = true;
            // A cancel requested before the end wins over whatever the runs did meanwhile;
            // a negative export time without one means the study thread was interrupted.
            cancelled = cancelRequested || (failure == null && exportNanos < 0);
        }
        // Completed outside the lock: dependent stages run here and may call cancel().
        if (cancelled) {
            future.finishCancelled();
        } else if (failure != null) {
            future.finishExceptionally(failure);
        } else {
            progress = new Progress(study.runCount(), study.runCount(), totalRounds, totalRounds, elapsed);
            future.finish(new StudyResult(study, collector.runs, elapsed, Duration.ofNanos(exportNanos)));
        }
    }

    /** Receives runs and ticks from the native side, on the study's thread. */
    private final class Collector implements Native.Sink {
        final List<Run> runs = new ArrayList<>(study.runCount());
        private long lastDelivery = System.nanoTime() - PROGRESS_NANOS;

        @Override
        public void run(int patterns, int chain, double[] amplitudes, double[] patternRows, double chiSquare,
                double ssr, int seedA, int seedP, int rounds, double seconds, double[] trace) {
            Dataset d = study.data();
            runs.add(new Run(patterns, chain, d.genes(), d.samples(), amplitudes, patternRows, chiSquare, ssr,
                    seedA, seedP, rounds, seconds, trace));
        }

        @Override
        public boolean tick(int runsDone, long roundsDone) {
            if (Thread.currentThread().isInterrupted()) {
                cancelRequested = true;
            }
            long now = System.nanoTime();
            Progress p = new Progress(runsDone, study.runCount(), Math.min(roundsDone, totalRounds), totalRounds,
                    Duration.ofNanos(now - startNanos));
            progress = p;
            if (listener != null && !cancelRequested && now - lastDelivery >= PROGRESS_NANOS) {
                lastDelivery = now;
                listener.progress(p);
            }
            return !cancelRequested;
        }
    }

    /** The future handed to users: cancelling it cancels the study. */
    private final class StudyFuture extends CompletableFuture<StudyResult> {
        @Override
        public boolean cancel(boolean mayInterruptIfRunning) {
            RunningStudy.this.cancel();
            joinUninterruptibly();
            return isCancelled();
        }

        void finish(StudyResult result) {
            super.complete(result);
        }

        void finishExceptionally(Throwable t) {
            super.completeExceptionally(t);
        }

        void finishCancelled() {
            super.cancel(false);
        }
    }
}
