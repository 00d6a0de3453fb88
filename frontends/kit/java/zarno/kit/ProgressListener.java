package zarno.kit;

/**
 * Receives the progress of a study. Calls come on the study's own thread, named {@code
 * zarno-study-N}, at most once every 100 ms while runs go on, never two at a time. The runs go
 * on while the listener works, but results are handed over on the same thread, so a listener
 * should return quickly (hand the figures to a user-interface thread rather than draw).
 * An exception thrown by the listener ends the study with that exception.
 */
@FunctionalInterface
public interface ProgressListener {
    /** @param progress where the study stands */
    void progress(Progress progress);
}
