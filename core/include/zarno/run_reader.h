// Reading a run directory back: the job description, every complete run and
// the runs that are missing, checked against each other before anything is
// computed or written.
#ifndef ZARNO_CLI_RUN_READER_H
#define ZARNO_CLI_RUN_READER_H

#include <nlohmann/json.hpp>

#include <stdexcept>
#include <string>
#include <vector>

#include "zarno/survey.h"

namespace zarno {

// A run directory that cannot be used; what() names the file and the fault.
class RunDirError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

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
};

// Reads DIR (runs/k<P>/c<C>/ and, when present, holdout/k<P>/c<C>/). Throws
// RunDirError for a folder that is not a run directory, for runs of other
// data, and for corrupt or mismatched files.
RunDirectory ReadRunDirectory(const std::string& dir);

// Shortest text that reads back to the same double.
std::string NumberText(double x);

}  // namespace zarno

#endif
