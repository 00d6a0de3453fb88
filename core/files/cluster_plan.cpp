// The plan of a study spread over a cluster's workers (DIR/slurm/plan.json):
// written with the job scripts, read back by the survey to name missing runs.
#include "zarno/cluster_plan.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <map>

#include "zarno/run_layout.h"

namespace fs = std::filesystem;

namespace zarno {

std::string PlanJson(const std::vector<RunKey>& runs, int workers)
{
    nlohmann::json plan;
    plan["format"] = "zarno slurm plan 1";
    plan["workers"] = workers;
    nlohmann::json list = nlohmann::json::array();
    for (int w = 0; w < workers; w++)
        for (const RunKey& k : WorkerShare(runs, w, workers))
            list.push_back({{"patterns", k.patterns}, {"chain", k.chain}, {"worker", w}});
    plan["runs"] = list;
    return plan.dump(1) + "\n";
}

std::string MissingRuns(const std::string& dir)
{
    const RunLayout layout(dir);
    std::ifstream in(layout.Plan());
    if (!in) return "";
    std::map<int, std::vector<std::string>> byWorker;
    std::size_t planned = 0, missing = 0;
    try {
        const nlohmann::json plan = nlohmann::json::parse(in);
        for (const auto& r : plan.at("runs")) {
            const int p = r.at("patterns").get<int>(), c = r.at("chain").get<int>();
            planned++;
            std::error_code ec;
            if (fs::is_regular_file(layout.RunJson({p, c}), ec)) continue;
            missing++;
            byWorker[r.at("worker").get<int>()].push_back("k" + std::to_string(p) + " c" +
                                                          std::to_string(c));
        }
    } catch (const std::exception& e) {
        return "The cluster plan " + layout.Plan() + " cannot be read: " + e.what() + "\n";
    }
    if (missing == 0) return "All " + std::to_string(planned) + " runs of the cluster plan are complete.\n";
    std::string text = "Missing " + std::to_string(missing) + " of the " + std::to_string(planned) +
                       " runs of the cluster plan (" + layout.Plan() + "):\n";
    for (const auto& [worker, runs] : byWorker) {
        text += "  worker " + std::to_string(worker) + ":";
        for (const auto& r : runs) text += " " + r + (&r == &runs.back() ? "" : ",");
        text += "\n";
    }
    text += "Run those workers again (sbatch --array=";
    for (auto it = byWorker.begin(); it != byWorker.end(); ++it)
        text += (it == byWorker.begin() ? "" : ",") + std::to_string(it->first);
    return text + " " + layout.ArrayScript() + ") to complete the study.\n";
}

}  // namespace zarno
