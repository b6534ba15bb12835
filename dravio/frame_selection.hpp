// Which frames of which files a span of a multi-file recording visits.
#pragma once

#include <string>
#include <vector>

namespace dravio {

// A frame number or position: an integer, or a float as soon as any input is
// one (the result keeps the type the caller's numbers had).
struct Number {
    bool is_float = false;
    long long integer = 0;
    double real = 0.0;

    double value() const { return is_float ? real : static_cast<double>(integer); }
};

struct FrameSelection {
    std::vector<long long> files;             // start, start + 1, ..., end
    std::vector<std::vector<Number>> frames;  // per file, the frame numbers inside it
};

// The number of frames before each file, counted from the first frame of file
// `start` (files before it count none), with a leading 0: one entry more than
// `frame_counts`. Throws std::out_of_range for a start outside the list and
// std::overflow_error when the total passes the 64-bit range.
std::vector<long long> cumulative_frames(const std::vector<long long>& frame_counts, long long start);

// The frames of the span from frame `start_frame` of file `start` to frame
// `end_frame` of file `end` (both included) at the step `step`, counted
// continuously across the files; `cumulative` is cumulative_frames(..., start).
// Each file gets the positions that fall inside it; an end before the start
// gives no file. Throws std::out_of_range for an end file outside the
// recording, std::invalid_argument for a step that is not positive, for a NaN
// or infinite bound or step, and for float positions so many that the step
// vanishes in rounding (the walk would never advance), and std::length_error
// for more frames than a list holds.
FrameSelection select_frames(const std::vector<long long>& cumulative, long long start, long long end,
                             Number start_frame, Number end_frame, Number step);

// The cumulative table as NumPy prints an integer array: "[  0 100 200]".
std::string format_table(const std::vector<long long>& values);

}  // namespace dravio
