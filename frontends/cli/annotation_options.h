// The sample annotations' flags, shared by `zarno run` (and the workers
// `zarno slurm` starts) and `zarno survey|report`.
#ifndef ZARNO_CLI_ANNOTATION_OPTIONS_H
#define ZARNO_CLI_ANNOTATION_OPTIONS_H

#include <string>
#include <vector>

#include "zarno/survey_files.h"

namespace CLI {
class App;
}

namespace zarno::cli {

struct AnnotationArgs {
    std::string path;                // --annotations FILE; "" when not given
    std::vector<std::string> batch;  // --batch COLUMN, repeatable
    bool batchGiven = false;
};

// Registers --annotations and --batch on `app`, bound to `args`; with
// `batchNeedsTable`, --batch is refused without --annotations.
void AddAnnotationOptions(CLI::App& app, AnnotationArgs& args, bool batchNeedsTable);

// What the flags ask of a run directory's survey: the table read (InputError
// naming the file's line for a bad one) and the flags.
AnnotationUpdate ReadAnnotationUpdate(const AnnotationArgs& args);

// The warnings of annotations read from a user's file, on standard error.
void WarnOfAnnotations(const Annotations& annotations);

}  // namespace zarno::cli

#endif
