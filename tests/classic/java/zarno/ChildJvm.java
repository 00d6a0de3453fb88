package zarno;

import java.io.IOException;
import java.nio.charset.StandardCharsets;
import java.util.ArrayList;
import java.util.Arrays;
import java.util.List;
import java.util.concurrent.TimeUnit;

/** Runs a main class in a fresh JVM under -Xcheck:jni, so a crash fails one test only. */
public final class ChildJvm {
    public final int exitCode;
    public final String output;

    private ChildJvm(int exitCode, String output) {
        this.exitCode = exitCode;
        this.output = output;
    }

    /** Runs mainClass with the given library; jvmOptions go before the class name. */
    public static ChildJvm run(String library, List<String> jvmOptions, Class<?> mainClass, String... args)
            throws IOException, InterruptedException {
        List<String> cmd = new ArrayList<>();
        cmd.add(System.getProperty("zarno.java", "java"));
        cmd.add("-Xcheck:jni");
        cmd.add("-Dzarno.library=" + library);
        cmd.addAll(jvmOptions);
        cmd.add("-cp");
        cmd.add(System.getProperty("zarno.classpath", System.getProperty("java.class.path")));
        cmd.add(mainClass.getName());
        cmd.addAll(Arrays.asList(args));
        Process p = new ProcessBuilder(cmd).redirectErrorStream(true).start();
        byte[] out = p.getInputStream().readAllBytes();
        if (!p.waitFor(5, TimeUnit.MINUTES)) {
            p.destroyForcibly();
            throw new AssertionError("child JVM did not finish: " + cmd);
        }
        return new ChildJvm(p.exitValue(), new String(out, StandardCharsets.UTF_8));
    }

    /** True when -Xcheck:jni reported anything. */
    public boolean jniWarnings() {
        return output.contains("WARNING in native method") || output.contains("JNI local refs")
                || output.contains("FATAL ERROR in native method");
    }

    public static String library() {
        return System.getProperty("zarno.library");
    }

    public static String programLibrary() {
        return System.getProperty("zarno.programLibrary");
    }
}
