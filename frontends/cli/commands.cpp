#include "commands.h"

namespace zarno::cli {

namespace {
std::vector<std::string>& Words()
{
    static std::vector<std::string> words;
    return words;
}
}  // namespace

void SetCommandLine(int argc, char** argv)
{
    Words().assign(argv, argv + argc);
}

const std::vector<std::string>& CommandLine()
{
    return Words();
}

std::string ShellJoin(const std::vector<std::string>& words)
{
    std::string out;
    for (const std::string& w : words) {
        if (!out.empty()) out += ' ';
        bool plain = !w.empty();
        for (char c : w) {
            const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                            (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' ||
                            c == '/' || c == ':' || c == '=' || c == ',' || c == '+' || c == '@';
            if (!ok) plain = false;
        }
        if (plain) {
            out += w;
            continue;
        }
        out += '\'';
        for (char c : w) {
            if (c == '\'') {
                out += "'\\''";
            } else {
                out += c;
            }
        }
        out += '\'';
    }
    return out;
}

}  // namespace zarno::cli
