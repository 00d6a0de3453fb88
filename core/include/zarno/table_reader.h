// Readers of the input files: labelled matrices (text, .csv, either
// gzip-compressed) and control files. A fault is reported as an InputError
// (errors.h) whose text starts with "file:line:column:", the way compilers do.
#ifndef ZARNO_TABLE_READER_H
#define ZARNO_TABLE_READER_H

#include <cstdint>
#include <string>
#include <vector>

#include "zarno/errors.h"

namespace zarno {

// A genes x samples matrix as read from a file.
struct Table {
    std::string path;
    std::string corner;                     // the header's first word when it labels the names
    std::vector<std::string> sampleLabels;  // one per column of values
    std::vector<std::string> geneNames;     // one per row
    std::vector<int> lines;                 // the file line of each row, from 1
    int headerLine = 0;
    std::vector<int> labelColumns;          // the column of each sample label, from 1
    std::vector<double> values;             // genes x samples, row-major
    int genes = 0;
    int samples = 0;
    std::string sha256;  // hex SHA-256 of the contents after decompression
    // Values below zero: how many, and where the first one is.
    long long negatives = 0;
    int negativeLine = 0, negativeColumn = 0, negativeGene = -1, negativeSample = -1;
    // Missing values (ReadOptions::allowMissing), NaN in `values`: how many,
    // and where the first one is.
    long long missing = 0;
    int missingLine = 0, missingColumn = 0;
    // Rows whose gene name an earlier row has already, and the first of them
    // (its row, from 0, and the row it repeats).
    long long duplicateGenes = 0;
    int duplicateGene = -1, duplicateOf = -1;
};

struct ReadOptions {
    // Every value must be above zero (uncertainties that weight the fit).
    bool positive = false;
    // What the values are, for messages ("data", "uncertainty").
    std::string what = "data";
    // NA and NaN (any case) and empty fields are missing values, read as
    // NaN; otherwise they are refused.
    bool allowMissing = false;
};

// Reads a labelled matrix: a header of sample labels (optionally with a corner
// label first), then per gene its name and one value per sample. Separators:
// commas for a .csv (quotes allowed), tabs when the header holds a tab (empty
// fields are then possible), otherwise runs of spaces. Sample labels must be
// unique; gene names that repeat are counted. gzip-compressed
// files are recognised by their contents. Blank lines are skipped, CRLF and a
// UTF-8 byte order mark are accepted. Values are read by std::from_chars:
// correctly rounded, so a number written shortest reads back to its bits.
Table ReadTable(const std::string& path, const ReadOptions& options = {});

// The size of a table without its values: the header and first row read as
// ReadTable reads them (same faults), the other rows only counted. Streams
// the file: memory stays small whatever its size.
struct TableShape {
    std::int64_t genes = 0;
    std::int64_t samples = 0;
};
TableShape ReadTableShape(const std::string& path);

// A table of text: every non-blank line of a file split into fields by the
// rules of ReadTable (commas for a .csv, tabs when the first line holds one,
// otherwise runs of spaces; gzip, CRLF and a byte order mark accepted), each
// field kept as text with its column. Row 0 is the first line.
struct TextTable {
    std::string path;
    std::vector<int> lines;                        // per row, the file line from 1
    std::vector<std::vector<std::string>> fields;  // per row
    std::vector<std::vector<int>> columns;         // per row, each field's column from 1
    std::string sha256;                            // of the contents after decompression
};
TextTable ReadTextTable(const std::string& path);

// Data and (when `uncertPath` is not empty) uncertainties, read at the same
// time on two threads. When both are bad, the data's fault is reported.
// `allowMissing`: both may hold missing values (ReadOptions).
void ReadDataAndUncertainties(const std::string& dataPath, const std::string& uncertPath,
                              Table* data, Table* uncert, bool allowMissing = false);

// The whole contents of a file, decompressed when it is gzip data.
std::string ReadFileContents(const std::string& path);

// Hex SHA-256 of bytes.
std::string Sha256Hex(const std::string& bytes);

// A control file: line 1 genes, samples and the uncertainty flag; line 2 the
// first and last pattern count, chains and rounds; anything after the numbers
// of a line is a comment. It names its data `<tag>.txt` and uncertainties
// `<tag>.unc` beside it (`.gz` versions when only those exist).
struct ControlFile {
    std::string path;
    int genes = 0, samples = 0, uncertFlag = 0;
    int firstRank = 0, lastRank = 0, chains = 0, rounds = 0;
    std::string dataPath, uncertPath;
};

ControlFile ReadControlFile(const std::string& path);

// True for a path the command takes as a control file (.ctr).
bool IsControlFile(const std::string& path);

}  // namespace zarno

#endif
