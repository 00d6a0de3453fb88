// The suggestion rule (docs/survey.md): each count judged alone on its
// stability and its fit to the noise, then the count the runs support.
#include <cstdio>

#include "survey_steps.h"

namespace zarno {
namespace survey {

namespace {

std::string Fmt(const char* format, double x)
{
    char out[64];
    std::snprintf(out, sizeof out, format, x);
    return out;
}

// Weighted runs: the smallest count both stable and fitted to the noise.
void SuggestFitted(const SurveyOptions& opt, const std::vector<const CountSurvey*>& measured,
                   const std::vector<int>& stable, Survey* s)
{
    for (const CountSurvey* c : measured) {
        if (c->stable.value_or(false) && c->fits.value_or(false)) {
            s->suggested = c->patterns;
            s->note = "smallest count whose patterns are stable (mean silhouette " +
                      (c->meanStability ? Fmt("%.3f", *c->meanStability) : std::string("n/a")) +
                      ") and whose best chi-square per degree of freedom (" +
                      Fmt("%.3f", c->chiSquarePerDof->best) + ") is at most " +
                      Fmt("%g", 1.0 + opt.fitTolerance);
            if (c == measured.front() && c->patterns > 1)
                s->note += "; it is the smallest count run: a smaller one may fit too";
            return;
        }
    }
    std::string fitting;
    for (const CountSurvey* c : measured)
        if (c->fits.value_or(false)) fitting += (fitting.empty() ? "" : ", ") + std::to_string(c->patterns);
    s->note = "no count is both stable and fitted to the noise (stable: " +
              (stable.empty() ? std::string("none") : JoinInts(stable)) + "; fitted: " +
              (fitting.empty() ? std::string("none") : fitting) +
              "); try more patterns or rounds, or check the uncertainties";
}

}  // namespace

void Judge(const SurveyOptions& opt, CountSurvey* c)
{
    if (c->chains.size() >= 2) {
        if (c->patterns >= 2)
            c->stable = *c->meanStability >= opt.minMeanStability &&
                        *c->minStability >= opt.minMinStability;
        else
            c->stable = *c->minMatch >= opt.minOnePatternMatch;
    }
    if (c->chiSquarePerDof) c->fits = c->chiSquarePerDof->best <= 1.0 + opt.fitTolerance;
}

// Where held-out errors were measured, says whether they agree with the
// suggestion (the lowest median held-out error at the suggested count).
void CheckHoldout(Survey* s)
{
    const CountSurvey* lowest = nullptr;
    for (const CountSurvey& c : s->counts)
        if (c.holdoutError && (lowest == nullptr || c.holdoutError->median < lowest->holdoutError->median))
            lowest = &c;
    if (lowest == nullptr || !s->suggested) return;
    if (lowest->patterns == *s->suggested)
        s->note += "; the held-out error agrees (lowest at this count)";
    else
        s->note += "; note: the held-out error is lowest at " + std::to_string(lowest->patterns) +
                   " patterns";
}

void Suggest(const SurveyOptions& opt, Survey* s)
{
    std::vector<const CountSurvey*> measured;
    bool weighted = false;
    for (const CountSurvey& c : s->counts) {
        if (c.chains.empty()) continue;
        measured.push_back(&c);
        weighted = weighted || c.weighted;
    }
    if (measured.empty()) {
        s->note = "no complete run: nothing to suggest";
        return;
    }
    bool anyStability = false;
    for (const CountSurvey* c : measured) anyStability = anyStability || c->stable.has_value();
    if (!anyStability) {
        s->note = "one chain per pattern count: stability not measurable, no count suggested "
                  "(run at least 2 chains, better 10)";
        return;
    }
    std::vector<int> stable;
    for (const CountSurvey* c : measured)
        if (c->stable.value_or(false)) stable.push_back(c->patterns);
    if (weighted) {
        SuggestFitted(opt, measured, stable, s);
        return;
    }
    if (stable.empty()) {
        s->note = "no pattern count has stable patterns";
        return;
    }
    s->suggested = stable.back();
    s->note = "unweighted runs: no fit to the noise can be judged; the largest count with stable "
              "patterns";
    if (stable.back() == measured.back()->patterns)
        s->note += "; it is the largest count run: a larger one may be stable too";
}

}  // namespace survey
}  // namespace zarno
