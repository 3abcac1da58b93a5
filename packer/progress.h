// The progress line of a long pack: entries and bytes done of the total and
// the rate, on one line of standard error redrawn in place, shown only once
// a pack has run for a while.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <vector>

#include "packer/pack.h"

// Packs shorter than this show nothing.
constexpr double kProgressDelaySeconds = 1.0;
constexpr double kProgressRedrawSeconds = 0.25;

class ProgressLine {
   public:
    using Clock = std::function<double()>;  // seconds from any fixed point

    // Counts the inputs' bytes as they lie in memory or on disk; shows
    // nothing on out unless shown.
    ProgressLine(std::FILE* out, bool shown, const std::vector<PackInput>& inputs,
                 Clock clock = SteadySeconds);

    // done entries of the inputs, in order, are packed.
    void Packed(size_t done);
    // Draws the last state and ends the line, if one was drawn.
    void Finish();

    static double SteadySeconds();

   private:
    void Draw(double now);

    std::FILE* out_;
    bool shown_;
    Clock clock_;
    std::vector<uint64_t> sizes_;
    uint64_t totalBytes_ = 0;
    uint64_t doneBytes_ = 0;
    size_t done_ = 0;
    double start_;
    double drawn_ = -1;  // when the line was last drawn; never yet
};
