package zarno.kit;

/**
 * Receives the progress of a study. Calls come on the study's own thread, named {@code
 * zarno-study-N}, never two at a time: always one when the study starts (nothing done yet),
 * then at most once every 100 ms while runs go on, and always a final one when the study
 * completes (every run done), however short it is. A cancelled or failed study gets no final
 * call: its future tells how it ended.
 *
 * <p>The runs go on while the listener works, and {@link RunningStudy#cancel()} stops them
 * within one round whatever the listener is doing; but finished runs are handed over on the
 * same thread, so a slow listener delays the end of the study (its future completes once the
 * listener has returned). A listener should return quickly: hand the figures to a
 * user-interface thread rather than draw. An exception thrown by the listener ends the study
 * with that exception.
 */
@FunctionalInterface
public interface ProgressListener {
    /** @param progress where the study stands */
    void progress(Progress progress);
}
