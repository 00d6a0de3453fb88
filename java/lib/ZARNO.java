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
     * @param KQin a {@link KQin} holding the data, uncertainties and run settings
     * @param KQout a {@code ZevuzuExp} of the package matching the build; it is overwritten by
     *     every run, so keep what you need during the result callback
     * @return 0
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
