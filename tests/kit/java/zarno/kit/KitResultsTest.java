package zarno.kit;

import static org.junit.jupiter.api.Assertions.assertEquals;
import static org.junit.jupiter.api.Assertions.assertThrows;
import static org.junit.jupiter.api.Assertions.assertTrue;

import java.io.IOException;
import java.util.ArrayList;
import java.util.Collections;
import java.util.HashSet;
import java.util.List;
import java.util.Set;
import java.util.concurrent.CancellationException;
import java.util.function.Function;
import java.util.stream.Collectors;
import org.junit.jupiter.api.AfterEach;
import org.junit.jupiter.api.Test;

/** Labelled and indexed results, their top genes, the first and final progress, and why a study was cancelled. */
class KitResultsTest {
    @AfterEach
    void nothingIsLeftBehind() {
        assertEquals(0, Native.openStudies(), "native studies left open");
    }

    static String outOfRange(Runnable r) {
        return assertThrows(IndexOutOfBoundsException.class, r::run).getMessage();
    }

    @Test
    void runsAndConsensusesCarryTheirLabelsAndAnswerByIndexOrName() throws IOException {
        Dataset data = KitSurveyTest.sample();
        StudyResult result = Study.of(data).ranks(3, 3).chains(2).rounds(200).threads(2).run();
        Run run = result.run(3, 2);
        assertEquals(data.geneNames(), run.geneNames());
        assertEquals(data.sampleLabels(), run.sampleLabels());
        double[] a = run.amplitudes();
        double[] p = run.patterns();
        for (int k = 0; k < 3; k++) {
            double[] column = run.amplitudes(k);
            for (int g = 0; g < 300; g += 37) {
                assertEquals(a[g * 3 + k], run.amplitude(g, k));
                assertEquals(a[g * 3 + k], run.amplitude(data.geneNames().get(g), k));
                assertEquals(a[g * 3 + k], column[g]);
            }
            for (int s = 0; s < 20; s++) {
                assertEquals(p[k * 20 + s], run.patternValue(k, s));
                assertEquals(p[k * 20 + s], run.patternValue(k, data.sampleLabels().get(s)));
            }
        }
        assertEquals("gene 300 is outside 0 to 299 (300 genes)", outOfRange(() -> run.amplitude(300, 0)));
        assertEquals("pattern 3 is outside 0 to 2 (3 patterns)", outOfRange(() -> run.amplitude(0, 3)));
        assertEquals("sample -1 is outside 0 to 19 (20 samples)", outOfRange(() -> run.patternValue(0, -1)));
        assertEquals("pattern -1 is outside 0 to 2 (3 patterns)", outOfRange(() -> run.pattern(-1)));
        assertEquals("gene 300 is outside 0 to 299 (300 genes)", outOfRange(() -> data.value(300, 0)));
        assertEquals("sample 20 is outside 0 to 19 (20 samples)", outOfRange(() -> data.sigma(0, 20)));
        assertEquals("no gene is named \"nope\"",
                assertThrows(IllegalArgumentException.class, () -> run.amplitude("nope", 0)).getMessage());
        assertEquals("no sample is named \"s99\"",
                assertThrows(IllegalArgumentException.class, () -> run.patternValue(0, "s99")).getMessage());

        CountSurvey c = result.survey().count(3);
        assertEquals(data.geneNames(), c.geneNames());
        double[] mean = c.amplitudeMean();
        double[] rows = c.patternMean();
        assertEquals(mean[17 * 3 + 1], c.amplitude(17, 1));
        assertEquals(mean[17 * 3 + 1], c.amplitude("g018", 1));
        assertEquals(rows[2 * 20 + 5], c.patternValue(2, data.sampleLabels().get(5)));
        assertEquals("pattern 3 is outside 0 to 2 (3 patterns)", outOfRange(() -> c.topGenes(3)));
        assertEquals("pattern 3 is outside 0 to 2 (3 patterns)", outOfRange(() -> c.patternValue(3, 0)));
    }

    static List<String> names(List<TopGene> top) {
        return top.stream().map(TopGene::name).collect(Collectors.toList());
    }

    @Test
    void topGenesAreTheSurveysRankingNamedAndAsLongAsAsked() throws IOException {
        Dataset data = KitSurveyTest.sample();
        StudyResult one = Study.of(data).ranks(3, 3).chains(1).rounds(300).threads(2).run();
        Run run = one.run(3, 1);
        CountSurvey c = one.survey().count(3);
        // One chain: its consensus is the run, so the survey's lists are the run's, in
        // another order of patterns.
        Set<List<String>> fromSurvey = new HashSet<>();
        Set<List<String>> fromRun = new HashSet<>();
        for (int k = 0; k < 3; k++) {
            fromSurvey.add(names(c.topGenes(k)));
            fromRun.add(names(run.topGenes(k, 20)));
            assertEquals(names(c.topGenes(k)), names(c.topGenes(k, 20)));
            List<TopGene> top = run.topGenes(k, 50);
            assertTrue(top.size() <= 50, top.toString());
            assertEquals(names(top.subList(0, Math.min(20, top.size()))), names(run.topGenes(k, 20)));
            for (int i = 0; i < top.size(); i++) {
                TopGene t = top.get(i);
                assertEquals(data.geneNames().get(t.gene()), t.name());
                assertEquals(run.amplitude(t.gene(), k), t.amplitude());
                for (int j = 0; j < 3; j++) {
                    assertTrue(run.amplitude(t.gene(), j) <= t.amplitude(), "listed where its share is largest");
                }
                if (i > 0) {
                    assertTrue(top.get(i - 1).score() >= t.score(), top.toString());
                }
            }
        }
        assertEquals(fromSurvey, fromRun);
        // Every gene with an amplitude above zero is listed for the pattern of its largest share.
        Set<Integer> listed = new HashSet<>();
        for (int k = 0; k < 3; k++) {
            run.topGenes(k, 1000).forEach(t -> listed.add(t.gene()));
        }
        for (int g = 0; g < 300; g++) {
            boolean positive = run.amplitude(g, 0) > 0 || run.amplitude(g, 1) > 0 || run.amplitude(g, 2) > 0;
            assertEquals(positive, listed.contains(g), "gene " + g);
        }
        assertEquals(List.of(), run.topGenes(0, 0));
        assertEquals("pattern 3 is outside 0 to 2 (3 patterns)", outOfRange(() -> run.topGenes(3, 5)));
        assertThrows(IllegalArgumentException.class, () -> run.topGenes(0, -1));
        // One pattern: every gene's share is 1, so the score ranks by amplitude.
        Run single = Study.of(data).rank(1).chains(1).rounds(50).run().run(1, 1);
        List<TopGene> top = single.topGenes(0, 5);
        List<Double> amplitudes = new ArrayList<>();
        for (TopGene t : top) {
            assertEquals(1.0, t.share());
            amplitudes.add(t.amplitude());
        }
        List<Double> sorted = new ArrayList<>(amplitudes);
        sorted.sort(Collections.reverseOrder());
        assertEquals(sorted, amplitudes);
    }

    @Test
    void progressHasAFirstAndAFinalCallWhateverTheStudysLength() {
        for (int rounds : new int[] {0, 1, 40}) {
            List<Progress> seen = Collections.synchronizedList(new ArrayList<>());
            List<String> threads = Collections.synchronizedList(new ArrayList<>());
            Study.of(KitData.dataset(30, 8, 7)).ranks(2, 3).chains(2).rounds(rounds).run(p -> {
                seen.add(p);
                threads.add(Thread.currentThread().getName());
            });
            assertTrue(seen.size() >= 2, seen.toString());
            Progress first = seen.get(0);
            Progress last = seen.get(seen.size() - 1);
            assertEquals(0, first.runsDone());
            assertEquals(0, first.roundsDone());
            assertEquals(4, last.runsDone());
            assertEquals(4, last.runs());
            assertEquals(1.0, last.fraction());
            assertTrue(threads.stream().allMatch(t -> t.equals(threads.get(0)) && t.startsWith("zarno-study-")));
        }
        // An exception from the final call ends the study with it.
        IllegalStateException late = new IllegalStateException("late");
        IllegalStateException thrown = assertThrows(IllegalStateException.class,
                () -> Study.of(KitData.dataset(30, 8, 7)).rank(2).chains(1).rounds(5).run(p -> {
                    if (p.runsDone() == p.runs()) {
                        throw late;
                    }
                }));
        assertEquals(late, thrown);
    }

    @Test
    void aCancelledStudySaysWhy() throws Exception {
        Function<RunningStudy, String> why = running -> assertThrows(CancellationException.class,
                () -> running.future().get()).getMessage();
        RunningStudy byHandle = KitLifecycleTest.endless().start();
        KitLifecycleTest.awaitRounds(byHandle);
        byHandle.cancel();
        assertEquals("the study was cancelled: RunningStudy.cancel() was called", why.apply(byHandle));
        assertEquals(why.apply(byHandle), assertThrows(CancellationException.class, byHandle::await).getMessage());
        assertTrue(byHandle.future().isCancelled());

        RunningStudy byFuture = KitLifecycleTest.endless().start();
        KitLifecycleTest.awaitRounds(byFuture);
        byFuture.future().cancel(true);
        assertEquals("the study was cancelled: its future was cancelled", why.apply(byFuture));

        RunningStudy interrupted = KitLifecycleTest.endless().start(p -> {
            if (p.roundsDone() > 0) {
                Thread.currentThread().interrupt();
            }
        });
        assertEquals("the study was cancelled: its thread was interrupted", why.apply(interrupted));
    }

    @Test
    void studyThreadsAreDaemons() throws Exception {
        RunningStudy running = KitLifecycleTest.endless().start();
        KitLifecycleTest.awaitRounds(running);
        List<Thread> threads = Thread.getAllStackTraces().keySet().stream()
                .filter(t -> t.getName().startsWith("zarno-study-")).collect(Collectors.toList());
        assertTrue(!threads.isEmpty() && threads.stream().allMatch(Thread::isDaemon), threads.toString());
        running.cancel();
        assertThrows(CancellationException.class, running::await);
    }
}
