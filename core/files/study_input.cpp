// The data and uncertainties of a study read from files (see study_input.h).
#include "zarno/study_input.h"

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

namespace zarno {

namespace {

std::string Quoted(const std::string& s)
{
    return "\"" + s + "\"";
}

// The uncertainties must describe the data: same genes, same samples, in order.
void CheckSameShape(const Table& data, const Table& unc)
{
    if (unc.samples != data.samples) {
        throw InputError(fmt::format("{}:{}:1: {} samples, but the data ({}) have {}", unc.path,
                                     unc.headerLine, unc.samples, data.path, data.samples));
    }
    for (int j = 0; j < data.samples; j++) {
        if (unc.sampleLabels[j] != data.sampleLabels[j]) {
            throw InputError(fmt::format(
                "{}:{}:{}: sample label {} where the data ({}) have {}", unc.path, unc.headerLine,
                unc.labelColumns[j], Quoted(unc.sampleLabels[j]), data.path,
                Quoted(data.sampleLabels[j])));
        }
    }
    const int rows = std::min(data.genes, unc.genes);
    for (int i = 0; i < rows; i++) {
        if (unc.geneNames[i] != data.geneNames[i]) {
            throw InputError(fmt::format("{}:{}:1: gene {} where the data ({}:{}) have {}",
                                         unc.path, unc.lines[i], Quoted(unc.geneNames[i]),
                                         data.path, data.lines[i], Quoted(data.geneNames[i])));
        }
    }
    if (unc.genes != data.genes) {
        const int line = unc.genes > data.genes ? unc.lines[data.genes] : unc.lines.back() + 1;
        throw InputError(fmt::format("{}:{}:1: {} gene rows, but the data ({}) have {}", unc.path,
                                     line, unc.genes, data.path, data.genes));
    }
}

// The faults of the data that the engine's checks find, named in the files.
void CheckValues(const StudyInput& in)
{
    const Refusal r = CheckDataset(in.set);
    if (!r) return;
    const Table& t = r.code == Refusal::kSigma ? in.unc : in.data;
    if (r.gene >= 0 && r.gene < t.genes) {
        throw InputError(fmt::format("{}:{}: {}", t.path, t.lines[r.gene], r.text));
    }
    if (r.sample >= 0 && r.sample < t.samples) {
        throw InputError(fmt::format("{}:{}:{}: {}", t.path, t.headerLine, t.labelColumns[r.sample],
                                     r.text));
    }
    throw InputError(fmt::format("{}: {}", t.path, r.text));
}

}  // namespace

void ReadStudyInput(const std::string& dataPath, const std::string& uncertPath,
                    const ControlFile* control, StudyInput* in, bool allowMissing)
{
    in->weighted = !uncertPath.empty();
    ReadDataAndUncertainties(dataPath, uncertPath, &in->data, &in->unc, allowMissing);
    const Table& data = in->data;
    if (in->weighted) CheckSameShape(data, in->unc);
    if (control && (control->genes != data.genes || control->samples != data.samples)) {
        throw InputError(fmt::format("{}:1:1: {} genes x {} samples, but {} holds {} x {}",
                                     control->path, control->genes, control->samples, data.path,
                                     data.genes, data.samples));
    }
    in->set.genes = data.genes;
    in->set.samples = data.samples;
    in->set.values = data.values.data();
    in->set.weighted = in->weighted;
    in->set.sigmas = in->weighted ? in->unc.values.data() : nullptr;
    in->set.geneNames = data.geneNames;
    in->set.sampleLabels = data.sampleLabels;
    in->set.allowMissing = allowMissing;
    CheckValues(*in);
    in->cells = CountCells(in->set);
    for (size_t e = 0; e < data.values.size(); e++) {
        const double v = std::fabs(data.values[e]);
        if (std::isnan(v)) continue;
        in->largest = std::max(in->largest, v);
        if (in->weighted && in->unc.values[e] > 0.0)
            in->largest = std::max(in->largest, v / in->unc.values[e]);
    }
}

}  // namespace zarno
