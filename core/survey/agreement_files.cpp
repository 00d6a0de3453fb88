// The sample annotations and their agreement in survey.tsv and survey.json.
#include "agreement_files.h"

#include "zarno/run_layout.h"
#include "zarno/survey_files.h"

namespace zarno {

namespace {

using nlohmann::json;

json Opt(const std::optional<double>& x) { return x ? json(*x) : json(nullptr); }
std::string Na(const std::optional<double>& x) { return x ? FormatDouble(*x) : "NA"; }

json ColumnJson(const AnnotationColumn& c)
{
    json j = {{"name", c.name},
              {"kind", c.kind == AnnotationColumn::kNumbers ? "numbers" : "categories"},
              {"missing", c.missing},
              {"batch", c.Batch()},
              {"batch_reason", c.flagged     ? json("flagged with --batch")
                               : c.batchName ? json("named like a batch")
                                             : json(nullptr)}};
    json values = json::array();
    if (c.kind == AnnotationColumn::kNumbers) {
        for (const auto& x : c.numbers) values.push_back(Opt(x));
    } else {
        j["levels"] = c.levels;
        for (const std::string& v : c.text) values.push_back(v.empty() ? json(nullptr) : json(v));
    }
    j["values"] = values;
    return j;
}

json CountJson(const CountAgreement& k, const Annotations& a)
{
    json columns = json::array();
    for (const ColumnAgreement& c : k.columns) {
        json x = {{"column", c.column},
                  {"kind", c.numbers ? "numbers" : "categories"},
                  {"samples", c.samples},
                  {"best_pattern", c.bestPattern ? json(*c.bestPattern + 1) : json(nullptr)}};
        if (!c.numbers) {
            x["ari"] = Opt(c.ari);
            x["nmi"] = Opt(c.nmi);
        }
        json per = json::array();
        for (const auto& v : c.patterns) per.push_back(Opt(v));
        x[c.numbers ? "r" : "eta2"] = per;
        columns.push_back(x);
    }
    return {{"columns", columns},
            {"best", k.best ? json(a.columns[*k.best].name) : json(nullptr)}};
}

}  // namespace

void AddAgreementJson(const Annotations& a, const Agreement& agreement, nlohmann::json* survey)
{
    json columns = json::array();
    for (const AnnotationColumn& c : a.columns) columns.push_back(ColumnJson(c));
    (*survey)["annotations"] = {{"source", a.source},
                                {"label_column", a.labelHeader},
                                {"columns", columns},
                                {"warnings", a.warnings}};
    json effects = json::array();
    for (const BatchEffect& e : agreement.batchEffects)
        effects.push_back({{"column", e.column},
                           {"flagged", e.flagged},
                           {"patterns", e.patterns},
                           {"figure", e.figure},
                           {"pattern", e.pattern ? json(*e.pattern + 1) : json(nullptr)},
                           {"value", e.value}});
    (*survey)["batch_effects"] = effects;
    json& counts = (*survey)["counts"];
    for (size_t i = 0; i < agreement.counts.size() && i < counts.size(); i++)
        counts[i]["agreement"] = CountJson(agreement.counts[i], a);
}

std::string WithAgreementColumns(const std::string& tsv, const Annotations& a,
                                 const Agreement& agreement)
{
    std::string header;
    for (const AnnotationColumn& c : a.columns)
        header += c.kind == AnnotationColumn::kNumbers ? "\tr_" + c.name
                                                       : "\tari_" + c.name + "\tnmi_" + c.name;
    header += "\tbest_annotation";
    std::string out;
    size_t line = 0, from = 0;
    for (size_t end = tsv.find('\n'); end != std::string::npos; from = end + 1, end = tsv.find('\n', from), line++) {
        out.append(tsv, from, end - from);
        if (line == 0) {
            out += header + "\n";
            continue;
        }
        const CountAgreement* k = line - 1 < agreement.counts.size() ? &agreement.counts[line - 1] : nullptr;
        for (size_t c = 0; c < a.columns.size(); c++) {
            const ColumnAgreement* x = k && c < k->columns.size() ? &k->columns[c] : nullptr;
            if (a.columns[c].kind == AnnotationColumn::kNumbers) {
                out += "\t" + Na(x && x->bestPattern ? x->patterns[*x->bestPattern] : std::nullopt);
            } else {
                out += "\t" + Na(x ? x->ari : std::nullopt) + "\t" + Na(x ? x->nmi : std::nullopt);
            }
        }
        out += "\t" + (k && k->best ? a.columns[*k->best].name : std::string("NA")) + "\n";
    }
    return out;
}

}  // namespace zarno
