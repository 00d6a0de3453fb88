#include "zarno/run_layout.h"

#include <charconv>

namespace zarno {

std::string JoinPath(const std::string& dir, const std::string& name)
{
    return dir.empty() || dir.back() == '/' ? dir + name : dir + "/" + name;
}

std::string RunLayout::JobJson() const { return JoinPath(dir_, "job.json"); }
std::string RunLayout::Summary() const { return JoinPath(dir_, "summary.tsv"); }
std::string RunLayout::Lock() const { return JoinPath(dir_, kLockName); }

std::string RunLayout::Runs(bool heldOut) const
{
    return JoinPath(dir_, heldOut ? "holdout" : "runs");
}

std::string RunLayout::RunFolder(const RunKey& key, bool heldOut) const
{
    return JoinPath(Runs(heldOut), RunName(key));
}

std::string RunLayout::RunJson(const RunKey& key, bool heldOut) const
{
    return JoinPath(RunFolder(key, heldOut), "run.json");
}

std::string RunLayout::Amplitudes(const RunKey& key, bool heldOut) const
{
    return JoinPath(RunFolder(key, heldOut), "amplitudes.tsv");
}

std::string RunLayout::Patterns(const RunKey& key, bool heldOut) const
{
    return JoinPath(RunFolder(key, heldOut), "patterns.tsv");
}

std::string RunLayout::Slurm() const { return JoinPath(dir_, kSlurmName); }
std::string RunLayout::SlurmLogs() const { return JoinPath(Slurm(), "logs"); }
std::string RunLayout::ArrayScript() const { return JoinPath(Slurm(), "array.sbatch"); }
std::string RunLayout::CombineScript() const { return JoinPath(Slurm(), "combine.sbatch"); }
std::string RunLayout::Plan() const { return JoinPath(Slurm(), "plan.json"); }

std::string RunLayout::SurveyTsv() const { return JoinPath(dir_, "survey.tsv"); }
std::string RunLayout::SurveyJson() const { return JoinPath(dir_, "survey.json"); }
std::string RunLayout::Report() const { return JoinPath(dir_, "report.html"); }
std::string RunLayout::AnnotationsTsv() const { return JoinPath(dir_, "annotations.tsv"); }
std::string RunLayout::AnnotationsJson() const { return JoinPath(dir_, "annotations.json"); }

std::string RunLayout::Consensus() const { return JoinPath(dir_, "consensus"); }

std::string RunLayout::Consensus(int patterns) const
{
    return JoinPath(Consensus(), "k" + std::to_string(patterns));
}

bool RunFolderNumber(const std::string& name, char prefix, int* number)
{
    if (name.size() < 2 || name[0] != prefix || name[1] < '1' || name[1] > '9') return false;
    const char* end = name.data() + name.size();
    const auto r = std::from_chars(name.data() + 1, end, *number);
    return r.ec == std::errc{} && r.ptr == end;
}

std::string RunName(const RunKey& key)
{
    return "k" + std::to_string(key.patterns) + "/c" + std::to_string(key.chain);
}

void AppendDouble(std::string& out, double v)
{
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

std::string FormatDouble(double v)
{
    std::string s;
    AppendDouble(s, v);
    return s;
}

std::string MatrixTsv(const std::string& corner, const std::vector<std::string>& rowNames,
                      const std::vector<std::string>& columnNames, const double* values)
{
    const std::size_t columns = columnNames.size();
    std::string out;
    out.reserve((rowNames.size() + 1) * (columns * 24 + 16));
    out += corner;
    for (const std::string& c : columnNames) {
        out += '\t';
        out += c;
    }
    out += '\n';
    for (std::size_t r = 0; r < rowNames.size(); r++) {
        out += rowNames[r];
        for (std::size_t c = 0; c < columns; c++) {
            out += '\t';
            if (values == nullptr) {
                out += "NA";
            } else {
                AppendDouble(out, values[r * columns + c]);
            }
        }
        out += '\n';
    }
    return out;
}

std::string NameAt(const std::vector<std::string>& names, std::size_t i, char prefix)
{
    return i < names.size() ? names[i] : prefix + std::to_string(i + 1);
}

std::vector<std::string> Names(const std::vector<std::string>& names, std::size_t count,
                               char prefix)
{
    std::vector<std::string> out;
    out.reserve(count);
    for (std::size_t i = 0; i < count; i++) out.push_back(NameAt(names, i, prefix));
    return out;
}

}  // namespace zarno
