// A study's runs held in memory by a front end (a sweep just finished in a
// notebook): the run directory they make, written to disk or only described.
// The files are those `zarno run` writes (run_dir.h); the description is what
// ReadRunDirectory (run_reader.h) gives back for them, so the survey of runs
// in memory equals the survey of the same runs read from disk.
#ifndef ZARNO_STUDY_RUNS_H
#define ZARNO_STUDY_RUNS_H

#include <string>
#include <vector>

#include "zarno/api.h"
#include "zarno/run_dir.h"
#include "zarno/run_reader.h"

namespace zarno {

struct StudyRuns {
    JobIdentity id;  // what job.json says; id.genes and id.samples give the shape
    std::vector<std::string> geneNames;     // empty, or one per gene
    std::vector<std::string> sampleLabels;  // empty, or one per sample
    // The plain runs and their twins with held-out cells (id.holdout > 0), in
    // any order. A run that is not complete, or whose numbers are not finite
    // (RunFault), is a failed run: written and described as `zarno run`
    // writes one (run.json says why), left out of the survey.
    std::vector<RunResult> runs;
    std::vector<RunResult> heldOut;
};

// Why a run of a study failed: "" for a complete run with finite numbers.
std::string StudyRunFault(const RunResult& run);

// The hex SHA-256 that stands in job.json for data held in memory, where the
// command has the checksum of a file: of the shape, the names (g1, s1, ...
// where none were given) and the bytes of the values (or, with `sigmas`, of
// the uncertainties).
std::string ArraySha256(const Dataset& data, bool sigmas);

// Writes the runs into DIR as `zarno run` writes its own: job.json, each run's
// files (run.json last, every file whole or not at all), the twins, then
// summary.tsv. Refuses DIR (InputError) before anything is written when it
// exists and is not empty, or when a name holds a tab or a line break, which
// the tables cannot hold; throws std::system_error when a file cannot be
// written.
void WriteStudyRuns(const std::string& dir, const StudyRuns& study);

// What ReadRunDirectory(dir) gives back once WriteStudyRuns(dir, study) has
// written them, made without touching a file. Throws RunDirError when no run
// is complete, as the reader does.
RunDirectory DescribeStudyRuns(const std::string& dir, const StudyRuns& study);

}  // namespace zarno

#endif
