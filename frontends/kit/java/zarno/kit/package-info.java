/**
 * The ZARNO kit: weighted non-negative matrix factorization for Java in one jar.
 *
 * <p>A {@link zarno.kit.Dataset} holds a genes-by-samples matrix and its uncertainties; a
 * {@link zarno.kit.Study} sweeps pattern counts and random starts (chains) over it on every
 * core; its {@link zarno.kit.StudyResult} holds every {@link zarno.kit.Run}'s amplitudes and
 * patterns. {@link zarno.kit.Study#start()} runs a study in the background with progress and
 * cancellation.
 *
 * <p>The jar carries the native library for linux-x86_64 and loads it on first use; the
 * system property {@code zarno.library} or {@code java.library.path} may name another copy.
 * All classes are immutable or thread-safe; studies may run on several threads at once.
 */
package zarno.kit;
