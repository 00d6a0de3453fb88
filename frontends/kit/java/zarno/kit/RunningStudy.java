package zarno.kit;

import java.time.Duration;
import java.util.ArrayList;
import java.util.List;
import java.util.concurrent.CancellationException;
import java.util.Set;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ConcurrentHashMap;
import java.util.concurrent.ExecutionException;
import java.util.concurrent.atomic.AtomicBoolean;
import java.util.concurrent.atomic.AtomicInteger;

/**
 * A study that was started: its result to come, its progress, and a way to stop it.
 *
 * <p>The study runs on a thread of its own named {@code zarno-study-N}, which hands the data to
 * native memory once, starts the runs on native worker threads, receives every finished run
 * and calls the {@link ProgressListener}. When the study ends, however it ends, its native
 * memory and worker threads are released before the future completes.
 *
 * <p>The study's thread is a daemon: a study does not keep the JVM alive. A program whose
 * {@code main} returns after {@link Study#start()} exits at once (waiting for the result is
 * {@link #await()} or the future); when the JVM shuts down, every study still running is
 * cancelled and its runs stop within one round before the JVM exits.
 */
public final class RunningStudy {
    private static final AtomicInteger NUMBER = new AtomicInteger();
    private static final long PROGRESS_NANOS = 100_000_000L;
    // Studies whose thread has not ended yet, cancelled by the shutdown hook.
    private static final Set<RunningStudy> LIVE = ConcurrentHashMap.newKeySet();
    private static final AtomicBoolean HOOKED = new AtomicBoolean();
    private static final long SHUTDOWN_WAIT_MILLIS = 10_000;

    private final Study study;
    private final ProgressListener listener;
    private final StudyFuture future = new StudyFuture();
    private final Thread thread;
    private final long startNanos = System.nanoTime();
    private final long totalRounds;

    private final Object lock = new Object();
    private long handle; // native study while it is open
    private volatile boolean cancelRequested;
    private String cancelReason; // why, for the CancellationException; guarded by lock
    private boolean ended; // the outcome is decided; guarded by lock
    private volatile Progress progress;

    private RunningStudy(Study study, ProgressListener listener) {
        this.study = study;
        this.listener = listener;
        this.totalRounds = (long) study.runCount() * study.rounds();
        this.progress = new Progress(0, study.runCount(), 0, totalRounds, Duration.ZERO);
        this.thread = new Thread(this::execute, "zarno-study-" + NUMBER.incrementAndGet());
        this.thread.setDaemon(true);
    }

    static RunningStudy start(Study study, ProgressListener listener) {
        if (HOOKED.compareAndSet(false, true)) {
            try {
                Runtime.getRuntime().addShutdownHook(new Thread(RunningStudy::cancelAll, "zarno-shutdown"));
            } catch (IllegalStateException e) {
                // started while the JVM shuts down: it ends with the JVM's other daemons
            }
        }
        RunningStudy running = new RunningStudy(study, listener);
        LIVE.add(running);
        running.thread.start();
        return running;
    }

    // The shutdown hook: no native run may outlive the JVM's own shutdown.
    private static void cancelAll() {
        for (RunningStudy s : LIVE) {
            s.requestCancel("the JVM is shutting down");
        }
        long deadline = System.nanoTime() + SHUTDOWN_WAIT_MILLIS * 1_000_000L;
        for (RunningStudy s : LIVE) {
            long left = (deadline - System.nanoTime()) / 1_000_000L;
            if (left <= 0) {
                break;
            }
            try {
                s.thread.join(left);
            } catch (InterruptedException e) {
                Thread.currentThread().interrupt();
                return;
            }
        }
    }

    /**
     * The result: completes with the {@link StudyResult}, exceptionally with a {@link
     * ZarnoException} or an exception of the listener, or cancelled (a {@link
     * CancellationException} whose message says why). Cancelling this future cancels the study
     * and waits for it to end (within one round).
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
        return requestCancel("RunningStudy.cancel() was called");
    }

    // The first reason given is the one the CancellationException tells.
    private boolean requestCancel(String reason) {
        synchronized (lock) {
            if (ended) {
                return false;
            }
            if (cancelReason == null) {
                cancelReason = reason;
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
            requestCancel("the thread waiting for it was interrupted");
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

    // The study's thread: the first progress, open, run, close, then the last progress and
    // the future.
    private void execute() {
        try {
            conduct();
        } finally {
            LIVE.remove(this);
        }
    }

    private void conduct() {
        Collector collector = new Collector();
        Throwable failure = null;
        long exportNanos = -1;
        long opened = 0;
        try {
            collector.deliver(progress, System.nanoTime());
            if (!cancelRequested) {
                Dataset d = study.data();
                opened = Native.open(d.valuesArray(), d.sigmasArray(), d.genes(), d.samples(), d.allowsMissing());
                synchronized (lock) {
                    handle = opened;
                    if (cancelRequested) {
                        Native.cancel(opened);
                    }
                }
                exportNanos = Native.run(opened, study.firstRank(), study.lastRank(), study.firstChain(),
                        study.lastChain() - study.firstChain() + 1, study.rounds(), study.trace(), study.tolerance(),
                        study.arithmetic().word(), study.threads(), collector);
                if (exportNanos >= 0) {
                    failure = everyRunFailed(collector.runs);
                }
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
        String reason;
        synchronized (lock) {
            // A cancel requested before the end wins over whatever the runs did meanwhile;
            // a negative export time without one means the study thread was interrupted.
            cancelled = cancelRequested || (failure == null && exportNanos < 0);
            if (cancelled && cancelReason == null) {
                cancelReason = "its thread was interrupted";
            }
            reason = cancelReason;
            ended = true;
        }
        if (!cancelled && failure == null) {
            // The final progress, whatever the study's length (a cancel from it comes too late).
            progress = new Progress(study.runCount(), study.runCount(), totalRounds, totalRounds, elapsed);
            try {
                collector.deliver(progress, System.nanoTime());
            } catch (Throwable t) {
                failure = t;
            }
        }
        // Completed outside the lock: dependent stages run here and may call cancel().
        if (cancelled) {
            future.finishCancelled(reason);
        } else if (failure != null) {
            future.finishExceptionally(failure);
        } else {
            future.finish(new StudyResult(study, collector.runs, elapsed, Duration.ofNanos(exportNanos)));
        }
    }

    // A study whose every run failed has no result: a ZarnoException naming the first few
    // runs and why; null when some run is complete.
    private static ZarnoException everyRunFailed(List<Run> runs) {
        if (runs.isEmpty() || runs.stream().anyMatch(r -> !r.failed())) {
            return null;
        }
        StringBuilder why = new StringBuilder();
        for (int i = 0; i < Math.min(3, runs.size()); i++) {
            Run r = runs.get(i);
            why.append(i == 0 ? "" : "; ").append("k").append(r.patternCount()).append(" c").append(r.chain())
                    .append(": ").append(r.failure().orElseThrow());
        }
        if (runs.size() > 3) {
            why.append("; ...");
        }
        return new ZarnoException("every run of the study failed, so it has no result (" + why
                + "): its numbers are not finite, as when the data's magnitude overflows a round's sums; "
                + "rescale the data (and the uncertainties) by a power of ten");
    }

    /** Receives runs and ticks from the native side, on the study's thread. */
    private final class Collector implements Native.Sink {
        final List<Run> runs = new ArrayList<>(study.runCount());
        private long lastDelivery = System.nanoTime() - PROGRESS_NANOS;

        @Override
        public void run(int patterns, int chain, double[] amplitudes, double[] patternRows, double chiSquare,
                double ssr, int seedA, int seedP, int rounds, double seconds, double[] trace, String failure) {
            runs.add(new Run(patterns, chain, study.data(), amplitudes, patternRows, chiSquare, ssr, seedA, seedP,
                    rounds, seconds, trace, failure));
        }

        @Override
        public boolean tick(int runsDone, long roundsDone) {
            if (Thread.currentThread().isInterrupted()) {
                requestCancel("its thread was interrupted");
            }
            long now = System.nanoTime();
            Progress p = new Progress(runsDone, study.runCount(), Math.min(roundsDone, totalRounds), totalRounds,
                    Duration.ofNanos(now - startNanos));
            progress = p;
            if (!cancelRequested && now - lastDelivery >= PROGRESS_NANOS) {
                deliver(p, now);
            }
            return !cancelRequested;
        }

        void deliver(Progress p, long now) {
            if (listener != null) {
                lastDelivery = now;
                listener.progress(p);
            }
        }
    }

    /** The future handed to users: cancelling it cancels the study. */
    private final class StudyFuture extends CompletableFuture<StudyResult> {
        @Override
        public boolean cancel(boolean mayInterruptIfRunning) {
            requestCancel("its future was cancelled");
            joinUninterruptibly();
            return isCancelled();
        }

        void finish(StudyResult result) {
            super.complete(result);
        }

        void finishExceptionally(Throwable t) {
            super.completeExceptionally(t);
        }

        // Cancelled, with a CancellationException that says why (isCancelled() is true).
        void finishCancelled(String reason) {
            super.completeExceptionally(new CancellationException("the study was cancelled: " + reason));
        }
    }
}
