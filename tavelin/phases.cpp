#include "tavelin/phases.hpp"

#include <opencv2/core/hal/intrin.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <array>

namespace tavelin {

std::vector<Term> parse_formula(const std::string& text) {
    std::vector<Term> terms;
    const auto equals = text.find('=');
    if (equals == std::string::npos) return terms;
    bool and_armed = false, minus_armed = false, plus_armed = false;
    // Bytes of multi-byte UTF-8 characters are never ASCII, so they are skipped
    // like any other character.
    for (auto c = text.begin() + static_cast<std::ptrdiff_t>(equals) + 1; c != text.end(); ++c) {
        if (*c >= '0' && *c <= '9') {
            Join join = Join::Replace;
            if (and_armed) {
                join = Join::And;
                and_armed = false;
            } else if (minus_armed) {
                join = Join::Minus;
                minus_armed = false;
            } else if (plus_armed) {
                join = Join::Plus;
                plus_armed = false;
            }
            terms.push_back({*c - '0', join});
        } else if (*c == '*') {
            and_armed = true;
        } else if (*c == '-') {
            minus_armed = true;
        } else if (*c == '+') {
            plus_armed = true;
        }
    }
    return terms;
}

namespace {

// A colour range as cv::inRange applies it to 8-bit pixels: per channel the
// values lower .. lower + span, or nothing at all when `empty`.
struct ByteRange {
    std::array<uchar, 3> lower{};
    std::array<uchar, 3> span{};
    bool empty = false;

    bool operator==(const ByteRange& other) const {
        return empty == other.empty && lower == other.lower && span == other.span;
    }
};

ByteRange byte_range(const Bounds& range) {
    CV_Assert(range.lower.total() == 3 && range.upper.total() == 3);
    CV_Assert(range.lower.type() == range.upper.type());  // as cv::inRange requires of scalar bounds
    // cv::inRange turns bounds of another depth into integers with this very
    // conversion (the nearest integer, halves to even, saturated), then
    // treats a channel that no 8-bit value can satisfy as an empty range.
    cv::Mat lower, upper;
    range.lower.convertTo(lower, CV_32S);
    range.upper.convertTo(upper, CV_32S);
    ByteRange bytes;
    for (int k = 0; k < 3; ++k) {
        const int lo = lower.ptr<int>()[k], hi = upper.ptr<int>()[k];
        if (lo > hi || lo > 255 || hi < 0) return ByteRange{{}, {}, true};
        bytes.lower[k] = static_cast<uchar>(std::max(lo, 0));
        bytes.span[k] = static_cast<uchar>(std::min(hi, 255) - bytes.lower[k]);
    }
    return bytes;
}

// The phases' programs over distinct ranges, with the masks they fill.
struct Kernel {
    struct Phase {
        std::vector<PhaseProgram::Step> steps;  // ranges index Kernel::ranges
        cv::Mat mask;
    };
    std::vector<ByteRange> ranges;
    std::vector<Phase> phases;  // the phases that have steps
};

// Masks are 0 or 255 in every byte, so the joins are plain bitwise operations
// (uchar for single pixels, v_uint8x16 for 16 at once).
template <typename Mask>
Mask join(Join how, const Mask& running, const Mask& term) {
    switch (how) {
        case Join::And: return Mask(running & term);
        case Join::Minus: return Mask(running & ~term);
        case Join::Plus: return Mask(running | term);
        case Join::Replace: break;
    }
    return term;
}

// value - lower <= span in 8-bit arithmetic: lower <= value <= lower + span.
inline bool within(uchar value, uchar lower, uchar span) { return static_cast<uchar>(value - lower) <= span; }

#if CV_SIMD128
// A ByteRange spread over 16 lanes; a channel that every value passes is not tested.
struct VectorRange {
    std::array<cv::v_uint8x16, 3> lower, span;
    std::array<bool, 3> tested{};
    bool empty = false;

    explicit VectorRange(const ByteRange& r) : empty(r.empty) {
        for (int k = 0; k < 3; ++k) {
            lower[k] = cv::v_setall_u8(r.lower[k]);
            span[k] = cv::v_setall_u8(r.span[k]);
            tested[k] = !(r.lower[k] == 0 && r.span[k] == 255);
        }
    }

    cv::v_uint8x16 test(const std::array<cv::v_uint8x16, 3>& hsv) const {
        cv::v_uint8x16 selected = cv::v_setall_u8(empty ? 0 : 255);
        for (int k = 0; k < 3; ++k) {
            if (empty || !tested[k]) continue;
            const cv::v_uint8x16 offset = cv::v_sub_wrap(hsv[k], lower[k]);
            selected = selected & (cv::v_min(offset, span[k]) == offset);  // offset <= span, unsigned
        }
        return selected;
    }
};
#endif

// Converts the rows of its bands to HSV, a few rows at a time so that the
// HSV pixels are still in cache when the programs read them, and writes
// every phase's mask of those rows.
class PhaseBands : public cv::ParallelLoopBody {
public:
    static constexpr int kChunkRows = 8;

    PhaseBands(const cv::Mat& frame, const Kernel& kernel) : frame_(frame), kernel_(kernel) {}

    void operator()(const cv::Range& rows) const override {
        cv::Mat hsv;
        std::vector<cv::Mat> masks;  // writable headers of the kernel's masks
        for (const auto& phase : kernel_.phases) masks.push_back(phase.mask);
        std::vector<uchar*> out(masks.size());
        Scratch scratch(kernel_);
        for (int top = rows.start; top < rows.end; top += kChunkRows) {
            const int bottom = std::min(top + kChunkRows, rows.end);
            cv::cvtColor(frame_.rowRange(top, bottom), hsv, cv::COLOR_BGR2HSV);
            for (int y = top; y < bottom; ++y) {
                for (size_t p = 0; p < out.size(); ++p) out[p] = masks[p].ptr<uchar>(y);
                row(hsv.ptr<uchar>(y - top), out.data(), scratch);
            }
        }
    }

private:
    struct Scratch {
        std::vector<uchar> tests;
#if CV_SIMD128
        std::vector<VectorRange> ranges;
        std::vector<cv::v_uint8x16> vector_tests;
#endif
        explicit Scratch(const Kernel& kernel) : tests(kernel.ranges.size()) {
#if CV_SIMD128
            for (const auto& r : kernel.ranges) ranges.emplace_back(r);
            vector_tests.resize(kernel.ranges.size());
#endif
        }
    };

    void row(const uchar* hsv, uchar* const* out, Scratch& scratch) const {
        const int width = frame_.cols;
        int x = 0;
#if CV_SIMD128
        constexpr int lanes = cv::v_uint8x16::nlanes;
        if (width >= lanes) {
            for (;;) {
                std::array<cv::v_uint8x16, 3> pixels;
                cv::v_load_deinterleave(hsv + 3 * x, pixels[0], pixels[1], pixels[2]);
                for (size_t k = 0; k < scratch.ranges.size(); ++k)
                    scratch.vector_tests[k] = scratch.ranges[k].test(pixels);
                for (size_t p = 0; p < kernel_.phases.size(); ++p) {
                    cv::v_uint8x16 running = cv::v_setall_u8(255);
                    for (const auto& step : kernel_.phases[p].steps)
                        running = join(step.join, running, scratch.vector_tests[step.range]);
                    cv::v_store(out[p] + x, running);
                }
                if (x == width - lanes) break;
                x = std::min(x + lanes, width - lanes);  // the last block may overlap the one before
            }
            return;
        }
#endif
        for (; x < width; ++x) {
            const uchar* pixel = hsv + 3 * x;
            for (size_t k = 0; k < kernel_.ranges.size(); ++k) {
                const ByteRange& r = kernel_.ranges[k];
                const bool selected = !r.empty && within(pixel[0], r.lower[0], r.span[0]) &&
                                      within(pixel[1], r.lower[1], r.span[1]) &&
                                      within(pixel[2], r.lower[2], r.span[2]);
                scratch.tests[k] = selected ? 255 : 0;
            }
            for (size_t p = 0; p < kernel_.phases.size(); ++p) {
                uchar running = 255;
                for (const auto& step : kernel_.phases[p].steps)
                    running = join<uchar>(step.join, running, scratch.tests[step.range]);
                out[p][x] = running;
            }
        }
    }

    const cv::Mat& frame_;
    const Kernel& kernel_;
};

}  // namespace

bool is_bgr8(const cv::Mat& frame) {
    return !frame.empty() && frame.dims == 2 && frame.depth() == CV_8U &&
           (frame.channels() == 3 || frame.channels() == 4);
}

std::vector<cv::Mat> separate_phases(const cv::Mat& frame, const std::vector<Bounds>& ranges,
                                     const std::vector<PhaseProgram>& phases) {
    CV_Assert(is_bgr8(frame));
    // Each distinct range is tested once per pixel, however many terms use it.
    Kernel kernel;
    std::vector<int> distinct(ranges.size());
    for (size_t i = 0; i < ranges.size(); ++i) {
        const ByteRange r = byte_range(ranges[i]);
        const auto found = std::find(kernel.ranges.begin(), kernel.ranges.end(), r);
        distinct[i] = static_cast<int>(found - kernel.ranges.begin());
        if (found == kernel.ranges.end()) kernel.ranges.push_back(r);
    }
    std::vector<cv::Mat> masks(phases.size());
    for (size_t p = 0; p < phases.size(); ++p) {
        if (phases[p].steps.empty()) continue;
        Kernel::Phase phase{phases[p].steps, cv::Mat(frame.size(), CV_8UC1)};
        for (auto& step : phase.steps) step.range = distinct.at(static_cast<size_t>(step.range));
        masks[p] = phase.mask;
        kernel.phases.push_back(std::move(phase));
    }
    if (kernel.phases.empty()) return masks;
    // Bands of about 32 rows: enough of them to keep both cores busy to the end.
    cv::parallel_for_(cv::Range(0, frame.rows), PhaseBands(frame, kernel), std::max(1, frame.rows / 32));
    return masks;
}

std::vector<cv::Mat> separate_phases_hsv(const cv::Mat& hsv, const std::vector<Bounds>& ranges,
                                         const std::vector<PhaseProgram>& phases) {
    const cv::Mat full(hsv.size(), CV_8UC1, cv::Scalar(255));
    std::vector<cv::Mat> masks;
    for (const auto& phase : phases) {
        if (phase.steps.empty()) {
            masks.emplace_back();
            continue;
        }
        cv::Mat running = full;
        for (const auto& step : phase.steps) {
            const cv::Mat term = range_mask(hsv, ranges.at(static_cast<size_t>(step.range)));
            cv::Mat joined;
            switch (step.join) {
                case Join::Replace: joined = term; break;
                case Join::And: cv::bitwise_and(running, term, joined); break;
                case Join::Minus: {
                    cv::Mat outside;
                    cv::bitwise_not(term, outside);
                    cv::bitwise_and(running, outside, joined);
                    break;
                }
                case Join::Plus: cv::bitwise_or(running, term, joined); break;
            }
            running = joined;
        }
        masks.push_back(running);
    }
    return masks;
}

cv::Mat to_hsv(const cv::Mat& image) {
    cv::Mat hsv;
    cv::cvtColor(image, hsv, cv::COLOR_BGR2HSV);
    return hsv;
}

cv::Mat range_mask(const cv::Mat& hsv, const Bounds& range) {
    cv::Mat mask;
    cv::inRange(hsv, range.lower, range.upper, mask);
    return mask;
}

cv::Mat color_frame(const cv::Mat& selection, double blue, double green, double red) {
    cv::Mat channels[3];
    cv::threshold(selection, channels[0], 0, blue, cv::THRESH_BINARY);
    cv::threshold(selection, channels[1], 0, green, cv::THRESH_BINARY);
    cv::threshold(selection, channels[2], 0, red, cv::THRESH_BINARY);
    cv::Mat colour;
    cv::merge(channels, 3, colour);
    return colour;
}

}  // namespace tavelin
