#include "console.h"

namespace tavrol::cli {

Console::Console(std::FILE* out, std::FILE* err, bool progress) : out_(out), err_(err), progress_(progress) {}

void Console::ClearProgress() {
    if (drawn_ == 0) return;
    std::fprintf(err_, "\033[%dA\033[J", drawn_);
    drawn_ = 0;
}

void Console::DrawProgress() {
    for (const std::string& line : lines_) {
        if (line.empty()) continue;
        std::fprintf(err_, "%s\033[K\n", line.c_str());
        ++drawn_;
    }
    std::fflush(err_);
}

void Console::Write(const std::string& outText, const std::string& errText) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (progress_) ClearProgress();
    if (!outText.empty()) {
        std::fwrite(outText.data(), 1, outText.size(), out_);
        std::fflush(out_);
    }
    if (!errText.empty()) std::fwrite(errText.data(), 1, errText.size(), err_);
    if (progress_) DrawProgress();
    std::fflush(err_);
}

void Console::Progress(std::size_t slot, const std::string& text) {
    if (!progress_) return;
    std::lock_guard<std::mutex> lock(mutex_);
    if (lines_.size() <= slot) lines_.resize(slot + 1);
    lines_[slot] = text;
    ClearProgress();
    DrawProgress();
}

}  // namespace tavrol::cli
