package lib;

/**
 * Java face of the native ZARNO factorization library.
 *
 * <p>The native side calls back into the instance that invoked {@link #zarno}: every progress
 * message goes to {@link #guiPrint}, and after every run it hands the run's result record to
 * {@link #writeKQout} (library build) or {@link #writeLumeOut} (program build). Hosts subclass
 * this class and override those methods; the native side looks them up on the run-time class.
 */
public class ZARNO {
    private static boolean loaded;

    /**
     * Runs one job: every pattern count from {@code StartRank} to {@code EndRank}, every chain
     * from 1 to {@code Nchains}. Runs on the calling thread and returns when all runs are done.
     *
     * <p>Before any run the input is checked: null objects or arrays, dimensions that are not
     * positive or whose products exceed 32 bits, arrays shorter than their counts, a pattern
     * count below 1 in a non-empty range, a {@code tag} or {@code dir} (or a result path made of
     * them) longer than the native name buffers, values that are not finite, and, with {@code
     * uncertFlag} set, uncertainties that are not positive. Such a job is refused: {@link
     * #guiPrint} receives one message starting with {@code "Refused: "} that names the field,
     * and -1 is returned. If the matrices of a run cannot be allocated, a message says so, the
     * job stops and -1 is returned. Names are never truncated.
     *
     * <p>Mistakes in the host classes and exceptions of the host's own methods end the job at
     * once, with no further run, and reach the caller as exceptions thrown by this method:
     *
     * <ul>
     *   <li>a {@code KQin} or {@code KQout} field that is missing or of another type: the JVM's
     *       {@link NoSuchFieldError}, naming the class, the field and its JNI type;
     *   <li>a host class without {@code guiPrint(String)} or without the result method of the
     *       build: {@link NoSuchMethodError}, naming the class, the method and its JNI signature;
     *   <li>a {@code KQout} that is not an instance of the class the result method takes:
     *       {@link ClassCastException}, thrown before any run;
     *   <li>an exception thrown by {@code guiPrint} or by the result method: that very
     *       exception, and the native side calls nothing further.
     * </ul>
     *
     * <p>Several threads may run jobs at the same time, on separate host objects or on the same
     * one: a job keeps all its state to itself and gives each thread the results it would give
     * alone. The host's callbacks then run on each job's own thread. Threads must not share a
     * {@code KQout}, which every run overwrites; they may share a {@code KQin}, which is only
     * read.
     *
     * @param KQin a {@link KQin} (or any object with the same fields) holding the data,
     *     uncertainties and run settings
     * @param KQout a {@code ZevuzuExp} of the package matching the build; it is overwritten by
     *     every run, so keep what you need during the result callback
     * @return 0 when every run was done; -1 when the job was refused or stopped (a message was
     *     sent to {@link #guiPrint})
     */
    public native int zarno(Object KQin, Object KQout);

    /**
     * Loads the native library once per class loader. The system property {@code zarno.library}
     * may name the library file by absolute path; otherwise {@code ZARNO} is looked up on
     * {@code java.library.path}.
     */
    public static synchronized void load() {
        if (loaded) {
            return;
        }
        String path = System.getProperty("zarno.library");
        if (path != null && !path.isEmpty()) {
            System.load(path);
        } else {
            System.loadLibrary("ZARNO");
        }
        loaded = true;
    }

    /** Receives one progress message from the native side. */
    public void guiPrint(String msg) {
        System.out.println(msg);
    }

    /**
     * Result callback of the library build, once per run.
     *
     * @param path where the host may keep this run's record; the library creates neither the
     *     file nor its directory
     * @param out the run's results, valid only until this method returns
     */
    public void writeKQout(String path, kqviewer.ZevuzuExp out) {
        System.out.println("result " + path);
    }

    /** Result callback of the program build; same contract as {@link #writeKQout}. */
    public void writeLumeOut(String path, lumeviewer.ZevuzuExp out) {
        System.out.println("result " + path);
    }
}
