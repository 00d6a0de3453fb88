// Placeholders filled in one pass over the page (see page_template.h).
#include "zarno/page_template.h"

#include <set>

namespace zarno {

namespace {

bool NameChar(char c) { return (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_'; }

// The length of the placeholder name starting at page[at], 0 when the '@'
// before it starts none.
size_t NameAt(const std::string& page, size_t at)
{
    if (at >= page.size() || !(page[at] >= 'A' && page[at] <= 'Z')) return 0;
    size_t end = at;
    while (end < page.size() && NameChar(page[end])) end++;
    return end < page.size() && page[end] == '@' ? end - at : 0;
}

}  // namespace

std::string FillTemplate(const std::string& page, const std::map<std::string, std::string>& values)
{
    std::string out;
    std::set<std::string> used;
    size_t from = 0;
    for (size_t at = page.find('@'); at != std::string::npos; at = page.find('@', from)) {
        const size_t length = NameAt(page, at + 1);
        if (length == 0) {
            out.append(page, from, at + 1 - from);
            from = at + 1;
            continue;
        }
        const std::string name = page.substr(at + 1, length);
        const auto value = values.find(name);
        if (value == values.end())
            throw TemplateError("the page's placeholder @" + name + "@ has no value");
        out.append(page, from, at - from);
        out += value->second;
        used.insert(name);
        from = at + length + 2;
    }
    out.append(page, from, std::string::npos);
    for (const auto& [name, value] : values)
        if (used.count(name) == 0)
            throw TemplateError("the page has no placeholder @" + name + "@ for its value");
    return out;
}

}  // namespace zarno
