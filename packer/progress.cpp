#include "packer/progress.h"

#include <chrono>
#include <filesystem>
#include <system_error>

namespace {

constexpr double kBytesPerMegabyte = 1024.0 * 1024.0;
// Wide enough for every line drawn, so a redraw covers the one before.
constexpr int kLineColumns = 72;
constexpr size_t kLineBytes = 128;

uint64_t InputBytes(const PackInput& input) {
    if (!input.fromSource) return input.data.size();
    std::error_code code;
    uintmax_t size = std::filesystem::file_size(input.source, code);
    return code ? 0 : static_cast<uint64_t>(size);
}

}  // namespace

ProgressLine::ProgressLine(std::FILE* out, bool shown, const std::vector<PackInput>& inputs,
                           Clock clock)
    : out_(out), shown_(shown), clock_(std::move(clock)), start_(clock_()) {
    if (!shown_) return;
    for (const PackInput& input : inputs) {
        sizes_.push_back(InputBytes(input));
        totalBytes_ += sizes_.back();
    }
}

double ProgressLine::SteadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void ProgressLine::Packed(size_t done) {
    if (!shown_) return;
    for (; done_ < done && done_ < sizes_.size(); ++done_) doneBytes_ += sizes_[done_];
    double now = clock_();
    if (now - start_ < kProgressDelaySeconds) return;
    if (drawn_ >= 0 && now - drawn_ < kProgressRedrawSeconds) return;
    Draw(now);
}

void ProgressLine::Finish() {
    if (!shown_ || drawn_ < 0) return;
    Draw(clock_());
    std::fputc('\n', out_);
    std::fflush(out_);
}

void ProgressLine::Draw(double now) {
    double elapsed = now - start_;
    double rate = elapsed > 0 ? doneBytes_ / kBytesPerMegabyte / elapsed : 0;
    char line[kLineBytes];
    std::snprintf(line, sizeof line, "packed %zu/%zu entries, %.1f/%.1f MiB, %.1f MiB/s", done_,
                  sizes_.size(), doneBytes_ / kBytesPerMegabyte, totalBytes_ / kBytesPerMegabyte,
                  rate);
    std::fprintf(out_, "\r%-*s", kLineColumns, line);
    std::fflush(out_);
    drawn_ = now;
}
