package zarno.kit;

import java.util.List;

/** Index checks whose messages name the valid range and what is counted. */
final class Bounds {
    private Bounds() {}

    /**
     * @return {@code i} when it is in 0 to count - 1
     * @throws IndexOutOfBoundsException naming the range, as "gene 12 is outside 0 to 9 (10 genes)"
     */
    static int check(int i, int count, String what) {
        if (i < 0 || i >= count) {
            throw new IndexOutOfBoundsException(what + " " + i + " is outside 0 to " + (count - 1) + " ("
                    + count + " " + what + (count == 1 ? "" : "s") + ")");
        }
        return i;
    }

    /**
     * @return the index of {@code name} in {@code names}
     * @throws IllegalArgumentException when no entry is that name
     */
    static int find(List<String> names, String name, String what) {
        int i = name == null ? -1 : names.indexOf(name);
        if (i < 0) {
            throw new IllegalArgumentException("no " + what + " is named " + (name == null ? "null" : "\"" + name + "\""));
        }
        return i;
    }
}
