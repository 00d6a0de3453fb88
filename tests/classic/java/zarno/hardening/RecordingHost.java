package zarno.hardening;

import lib.ZARNO;

/**
 * A host that prints every message and result in the line protocol the hardening tests read
 * (see {@link Child}), and that can be told to throw from its n-th message or n-th result.
 */
public class RecordingHost extends ZARNO {
    /** Thrown by a host callback on purpose. */
    public static final class HostFailure extends RuntimeException {
        private static final long serialVersionUID = 1L;

        HostFailure(String what) {
            super(what);
        }
    }

    /** 1-based index of the message or result to throw from; 0 never throws. */
    public int throwOnMessage, throwOnResult;
    private int messages, results;

    @Override
    public void guiPrint(String msg) {
        messages++;
        Child.out("MSG " + msg.replace("\n", "\\n"));
        if (messages == throwOnMessage) {
            throw new HostFailure("guiPrint #" + messages);
        }
    }

    @Override
    public void writeKQout(String path, kqviewer.ZevuzuExp out) {
        result(path, out.Nsol, out.chisq, out.pattern);
    }

    @Override
    public void writeLumeOut(String path, lumeviewer.ZevuzuExp out) {
        result(path, out.Nsol, out.chisq, out.pattern);
    }

    private void result(String path, int nsol, double chisq, double[][] pattern) {
        results++;
        boolean finite = Double.isFinite(chisq);
        for (double[] row : pattern) {
            for (double v : row) {
                finite &= Double.isFinite(v);
            }
        }
        Child.out("RESULT " + path + " Nsol=" + nsol + " rows=" + pattern.length
                + " finite=" + finite);
        if (results == throwOnResult) {
            throw new HostFailure("result #" + results);
        }
    }
}
