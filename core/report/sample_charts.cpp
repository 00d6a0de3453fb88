// The report's charts over the samples (see sample_charts.h). One chart per
// pattern count, its views stacked on one horizontal scale of sample
// positions in the consensus tree's leaf order, so a sample's column runs
// straight down through the tracks, the heatmap and the profiles:
//
//   a track per annotation column (and the consensus clusters)
//   the sample consensus heatmap
//   the consensus patterns as profiles
//   the tracks' legend
//
// Where survey.json carries the whole consensus each position is one sample;
// beyond, each is a block of consecutive samples (the heatmap shows the
// blocks' mean consensus, a track a block's most common value, the tooltips
// say what a block holds), so the page stays light whatever the number of
// samples. The heatmap is one image.
#include "sample_charts.h"

#include <fmt/core.h>
#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <vector>

namespace zarno {
namespace report {

namespace {

using nlohmann::json;

const std::vector<std::vector<const char*>> kPalettes = {
    {"#4c78a8", "#f58518", "#e45756", "#72b7b2", "#54a24b", "#eeca3b", "#b279a2", "#ff9da6",
     "#9d755d", "#bab0ac"},
    {"#66c2a5", "#fc8d62", "#8da0cb", "#e78ac3", "#a6d854", "#ffd92f", "#e5c494", "#b3b3b3"},
    {"#a6cee3", "#1f78b4", "#b2df8a", "#33a02c", "#fb9a99", "#e31a1c", "#fdbf6f", "#ff7f00",
     "#cab2d6", "#6a3d9a", "#ffff99", "#b15928"},
};
const std::vector<const char*> kMany = {
    "#1f77b4", "#aec7e8", "#ff7f0e", "#ffbb78", "#2ca02c", "#98df8a", "#d62728",
    "#ff9896", "#9467bd", "#c5b0d5", "#8c564b", "#c49c94", "#e377c2", "#f7b6d2",
    "#7f7f7f", "#c7c7c7", "#bcbd22", "#dbdb8d", "#17becf", "#9edae5"};
// The clusters' and the patterns' (dark2, in the profiles) palettes differ
// from the annotations' and from each other: no colour suggests a match
// between legends that do not match.
const std::vector<const char*> kClusterColors = {"#e41a1c", "#377eb8", "#4daf4a", "#984ea3",
                                                 "#ff7f00", "#ffff33", "#a65628", "#f781bf", "#999999"};
const std::vector<const char*> kNumberColors = {"#440154", "#472c7a", "#3b518b", "#2c718e",
                                                "#21908d", "#27ad81", "#5cc863", "#aadc32",
                                                "#fde725"};
constexpr const char* kMissing = "#d9d9d9";
constexpr size_t kLegendLevels = 20;  // levels a legend lists
constexpr int kTrackHeight = 10;
constexpr int kProfileHeight = 170;

std::string Text(const json& v)
{
    if (v.is_null()) return "NA";
    if (v.is_string()) return v.get<std::string>();
    if (v.is_number_integer()) return std::to_string(v.get<long long>());
    return fmt::format("{:.4g}", v.get<double>());
}

// One strip of colours over the samples.
struct Track {
    std::string name;
    bool numbers = false;
    std::vector<json> values;         // per sample, the data's order; null when missing
    std::vector<std::string> levels;  // categories
    std::vector<const char*> colors;  // categories: by level, cycled
    double lo = 0.0, hi = 0.0;        // numbers: their range

    std::string Color(const json& v) const
    {
        if (v.is_null()) return kMissing;
        if (numbers) {
            const double x = v.get<double>();
            const size_t n = kNumberColors.size();
            const double t = hi > lo ? (x - lo) / (hi - lo) : 0.5;
            return kNumberColors[std::min(n - 1, static_cast<size_t>(std::max(0.0, t) * n))];
        }
        const auto at = std::find(levels.begin(), levels.end(), Text(v));
        const size_t i = at == levels.end() ? 0 : static_cast<size_t>(at - levels.begin());
        return colors[i % colors.size()];
    }
};

std::vector<Track> Tracks(const json& survey, const json& count)
{
    std::vector<Track> tracks;
    Track clusters;
    const int P = count["patterns"].get<int>();
    clusters.name = fmt::format("cluster (tree cut at {})", P);
    for (int k = 1; k <= P; k++) clusters.levels.push_back(std::to_string(k));
    clusters.colors = kClusterColors;
    for (const json& c : count["clusters"]) clusters.values.push_back(c);
    tracks.push_back(clusters);
    if (!survey.contains("annotations") || !survey["annotations"].is_object()) return tracks;
    size_t categories = 0;
    for (const json& col : survey["annotations"]["columns"]) {
        Track t;
        t.name = col["name"].get<std::string>();
        t.numbers = col["kind"] == "numbers";
        for (const json& v : col["values"]) t.values.push_back(v);
        if (t.numbers) {
            bool any = false;
            for (const json& v : t.values) {
                if (v.is_null()) continue;
                const double x = v.get<double>();
                t.lo = any ? std::min(t.lo, x) : x;
                t.hi = any ? std::max(t.hi, x) : x;
                any = true;
            }
        } else {
            t.levels = col["levels"].get<std::vector<std::string>>();
            // Neighbouring columns get different palettes; long lists the longest one.
            const auto& pal = kPalettes[categories++ % kPalettes.size()];
            t.colors = t.levels.size() <= pal.size() ? pal
                       : t.levels.size() <= kPalettes[2].size() ? kPalettes[2]
                                                                : kMany;
        }
        tracks.push_back(std::move(t));
    }
    return tracks;
}

// The positions of the chart: samples, or blocks of `size` consecutive
// samples, in leaf order.
struct Units {
    int S = 0, size = 1, count = 0;
    std::vector<int> order;
    int Start(int u) const { return u * size; }
    int End(int u) const { return std::min(S, (u + 1) * size); }
};

// A block's values of a track: the most common category, or the mean.
void BlockValue(const Track& t, const Units& units, int u, std::string* text, std::string* color)
{
    const int n = units.End(u) - units.Start(u);
    if (t.numbers) {
        double sum = 0.0;
        int present = 0;
        for (int i = units.Start(u); i < units.End(u); i++) {
            const json& v = t.values[units.order[i]];
            if (!v.is_null()) sum += v.get<double>(), present++;
        }
        if (present == 0) {
            *text = fmt::format("NA ({} samples)", n);
            *color = kMissing;
            return;
        }
        *text = fmt::format("mean {:.4g} ({} of {} samples)", sum / present, present, n);
        *color = t.Color(json(sum / present));
        return;
    }
    std::map<std::string, int> counts;
    for (int i = units.Start(u); i < units.End(u); i++) counts[Text(t.values[units.order[i]])]++;
    std::vector<std::pair<int, std::string>> ranked;
    for (const auto& [v, k] : counts) ranked.push_back({-k, v});
    std::sort(ranked.begin(), ranked.end());
    *text = "";
    for (size_t i = 0; i < ranked.size() && i < 3; i++)
        *text += fmt::format("{}{} ({})", i ? ", " : "", ranked[i].second, -ranked[i].first);
    if (ranked.size() > 3) *text += fmt::format(", {} more", ranked.size() - 3);
    const std::string& top = ranked[0].second;
    *color = top == "NA" ? std::string(kMissing) : t.Color(json(top));
}

// Per position: where it lies, its label, each track's text and colour,
// and (samples) each pattern's share.
json UnitsJson(const Units& units, const std::vector<Track>& tracks, const json& labels,
               const json& mean)
{
    json out = json::array();
    for (int u = 0; u < units.count; u++) {
        json x = {{"u", u}, {"x", units.Start(u)}, {"x2", units.End(u)}};
        const int first = units.order[units.Start(u)], last = units.order[units.End(u) - 1];
        // A block of one sample is that sample.
        x["l"] = first == last ? labels[first]
                               : json(fmt::format("{} \u2026 {} ({} samples)", labels[first].get<std::string>(),
                                                  labels[last].get<std::string>(), units.End(u) - units.Start(u)));
        // Samples' shares by sample, blocks' by block.
        for (size_t p = 0; p < mean.size(); p++)
            x["m" + std::to_string(p + 1)] = mean[p][units.size == 1 ? first : u];
        for (size_t t = 0; t < tracks.size(); t++) {
            std::string text, color;
            if (units.size == 1) {
                const json& v = tracks[t].values[first];
                text = Text(v);
                color = tracks[t].Color(v);
            } else {
                BlockValue(tracks[t], units, u, &text, &color);
            }
            x["t" + std::to_string(t)] = text;
            x["c" + std::to_string(t)] = color;
        }
        out.push_back(x);
    }
    return out;
}

// The consensus by unit (row-major, units x units), in leaf order.
std::vector<double> CellValues(const json& count, const Units& units)
{
    std::vector<double> v;
    v.reserve(static_cast<size_t>(units.count) * units.count);
    const bool blocks = units.size > 1;
    const json& m = blocks ? count["consensus_blocks"]["mean"] : count["consensus"];
    for (int i = 0; i < units.count; i++)
        for (int j = 0; j < units.count; j++)
            v.push_back(blocks ? m[i][j].get<double>()
                               : m[units.order[i]][units.order[j]].get<double>());
    return v;
}

// The heatmap's colours: the 9-class "blues" ramp, interpolated linearly in
// RGB (the legend's scale interpolates the same way).
const std::vector<const char*> kBlues = {"#f7fbff", "#deebf7", "#c6dbef", "#9ecae1", "#6baed6",
                                         "#4292c6", "#2171b5", "#08519c", "#08306b"};

void Blue(double v, unsigned char* rgb)
{
    const double t = std::clamp(v, 0.0, 1.0) * static_cast<double>(kBlues.size() - 1);
    const size_t k = std::min(kBlues.size() - 2, static_cast<size_t>(t));
    const double f = t - static_cast<double>(k);
    for (int c = 0; c < 3; c++) {
        const int a = std::stoi(std::string(kBlues[k] + 1 + 2 * c, 2), nullptr, 16);
        const int b = std::stoi(std::string(kBlues[k + 1] + 1 + 2 * c, 2), nullptr, 16);
        rgb[c] = static_cast<unsigned char>(std::lround(a + f * (b - a)));
    }
}

std::string Base64(const std::string& bytes)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < bytes.size(); i += 3) {
        const size_t n = std::min<size_t>(3, bytes.size() - i);
        unsigned v = 0;
        for (size_t k = 0; k < 3; k++)
            v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (size_t k = 0; k < 4; k++) out += k <= n ? digits[(v >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

void Chunk(std::string& png, const char* type, const std::string& data)
{
    const uint32_t n = static_cast<uint32_t>(data.size());
    for (int s = 24; s >= 0; s -= 8) png += static_cast<char>(n >> s & 255);
    const std::string body = std::string(type, 4) + data;
    png += body;
    const uLong crc = crc32(0L, reinterpret_cast<const Bytef*>(body.data()), static_cast<uInt>(body.size()));
    for (int s = 24; s >= 0; s -= 8) png += static_cast<char>(crc >> s & 255);
}

// The consensus as a PNG image (a pixel per unit), as a data URL: one
// element however many cells, where a mark per cell would cost the page
// seconds at a few hundred samples.
std::string HeatImage(const std::vector<double>& values, int n)
{
    std::string raw;
    raw.reserve(static_cast<size_t>(n) * (3 * n + 1));
    unsigned char rgb[3];
    for (int i = 0; i < n; i++) {
        raw += '\0';  // no filter
        for (int j = 0; j < n; j++) {
            Blue(values[static_cast<size_t>(i) * n + j], rgb);
            raw.append(reinterpret_cast<const char*>(rgb), 3);
        }
    }
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    std::string packed(size, '\0');
    if (compress2(reinterpret_cast<Bytef*>(&packed[0]), &size, reinterpret_cast<const Bytef*>(raw.data()),
                  static_cast<uLong>(raw.size()), 9) != Z_OK)
        throw std::runtime_error("cannot compress the heatmap's image");
    packed.resize(size);
    std::string header;
    for (int v : {n, n})
        for (int s = 24; s >= 0; s -= 8) header += static_cast<char>(v >> s & 255);
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8-bit RGB, no interlace
    std::string png = "\x89PNG\r\n\x1a\n";
    Chunk(png, "IHDR", header);
    Chunk(png, "IDAT", packed);
    Chunk(png, "IEND", "");
    return "data:image/png;base64," + Base64(png);
}

// The labels shown: every k-th sample so that two are kLabelSpacing apart.
json ShownLabels(const Units& units, const json& labels, double width)
{
    const int step = std::max(1, static_cast<int>(std::ceil(kLabelSpacing * units.S / width)));
    json out = json::array();
    for (int i = 0; i < units.S; i += step)
        out.push_back({{"p", i + 0.5}, {"t", labels[units.order[i]]}});
    return out;
}

// Per pattern and position: the pattern's number, the position, its share
// and deviation (where there are two chains), a block's their means over its
// samples; the page places them.
json ProfileValues(const json& count, const Units& units)
{
    const bool blocks = units.size > 1;
    const json& mean = blocks ? count["consensus_blocks"]["pattern_mean"] : count["pattern_mean"];
    const json& sd = blocks ? count["consensus_blocks"]["pattern_sd"] : count["pattern_sd"];
    json values = json::array();
    for (size_t p = 0; p < mean.size(); p++)
        for (int i = 0; i < units.count; i++) {
            const int s = blocks ? i : units.order[i];
            json v = {{"p", p + 1}, {"i", i}, {"m", mean[p][s]}};
            if (sd.is_array()) v["s"] = sd[p][s];
            values.push_back(v);
        }
    return values;
}

json Axis(const std::string& field, int S, bool reverse = false)
{
    json scale = {{"domain", {0, S}}, {"nice", false}, {"zero", false}};
    if (reverse) scale["reverse"] = true;
    return {{"field", field}, {"type", "quantitative"}, {"scale", scale}, {"axis", nullptr}};
}

json Tooltip(const std::string& field, const std::string& title)
{
    return {{"field", field}, {"type", "nominal"}, {"title", title}};
}

json TrackView(const Track& t, size_t index, int S, double width, bool blocks)
{
    const std::string i = std::to_string(index);
    json rect = {{"name", "track" + i},
                 {"mark", {{"type", "rect"}, {"strokeWidth", 0.5}}},
                 {"encoding",
                  {{"x", Axis("x", S)},
                   {"x2", {{"field", "x2"}}},
                   {"y", {{"value", 0}}},
                   {"y2", {{"value", kTrackHeight}}},
                   {"color", {{"field", "c" + i}, {"type", "nominal"}, {"scale", nullptr}}},
                   // The same colour as an outline: no seams between neighbours.
                   {"stroke", {{"field", "c" + i}, {"type", "nominal"}, {"scale", nullptr}}},
                   {"tooltip", {Tooltip("l", blocks ? "samples" : "sample"), Tooltip("t" + i, t.name)}}}}};
    json name = {{"data", {{"values", {{{"n", t.name}}}}}},
                 {"mark", {{"type", "text"}, {"align", "right"}, {"baseline", "middle"},
                           {"fontSize", 10}, {"limit", 150}}},
                 {"encoding", {{"x", {{"value", -4}}}, {"y", {{"value", kTrackHeight / 2}}},
                               {"text", {{"field", "n"}}}}}};
    return {{"width", width}, {"height", kTrackHeight}, {"data", {{"name", "units"}}},
            {"layer", {rect, name}}};
}

// The heatmap: the consensus image, an invisible layer that carries its
// colour legend, and the rows' labels. The tooltip is made on hover by the
// page from the chart's parameter "heat" (each unit's label and track texts,
// the consensus rounded for reading): the image is one item.
json HeatView(const std::vector<double>& values, const Units& units, double width)
{
    const int S = units.S;
    json image = {{"name", "cells"},
                  {"data", {{"values", {json::object()}}}},
                  {"mark", {{"type", "image"}, {"url", HeatImage(values, units.count)}, {"width", width},
                            {"height", width}, {"aspect", false}, {"smooth", false}, {"align", "left"},
                            {"baseline", "top"}, {"tooltip", {{"expr", "'zarno:heat'"}}}}},
                  {"encoding", {{"x", {{"value", 0}}}, {"y", {{"value", 0}}}}}};
    json ramp = json::array();
    for (const char* c : kBlues) ramp.push_back(c);
    json legend = {{"data", {{"values", {{{"v", 0}}, {{"v", 1}}}}}},
                   {"mark", {{"type", "rect"}, {"opacity", 0}}},
                   {"encoding", {{"x", {{"value", 0}}}, {"x2", {{"value", 0}}}, {"y", {{"value", 0}}},
                                 {"y2", {{"value", 0}}},
                                 {"color", {{"field", "v"}, {"type", "quantitative"}, {"title", "consensus"},
                                            {"scale", {{"domain", {0, 1}}, {"range", ramp}, {"interpolate", "rgb"}}}}}}}};
    json names = {{"name", "ylabels"},
                  {"data", {{"name", "labels"}}},
                  {"mark", {{"type", "text"}, {"align", "right"}, {"baseline", "middle"},
                            {"fontSize", 9}, {"limit", 110}}},
                  {"encoding", {{"x", {{"value", -4}}}, {"y", Axis("p", S, true)},
                                {"text", {{"field", "t"}}}}}};
    return {{"width", width}, {"height", width}, {"layer", {image, legend, names}}};
}

// What the page's tooltip reads by unit: labels, track texts and the
// consensus to 4 decimals (units x units, row-major).
json HeatParameter(const std::vector<double>& values, const Units& units, const json& unitRows,
                   const std::vector<Track>& tracks)
{
    const bool blocks = units.size > 1;
    json labels = json::array(), trackTexts = json::array(), rounded = json::array();
    for (const json& u : unitRows) labels.push_back(u["l"]);
    for (size_t t = 0; t < tracks.size(); t++) {
        json texts = json::array();
        for (const json& u : unitRows) texts.push_back(u["t" + std::to_string(t)]);
        trackTexts.push_back({{"name", tracks[t].name}, {"texts", texts}});
    }
    for (double v : values) rounded.push_back(std::round(v * 1e4) / 1e4);
    return {{"units", units.count},
            {"sample", blocks ? "samples" : "sample"},
            {"value", blocks ? "mean consensus" : "consensus"},
            {"labels", labels},
            {"tracks", trackTexts},
            {"values", rounded}};
}

json ProfileView(const json& count, const std::vector<Track>& tracks, const Units& units, double width)
{
    const int S = units.S;
    const bool blocks = units.size > 1;
    const bool sd = count["pattern_sd"].is_array();
    const json x = Axis("x", S);
    const json color = {{"field", "pattern"}, {"type", "nominal"}, {"title", "pattern"},
                        {"scale", {{"scheme", "dark2"}}}};
    // The bands' own channel, so the legend is the lines' (a faint band's
    // symbol, merged into it, would fade it).
    json band = color;
    band["legend"] = nullptr;
    // json::array: one braced element is a copy, not an array, under clang.
    json tip = json::array({Tooltip("l", blocks ? "samples" : "sample")});
    for (size_t t = 0; t < tracks.size(); t++)
        tip.push_back(Tooltip("t" + std::to_string(t), tracks[t].name));
    for (size_t p = 0; p < count["pattern_mean"].size(); p++)
        tip.push_back({{"field", "m" + std::to_string(p + 1)}, {"type", "quantitative"},
                       {"title", "P" + std::to_string(p + 1) + (blocks ? " (block mean)" : "")},
                       {"format", ".4g"}});
    // A position's middle: a sample's, or a block's (the last may be shorter).
    const std::string middle = fmt::format("(datum.i * {0} + min({1}, (datum.i + 1) * {0})) / 2", units.size, S);
    json place = {{{"calculate", middle}, {"as", "x"}}, {{"calculate", "'P' + datum.p"}, {"as", "pattern"}}};
    json bandPlace = place;
    bandPlace.push_back({{"calculate", "max(0, datum.m - datum.s)"}, {"as", "lo"}});
    bandPlace.push_back({{"calculate", "datum.m + datum.s"}, {"as", "hi"}});
    json layers = json::array();
    // Below the lines, so the points keep their own tooltips.
    layers.push_back({{"data", {{"name", "units"}}},
                      {"mark", {{"type", "rect"}, {"opacity", 0}}},
                      {"encoding", {{"x", x}, {"x2", {{"field", "x2"}}}, {"y", {{"value", 0}}},
                                    {"y2", {{"value", kProfileHeight}}}, {"tooltip", tip}}}});
    if (sd)
        layers.push_back({{"data", {{"name", "profile"}}},
                          {"transform", bandPlace},
                          {"mark", {{"type", "area"}, {"opacity", 0.25}}},
                          {"encoding", {{"x", x}, {"y", {{"field", "lo"}, {"type", "quantitative"}}},
                                        {"y2", {{"field", "hi"}}}, {"fill", band}}}});
    json line = {{"data", {{"name", "profile"}}},
                 {"transform", place},
                 {"mark", {{"type", "line"}, {"point", S <= kProfilePoints}}},
                 {"encoding", {{"x", x},
                               {"y", {{"field", "m"}, {"type", "quantitative"},
                                      {"title", "share of the pattern"}}},
                               {"color", color}}}};
    layers.push_back(line);
    layers.push_back({{"name", "xlabels"},
                      {"data", {{"name", "labels"}}},
                      {"mark", {{"type", "text"}, {"angle", 270}, {"align", "right"},
                                {"baseline", "middle"}, {"fontSize", 9}, {"limit", 110}}},
                      {"encoding", {{"x", Axis("p", S)}, {"y", {{"value", kProfileHeight + 6}}},
                                    {"text", {{"field", "t"}}}}}});
    return {{"width", width}, {"height", kProfileHeight}, {"layer", layers}};
}

// The tracks' legend, laid out in rows within `width`: per track its name,
// then its levels' swatches (or the numbers' range).
json LegendView(const std::vector<Track>& tracks, double width)
{
    json items = json::array();
    double y = 8;
    auto text = [&](double x, const std::string& t, bool bold) {
        items.push_back({{"k", bold ? "title" : "text"}, {"px", x}, {"py", y}, {"t", t}});
        return x + 6.0 * static_cast<double>(t.size()) + 10;
    };
    auto swatch = [&](double x, const std::string& c) {
        items.push_back({{"k", "swatch"}, {"px", x + 5}, {"py", y}, {"c", c}});
    };
    for (const Track& t : tracks) {
        double x = text(0, t.name + ":", true);
        if (t.numbers) {
            x = text(x, fmt::format("{:.4g}", t.lo), false);
            for (const char* c : kNumberColors) swatch(x, c), x += 10;
            x = text(x + 4, fmt::format("{:.4g}", t.hi), false);
        }
        std::vector<std::pair<std::string, std::string>> entries;
        for (size_t i = 0; i < t.levels.size() && i < kLegendLevels; i++)
            entries.push_back({t.levels[i], t.colors[i % t.colors.size()]});
        if (std::any_of(t.values.begin(), t.values.end(), [](const json& v) { return v.is_null(); }))
            entries.push_back({"NA", kMissing});
        for (const auto& [level, c] : entries) {
            const double need = 14 + 6.0 * static_cast<double>(level.size()) + 12;
            if (x + need > width && x > 0) x = 12, y += 16;
            swatch(x, c);
            x = text(x + 14, level, false);
        }
        if (t.levels.size() > kLegendLevels) text(x, fmt::format("and {} more", t.levels.size() - kLegendLevels), false);
        y += 18;
    }
    auto layer = [](const char* kind, json mark, json extra) {
        json enc = {{"x", {{"field", "px"}, {"type", "quantitative"}, {"scale", nullptr}}},
                    {"y", {{"field", "py"}, {"type", "quantitative"}, {"scale", nullptr}}}};
        enc.update(extra);
        return json{{"transform", {{{"filter", fmt::format("datum.k === '{}'", kind)}}}},
                    {"mark", mark}, {"encoding", enc}};
    };
    json layers = {
        layer("swatch", {{"type", "square"}, {"size", 90}, {"opacity", 1}},
              {{"color", {{"field", "c"}, {"type", "nominal"}, {"scale", nullptr}}}}),
        layer("text", {{"type", "text"}, {"align", "left"}, {"baseline", "middle"}, {"fontSize", 10}},
              {{"text", {{"field", "t"}}}}),
        layer("title", {{"type", "text"}, {"align", "left"}, {"baseline", "middle"}, {"fontSize", 10},
                        {"fontWeight", "bold"}},
              {{"text", {{"field", "t"}}}})};
    return {{"width", width}, {"height", y}, {"data", {{"values", items}}}, {"layer", layers}};
}

}  // namespace

json SampleChart(const json& survey, const json& count, const json& labels)
{
    if (!count.contains("sample_order_index") || !count.contains("clusters")) return nullptr;
    Units units;
    units.S = static_cast<int>(labels.size());
    units.order = count["sample_order_index"].get<std::vector<int>>();
    const bool blocks = count.contains("consensus_blocks");
    if (!blocks && !count["consensus"].is_array()) return nullptr;
    units.size = blocks ? count["consensus_blocks"]["size"].get<int>() : 1;
    units.count = (units.S + units.size - 1) / units.size;
    const std::vector<Track> tracks = Tracks(survey, count);
    const double width = std::clamp(12.0 * units.S, 240.0, 560.0);
    json vl = {{"$schema", "https://vega.github.io/schema/vega-lite/v5.json"},
               {"title", fmt::format("{} patterns: samples in the consensus tree's leaf order{}",
                                     count["patterns"].get<int>(),
                                     blocks ? fmt::format(", in blocks of {}", units.size) : "")},
               {"spacing", 3},
               {"resolve", {{"scale", {{"color", "independent"}, {"x", "independent"}, {"y", "independent"}}}}},
               {"config", {{"view", {{"stroke", nullptr}}}}}};
    vl["datasets"] = {{"units", UnitsJson(units, tracks, labels,
                                          blocks ? count["consensus_blocks"]["pattern_mean"] : count["pattern_mean"])},
                      {"labels", ShownLabels(units, labels, width)},
                      {"profile", ProfileValues(count, units)}};
    const std::vector<double> values = CellValues(count, units);
    vl["params"] = {{{"name", "heat"}, {"value", HeatParameter(values, units, vl["datasets"]["units"], tracks)}}};
    json views = json::array();
    for (size_t t = 0; t < tracks.size(); t++) views.push_back(TrackView(tracks[t], t, units.S, width, blocks));
    views.push_back(HeatView(values, units, width));
    views.push_back(ProfileView(count, tracks, units, width));
    views.push_back(LegendView(tracks, width));
    vl["vconcat"] = views;
    return vl;
}

json AgreementChart(const json& survey, const std::string& figure, const json& patternAxis,
                    const json& rule)
{
    json values = json::array();
    double low = 0.0;
    for (const json& c : survey["counts"]) {
        if (!c.contains("agreement")) continue;
        for (const json& a : c["agreement"]["columns"]) {
            json v;
            if (figure == "r" && a.contains("r") && a["best_pattern"].is_number()) {
                v = std::abs(a["r"][a["best_pattern"].get<size_t>() - 1].get<double>());
            } else if (figure != "r" && a.contains(figure) && a[figure].is_number()) {
                v = a[figure];
            } else {
                continue;
            }
            low = std::min(low, v.get<double>());
            values.push_back({{"patterns", c["patterns"]}, {"value", v}, {"column", a["column"]}});
        }
    }
    if (values.empty()) return nullptr;
    const std::map<std::string, std::string> titles = {
        {"ari", "adjusted Rand index: clusters vs annotations"},
        {"nmi", "normalized mutual information: clusters vs annotations"},
        {"r", "largest |r| of a pattern with a column of numbers"}};
    json layers = json::array();
    layers.push_back(
        {{"mark", {{"type", "line"}, {"point", true}}},
         {"encoding", {{"x", patternAxis},
                       {"y", {{"field", "value"}, {"type", "quantitative"},
                              {"title", figure == "r" ? std::string("|r|") : fmt::format("{}", figure == "ari" ? "ARI" : "NMI")},
                              {"scale", {{"domain", {low, 1.0}}}}}},
                       {"color", {{"field", "column"}, {"type", "nominal"}, {"title", "column"}}},
                       {"tooltip", {{{"field", "column"}, {"type", "nominal"}},
                                    {{"field", "patterns"}, {"type", "quantitative"}},
                                    {{"field", "value"}, {"type", "quantitative"}, {"format", ".3f"}}}}}}});
    if (!rule.is_null()) layers.push_back(rule);
    return {{"$schema", "https://vega.github.io/schema/vega-lite/v5.json"},
            {"title", titles.at(figure)},
            {"width", 300},
            {"height", 150},
            {"data", {{"values", values}}},
            {"layer", layers}};
}

}  // namespace report
}  // namespace zarno
