#include "annotation_options.h"

#include <cstdio>

#include <CLI/CLI.hpp>

namespace zarno::cli {

void AddAnnotationOptions(CLI::App& app, AnnotationArgs& a, bool batchNeedsTable)
{
    CLI::Option* table =
        app.add_option("--annotations", a.path,
                       "Sample annotations: a table (tab-separated, or .csv) of a sample label "
                       "column, then columns of categories or numbers (NA or empty where "
                       "unknown), one row per sample of the data. Kept in DIR (replacing what "
                       "was there) for later surveys and reports, which measure how the "
                       "consensus clusters and patterns follow each column; the suggested "
                       "count never uses them")
            ->type_name("FILE");
    CLI::Option* batch =
        app.add_option("--batch", a.batch,
                       "An annotation column that records a technical batch (repeatable; "
                       "columns named like batch, plate, lane, run, date ... are taken as such "
                       "anyway): a pattern or clusters that follow it are reported as a likely "
                       "batch effect. Replaces the columns flagged before")
            ->type_name("COLUMN")
            ->expected(1)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
            ->each([&a](const std::string&) { a.batchGiven = true; });
    if (batchNeedsTable) batch->needs(table);
}

AnnotationUpdate ReadAnnotationUpdate(const AnnotationArgs& a)
{
    AnnotationUpdate u;
    if (!a.path.empty()) u.table = ReadAnnotationTable(a.path);
    if (a.batchGiven) u.batch = a.batch;
    return u;
}

void WarnOfAnnotations(const Annotations& annotations)
{
    for (const std::string& w : annotations.warnings) std::fprintf(stderr, "zarno: warning: %s\n", w.c_str());
    std::fflush(stderr);
}

}  // namespace zarno::cli
