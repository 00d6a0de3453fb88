// The command's one mapping from how a subcommand ended to its exit code,
// in process and through a parse.
#include <CLI/CLI.hpp>
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <sstream>
#include <system_error>

#include "commands.h"
#include "zarno/errors.h"

namespace {

using namespace zarno::cli;

TEST(ExitCodes, EveryEndingHasItsCodeAndOneMessage)
{
    const struct {
        std::function<int()> work;
        int code;
        std::string message;
    } cases[] = {
        {[] { return kExitDone; }, 0, ""},
        {[] { return kExitInterrupted; }, 130, ""},
        {[]() -> int { throw zarno::InputError("data.txt:3:4: \"x\" is not a number"); }, 2,
         "zarno x: data.txt:3:4: \"x\" is not a number\n"},
        {[]() -> int { throw zarno::RunDirError("d/job.json: missing"); }, 2,
         "zarno x: d/job.json: missing\n"},
        {[]() -> int { throw std::system_error(ENOSPC, std::generic_category(), "cannot write f"); },
         1, "zarno x: cannot write f: No space left on device\n"},
        {[]() -> int { throw std::bad_alloc(); }, 1, "zarno x: out of memory\n"},
        {[]() -> int { throw std::runtime_error("sbatch vanished"); }, 1,
         "zarno x: sbatch vanished\n"},
    };
    for (const auto& c : cases) {
        std::ostringstream err;
        EXPECT_EQ(ExitCodeOf(c.work, "zarno x: ", err), c.code) << c.message;
        EXPECT_EQ(err.str(), c.message);
    }
}

// The exit code of `t ARGS...` for an App whose subcommand `go` does `work`.
int Exit(const std::function<int()>& work, std::vector<std::string> args)
{
    CLI::App app("t");
    app.require_subcommand(1);
    app.add_subcommand("go")->callback(Callback("t: ", work));
    args.insert(args.begin(), "t");
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(&a[0]);
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    const int code = Execute(app, static_cast<int>(argv.size()), argv.data());
    ::testing::internal::GetCapturedStdout();
    ::testing::internal::GetCapturedStderr();
    return code;
}

TEST(ExitCodes, ASubcommandsCodeOrItsExceptionEndsTheCommand)
{
    const auto done = [] { return kExitDone; };
    EXPECT_EQ(Exit(done, {"go"}), 0);
    EXPECT_EQ(Exit([] { return kExitInterrupted; }, {"go"}), 130);
    EXPECT_EQ(Exit([]() -> int { throw zarno::InputError("--ranks 0:2: no"); }, {"go"}), 2);
    EXPECT_EQ(Exit([]() -> int { throw std::system_error(EIO, std::generic_category(), "f"); },
                   {"go"}),
              1);
    // Usage: CLI11's own refusals, help and version.
    EXPECT_EQ(Exit(done, {}), 2);
    EXPECT_EQ(Exit(done, {"go", "--bogus"}), 2);
    EXPECT_EQ(Exit(done, {"stop"}), 2);
    EXPECT_EQ(Exit(done, {"--help"}), 0);
    EXPECT_EQ(Exit(done, {"go", "--help"}), 0);

    // The message is said once, on standard error, with the subcommand's prefix.
    CLI::App app("t");
    app.add_subcommand("go")->callback(
        Callback("t go: ", []() -> int { throw zarno::InputError("x.ctr:2:1: line 2 is missing"); }));
    std::vector<std::string> args = {"t", "go"};
    std::vector<char*> argv = {&args[0][0], &args[1][0]};
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Execute(app, 2, argv.data()), 2);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "t go: x.ctr:2:1: line 2 is missing\n");
}

TEST(ShellQuote, RoundTripsThroughTheShell)
{
    for (const std::string w : {"plain/path-1.txt", "a b", "it's", "$HOME", "x\"y", "a\\b", "",
                                "new\nline", "*", "50%", "~user", "a;b", "`x`", "-n"}) {
        const std::string q = ShellQuote(w);
        FILE* p = popen(("printf '%s' " + q).c_str(), "r");
        ASSERT_NE(p, nullptr);
        std::string got;
        char buf[64];
        for (std::size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) got.append(buf, n);
        pclose(p);
        EXPECT_EQ(got, w) << q;
    }
    EXPECT_EQ(ShellJoin({"zarno", "run", "50%.txt", "--out", "a b"}), "zarno run 50%.txt --out 'a b'");
}

}  // namespace
