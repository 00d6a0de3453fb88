package zarno.kit;

import java.util.List;
import java.util.NoSuchElementException;
import java.util.Optional;
import java.util.OptionalInt;

/**
 * What a study's runs say about the number of patterns the data hold: per pattern count, the
 * figures of {@code zarno survey} ({@link CountSurvey}), and the suggested pattern count with the
 * reason. Computed by the same native code as the command, over the complete runs (failed runs
 * are left out and listed, {@link CountSurvey#failedChains()}). Immutable.
 */
public final class Survey {
    private final List<CountSurvey> counts;
    private final int suggested; // 0: none
    private final String note;
    private final Agreement agreement; // null: no annotations

    // Called by the native survey (kit_survey.cpp); suggested 0: none.
    Survey(CountSurvey[] counts, int suggested, String note, Agreement agreement) {
        this.counts = List.of(counts);
        this.suggested = suggested;
        this.note = note;
        this.agreement = agreement;
    }

    /** @return one survey per pattern count, ascending */
    public List<CountSurvey> counts() {
        return counts;
    }

    /**
     * @param patterns a pattern count of the study
     * @return its survey
     * @throws IllegalArgumentException when the study did not run it
     */
    public CountSurvey count(int patterns) {
        for (CountSurvey c : counts) {
            if (c.patterns() == patterns) {
                return c;
            }
        }
        throw new IllegalArgumentException("the survey has no pattern count " + patterns);
    }

    /** @return the suggested pattern count, or empty when the rule suggests none ({@link #note()} says why) */
    public OptionalInt suggestion() {
        return suggested > 0 ? OptionalInt.of(suggested) : OptionalInt.empty();
    }

    /**
     * @return the suggested pattern count
     * @throws NoSuchElementException when there is none, with the reason
     */
    public int suggestedPatterns() {
        if (suggested <= 0) {
            throw new NoSuchElementException("no suggested pattern count: " + note);
        }
        return suggested;
    }

    /** @return why this count was suggested, or why none was */
    public String note() {
        return note;
    }

    /**
     * @return how the survey follows the sample annotations ({@link
     *     StudyResult#survey(Annotations)}); empty for {@link StudyResult#survey()}
     */
    public Optional<Agreement> agreement() {
        return Optional.ofNullable(agreement);
    }

    @Override
    public String toString() {
        return "Survey[" + counts.size() + " pattern counts, suggested " + (suggested > 0 ? suggested : "none") + "]";
    }

    /** Runs the survey over a study's runs, with the annotations' agreement unless they are null. */
    static Survey of(StudyResult result, Annotations annotations) {
        RunColumns runs = new RunColumns(result.runs());
        Dataset data = result.study().data();
        Survey survey = Native.survey(data.genes(), data.samples(), data.weighted(), data.missingCells(),
                runs.patterns, runs.chains, runs.amplitudes, runs.patternRows, runs.chiSquare, runs.ssr,
                runs.failures, data.geneNames().toArray(new String[0]), data.sampleLabels().toArray(new String[0]),
                annotations == null ? null : annotations.parts());
        for (CountSurvey c : survey.counts) {
            c.label(data);
        }
        return survey;
    }
}
