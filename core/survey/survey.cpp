// The rank survey (see survey.h): runs grouped by pattern count, each count's
// fit, sample consensus and matched patterns, then the suggestion. The steps
// are in survey_steps.h.
#include "zarno/survey.h"

#include <algorithm>
#include <map>

#include "survey_steps.h"

namespace zarno {

namespace survey {

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    const size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

std::string JoinInts(const std::vector<int>& v)
{
    std::string s;
    for (size_t i = 0; i < v.size(); i++) s += (i ? ", " : "") + std::to_string(v[i]);
    return s;
}

}  // namespace survey

namespace {

using survey::JoinInts;

Spread SpreadOf(const std::vector<double>& v)
{
    Spread s;
    s.best = *std::min_element(v.begin(), v.end());
    s.worst = *std::max_element(v.begin(), v.end());
    s.median = survey::Median(v);
    return s;
}

// The count's runs in chain order, sorted out by status: the complete ones
// returned, the failed and missing ones listed with a note.
std::vector<const SurveyRun*> CompleteRuns(std::vector<const SurveyRun*> list, CountSurvey* c)
{
    std::stable_sort(list.begin(), list.end(),
                     [](const SurveyRun* a, const SurveyRun* b) { return a->chain < b->chain; });
    std::vector<const SurveyRun*> complete;
    for (const SurveyRun* r : list) {
        if (r->status == SurveyRun::kMissing) {
            c->missingChains.push_back(r->chain);
            continue;
        }
        if (r->status == SurveyRun::kFailed) {
            c->failedChains.push_back(r->chain);
            continue;
        }
        complete.push_back(r);
        c->chains.push_back(r->chain);
        c->weighted = c->weighted || r->weighted;
    }
    if (!c->missingChains.empty())
        c->notes.push_back("missing chains: " + JoinInts(c->missingChains));
    if (!c->failedChains.empty())
        c->notes.push_back("failed chains: " + JoinInts(c->failedChains));
    return complete;
}

// Chi-square, residual sum and held-out error over the complete chains, and
// chi-square per degree of freedom where the runs were weighted.
void FitFigures(const std::vector<const SurveyRun*>& complete, CountSurvey* c)
{
    std::vector<double> chi, ssr, hold;
    for (const SurveyRun* r : complete) {
        chi.push_back(r->chiSquare);
        ssr.push_back(r->ssr);
        if (r->holdoutError) hold.push_back(*r->holdoutError);
    }
    c->chiSquare = SpreadOf(chi);
    c->ssr = SpreadOf(ssr);
    if (!hold.empty()) c->holdoutError = SpreadOf(hold);
    if (!c->weighted) return;
    if (c->dof > 0) {
        Spread d = *c->chiSquare;
        d.best /= c->dof, d.median /= c->dof, d.worst /= c->dof;
        c->chiSquarePerDof = d;
    } else {
        c->notes.push_back("no degrees of freedom left: chi-square per degree of freedom "
                           "undefined");
    }
}

// Matching, stability and the consensus patterns of one count's complete chains.
void Patterns(const SurveyData& data, const std::vector<const SurveyRun*>& runs, int P,
              const SurveyOptions& opt, CountSurvey* out)
{
    const survey::MatchedChains m = survey::MatchPatterns(runs, P, data.samples, out);
    survey::MatchFigures(m, out);
    survey::ChainMatches(m, out);
    survey::FlagOutliers(m, opt, out);
    survey::Silhouettes(m, out);
    // The consensus is over the chains kept.
    std::vector<bool> keep(m.C);
    for (int c = 0; c < m.C; c++) keep[c] = !out->outlier[c];
    out->chainsUsed = static_cast<int>(std::count(keep.begin(), keep.end(), true));
    out->hasSd = out->chainsUsed >= 2;
    if (!out->hasSd) out->notes.push_back("one chain in the consensus: no standard deviations");
    survey::OrderGroupsByPeak(m, keep, out);
    survey::ConsensusMeans(m, keep, data.genes, out);
    survey::TopGenes(opt, data.genes, out);
}

CountSurvey SurveyOfCount(const SurveyData& data, int P, std::vector<const SurveyRun*> list,
                          const SurveyOptions& options)
{
    CountSurvey c;
    c.patterns = P;
    const std::vector<const SurveyRun*> complete = CompleteRuns(std::move(list), &c);
    c.dof = static_cast<double>(data.cells) -
            (static_cast<double>(data.genes) * P + static_cast<double>(P) * data.samples - P);
    if (complete.empty()) {
        c.notes.push_back("no complete run");
        return c;
    }
    FitFigures(complete, &c);
    survey::SampleConsensus(data, complete, P, &c);
    Patterns(data, complete, P, options, &c);
    survey::Judge(options, &c);
    return c;
}

}  // namespace

std::string CountSurvey::Status() const
{
    if (notes.empty()) return "ok";
    std::string s;
    for (size_t i = 0; i < notes.size(); i++) s += (i ? "; " : "") + notes[i];
    return s;
}

Survey RunSurvey(const SurveyData& data, const std::vector<SurveyRun>& runs,
                 const SurveyOptions& options)
{
    std::map<int, std::vector<const SurveyRun*>> byCount;
    for (const SurveyRun& r : runs) byCount[r.patterns].push_back(&r);
    Survey out;
    for (auto& [P, list] : byCount)
        out.counts.push_back(SurveyOfCount(data, P, std::move(list), options));
    survey::Suggest(options, &out);
    survey::CheckHoldout(&out);
    return out;
}

}  // namespace zarno
