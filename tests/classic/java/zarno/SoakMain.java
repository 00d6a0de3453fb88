package zarno;

import java.io.IOException;
import java.nio.file.Files;
import java.nio.file.Paths;
import kqviewer.ZevuzuExp;
import lib.KQin;

/**
 * Stress mains for child JVMs. "sweep": a sweep whose outputs together exceed the heap; the host
 * keeps nothing, so each run's exports must become garbage. "calls N": N calls in a row, printing
 * resident memory and live heap after a warm-up and at the end.
 */
public final class SoakMain {
    private SoakMain() {}

    public static void main(String[] args) throws IOException {
        RecordingHostLight host = new RecordingHostLight();
        if (args[0].equals("sweep")) {
            KQin in = Jobs.job(1500, 400, 21);
            in.StartRank = 2;
            in.EndRank = 5;
            in.Nchains = 3;
            in.Niter = 1;
            int rc = host.zarno(in, new ZevuzuExp());
            System.out.println("rc " + rc + " runs " + host.runs);
            return;
        }
        int calls = Integer.parseInt(args[1]);
        KQin in = Jobs.job(400, 50, 22);
        in.Niter = 2;
        in.NfeetA = 3;
        in.NfootA = new int[] {50, 0, 20};
        in.NlistA = new int[][] {new int[50], new int[0], new int[25]};
        for (int i = 0; i < 50; i++) {
            host.zarno(in, new ZevuzuExp());
        }
        long rss0 = rssKb();
        long heap0 = liveHeap();
        for (int i = 0; i < calls; i++) {
            host.zarno(in, new ZevuzuExp());
        }
        System.out.println("rss " + rss0 + " " + rssKb() + " heap " + heap0 + " " + liveHeap() + " runs " + host.runs);
    }

    static long rssKb() throws IOException {
        for (String line : Files.readAllLines(Paths.get("/proc/self/status"))) {
            if (line.startsWith("VmRSS:")) {
                return Long.parseLong(line.replaceAll("[^0-9]", ""));
            }
        }
        return -1;
    }

    static long liveHeap() {
        Runtime rt = Runtime.getRuntime();
        for (int i = 0; i < 3; i++) {
            System.gc();
        }
        return rt.totalMemory() - rt.freeMemory();
    }

    /** Counts runs and keeps nothing. */
    static final class RecordingHostLight extends lib.ZARNO {
        int runs;

        static {
            lib.ZARNO.load();
        }

        @Override
        public void guiPrint(String msg) {}

        @Override
        public void writeKQout(String path, ZevuzuExp out) {
            runs++;
        }
    }
}
