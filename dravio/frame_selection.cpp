#include "dravio/frame_selection.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace dravio {

namespace {

Number from_double(double v) { return {true, 0, v}; }
Number from_integer(long long v) { return {false, v, 0.0}; }

}  // namespace

std::vector<long long> cumulative_frames(const std::vector<long long>& frame_counts, long long start) {
    const auto files = static_cast<long long>(frame_counts.size());
    if (start < 0 || start > files)
        throw std::out_of_range("start file " + std::to_string(start) + " is out of range for " +
                                std::to_string(files) + " files");
    std::vector<long long> cumulative(frame_counts.size() + 1, 0);
    for (long long i = 0; i < files; ++i) {
        const long long count = i < start ? 0 : frame_counts[i];
        if (__builtin_add_overflow(cumulative[i], count, &cumulative[i + 1]))
            throw std::overflow_error("the frame counts of the files add up to more than a 64-bit integer holds");
    }
    return cumulative;
}

namespace {

// Room for `count` frames of one file; more than a list can hold is an error
// before any is listed.
void reserve_frames(std::vector<Number>& frames, long double count) {
    if (count <= 0) return;
    if (count > static_cast<long double>(frames.max_size()))
        throw std::length_error("the span holds more frames than a list can hold");
    frames.reserve(static_cast<size_t>(count));
}

// The largest count of float positions first + k * by whose consecutive
// values are still distinct numbers: beyond it the step vanishes in rounding.
constexpr double kMaxFloatPositions = 4503599627370496.0;  // 2**52

}  // namespace

FrameSelection select_frames(const std::vector<long long>& cumulative, long long start, long long end,
                             Number start_frame, Number end_frame, Number step) {
    FrameSelection selection;
    if (end < start) return selection;
    const auto files = static_cast<long long>(cumulative.size()) - 1;
    if (end >= files)
        throw std::out_of_range("end file " + std::to_string(end) + " is out of range for " + std::to_string(files) +
                                " files");
    if (step.value() <= 0) throw std::invalid_argument("the frame step must be positive");

    const auto& cum = cumulative;
    const bool real = start_frame.is_float || end_frame.is_float || step.is_float;
    if (real) {
        const double first = start_frame.value(), last = cum[end] + end_frame.value(), by = step.value();
        if (!std::isfinite(first) || !std::isfinite(last) || !std::isfinite(by))
            throw std::invalid_argument("the frame numbers and the frame step must be finite");
        if (last >= first && !((last - first) / by < kMaxFloatPositions))
            throw std::invalid_argument("the span from position " + std::to_string(first) + " to " +
                                        std::to_string(last) + " holds too many frames at the step " +
                                        std::to_string(by));
    }
    for (long long i = start; i <= end; ++i) {
        selection.files.push_back(i);
        auto& frames = selection.frames.emplace_back();
        // Positions of this file: [cum[i], cum[i + 1]), clipped to the span.
        if (real) {
            const double first = start_frame.value(), last = cum[end] + end_frame.value(), by = step.value();
            const double lo = std::max<double>(first, cum[i]);
            const double next_file = static_cast<double>(cum[i + 1]);
            if (lo > last) continue;
            // k < 2**52: the count of positions was checked above.
            long long k = lo <= first ? 0 : static_cast<long long>(std::ceil((lo - first) / by));
            reserve_frames(frames, (std::min(last, next_file) - lo) / by + 1);
            for (double p = first + k * by; p <= last && p < next_file; p = first + (++k) * by)
                if (p >= lo) frames.push_back(from_double(p - cum[i]));
        } else {
            // 128-bit arithmetic: positions near the 64-bit limits do not overflow.
            using Wide = __int128;
            const Wide first = start_frame.integer, last = Wide{cum[end]} + end_frame.integer, by = step.integer;
            const Wide lo = std::max<Wide>(first, cum[i]);
            const Wide hi = std::min<Wide>(last + 1, cum[i + 1]);  // exclusive
            Wide p = lo <= first ? first : first + ((lo - first + by - 1) / by) * by;
            if (p < hi) reserve_frames(frames, static_cast<long double>((hi - p + by - 1) / by));
            for (; p < hi; p += by) frames.push_back(from_integer(static_cast<long long>(p - cum[i])));
        }
    }
    return selection;
}

std::string format_table(const std::vector<long long>& values) {
    size_t width = 0;
    for (long long v : values) width = std::max(width, std::to_string(v).size());
    std::string text = "[", line = "[";
    for (size_t i = 0; i < values.size(); ++i) {
        std::string word = std::to_string(values[i]);
        word.insert(0, width - word.size(), ' ');
        const std::string separator = i == 0 ? "" : " ";
        if (line.size() + separator.size() + word.size() + 1 > 75) {  // NumPy's line width
            text += "\n";
            line = " ";
            text += " " + word;
            line += word;
        } else {
            text += separator + word;
            line += separator + word;
        }
    }
    return text + "]";
}

}  // namespace dravio
