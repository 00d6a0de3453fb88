#include "progress.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include <fmt/format.h>

namespace zarno::cli {

namespace {

// Plain progress lines between finished runs, so a log shows the sweep alive.
constexpr double kLineEvery = 60.0;

int TerminalColumns(std::FILE* out)
{
    winsize w{};
    if (ioctl(fileno(out), TIOCGWINSZ, &w) == 0 && w.ws_col > 0) return w.ws_col;
    return 80;
}

}  // namespace

Progress::Mode Progress::ModeFor(bool quiet)
{
    if (quiet) return kQuiet;
    return isatty(STDERR_FILENO) ? kBar : kLines;
}

Progress::Progress(Mode mode, int runs, long long rounds, std::FILE* out)
    : mode_(mode), runs_(runs), rounds_(rounds), out_(out),
      start_(std::chrono::steady_clock::now())
{
}

double Progress::Elapsed() const
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

std::string Progress::Clock(double seconds)
{
    if (!(seconds >= 0.0) || seconds > 1e8) return "--:--";
    const long long s = static_cast<long long>(std::llround(seconds));
    if (s >= 3600) return fmt::format("{}:{:02}:{:02}", s / 3600, s / 60 % 60, s % 60);
    return fmt::format("{}:{:02}", s / 60, s % 60);
}

std::string Progress::BarLine(int done, int inFlight, long long roundsDone, double elapsed,
                              int columns) const
{
    // Time left from the share of all rounds done: runs of one sweep differ in
    // cost by their pattern count, so this is an estimate that settles as runs end.
    const double fraction =
        rounds_ > 0 ? std::min(1.0, static_cast<double>(roundsDone) / static_cast<double>(rounds_))
                    : (runs_ > 0 ? static_cast<double>(done) / runs_ : 1.0);
    const std::string left =
        fraction > 0.005 ? Clock(elapsed * (1.0 - fraction) / fraction) : std::string("--:--");
    const std::string tail = fmt::format(" {}/{} runs, {} running, {} elapsed, {} left", done,
                                         runs_, inFlight, Clock(elapsed), left);
    const int width = std::min(40, columns - static_cast<int>(tail.size()) - 3);
    if (width < 5) return tail.substr(1);
    const int filled = static_cast<int>(fraction * width);
    return "[" + std::string(static_cast<size_t>(filled), '#') +
           std::string(static_cast<size_t>(width - filled), '.') + "]" + tail;
}

void Progress::Clear()
{
    if (drawn_) {
        std::fputs("\r\x1b[K", out_);
        drawn_ = false;
    }
}

void Progress::Draw()
{
    const std::string line =
        BarLine(done_, inFlight_, roundsDone_, Elapsed(), TerminalColumns(out_) - 1);
    std::fprintf(out_, "\r%s\x1b[K", line.c_str());
    std::fflush(out_);
    drawn_ = true;
}

void Progress::Update(int done, int inFlight, long long roundsDone)
{
    done_ = done;
    inFlight_ = inFlight;
    roundsDone_ = roundsDone;
    if (mode_ == kBar) {
        Draw();
    } else if (mode_ == kLines) {
        const double now = Elapsed();
        if (now - lastLine_ >= kLineEvery) {
            lastLine_ = now;
            std::fprintf(out_, "zarno: %s\n", BarLine(done, inFlight, roundsDone, now, 0).c_str());
            std::fflush(out_);
        }
    }
}

void Progress::RunDone(int patterns, int chain, double chiSquare, double seconds, int done)
{
    done_ = std::max(done_, done);
    if (mode_ == kQuiet) return;
    Clear();
    std::fprintf(out_, "zarno: run k%d c%d done (%d/%d): chi-square %.6g, %.2f s\n", patterns,
                 chain, done, runs_, chiSquare, seconds);
    lastLine_ = Elapsed();
    if (mode_ == kBar) Draw();
    std::fflush(out_);
}

void Progress::Message(const std::string& text)
{
    if (mode_ == kQuiet) return;
    Clear();
    std::fprintf(out_, "zarno: %s\n", text.c_str());
    if (mode_ == kBar) Draw();
    std::fflush(out_);
}

void Progress::Finish()
{
    Clear();
    std::fflush(out_);
}

}  // namespace zarno::cli
