// The plan of a study spread over a cluster's workers: which worker computes
// which run. Written as DIR/slurm/plan.json beside the job scripts.
#ifndef ZARNO_CLUSTER_PLAN_H
#define ZARNO_CLUSTER_PLAN_H

#include <string>
#include <vector>

#include "zarno/api.h"

namespace zarno {

// plan.json's text: every run of `runs` with the worker (of `workers`) whose
// share holds it.
std::string PlanJson(const std::vector<RunKey>& runs, int workers);

// The runs of DIR's cluster plan that have no run.json yet, by worker, as lines
// to print after a survey; "" when DIR has no plan.
std::string MissingRuns(const std::string& dir);

}  // namespace zarno

#endif
