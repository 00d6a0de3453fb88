// The checks of a data set and a job, worded as the classic host entry words
// them (field names as the host knows them), so every front end refuses alike.
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>

#include "run_private.h"
#include "zarno/cells.h"

namespace zarno {

namespace detail {

std::string Format(const char* format, ...)
{
    va_list args;
    va_start(args, format);
    char buf[512];
    std::vsnprintf(buf, sizeof buf, format, args);
    va_end(args);
    return buf;
}

}  // namespace detail

namespace {

using detail::Format;

Refusal Refuse(Refusal::Code code, std::string text, long long gene = -1, long long sample = -1,
               double value = 0.0)
{
    Refusal r;
    r.code = code;
    r.gene = gene;
    r.sample = sample;
    r.value = value;
    r.text = std::move(text);
    return r;
}

// What only a study refuses: labels that do not match the dimensions and run
// options out of range.
Refusal CheckStudyOptions(const Dataset& d, const JobSpec& job)
{
    if (!d.geneNames.empty() && d.geneNames.size() != static_cast<size_t>(d.genes))
        return Refuse(Refusal::kLabels, Format("%zu gene names for %d genes",
                                               d.geneNames.size(), d.genes));
    if (!d.sampleLabels.empty() && d.sampleLabels.size() != static_cast<size_t>(d.samples))
        return Refuse(Refusal::kLabels, Format("%zu sample labels for %d samples",
                                               d.sampleLabels.size(), d.samples));
    if (job.run.rounds < 0)
        return Refuse(Refusal::kRounds, Format("rounds must be 0 or more, not %d", job.run.rounds));
    if (!(job.run.tolerance >= 0.0 && job.run.tolerance < 1.0))
        return Refuse(Refusal::kTolerance, Format("the tolerance must be at least 0 and below "
                                                  "1, not %g", job.run.tolerance));
    if (!(job.run.holdout >= 0.0 && job.run.holdout <= 0.9))
        return Refuse(Refusal::kHoldout, Format("the held-out fraction must be from 0 to 0.9, "
                                                "not %g", job.run.holdout));
    if (job.run.threadsPerRun < 0 || job.run.threadsPerRun > detail::kMostThreadsPerRun)
        return Refuse(Refusal::kThreads, Format("threads per run must be 0 (automatic) to "
                                                "%d, not %d",
                                                detail::kMostThreadsPerRun, job.run.threadsPerRun));
    return Refusal();
}

// The bounds of a sweep that is not empty: its pattern counts and chains.
Refusal CheckSweepBounds(const Dataset& d, const JobSpec& job, bool study)
{
    if (job.firstRank < 1)
        return Refuse(Refusal::kFirstRank,
                      Format("\"StartRank\" must be at least 1, not %d", job.firstRank));
    if (job.firstChain < 1)
        return Refuse(Refusal::kChains, Format("the first chain must be at least 1, not %d",
                                               job.firstChain));
    const long long G = d.genes, S = d.samples, P = job.lastRank;
    if (G * P + P * S > INT_MAX)
        return Refuse(Refusal::kLastRank,
                      Format("\"EndRank\" %d makes (\"Na\" + \"Nf\") x patterns exceed 32 bits",
                             job.lastRank));
    // A run's start seeds are patterns + chain + a base of up to SeedP0, kept
    // in 32 bits (the classic result record holds them as ints).
    const long long seedRoom = INT_MAX - static_cast<long long>(SeedA0 > SeedP0 ? SeedA0 : SeedP0);
    const long long lastChain = static_cast<long long>(job.firstChain) + job.chains - 1;
    if (P + lastChain > seedRoom)
        return Refuse(Refusal::kChains,
                      job.firstChain == 1
                          ? Format("\"EndRank\" + \"Nchains\" = %lld; the start seeds allow at most %lld",
                                   P + lastChain, seedRoom)
                          : Format("\"EndRank\" + the last chain = %lld; the start seeds allow at "
                                   "most %lld",
                                   P + lastChain, seedRoom));
    if (study && (P > G || P > S))
        return Refuse(Refusal::kTooManyPatterns,
                      Format("%d patterns for %lld genes and %lld samples: a pattern count may not "
                             "exceed either",
                             job.lastRank, G, S));
    return Refusal();
}

}  // namespace

Refusal CheckShape(const Dataset& d)
{
    if (d.genes <= 0) return Refuse(Refusal::kGenes, Format("\"Na\" must be positive, not %d", d.genes));
    if (d.samples <= 0)
        return Refuse(Refusal::kSamples, Format("\"Nf\" must be positive, not %d", d.samples));
    const long long cells = static_cast<long long>(d.genes) * d.samples;
    if (cells > INT_MAX)
        return Refuse(Refusal::kCells, Format("\"Na\" x \"Nf\" = %lld does not fit 32 bits", cells));
    return Refusal();
}

namespace {

// A gene's or a sample's name for a message: its label when there is one.
std::string Named(const char* what, long long index, const std::vector<std::string>& names)
{
    if (static_cast<size_t>(index) < names.size())
        return Format("%s %lld (\"%s\")", what, index, names[static_cast<size_t>(index)].c_str());
    return Format("%s %lld", what, index);
}

// With missing cells allowed: a gene or a sample with no observed cell has
// nothing to fit.
Refusal CheckObserved(const Dataset& d)
{
    const CellCounts c = CountCells(d);
    if (c.emptyGenes > 0)
        return Refuse(Refusal::kNoObserved,
                      Format("%s has no observed cell: all its values are missing (%lld gene%s "
                             "without one); drop it or give it values",
                             Named("gene", c.firstEmptyGene, d.geneNames).c_str(), c.emptyGenes,
                             c.emptyGenes == 1 ? "" : "s"),
                      c.firstEmptyGene, -1);
    if (c.emptySamples > 0)
        return Refuse(Refusal::kNoObserved,
                      Format("%s has no observed cell: all its values are missing (%lld sample%s "
                             "without one); drop it or give it values",
                             Named("sample", c.firstEmptySample, d.sampleLabels).c_str(),
                             c.emptySamples, c.emptySamples == 1 ? "" : "s"),
                      -1, c.firstEmptySample);
    return Refusal();
}

}  // namespace

Refusal CheckValues(const Dataset& d)
{
    if (d.values == nullptr) return Refuse(Refusal::kNoValues, "\"data\" is null");
    if (d.weighted && d.sigmas == nullptr) return Refuse(Refusal::kNoSigmas, "\"acc\" is null");
    for (long long g = 0; g < d.genes; g++) {
        for (long long s = 0; s < d.samples; s++) {
            const size_t e = static_cast<size_t>(g * d.samples + s);
            if (MissingCell(d, e)) continue;
            const double v = d.values[e];
            if (!std::isfinite(v))
                return Refuse(Refusal::kValue,
                              Format("\"data\" of gene %lld sample %lld is not finite (%g)", g, s, v),
                              g, s, v);
            if (d.weighted) {
                const double u = d.sigmas[e];
                if (!(std::isfinite(u) && u > 0.0))
                    return Refuse(Refusal::kSigma,
                                  Format("\"acc\" of gene %lld sample %lld is %g; with "
                                         "\"uncertFlag\" set every uncertainty must be positive "
                                         "and finite",
                                         g, s, u),
                                  g, s, u);
            }
        }
    }
    return d.allowMissing ? CheckObserved(d) : Refusal();
}

Refusal CheckDataset(const Dataset& d)
{
    Refusal r = CheckShape(d);
    if (!r) r = CheckValues(d);
    // The classic entry runs such data; a study refuses them: every pattern
    // would come out zero.
    if (!r && !CountCells(d).anyAboveZero)
        r = Refuse(Refusal::kNothingAbove,
                   "no value is above zero: there is nothing to factorize (every pattern would "
                   "be zero)");
    return r;
}

long long CountNegative(const Dataset& d, long long* firstGene, long long* firstSample)
{
    long long count = 0;
    if (firstGene) *firstGene = -1;
    if (firstSample) *firstSample = -1;
    if (d.values == nullptr) return 0;
    const size_t n = static_cast<size_t>(d.genes) * static_cast<size_t>(d.samples);
    for (size_t e = 0; e < n; e++) {
        if (d.values[e] < 0.0) {
            if (count++ == 0) {
                if (firstGene) *firstGene = static_cast<long long>(e / d.samples);
                if (firstSample) *firstSample = static_cast<long long>(e % d.samples);
            }
        }
    }
    return count;
}

Refusal CheckJob(const Dataset& d, const JobSpec& job, Rules rules)
{
    Refusal r = CheckShape(d);
    if (r) return r;
    const bool study = rules == Rules::kStudy;
    if (study) {
        r = CheckStudyOptions(d, job);
        if (r) return r;
    }
    const bool sweep = job.firstRank <= job.lastRank && job.chains >= 1;
    if (!sweep) return Refusal();
    r = CheckSweepBounds(d, job, study);
    if (r || !study || !d.allowMissing) return r;
    // Complete data keep the rule above (a count may use every degree of
    // freedom); with cells missing, the largest count must still have more
    // observed cells than parameters to fit.
    const CellCounts c = CountCells(d);
    const long long parameters = FreeParameters(d.genes, d.samples, job.lastRank);
    if (c.missing > 0 && c.Observed() < parameters)
        return Refuse(Refusal::kTooFewObserved,
                      Format("%lld observed cells (%lld missing) for %lld free parameters at %d "
                             "patterns ((genes + samples - 1) x patterns): fewer patterns, or "
                             "fewer missing cells",
                             c.Observed(), c.missing, parameters, job.lastRank));
    return Refusal();
}

}  // namespace zarno
