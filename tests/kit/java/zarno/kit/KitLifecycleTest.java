package zarno.kit;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertFalse;
import static org.junit.jupiter.api.Assertions.assertSame;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.util.ArrayList;
import java.util.Collections;
import java.util.List;
import java.util.concurrent.CancellationException;
import java.util.concurrent.CompletableFuture;
import java.util.concurrent.ExecutorService;
import java.util.concurrent.Executors;
import java.util.concurrent.Future;
import java.util.concurrent.TimeUnit;
import java.util.concurrent.atomic.AtomicReference;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;
import org.junit.jupiter.api.Timeout;

/** Progress, cancellation, interruption, failures and concurrent studies. */
class KitLifecycleTest {
    // Runs that cannot end by themselves within any test's time (every round: no stop).
    static Study endless() {
        return Study.of(KitData.dataset(200, 30, 21)).ranks(2, 4).chains(4).rounds(50_000_000).tolerance(0).threads(2);
    }

    static void awaitRounds(RunningStudy running) throws InterruptedException {
        while (running.progress().roundsDone() == 0) {
            Thread.sleep(5);
        }
    }

    @AfterEach
    void nothingIsLeftBehind() {
        assertEquals(0, Native.openStudies(), "native studies left open");
        assertEquals(0, KitData.studyThreads(), "study threads left running");
    }

    @Test
    @Timeout(300)
    void progressComesOnTheStudysThreadAtMostEvery100ms() throws Exception {
        List<Progress> seen = Collections.synchronizedList(new ArrayList<>());
        List<String> threads = Collections.synchronizedList(new ArrayList<>());
        RunningStudy running = endless().start(p -> {
            seen.add(p);
            threads.add(Thread.currentThread().getName());
        });
        while (seen.size() < 4) {
            Thread.sleep(20);
        }
        running.cancel();
        assertThrows(CancellationException.class, running::await);
        for (int i = 0; i < seen.size(); i++) {
            Progress p = seen.get(i);
            assertTrue(threads.get(i).matches("zarno-study-\\d+"), threads.get(i));
            assertEquals(threads.get(0), threads.get(i));
            assertEquals(12, p.runs());
            assertEquals(12L * 50_000_000, p.rounds());
            assertTrue(p.fraction() >= 0 && p.fraction() <= 1, p.toString());
            if (i > 0) {
                Progress q = seen.get(i - 1);
                assertTrue(p.elapsed().minus(q.elapsed()).toMillis() >= 100, q.elapsed() + " then " + p.elapsed());
                assertTrue(p.runsDone() >= q.runsDone() && p.roundsDone() >= q.roundsDone());
            }
            assertEquals(p.roundsDone() > 0, p.timeLeft().isPresent());
        }
        assertTrue(seen.get(seen.size() - 1).roundsDone() > 0);
        // A finished study's progress says so, whatever its listener last saw.
        RunningStudy small = Study.of(KitData.dataset(30, 8, 22)).ranks(2, 3).chains(2).rounds(40).start();
        StudyResult result = small.await();
        assertEquals(4, small.progress().runsDone());
        assertEquals(1.0, small.progress().fraction());
        assertTrue(result.exportTime().compareTo(result.elapsed()) < 0);
    }

    @Test
    void cancelStopsEveryRunAndEndsCancelled() throws Exception {
        RunningStudy running = endless().start();
        awaitRounds(running);
        assertTrue(running.cancel());
        assertThrows(CancellationException.class, () -> running.future().get(5, TimeUnit.MINUTES));
        assertThrows(CancellationException.class, running::await);
        assertTrue(running.future().isCancelled());
        assertFalse(running.cancel(), "an ended study cannot be cancelled again");
        // Cancelled before its thread could open anything.
        RunningStudy early = endless().start();
        early.cancel();
        assertThrows(CancellationException.class, early::await);
    }

    @Test
    void cancellingTheFutureCancelsTheStudy() throws Exception {
        RunningStudy running = endless().start();
        awaitRounds(running);
        CompletableFuture<StudyResult> future = running.future();
        CompletableFuture<Integer> dependent = future.thenApply(r -> r.runs().size());
        assertTrue(future.cancel(true));
        // cancel(...) returned after the study let go of everything.
        assertEquals(0, Native.openStudies());
        assertTrue(dependent.isCompletedExceptionally());
        assertThrows(CancellationException.class, running::await);
    }

    @Test
    void interruptingTheWaitingThreadCancelsTheStudy() throws Exception {
        AtomicReference<Throwable> thrown = new AtomicReference<>();
        AtomicReference<Boolean> flag = new AtomicReference<>();
        Thread waiter = new Thread(() -> {
            try {
                endless().run();
            } catch (Throwable t) {
                thrown.set(t);
                flag.set(Thread.currentThread().isInterrupted());
            }
        });
        waiter.start();
        while (Native.openStudies() == 0) {
            Thread.sleep(5);
        }
        waiter.interrupt();
        waiter.join(TimeUnit.MINUTES.toMillis(5));
        assertFalse(waiter.isAlive());
        assertTrue(thrown.get() instanceof CancellationException, String.valueOf(thrown.get()));
        assertTrue(flag.get(), "the interrupt flag stays set");
        // run() returned only once the study was gone.
        assertEquals(0, Native.openStudies());
    }

    @Test
    void aListenersExceptionEndsTheStudyAndComesOutUnchanged() {
        IllegalStateException boom = new IllegalStateException("listener failed");
        IllegalStateException e = assertThrows(IllegalStateException.class, () -> endless().run(p -> {
            throw boom;
        }));
        assertSame(boom, e);
        // A listener may cancel its own study (its first call may come before start returns).
        AtomicReference<RunningStudy> self = new AtomicReference<>();
        RunningStudy running = endless().start(p -> {
            if (self.get() != null) {
                self.get().cancel();
            }
        });
        self.set(running);
        assertThrows(CancellationException.class, running::await);
    }

    @Test
    void concurrentStudiesGiveWhatEachGivesAlone() throws Exception {
        List<Study> studies = new ArrayList<>();
        for (int i = 0; i < 6; i++) {
            studies.add(Study.of(KitData.dataset(60 + 10 * i, 12, 30 + i)).ranks(2, 4).chains(2).rounds(120)
                    .threads(1 + i % 3));
        }
        List<StudyResult> alone = new ArrayList<>();
        for (Study s : studies) {
            alone.add(s.run());
        }
        ExecutorService pool = Executors.newFixedThreadPool(4);
        try {
            for (int round = 0; round < 2; round++) {
                List<Future<StudyResult>> together = new ArrayList<>();
                for (Study s : studies) {
                    together.add(pool.submit(() -> s.run()));
                }
                for (int i = 0; i < studies.size(); i++) {
                    KitData.assertSameRuns(alone.get(i).runs(), together.get(i).get(5, TimeUnit.MINUTES).runs());
                }
            }
        } finally {
            pool.shutdown();
            assertTrue(pool.awaitTermination(1, TimeUnit.MINUTES));
        }
    }
}
