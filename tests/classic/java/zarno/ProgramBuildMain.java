package zarno;

import lib.KQin;

/** Runs a small job against whichever build is loaded and prints what the host received. */
public final class ProgramBuildMain {
    private ProgramBuildMain() {}

    public static void main(String[] args) {
        KQin in = Jobs.job(30, 8, 11);
        RecordingHost host = new RecordingHost();
        int rc = args.length > 0 && args[0].equals("kqviewer")
                ? host.zarno(in, new kqviewer.ZevuzuExp())
                : host.zarno(in, new lumeviewer.ZevuzuExp());
        System.out.println("rc " + rc);
        for (int i = 0; i < host.paths.size(); i++) {
            double chisq = host.results.isEmpty() ? host.lumeResults.get(i).chisq : host.results.get(i).chisq;
            System.out.println("result " + host.paths.get(i) + " " + Long.toHexString(Double.doubleToRawLongBits(chisq)));
        }
        System.out.println("kqviewer " + host.results.size() + " lumeviewer " + host.lumeResults.size());
    }
}
