// Sample annotations (see annotations.h): read, matched to the data's
// samples, kept in a run directory.
#include "zarno/annotations.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <fstream>
#include <set>
#include <sstream>
#include <unordered_map>

#include <fmt/format.h>

#include "zarno/run_dir.h"
#include "zarno/run_layout.h"
#include "zarno/table_reader.h"

namespace zarno {

namespace {

using nlohmann::json;

std::string Quoted(const std::string& s)
{
    std::string out = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') out += '\\';
        out += c;
        if (out.size() > 60) return out + "...\"";
    }
    return out + "\"";
}

bool Missing(const std::string& v)
{
    return v.empty() || v == "NA" || v == "NaN" || v == "N/A";
}

// A value the tab-separated copy can hold.
void CheckText(const std::string& path, int line, int column, const std::string& v,
               const char* what)
{
    if (v.find_first_of("\t\r\n") != std::string::npos) {
        throw InputError(fmt::format("{}:{}:{}: the {} {} holds a tab or a line break, which the "
                                     "tab-separated copy in the run directory cannot hold",
                                     path, line, column, what, Quoted(v)));
    }
}

std::optional<double> Number(const std::string& v)
{
    const char* b = v.data();
    const char* e = b + v.size();
    if (b < e && *b == '+') b++;
    double x = 0.0;
    const auto r = std::from_chars(b, e, x);
    if (r.ec != std::errc{} || r.ptr != e || b == e || !std::isfinite(x)) return std::nullopt;
    return x;
}

// Where a row or cell of the table is, for messages: "file:line:column" from
// a file, "source, row N" for a table built in memory.
std::string Where(const AnnotationTable& t, size_t row, int column)
{
    if (row < t.lines.size()) return fmt::format("{}:{}:{}", t.source, t.lines[row], column);
    return fmt::format("{}, row {}", t.source, row + 1);
}

int CellColumn(const AnnotationTable& t, size_t row, size_t c)
{
    return row < t.where.size() && c < t.where[row].size() ? t.where[row][c] : 1;
}

AnnotationColumn::Kind KindByRule(const std::vector<std::string>& values)
{
    std::set<double> distinct;
    bool whole = true, any = false;
    for (const std::string& v : values) {
        if (Missing(v)) continue;
        const std::optional<double> x = Number(v);
        if (!x) return AnnotationColumn::kCategories;
        any = true;
        whole = whole && *x == std::floor(*x);
        distinct.insert(*x);
    }
    if (!any) return AnnotationColumn::kCategories;
    if (whole && distinct.size() <= static_cast<size_t>(kMaxIntegerLevels))
        return AnnotationColumn::kCategories;
    return AnnotationColumn::kNumbers;
}

// Fills a column's codes and levels, or its numbers, from its text.
void Classify(AnnotationColumn& col)
{
    const size_t S = col.text.size();
    col.missing = 0;
    for (const std::string& v : col.text) col.missing += v.empty();
    if (col.kind == AnnotationColumn::kNumbers) {
        col.numbers.assign(S, std::nullopt);
        for (size_t s = 0; s < S; s++)
            if (!col.text[s].empty()) col.numbers[s] = Number(col.text[s]);
        return;
    }
    std::set<std::string> levels;
    for (const std::string& v : col.text)
        if (!v.empty()) levels.insert(v);
    col.levels.assign(levels.begin(), levels.end());
    col.codes.assign(S, -1);
    for (size_t s = 0; s < S; s++)
        if (!col.text[s].empty())
            col.codes[s] = static_cast<int>(
                std::lower_bound(col.levels.begin(), col.levels.end(), col.text[s]) -
                col.levels.begin());
}

// Why a column cannot show any agreement, or "" when it can.
std::string Degenerate(const AnnotationColumn& col)
{
    const size_t present = col.text.size() - static_cast<size_t>(col.missing);
    if (present == 0) return "holds no value";
    if (col.kind == AnnotationColumn::kCategories) {
        if (col.levels.size() == 1) return "has a single value (" + Quoted(col.levels[0]) + ")";
        return "";
    }
    std::set<double> distinct;
    for (const auto& x : col.numbers)
        if (x) distinct.insert(*x);
    if (distinct.size() == 1) return fmt::format("has a single value ({})", *distinct.begin());
    return "";
}

}  // namespace

AnnotationTable ReadAnnotationTable(const std::string& path)
{
    const TextTable text = ReadTextTable(path);
    AnnotationTable t;
    t.source = path;
    const std::vector<std::string>& header = text.fields[0];
    t.headerLine = text.lines[0];
    if (header.size() < 2) {
        throw InputError(fmt::format("{}:{}:1: the header holds {} name{}: expected the sample "
                                     "label column's name, then one name per annotation column",
                                     path, t.headerLine, header.size(),
                                     header.size() == 1 ? "" : "s"));
    }
    if (text.fields.size() < 2) {
        throw InputError(fmt::format("{}:{}:1: the header is followed by no sample rows", path,
                                     t.headerLine));
    }
    t.labelHeader = header[0];
    std::map<std::string, int> names;
    for (size_t c = 1; c < header.size(); c++) {
        const int column = text.columns[0][c];
        if (header[c].empty()) {
            throw InputError(fmt::format("{}:{}:{}: annotation column {} has no name", path,
                                         t.headerLine, column, c));
        }
        CheckText(path, t.headerLine, column, header[c], "column name");
        if (names.count(header[c]) != 0) {
            throw InputError(fmt::format("{}:{}:{}: the column name {} is repeated (column {})",
                                         path, t.headerLine, column, Quoted(header[c]),
                                         names[header[c]]));
        }
        names[header[c]] = column;
        t.columns.push_back(header[c]);
        t.headerColumns.push_back(column);
    }
    std::unordered_map<std::string, int> seen;  // label -> line
    for (size_t r = 1; r < text.fields.size(); r++) {
        const std::vector<std::string>& f = text.fields[r];
        const int line = text.lines[r];
        if (f.size() != header.size()) {
            const int column = f.size() < header.size()
                                   ? text.columns[r].back() + static_cast<int>(f.back().size())
                                   : text.columns[r][header.size()];
            throw InputError(fmt::format("{}:{}:{}: the row of sample {} holds {} fields, the "
                                         "header {} (empty fields or NA for unknown values)",
                                         path, line, column, Quoted(f[0]), f.size(),
                                         header.size()));
        }
        if (f[0].empty()) {
            throw InputError(fmt::format("{}:{}:1: a row without a sample label", path, line));
        }
        CheckText(path, line, text.columns[r][0], f[0], "sample label");
        const auto [at, fresh] = seen.emplace(f[0], line);
        if (!fresh) {
            throw InputError(fmt::format("{}:{}:1: sample {} has a row already, at line {}", path,
                                         line, Quoted(f[0]), at->second));
        }
        for (size_t c = 1; c < f.size(); c++)
            CheckText(path, line, text.columns[r][c], f[c], "value");
        t.labels.push_back(f[0]);
        t.cells.emplace_back(f.begin() + 1, f.end());
        t.lines.push_back(line);
        t.where.emplace_back(text.columns[r].begin() + 1, text.columns[r].end());
    }
    return t;
}

bool BatchLikeName(const std::string& name)
{
    static const std::set<std::string> words = {
        "batch", "plate", "lane", "run", "flowcell", "chip", "array", "slide", "center", "centre",
        "date", "operator", "lot", "instrument", "machine", "sequencer", "library", "extraction"};
    std::string lower;
    for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower.find("batch") != std::string::npos) return true;
    // Words: runs of letters, split at anything else and at a lower-to-upper
    // change (plateId); digits after a word are dropped (plate2).
    std::string word;
    auto done = [&] {
        const bool hit = words.count(word) != 0;
        word.clear();
        return hit;
    };
    for (size_t i = 0; i < name.size(); i++) {
        const unsigned char c = static_cast<unsigned char>(name[i]);
        if (std::isalpha(c)) {
            if (std::isupper(c) && i > 0 && std::islower(static_cast<unsigned char>(name[i - 1])) &&
                done())
                return true;
            word += static_cast<char>(std::tolower(c));
        } else if (done()) {
            return true;
        }
    }
    return done();
}

namespace {

// Every row names one sample of the data, once, with a value per column; the
// row of each sample.
std::unordered_map<std::string, size_t> RowsOfSamples(const AnnotationTable& t,
                                                      const std::vector<std::string>& samples)
{
    if (t.columns.empty()) throw InputError(t.source + ": no annotation column");
    if (t.cells.size() != t.labels.size()) {
        throw InputError(fmt::format("{}: {} labels but {} rows of values", t.source,
                                     t.labels.size(), t.cells.size()));
    }
    std::unordered_map<std::string, size_t> position;  // the data's label -> first sample
    for (size_t s = 0; s < samples.size(); s++) position.emplace(samples[s], s);
    std::unordered_map<std::string, size_t> rowOf;
    for (size_t r = 0; r < t.labels.size(); r++) {
        if (t.cells[r].size() != t.columns.size()) {
            throw InputError(fmt::format("{}: {} values for sample {}, expected {}",
                                         Where(t, r, 1), t.cells[r].size(),
                                         Quoted(t.labels[r]), t.columns.size()));
        }
        if (position.count(t.labels[r]) == 0) {
            throw InputError(fmt::format("{}: sample {} is not a sample of the data ({} samples, "
                                         "the first {}): every row must name one",
                                         Where(t, r, 1), Quoted(t.labels[r]), samples.size(),
                                         samples.empty() ? "none" : Quoted(samples[0])));
        }
        if (!rowOf.emplace(t.labels[r], r).second) {
            throw InputError(fmt::format("{}: sample {} has a row already", Where(t, r, 1),
                                         Quoted(t.labels[r])));
        }
    }
    return rowOf;
}

// Every sample of the data has a row; the first five without one are named.
void CheckEverySampleHasARow(const AnnotationTable& t, const std::vector<std::string>& samples,
                             const std::unordered_map<std::string, size_t>& rowOf)
{
    std::vector<std::string> without;
    std::set<std::string> listed;
    for (const std::string& s : samples)
        if (rowOf.count(s) == 0 && listed.insert(s).second) without.push_back(s);
    if (without.empty()) return;
    std::string names;
    for (size_t i = 0; i < without.size() && i < 5; i++) names += (i ? ", " : "") + Quoted(without[i]);
    if (without.size() > 5) names += fmt::format(" and {} more", without.size() - 5);
    throw InputError(fmt::format("{}: no row for {} of the data's {} samples: {} (every sample "
                                 "needs a row; NA or an empty field where a value is unknown)",
                                 t.source, without.size(), samples.size(), names));
}

void CheckBatchColumns(const AnnotationTable& t, const AnnotationOptions& options)
{
    for (const std::string& b : options.batch) {
        if (std::find(t.columns.begin(), t.columns.end(), b) == t.columns.end()) {
            std::string have;
            for (const std::string& c : t.columns) have += (have.empty() ? "" : ", ") + Quoted(c);
            throw InputError(fmt::format("{} {}: {} has no such column (it has {})",
                                         options.batchFrom, b, t.source, have));
        }
    }
}

// Column c in the data's sample order, its kind decided (a batch is always
// groups), its numbers checked.
AnnotationColumn MatchColumn(const AnnotationTable& t, size_t c,
                             const std::vector<std::string>& samples,
                             const std::unordered_map<std::string, size_t>& rowOf,
                             const AnnotationOptions& options)
{
    AnnotationColumn col;
    col.name = t.columns[c];
    col.text.resize(samples.size());
    for (size_t s = 0; s < samples.size(); s++) {
        const std::string& v = t.cells[rowOf.at(samples[s])][c];
        col.text[s] = Missing(v) ? std::string() : v;
    }
    col.flagged = std::find(options.batch.begin(), options.batch.end(), col.name) !=
                  options.batch.end();
    col.batchName = BatchLikeName(col.name);
    const auto kind = options.kinds.find(col.name);
    if (col.flagged) {
        col.kind = AnnotationColumn::kCategories;  // batches are groups, never a scale
    } else if (kind != options.kinds.end()) {
        col.kind = kind->second;
    } else {
        col.kind = KindByRule(col.text);
    }
    if (col.kind == AnnotationColumn::kNumbers) {
        for (size_t r = 0; r < t.labels.size(); r++) {
            const std::string& v = t.cells[r][c];
            if (!Missing(v) && !Number(v)) {
                throw InputError(fmt::format("{}: {} is not a number, and column {} holds numbers",
                                             Where(t, r, CellColumn(t, r, c)), Quoted(v),
                                             Quoted(col.name)));
            }
        }
    }
    Classify(col);
    return col;
}

}  // namespace

Annotations MatchAnnotations(const AnnotationTable& t, const std::vector<std::string>& samples,
                             const AnnotationOptions& options)
{
    const std::unordered_map<std::string, size_t> rowOf = RowsOfSamples(t, samples);
    CheckEverySampleHasARow(t, samples, rowOf);
    CheckBatchColumns(t, options);
    Annotations a;
    a.source = t.source;
    a.labelHeader = t.labelHeader.empty() ? "sample" : t.labelHeader;
    a.samples = samples;
    for (size_t c = 0; c < t.columns.size(); c++) {
        AnnotationColumn col = MatchColumn(t, c, samples, rowOf, options);
        const std::string why = Degenerate(col);
        if (!why.empty()) {
            a.warnings.push_back(fmt::format("{}: column {} {}: no agreement can be measured with "
                                             "it",
                                             t.source, Quoted(col.name), why));
        }
        a.columns.push_back(std::move(col));
    }
    return a;
}

std::vector<std::pair<std::string, std::string>> AnnotationFiles(const std::string& dir,
                                                                 const Annotations& a)
{
    const RunLayout layout(dir);
    std::string tsv = a.labelHeader;
    for (const AnnotationColumn& c : a.columns) tsv += "\t" + c.name;
    tsv += "\n";
    std::set<std::string> written;
    for (size_t s = 0; s < a.samples.size(); s++) {
        if (!written.insert(a.samples[s]).second) continue;
        tsv += a.samples[s];
        for (const AnnotationColumn& c : a.columns) tsv += "\t" + (c.text[s].empty() ? "NA" : c.text[s]);
        tsv += "\n";
    }
    json columns = json::array();
    for (const AnnotationColumn& c : a.columns)
        columns.push_back({{"name", c.name},
                           {"kind", c.kind == AnnotationColumn::kNumbers ? "numbers" : "categories"},
                           {"batch_flagged", c.flagged}});
    const json meta = {{"source", a.source}, {"label_column", a.labelHeader}, {"columns", columns}};
    return {{layout.AnnotationsTsv(), tsv},
            {layout.AnnotationsJson(),
             meta.dump(1, ' ', false, json::error_handler_t::replace) + "\n"}};
}

void StoreAnnotations(const std::string& dir, const Annotations& a)
{
    // The description last: a copy without it is read with the rule's kinds.
    std::vector<std::pair<std::string, std::string>> files = AnnotationFiles(dir, a);
    for (const auto& [path, text] : files) WriteFileAtomic(path, text);
}

std::optional<Annotations> LoadAnnotations(const std::string& dir,
                                           const std::vector<std::string>& samples,
                                           const std::vector<std::string>* batch)
{
    const RunLayout layout(dir);
    const std::string path = layout.AnnotationsTsv();
    std::ifstream probe(path);
    if (!probe) return std::nullopt;
    AnnotationOptions options;
    options.batchFrom = "--batch";
    std::string source = path;
    std::ifstream metaFile(layout.AnnotationsJson());
    if (metaFile) {
        std::stringstream text;
        text << metaFile.rdbuf();
        try {
            const json meta = json::parse(text.str());
            for (const json& c : meta.at("columns")) {
                const std::string name = c.at("name").get<std::string>();
                options.kinds[name] = c.at("kind").get<std::string>() == "numbers"
                                          ? AnnotationColumn::kNumbers
                                          : AnnotationColumn::kCategories;
                if (c.value("batch_flagged", false)) options.batch.push_back(name);
            }
            source = meta.value("source", path);
        } catch (const json::exception& e) {
            throw RunDirError(layout.AnnotationsJson() + ": is not the annotations' description (" +
                              e.what() + ")");
        }
    }
    if (batch != nullptr) options.batch = *batch;
    try {
        Annotations a = MatchAnnotations(ReadAnnotationTable(path), samples, options);
        // Warnings name the file the user gave, as when it was read.
        for (std::string& w : a.warnings)
            if (w.rfind(path + ": ", 0) == 0) w = source + w.substr(path.size());
        a.source = source;
        return a;
    } catch (const RunDirError&) {
        throw;
    } catch (const InputError& e) {
        // A flag the user gave names its own fault; the copy's own faults are the directory's.
        if (batch != nullptr && std::string(e.what()).rfind("--batch", 0) == 0) throw;
        throw RunDirError(e.what());
    }
}

}  // namespace zarno
