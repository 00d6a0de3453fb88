package zarno;

import java.util.ArrayList;
import java.util.List;
import lib.ZARNO;

/** A host that keeps every message and a snapshot of every run, in arrival order. */
public class RecordingHost extends ZARNO {
    public final List<String> events = new ArrayList<>();
    public final List<String> messages = new ArrayList<>();
    public final List<String> paths = new ArrayList<>();
    public final List<kqviewer.ZevuzuExp> results = new ArrayList<>();
    public final List<lumeviewer.ZevuzuExp> lumeResults = new ArrayList<>();

    static {
        ZARNO.load();
    }

    @Override
    public void guiPrint(String msg) {
        messages.add(msg);
        events.add("msg:" + msg);
    }

    @Override
    public void writeKQout(String path, kqviewer.ZevuzuExp out) {
        paths.add(path);
        results.add(out.snapshot());
        events.add("result:" + path);
    }

    @Override
    public void writeLumeOut(String path, lumeviewer.ZevuzuExp out) {
        paths.add(path);
        lumeResults.add(out.snapshot());
        events.add("result:" + path);
    }
}
