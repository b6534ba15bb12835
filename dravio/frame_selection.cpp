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
    for (long long i = 0; i < files; ++i) cumulative[i + 1] = cumulative[i] + (i < start ? 0 : frame_counts[i]);
    return cumulative;
}

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
    for (long long i = start; i <= end; ++i) {
        selection.files.push_back(i);
        auto& frames = selection.frames.emplace_back();
        // Positions of this file: [cum[i], cum[i + 1]), clipped to the span.
        if (real) {
            const double first = start_frame.value(), last = cum[end] + end_frame.value(), by = step.value();
            const double lo = std::max<double>(first, cum[i]);
            const double next_file = static_cast<double>(cum[i + 1]);
            long long k = lo <= first ? 0 : static_cast<long long>(std::ceil((lo - first) / by));
            for (double p = first + k * by; p <= last && p < next_file; p = first + (++k) * by)
                if (p >= lo) frames.push_back(from_double(p - cum[i]));
        } else {
            const long long first = start_frame.integer, last = cum[end] + end_frame.integer, by = step.integer;
            const long long lo = std::max(first, cum[i]);
            const long long hi = std::min(last + 1, cum[i + 1]);  // exclusive
            long long p = lo <= first ? first : first + ((lo - first + by - 1) / by) * by;
            for (; p < hi; p += by) frames.push_back(from_integer(p - cum[i]));
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
