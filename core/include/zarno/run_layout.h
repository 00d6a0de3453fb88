// Where everything lies in a run directory, spelled here and nowhere else, and
// how numbers are written in its files. The writer (run_dir.h), the reader
// (run_reader.h), the cluster plan and the survey build their paths here:
//
//   DIR/job.json                        what every run in DIR shares
//   DIR/summary.tsv                     one line per complete run
//   DIR/.lock                           taken by writers of the shared files
//   DIR/runs/k<P>/c<C>/amplitudes.tsv   genes x patterns
//   DIR/runs/k<P>/c<C>/patterns.tsv     patterns x samples
//   DIR/runs/k<P>/c<C>/run.json         written last: the run is complete
//   DIR/holdout/k<P>/c<C>/...           the same runs with cells held out
//   DIR/slurm/array.sbatch, combine.sbatch, plan.json, logs/
//   DIR/survey.tsv, survey.json, consensus/k<P>/, report.html
//   DIR/annotations.tsv, annotations.json  the sample annotations' copy
#ifndef ZARNO_RUN_LAYOUT_H
#define ZARNO_RUN_LAYOUT_H

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "zarno/api.h"

namespace zarno {

class RunLayout {
public:
    // Names directly in DIR that a study may hold before its job.json.
    static constexpr const char* kLockName = ".lock";
    static constexpr const char* kSlurmName = "slurm";

    // `dir` as given (a trailing '/' is not doubled).
    explicit RunLayout(std::string dir) : dir_(std::move(dir)) {}
    const std::string& Dir() const { return dir_; }

    std::string JobJson() const;
    std::string Summary() const;
    std::string Lock() const;

    // The plain runs (DIR/runs) or, with `heldOut`, their twins (DIR/holdout).
    std::string Runs(bool heldOut = false) const;
    std::string RunFolder(const RunKey& key, bool heldOut = false) const;
    std::string RunJson(const RunKey& key, bool heldOut = false) const;
    std::string Amplitudes(const RunKey& key, bool heldOut = false) const;
    std::string Patterns(const RunKey& key, bool heldOut = false) const;

    std::string Slurm() const;
    std::string SlurmLogs() const;
    std::string ArrayScript() const;
    std::string CombineScript() const;
    std::string Plan() const;

    std::string SurveyTsv() const;
    std::string SurveyJson() const;
    std::string Consensus() const;              // DIR/consensus
    std::string Consensus(int patterns) const;  // DIR/consensus/k<P>
    std::string Report() const;

    std::string AnnotationsTsv() const;
    std::string AnnotationsJson() const;

private:
    std::string dir_;
};

// The number in a run folder's name: "k<P>" (prefix 'k') or "c<C>" (prefix
// 'c'), from 1, without sign or leading zero. False for any other name.
bool RunFolderNumber(const std::string& name, char prefix, int* number);

// A run as messages and plans name it: "k<P>/c<C>".
std::string RunName(const RunKey& key);

// `dir` and `name` joined by one '/'.
std::string JoinPath(const std::string& dir, const std::string& name);

// The shortest text that reads back to the same double (std::to_chars), as
// every number in a run directory's files is written.
void AppendDouble(std::string& out, double v);
std::string FormatDouble(double v);

// A labelled matrix as the directory's .tsv files hold it: `corner` and the
// column names, then per row its name and values (row-major), tab-separated;
// with no values, every cell "NA".
std::string MatrixTsv(const std::string& corner, const std::vector<std::string>& rowNames,
                      const std::vector<std::string>& columnNames, const double* values);

// Name `i` (from 0) of a matrix's rows or columns: names[i], or `prefix` and
// i + 1 when fewer names were given (P1, g7, s3).
std::string NameAt(const std::vector<std::string>& names, std::size_t i, char prefix);
// The first `count` names so.
std::vector<std::string> Names(const std::vector<std::string>& names, std::size_t count,
                               char prefix);

}  // namespace zarno

#endif
