package zarno.kit;

import java.io.File;
import java.io.IOException;
import java.io.InputStream;
import java.nio.channels.FileChannel;
import java.nio.file.AtomicMoveNotSupportedException;
import java.nio.file.Files;
import java.nio.file.Path;
import java.nio.file.Paths;
import java.nio.file.StandardCopyOption;
import java.nio.file.StandardOpenOption;
import java.nio.file.attribute.PosixFilePermission;
import java.nio.file.attribute.PosixFilePermissions;
import java.security.MessageDigest;
import java.security.NoSuchAlgorithmException;
import java.util.ArrayList;
import java.util.List;
import java.util.Locale;
import java.util.Properties;
import java.util.Set;

/**
 * Loads the native library once per class loader, from the first of:
 *
 * <ol>
 *   <li>the file named by the system property {@code zarno.library};
 *   <li>{@code libZARNO.so} in a directory of {@code java.library.path};
 *   <li>the copy inside the kit's jar, extracted once per version and build to a private
 *       directory under {@code java.io.tmpdir} and reused by every later JVM.
 * </ol>
 *
 * A library of another version than the kit's classes is refused. A failure throws {@link
 * UnsatisfiedLinkError} listing everything that was tried and how each failed. The path loaded
 * is logged to the {@link System.Logger} named {@code zarno.kit}, at level DEBUG.
 */
final class NativeLoader {
    static final String LIBRARY = System.mapLibraryName("ZARNO");
    private static final System.Logger LOG = System.getLogger("zarno.kit");
    /** The kit's version, from the jar; null when the classes do not come from a built jar. */
    static final String VERSION = readVersion();

    private static boolean loaded;

    private NativeLoader() {}

    static synchronized void load() {
        if (loaded) {
            return;
        }
        List<String> tried = new ArrayList<>();
        String path = load(tried);
        if (path == null) {
            throw new UnsatisfiedLinkError("ZARNO kit: no native library could be loaded. Tried:\n  - "
                    + String.join("\n  - ", tried));
        }
        String nativeVersion;
        try {
            nativeVersion = Native.version();
        } catch (UnsatisfiedLinkError e) {
            throw new UnsatisfiedLinkError("ZARNO kit: " + path + " has no kit functions (a library "
                    + "older than the kit?); set -Dzarno.library to the library of version " + VERSION);
        }
        if (VERSION != null && !VERSION.equals(nativeVersion)) {
            throw new UnsatisfiedLinkError("ZARNO kit: " + path + " is version " + nativeVersion
                    + ", the kit's classes are version " + VERSION);
        }
        LOG.log(System.Logger.Level.DEBUG, "ZARNO kit {0}: loaded the native library {1}", nativeVersion, path);
        loaded = true;
    }

    // The path loaded, or null with every attempt described in `tried`.
    private static String load(List<String> tried) {
        String property = System.getProperty("zarno.library");
        if (property != null && !property.isEmpty()) {
            // An explicit choice is never second-guessed: its failure is the answer.
            try {
                System.load(new File(property).getAbsolutePath());
                return property;
            } catch (UnsatisfiedLinkError e) {
                throw new UnsatisfiedLinkError("ZARNO kit: -Dzarno.library=" + property + " could not be loaded: "
                        + e.getMessage());
            }
        }
        tried.add("-Dzarno.library: not set");

        String libraryPath = System.getProperty("java.library.path", "");
        for (String dir : libraryPath.split(File.pathSeparator)) {
            if (dir.isEmpty()) {
                continue;
            }
            File candidate = new File(dir, LIBRARY);
            if (candidate.isFile()) {
                try {
                    System.load(candidate.getAbsolutePath());
                    return candidate.getAbsolutePath();
                } catch (UnsatisfiedLinkError e) {
                    tried.add(candidate + " (on java.library.path): " + e.getMessage());
                    return null;
                }
            }
        }
        tried.add("java.library.path (" + libraryPath + "): no directory holds " + LIBRARY);

        String resource = "native/" + platform() + "/" + LIBRARY;
        String tmpdir = System.getProperty("java.io.tmpdir");
        try (InputStream in = NativeLoader.class.getResourceAsStream(resource)) {
            if (in == null) {
                tried.add("the kit's jar: no resource zarno/kit/" + resource + " (the jar holds a library for "
                        + "linux-x86_64 only; this is " + platform() + ")");
                return null;
            }
            if (tmpdir == null || !Files.isDirectory(Paths.get(tmpdir))) {
                tried.add("the library inside the kit's jar: java.io.tmpdir (" + tmpdir + "), where it is "
                        + "extracted, is not a directory; set -Djava.io.tmpdir to one, or -Dzarno.library");
                return null;
            }
            Path file = extract(in.readAllBytes());
            System.load(file.toString());
            return file.toString();
        } catch (IOException | UnsatisfiedLinkError e) {
            tried.add("the library inside the kit's jar, extracted under java.io.tmpdir (" + tmpdir + "): "
                    + e + "; -Djava.io.tmpdir or -Dzarno.library choose another place");
            return null;
        }
    }

    static String platform() {
        String os = System.getProperty("os.name", "").toLowerCase(Locale.ROOT);
        String arch = System.getProperty("os.arch", "").toLowerCase(Locale.ROOT);
        if (os.startsWith("linux")) {
            os = "linux";
        }
        if (arch.equals("amd64") || arch.equals("x86_64")) {
            arch = "x86_64";
        }
        return os + "-" + arch;
    }

    /**
     * The library's bytes as a file in a private directory, named by version and content hash,
     * so every JVM reuses one copy and two builds never share a name. Several JVMs may extract
     * at once: each writes its own temporary file and moves it into place atomically, and the
     * file is loaded only after its content is checked.
     */
    static Path extract(byte[] bytes) throws IOException {
        String hash = sha256(bytes).substring(0, 16);
        Path dir = privateDirectory();
        Path target = dir.resolve("libZARNO-" + (VERSION != null ? VERSION : "dev") + "-" + hash + ".so");
        if (Files.isRegularFile(target) && hash.equals(sha256(Files.readAllBytes(target)).substring(0, 16))) {
            return target;
        }
        if (!dir.getFileName().toString().startsWith("zarno-kit-" + userName())) {
            target.toFile().deleteOnExit(); // a per-JVM directory: nobody reuses it
        }
        Path temp = Files.createTempFile(dir, "libZARNO-", ".part");
        try {
            try (FileChannel out = FileChannel.open(temp, StandardOpenOption.WRITE)) {
                out.write(java.nio.ByteBuffer.wrap(bytes));
                out.force(true);
            }
            try {
                Files.move(temp, target, StandardCopyOption.ATOMIC_MOVE, StandardCopyOption.REPLACE_EXISTING);
            } catch (AtomicMoveNotSupportedException e) {
                throw new IOException("cannot move files atomically in " + dir, e);
            }
        } finally {
            Files.deleteIfExists(temp);
        }
        if (!hash.equals(sha256(Files.readAllBytes(target)).substring(0, 16))) {
            throw new IOException(target + " does not hold the jar's library after extraction");
        }
        return target;
    }

    // tmpdir/zarno-kit-USER, created 0700; refused (and a fresh per-JVM directory
    // used instead) when another user owns it or others may write to it.
    private static Path privateDirectory() throws IOException {
        Path tmp = Paths.get(System.getProperty("java.io.tmpdir"));
        Path dir = tmp.resolve("zarno-kit-" + userName());
        Set<PosixFilePermission> owner = PosixFilePermissions.fromString("rwx------");
        try {
            Files.createDirectory(dir, PosixFilePermissions.asFileAttribute(owner));
        } catch (java.nio.file.FileAlreadyExistsException e) {
            // made by an earlier JVM, or by another at this moment
        }
        if (!Files.isSymbolicLink(dir) && Files.isDirectory(dir)
                && Files.getOwner(dir).getName().equals(System.getProperty("user.name"))
                && Files.getPosixFilePermissions(dir).equals(owner)) {
            return dir;
        }
        Path fresh = Files.createTempDirectory("zarno-jvm-");
        fresh.toFile().deleteOnExit();
        return fresh;
    }

    private static String userName() {
        return System.getProperty("user.name", "user").replaceAll("[^A-Za-z0-9._-]", "_");
    }

    private static String sha256(byte[] bytes) {
        try {
            StringBuilder s = new StringBuilder();
            for (byte b : MessageDigest.getInstance("SHA-256").digest(bytes)) {
                s.append(String.format("%02x", b & 0xff));
            }
            return s.toString();
        } catch (NoSuchAlgorithmException e) {
            throw new AssertionError("every JVM has SHA-256", e);
        }
    }

    private static String readVersion() {
        try (InputStream in = NativeLoader.class.getResourceAsStream("kit.properties")) {
            if (in == null) {
                return null;
            }
            Properties p = new Properties();
            p.load(in);
            return p.getProperty("version");
        } catch (IOException e) {
            return null;
        }
    }
}
