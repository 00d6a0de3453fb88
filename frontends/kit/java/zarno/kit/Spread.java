package zarno.kit;

/** Best (lowest), median and worst (highest) of a figure over the chains of a pattern count. */
public final class Spread {
    private final double best;
    private final double median;
    private final double worst;

    // Called by the native survey (kit_survey.cpp).
    Spread(double best, double median, double worst) {
        this.best = best;
        this.median = median;
        this.worst = worst;
    }

    /** @return the lowest value */
    public double best() {
        return best;
    }

    /** @return the median value */
    public double median() {
        return median;
    }

    /** @return the highest value */
    public double worst() {
        return worst;
    }

    @Override
    public String toString() {
        return best + " / " + median + " / " + worst;
    }
}
