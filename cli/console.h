// Standard output and standard error shared by ports that run in parallel:
// every report is written whole under one lock, so lines never interleave,
// and on a terminal one progress line per working port is kept up to date
// below them.
#pragma once

#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

namespace tavrol::cli {

class Console {
public:
    // `progress`: draw progress lines on standard error (a terminal only).
    Console(std::FILE* out, std::FILE* err, bool progress);

    // Writes `outText` to standard output and `errText` to standard error,
    // each whole; either may be empty.
    void Write(const std::string& outText, const std::string& errText);
    // The progress line of port `slot`; an empty text removes it.
    void Progress(std::size_t slot, const std::string& text);

private:
    void ClearProgress();
    void DrawProgress();

    std::mutex mutex_;
    std::FILE* out_;
    std::FILE* err_;
    bool progress_;
    std::vector<std::string> lines_;  // by slot; empty = not shown
    int drawn_ = 0;                   // lines on screen now
};

}  // namespace tavrol::cli
