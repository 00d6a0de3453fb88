package zarno.kit;

/**
 * A study failed for a reason other than its input: a run's matrices could not be allocated,
 * or the engine failed internally. The message says which run and why.
 */
public class ZarnoException extends RuntimeException {
    private static final long serialVersionUID = 1L;

    /** @param message what failed */
    public ZarnoException(String message) {
        super(message);
    }
}
