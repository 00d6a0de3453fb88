package zarno.kit;

import java.util.Locale;

/**
 * How the runs of unweighted data compute their rounds ({@link Study#arithmetic(Arithmetic)}).
 * Weighted data, and data with missing cells, always take the weighted round: every cell has a
 * weight of its own there, which the Gram form cannot hold. {@link StudyResult#arithmetic()}
 * says which one a study's runs took.
 */
public enum Arithmetic {
    /**
     * The Gram form, the default (as {@code zarno run}'s): the same update rule from {@code A^T
     * X}, {@code X P^T} and the patterns x patterns products, about a third of the arithmetic and
     * no genes x samples matrix per run. Its results equal the classic arithmetic's to rounding,
     * not bit for bit; they are the same bits on any number of threads.
     */
    GRAM,
    /**
     * The weighted round with every weight one: the classic entry's arithmetic, whose runs equal
     * the classic job's bit for bit (with {@code tolerance(0)}); {@code zarno run --arithmetic
     * classic}.
     */
    CLASSIC;

    // The core's name of it, as job.json and the command's flag write it.
    String word() {
        return name().toLowerCase(Locale.ROOT);
    }

    static Arithmetic of(String word) {
        return valueOf(word.toUpperCase(Locale.ROOT));
    }
}
