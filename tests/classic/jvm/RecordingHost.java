package zarnotest;

import java.util.ArrayList;
import java.util.List;

/** A host for native tests in a JVM of their own: it keeps what arrives at guiPrint. */
public class RecordingHost extends lib.ZARNO {
    private final List<String> messages = new ArrayList<>();

    @Override
    public void guiPrint(String msg) {
        messages.add(msg);
    }

    /** The messages received since the last call, oldest first. */
    public String[] drain() {
        String[] out = messages.toArray(new String[0]);
        messages.clear();
        return out;
    }
}
