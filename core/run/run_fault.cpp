// Runs that finished with numbers that are not numbers (run.h, RunFault).
#include <cmath>

#include "run_private.h"

namespace zarno {

namespace {

// "NaN", "inf" or "-inf" (printf's "-nan" says nothing more).
std::string Shown(double x)
{
    return std::isnan(x) ? "NaN" : detail::Format("%g", x);
}

// The first value of m (rows x columns) that is not finite, as "name (row r,
// column c: x)", and how many there are; "" when all are.
std::string FirstNotFinite(const char* name, const double* m, long long rows, long long columns,
                           const char* rowName, const char* columnName)
{
    if (m == nullptr) return "";
    long long count = 0, first = -1;
    for (long long i = 0; i < rows * columns; i++)
        if (!std::isfinite(m[i]) && count++ == 0) first = i;
    if (count == 0) return "";
    return detail::Format("%lld of the %s are not finite (%s %lld, %s %lld: %s)", count, name,
                          rowName, first / columns + 1, columnName, first % columns + 1,
                          Shown(m[first]).c_str());
}

}  // namespace

std::string RunFault(const RunView& v)
{
    if (!std::isfinite(v.chiSquare)) return "chi-square is " + Shown(v.chiSquare);
    if (!std::isfinite(v.ssr)) return "the residual sum is " + Shown(v.ssr);
    std::string why = FirstNotFinite("amplitudes", v.amplitudes, v.genes, v.patterns, "gene", "pattern");
    if (why.empty())
        why = FirstNotFinite("pattern values", v.patternRows, v.patterns, v.samples, "pattern", "sample");
    return why;
}

}  // namespace zarno
