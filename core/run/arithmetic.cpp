// Which arithmetic a run takes: the one rule, and the names of the two.
#include "zarno/run.h"

namespace zarno {

bool UsesGramForm(const Dataset& data, const RunOptions& options, bool missingCells)
{
    // The Gram form gives every cell the same weight: uncertainties, and
    // cells held out or missing (weight zero), need the weighted round.
    return options.arithmetic == Arithmetic::kGram && !data.weighted && !(options.holdout > 0.0) &&
           !missingCells;
}

const char* ArithmeticName(Arithmetic a)
{
    return a == Arithmetic::kGram ? "gram" : "classic";
}

bool ParseArithmetic(const std::string& word, Arithmetic* a)
{
    if (word == "classic") {
        *a = Arithmetic::kClassic;
    } else if (word == "gram") {
        *a = Arithmetic::kGram;
    } else {
        return false;
    }
    return true;
}

}  // namespace zarno
