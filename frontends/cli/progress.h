// Progress of a sweep on standard error: a bar redrawn in place on a terminal,
// plain lines otherwise (logs, job arrays), nothing when quiet.
#ifndef ZARNO_CLI_PROGRESS_H
#define ZARNO_CLI_PROGRESS_H

#include <chrono>
#include <cstdio>
#include <string>

namespace zarno::cli {

class Progress {
public:
    enum Mode { kQuiet, kLines, kBar };

    // kBar when standard error is a terminal, else kLines; kQuiet when asked.
    static Mode ModeFor(bool quiet);

    // `runs` to compute, `rounds` in all of them.
    Progress(Mode mode, int runs, long long rounds, std::FILE* out = stderr);

    // Runs done and in flight, rounds done so far (by every run).
    void Update(int done, int inFlight, long long roundsDone);
    // A finished run.
    void RunDone(int patterns, int chain, double chiSquare, double seconds, int done);
    // A message between updates (the bar is redrawn under it).
    void Message(const std::string& text);
    // Clears the bar.
    void Finish();

    // "1:02:03" or "2:03".
    static std::string Clock(double seconds);
    // The bar's line for a width of `columns`, without control characters.
    std::string BarLine(int done, int inFlight, long long roundsDone, double elapsed,
                        int columns) const;

private:
    double Elapsed() const;
    void Draw();
    void Clear();

    Mode mode_;
    int runs_;
    long long rounds_;
    std::FILE* out_;
    std::chrono::steady_clock::time_point start_;
    double lastLine_ = 0.0;  // when the last plain line was printed
    bool drawn_ = false;
    int done_ = 0, inFlight_ = 0;
    long long roundsDone_ = 0;
};

}  // namespace zarno::cli

#endif
