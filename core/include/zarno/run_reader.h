// Reading a run directory back: the job description, every complete run and
// the runs that are missing, checked against each other before anything is
// computed or written.
#ifndef ZARNO_RUN_READER_H
#define ZARNO_RUN_READER_H

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

#include "zarno/errors.h"
#include "zarno/survey.h"

namespace zarno {

struct RunRecord {
    int patterns = 0, chain = 0;
    nlohmann::json meta;  // run.json as written
};

struct RunDirectory {
    std::string dir;
    nlohmann::json job;  // job.json as written
    SurveyData data;
    std::vector<SurveyRun> runs;     // complete, failed and missing, in job order
    std::vector<RunRecord> records;  // the complete and failed runs' run.json
    std::vector<std::pair<int, int>> missing;  // (patterns, chain) planned and not complete
    std::string dataSha256, uncertSha256;
    long long missingCells = 0;  // job.json's missing_cells (data.cells counts the rest)
};

// Reads DIR (runs/k<P>/c<C>/ and, when present, holdout/k<P>/c<C>/). Throws
// RunDirError (an InputError) naming the file for a folder that is not a run
// directory, for runs of other data, and for corrupt or mismatched files.
RunDirectory ReadRunDirectory(const std::string& dir);

}  // namespace zarno

#endif
