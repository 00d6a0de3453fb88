// The run directory of a study: what `zarno run` writes and how it survives
// being killed. Where each file lies is in run_layout.h.
//
// Every file is written to a temporary name in its own folder, flushed to disk
// and renamed over its final name, so a reader (or a later --resume) sees a
// whole file or none. Several processes may share one DIR (workers of a job
// array): they compute disjoint runs, and the files they share (job.json,
// summary.tsv) are written under a lock on DIR/.lock.
#ifndef ZARNO_RUN_DIR_H
#define ZARNO_RUN_DIR_H

#include <map>
#include <string>
#include <vector>

#include "zarno/api.h"
#include "zarno/errors.h"
#include "zarno/run_layout.h"

namespace zarno {

// Writes `content` to a temporary name beside `path`, flushes it to disk and
// renames it to `path` (mode 0644, or 0755 when `executable`). Throws
// std::system_error naming the file.
void WriteFileAtomic(const std::string& path, const std::string& content,
                     bool executable = false);

// Flushes a directory's entries (renames, new files) to disk.
void SyncDirectory(const std::string& dir);

// Creates a directory and its missing parents; each new entry is flushed.
void MakeDirectories(const std::string& dir);

// What makes the runs of two studies comparable: runs are kept, mixed or
// summarised together only when all of this is equal. The pattern counts and
// chains are not part of it: a study may be extended with more of either.
struct JobIdentity {
    std::string dataSha256;
    std::string uncertSha256;  // empty when unweighted
    int genes = 0, samples = 0;
    bool weighted = false;
    int rounds = 0;             // planned; with a tolerance, the most a run uses
    bool trace = false;
    double tolerance = 0.0;     // > 0: runs stop once chi-square settles
    double holdout = 0.0;       // > 0: each run has a twin with this fraction held out
    // The arithmetic of the plain runs (ArithmeticName: "classic" or "gram",
    // what UsesGramForm decided). A job.json without it ran the classic one.
    std::string arithmetic = "classic";
    long long missingCells = 0;  // cells the data lack (in job.json only when > 0)

    std::string ToJson() const;
    // Differences to the job.json text `json` ("" when equal); throws
    // InputError when it is not a job description.
    std::string Differences(const std::string& json) const;
};

class RunDir {
public:
    // Refuses DIR (InputError naming it) when it exists and is not empty
    // without `resume`, or holds a study of other data or options; writes
    // nothing. Call before anything is created.
    static void Check(const std::string& dir, const JobIdentity& id, bool resume);

    // Creates DIR and job.json when missing (after Check). `version` goes
    // into every run.json. `heldOut`: the runs with held-out cells, in
    // DIR/holdout, beside (and never instead of) the plain runs in DIR/runs.
    RunDir(std::string dir, JobIdentity id, std::string version, bool heldOut = false);

    const std::string& Path() const { return layout_.Dir(); }
    std::string RunFolder(const RunKey& key) const { return layout_.RunFolder(key, heldOut_); }

    // The run's run.json is there, whole, and matches the job.
    bool Complete(const RunKey& key) const;

    // Removes what an unfinished attempt left in the run's folder.
    void Clear(const RunKey& key) const;

    // Writes a complete run's files; run.json last.
    void WriteRun(const RunView& run, const std::vector<std::string>& geneNames,
                  const std::vector<std::string>& sampleLabels) const;

    // Writes the run.json of a run that failed (RunFault): "status" "failed"
    // and the reason, no matrices. It is not complete: --resume tries it again,
    // the survey lists it as failed.
    void WriteFailedRun(const RunView& run, const std::string& reason) const;

    // Rewrites summary.tsv from the complete plain runs present (any
    // process's), with the held-out error of each one's twin where it is
    // complete. Returns the number of runs it lists.
    int WriteSummary();

    // The run.json text of a run (exposed for tests); with a `failure`, that
    // of a failed run.
    std::string RunJson(const RunView& run, const std::string& failure = "") const;

private:
    RunLayout layout_;
    JobIdentity id_;
    std::string version_;
    bool heldOut_ = false;
    std::map<RunKey, std::string> rows_;     // summary lines of runs seen complete
    std::map<RunKey, std::string> seconds_;  // their wall times
};

}  // namespace zarno

#endif
