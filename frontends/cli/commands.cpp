#include "commands.h"

#include <iostream>
#include <new>

#include <CLI/CLI.hpp>

#include "zarno/errors.h"

namespace zarno::cli {

int ExitCodeOf(const std::function<int()>& work, const std::string& prefix, std::ostream& err)
{
    try {
        return work();
    } catch (const InputError& e) {
        err << prefix << e.what() << std::endl;
        return kExitBadInput;
    } catch (const std::bad_alloc&) {
        err << prefix << "out of memory" << std::endl;
        return kExitRunFailed;
    } catch (const std::exception& e) {
        err << prefix << e.what() << std::endl;
        return kExitRunFailed;
    }
}

std::function<void()> Callback(std::string prefix, std::function<int()> work)
{
    return [prefix = std::move(prefix), work = std::move(work)] {
        const int code = ExitCodeOf(work, prefix, std::cerr);
        if (code != kExitDone) throw CLI::RuntimeError(code);
    };
}

int Execute(CLI::App& app, int argc, char** argv)
{
    try {
        app.parse(argc, argv);
    } catch (const CLI::RuntimeError& e) {
        return e.get_exit_code();  // a subcommand's own exit code; it has said why
    } catch (const CLI::ParseError& e) {
        const int code = app.exit(e);  // prints help, the version, or the usage error
        return code == 0 ? kExitDone : kExitBadInput;
    }
    return kExitDone;
}

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

std::string ShellQuote(const std::string& word)
{
    bool plain = !word.empty();
    for (char c : word) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                        c == '-' || c == '_' || c == '.' || c == '/' || c == ':' || c == '=' ||
                        c == ',' || c == '+' || c == '@' || c == '%';
        if (!ok) plain = false;
    }
    if (plain) return word;
    std::string q = "'";
    for (char c : word) {
        if (c == '\'') {
            q += "'\\''";
        } else {
            q += c;
        }
    }
    return q + "'";
}

std::string ShellJoin(const std::vector<std::string>& words)
{
    std::string out;
    for (const std::string& w : words) {
        if (!out.empty()) out += ' ';
        out += ShellQuote(w);
    }
    return out;
}

}  // namespace zarno::cli
