// Colour phases of a frame: inclusive HSV range tests combined, per phase, by
// a small formula into one mask per phase; the colour rendering of a mask.
#pragma once

#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace tavelin {

// How a term joins the running mask of its phase.
enum class Join {
    Replace,  // no operator armed: the term's mask replaces the running mask
    And,      // '*': running AND term
    Minus,    // '-': running AND NOT term
    Plus,     // '+': running OR term
};

// One term of a formula: the colour range subPhase[digit], joined by `join`.
struct Term {
    int digit;
    Join join;
};

// The terms of a phase formula (UTF-8 text), in order. Everything up to and
// including the first '=' is skipped. After it a digit is a term; '*', '-'
// and '+' arm the AND, minus and plus operators, three independent flags; any
// other character is skipped. A term takes the first armed flag in the order
// AND, minus, plus and clears only that one; with none armed it replaces the
// running mask. A formula without terms selects every pixel.
std::vector<Term> parse_formula(const std::string& text);

// The two bounds of a colour range as cv::inRange receives them: 3x1
// matrices of three numbers each, of any depth.
struct Bounds {
    cv::Mat lower;
    cv::Mat upper;
};

// A compiled phase: its terms in order, as indices into a list of Bounds.
// A phase without steps is the full mask.
struct PhaseProgram {
    struct Step {
        Join join;
        int range;
    };
    std::vector<Step> steps;
};

// True when separate_phases can work on `frame` directly: a non-empty 8-bit
// image of 3 (BGR) or 4 (BGRA) channels.
bool is_bgr8(const cv::Mat& frame);

// The mask of every phase of an is_bgr8 frame: each row band is converted to
// HSV once and every program is evaluated on it in one pass over its pixels,
// the bands spread over the cores. The masks are bit-identical to combining
// cv::inRange masks of the HSV frame with AND, AND NOT and OR. Phases without
// steps get an empty matrix: the caller's full mask stands for them.
std::vector<cv::Mat> separate_phases(const cv::Mat& frame, const std::vector<Bounds>& ranges,
                                     const std::vector<PhaseProgram>& phases);

// The same from an HSV image of any depth OpenCV converts to (a float frame's
// HSV, for example), with cv::inRange and OpenCV's bitwise operations.
std::vector<cv::Mat> separate_phases_hsv(const cv::Mat& hsv, const std::vector<Bounds>& ranges,
                                         const std::vector<PhaseProgram>& phases);

// cvtColor(image, COLOR_BGR2HSV); OpenCV's error when it cannot convert it.
cv::Mat to_hsv(const cv::Mat& image);

// The mask of one colour range: inRange(hsv, lower, upper), both ends included.
cv::Mat range_mask(const cv::Mat& hsv, const Bounds& range);

// The selection rendered in one colour: every channel thresholded at 0 with
// THRESH_BINARY and its maximum value (blue, green, red: rounded to the
// nearest integer and clamped to 0..255 for 8-bit masks, as OpenCV does),
// then merged into one BGR image.
cv::Mat color_frame(const cv::Mat& selection, double blue, double green, double red);

}  // namespace tavelin
