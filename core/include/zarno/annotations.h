// Sample annotations: what a user already knows of the samples (cell type,
// lineage, batch, patient group), one row per sample label and one column per
// property, categories or numbers. The survey measures how the consensus
// clusters and patterns follow them (agreement.h); the suggestion never reads
// them.
//
// A front end gives them as a file (ReadAnnotationTable) or builds an
// AnnotationTable in memory from its own columns; MatchAnnotations checks the
// table against the data's sample labels and sorts the columns into
// categories and numbers. A run directory keeps a copy (StoreAnnotations,
// LoadAnnotations; paths in run_layout.h), which is not part of the study's
// identity: it changes no run.
#ifndef ZARNO_ANNOTATIONS_H
#define ZARNO_ANNOTATIONS_H

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "zarno/errors.h"

namespace zarno {

// A table of annotations as given: a column of sample labels, then named
// columns of text. Missing values are empty, "NA", "NaN" or "N/A".
struct AnnotationTable {
    std::string source;       // the file, or the name messages give a table built in memory
    std::string labelHeader;  // the first column's name
    std::vector<std::string> columns;             // the other columns' names
    std::vector<std::string> labels;              // one per row
    std::vector<std::vector<std::string>> cells;  // [row][column]
    // Where each row and cell lies in the file (line, column from 1); empty
    // for a table built in memory, whose messages then name the row.
    int headerLine = 0;
    std::vector<int> headerColumns;        // per column
    std::vector<int> lines;                // per row
    std::vector<std::vector<int>> where;   // [row][column]
};

// Reads a tab-separated, space-separated or .csv table (gzip allowed), the
// rules of the data's tables. Throws InputError "file:line:column: ..." for a
// ragged row, an empty or repeated label or column name, a value holding a
// tab or line break, a file with no annotation column or no rows.
AnnotationTable ReadAnnotationTable(const std::string& path);

// One column in the data's sample order.
struct AnnotationColumn {
    enum Kind { kCategories, kNumbers };
    std::string name;
    Kind kind = kCategories;
    std::vector<std::string> text;               // per sample; "" when missing
    std::vector<int> codes;                      // categories: index into levels, -1 missing
    std::vector<std::string> levels;             // categories: the distinct values, sorted
    std::vector<std::optional<double>> numbers;  // numbers: per sample, empty when missing
    int missing = 0;
    bool batchName = false;  // named like a batch (BatchLikeName)
    bool flagged = false;    // flagged as a batch by the user (--batch)
    bool Batch() const { return batchName || flagged; }
};

struct Annotations {
    std::string source;
    std::string labelHeader = "sample";
    std::vector<std::string> samples;  // the data's labels, in order
    std::vector<AnnotationColumn> columns;
    std::vector<std::string> warnings;  // columns that cannot show any agreement
};

struct AnnotationOptions {
    // Columns the user flags as batches; each must exist. Always categories.
    std::vector<std::string> batch;
    std::string batchFrom = "--batch";  // what messages call the flag
    // Kinds fixed by the caller (a typed column of a front end, or a stored
    // copy); other columns by the rule: numbers when every value present is a
    // number, unless they are all whole numbers with at most
    // kMaxIntegerLevels distinct values (codes such as stage 1-4 or 0/1).
    std::map<std::string, AnnotationColumn::Kind> kinds;
};
constexpr int kMaxIntegerLevels = 10;

// The table matched to the data's sample labels (a label repeated in the data
// takes its one row). Throws InputError naming the file and line for a row
// whose label is not in the data, the file and the samples for samples
// without a row, and the flag for a flagged column that is not there.
// Columns with a single value (or none) are kept with a warning.
Annotations MatchAnnotations(const AnnotationTable& table, const std::vector<std::string>& samples,
                             const AnnotationOptions& options = {});

// Whether a column's name reads like a technical batch: batch, plate, lane,
// run, flowcell, chip, array, slide, center, date, operator, lot, instrument,
// ... as a word of the name (digits after it allowed), or "batch" anywhere.
bool BatchLikeName(const std::string& name);

// Writes the run directory's copy (annotations.tsv: the label column and the
// columns, one row per distinct sample label in the data's order, "NA" where
// missing; annotations.json: where it came from, each column's kind and
// flag), each file whole or not at all. Throws std::system_error.
void StoreAnnotations(const std::string& dir, const Annotations& annotations);

// The files StoreAnnotations writes, as (path, content) pairs, for a writer
// that prepares all its files before writing the first.
std::vector<std::pair<std::string, std::string>> AnnotationFiles(const std::string& dir,
                                                                 const Annotations& annotations);

// The run directory's copy matched to its samples, or nothing when it has
// none. `batch`, when given, replaces the columns flagged in the copy.
// Throws RunDirError for a copy that cannot be read.
std::optional<Annotations> LoadAnnotations(const std::string& dir,
                                           const std::vector<std::string>& samples,
                                           const std::vector<std::string>* batch = nullptr);

}  // namespace zarno

#endif
