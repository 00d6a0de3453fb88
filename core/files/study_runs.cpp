// Runs held in memory as a run directory (see study_runs.h).
#include "zarno/study_runs.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <stdexcept>

#include "zarno/run_layout.h"

namespace zarno {

namespace {

using nlohmann::json;

std::vector<const RunResult*> InKeyOrder(const std::vector<RunResult>& runs)
{
    std::vector<const RunResult*> out;
    for (const RunResult& r : runs) out.push_back(&r);
    std::sort(out.begin(), out.end(), [](const RunResult* a, const RunResult* b) {
        return RunKey{a->patterns, a->chain} < RunKey{b->patterns, b->chain};
    });
    return out;
}

// A number as the reader sees it once written shortest and parsed back (12.0
// reads back as the integer 12); JSON null when it is not finite.
json ReadBack(double v)
{
    return std::isfinite(v) ? json::parse(FormatDouble(v)) : json(nullptr);
}

void CheckNames(const std::vector<std::string>& names, const char* what)
{
    for (std::size_t i = 0; i < names.size(); i++)
        if (names[i].find_first_of("\t\r\n") != std::string::npos)
            throw InputError(std::string(what) + " " + std::to_string(i) + " (\"" + names[i] +
                             "\") holds a tab or a line break, which the tables of a run "
                             "directory cannot hold");
}

class Sha256 {
public:
    Sha256() : ctx_(EVP_MD_CTX_new(), EVP_MD_CTX_free)
    {
        if (!ctx_ || EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1)
            throw std::runtime_error("SHA-256 failed in libcrypto");
    }
    void Add(const void* bytes, std::size_t n)
    {
        if (EVP_DigestUpdate(ctx_.get(), bytes, n) != 1) throw std::runtime_error("SHA-256 failed in libcrypto");
    }
    void Add(const std::string& s) { Add(s.data(), s.size()); }
    std::string Hex()
    {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        if (EVP_DigestFinal_ex(ctx_.get(), md, &n) != 1) throw std::runtime_error("SHA-256 failed in libcrypto");
        static const char digits[] = "0123456789abcdef";
        std::string hex;
        for (unsigned int i = 0; i < n; i++) {
            hex += digits[md[i] >> 4];
            hex += digits[md[i] & 15];
        }
        return hex;
    }

private:
    std::unique_ptr<EVP_MD_CTX, void (*)(EVP_MD_CTX*)> ctx_;
};

}  // namespace

std::string StudyRunFault(const RunResult& run)
{
    if (!run.complete()) return run.error.empty() ? "the run did not complete" : run.error;
    return RunFault(ViewOf(run));
}

std::string ArraySha256(const Dataset& data, bool sigmas)
{
    Sha256 sha;
    sha.Add("zarno array 1\n" + std::to_string(data.genes) + " " + std::to_string(data.samples) + "\n");
    for (const auto& name : Names(data.geneNames, static_cast<std::size_t>(data.genes), 'g')) sha.Add(name + "\n");
    for (const auto& name : Names(data.sampleLabels, static_cast<std::size_t>(data.samples), 's'))
        sha.Add(name + "\n");
    const double* values = sigmas ? data.sigmas : data.values;
    sha.Add(values, static_cast<std::size_t>(data.genes) * static_cast<std::size_t>(data.samples) * sizeof(double));
    return sha.Hex();
}

void WriteStudyRuns(const std::string& dir, const StudyRuns& study)
{
    CheckNames(study.geneNames, "gene name");
    CheckNames(study.sampleLabels, "sample label");
    std::error_code ec;
    if (std::filesystem::exists(dir, ec) &&
        (!std::filesystem::is_directory(dir, ec) || !std::filesystem::is_empty(dir, ec)))
        throw InputError(dir + ": exists and is not an empty directory; save into a new or empty one");
    RunDir::Check(dir, study.id, false);

    auto write = [&study](const RunDir& to, const RunResult& r) {
        const std::string fault = StudyRunFault(r);
        if (fault.empty()) {
            to.WriteRun(ViewOf(r), study.geneNames, study.sampleLabels);
        } else {
            to.WriteFailedRun(ViewOf(r), fault);
        }
    };
    RunDir plain(dir, study.id, kVersion);
    for (const RunResult* r : InKeyOrder(study.runs)) write(plain, *r);
    if (!study.heldOut.empty()) {
        RunDir twins(dir, study.id, kVersion, true);
        for (const RunResult* r : InKeyOrder(study.heldOut)) write(twins, *r);
    }
    plain.WriteSummary();
}

RunDirectory DescribeStudyRuns(const std::string& dirIn, const StudyRuns& study)
{
    RunDirectory d;
    d.dir = dirIn;
    while (d.dir.size() > 1 && d.dir.back() == '/') d.dir.pop_back();
    const RunLayout layout(d.dir);
    const JobIdentity& id = study.id;
    d.job = json::parse(id.ToJson());
    d.dataSha256 = id.dataSha256;
    d.uncertSha256 = id.weighted ? id.uncertSha256 : "";

    std::map<RunKey, double> heldOutErrors;
    for (const RunResult& t : study.heldOut)
        if (StudyRunFault(t).empty()) heldOutErrors[{t.patterns, t.chain}] = t.holdoutError;
    for (const RunResult* r : InKeyOrder(study.runs)) {
        SurveyRun s;
        s.patterns = r->patterns;
        s.chain = r->chain;
        s.weighted = r->weighted;
        // Written as a failed run, with its reason.
        const std::string fault = StudyRunFault(*r);
        if (!fault.empty()) {
            s.status = SurveyRun::kFailed;
            s.problem = fault;
        } else {
            s.amplitudes = r->amplitudes;
            s.patternRows = r->patternRows;
            s.chiSquare = r->chiSquare;
            s.ssr = r->ssr;
            if (id.trace)
                for (double v : r->trace)
                    if (std::isfinite(v)) s.trace.push_back(v);
        }
        const auto twin = heldOutErrors.find({r->patterns, r->chain});
        if (twin != heldOutErrors.end() && std::isfinite(twin->second)) s.holdoutError = twin->second;
        RunRecord rec;
        rec.patterns = r->patterns;
        rec.chain = r->chain;
        rec.meta = {{"patterns", r->patterns},     {"chain", r->chain},
                    {"rounds", r->rounds},         {"weighted", r->weighted},
                    {"chi_square", ReadBack(r->chiSquare)}, {"ssr", ReadBack(r->ssr)},
                    {"seed_a", r->seedA},          {"seed_p", r->seedP},
                    {"seconds", ReadBack(r->seconds)},      {"version", kVersion},
                    {"arithmetic", id.arithmetic}};
        if (!fault.empty()) {
            rec.meta["status"] = "failed";
            rec.meta["reason"] = fault;
        }
        d.records.push_back(std::move(rec));
        d.runs.push_back(std::move(s));
    }
    if (d.records.empty()) throw RunDirError(layout.Runs() + ": no complete run (no runs/k<P>/c<C>/run.json)");
    const bool anyComplete = std::any_of(d.runs.begin(), d.runs.end(),
                                         [](const SurveyRun& s) { return s.status == SurveyRun::kComplete; });
    if (!anyComplete) throw RunDirError(layout.Runs() + ": every run failed; nothing to survey");

    d.data.genes = id.genes;
    d.data.samples = id.samples;
    // The degrees of freedom count observed cells only, as the reader counts them.
    d.missingCells = id.missingCells;
    d.data.cells = static_cast<long long>(id.genes) * id.samples - id.missingCells;
    d.data.geneNames = Names(study.geneNames, static_cast<std::size_t>(id.genes), 'g');
    d.data.sampleLabels = Names(study.sampleLabels, static_cast<std::size_t>(id.samples), 's');
    return d;
}

}  // namespace zarno
