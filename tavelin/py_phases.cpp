// Phases, color_seperate, Separate_Seq and the Capture methods Separate,
// CalArea and ColorFrame.
#include <opencv2/core.hpp>

#include <string>

#include "common/py_binding.hpp"
#include "common/py_guard.hpp"
#include "common/py_ndarray.hpp"
#include "common/py_values.hpp"
#include "tavelin/phases.hpp"
#include "tavelin/py_module.hpp"

namespace tavelin {

namespace {

std::string type_name(py::handle value) { return py::str(py::type::handle_of(value).attr("__name__")); }

// One HSV bound as cv2.inRange receives it: the three numbers of
// np.asarray(value) in their own type, 64-bit integers narrowed to 32 bits
// as cv2 narrows them. The types cv2 refuses (bool, uint32, float16, ...)
// are refused here too.
cv::Mat bound(py::handle value, const char* name) {
    py::module_ numpy = py::module_::import("numpy");
    py::array array = numpy.attr("asarray")(value);
    if (array.size() != 3)
        throw py::value_error(std::string(name) + ": expected three numbers (H, S, V), got an array of shape " +
                              std::string(py::str(array.attr("shape"))));
    const char kind = array.dtype().kind();
    const auto size = array.itemsize();
    if ((kind == 'i' || kind == 'u') && size == 8) {
        array = array.attr("astype")("int32");
    } else if (!((kind == 'u' && size <= 2) || (kind == 'i' && size <= 4) ||
                 (kind == 'f' && (size == 4 || size == 8)))) {
        throw py::type_error(std::string(name) + ": data type = " + std::string(py::str(array.dtype())) +
                             " is not supported");
    }
    array = numpy.attr("ascontiguousarray")(array).attr("reshape")(3, 1);
    return common::mat_view(array, name).mat.clone();
}

py::object color_seperate(const py::object& image, const py::object& lower_hsv, const py::object& upper_hsv) {
    const common::MatView frame = common::mat_view(image, "image");
    const cv::Mat hsv = common::core_call([&] { return to_hsv(frame.mat); });
    Bounds range{bound(lower_hsv, "lower_hsv"), bound(upper_hsv, "upper_hsv")};
    // cv::inRange wants both bounds of one type; bounds of different types
    // (ints and floats) are taken as doubles, as cv2 takes tuples of numbers.
    if (range.lower.depth() != range.upper.depth()) {
        range.lower.convertTo(range.lower, CV_64F);
        range.upper.convertTo(range.upper, CV_64F);
    }
    return common::to_array(common::core_call([&] { return range_mask(hsv, range); }));
}

// Reads every phase's formula and ranges first (the Python part, in the
// order a term-by-term evaluation reads them, so errors come in that order
// too), then computes all masks in one pass without the GIL.
py::object separate_seq(const py::object& frame, const py::object& Phase) {
    py::object shape = frame.attr("shape");
    const int height = common::to_extent(shape[py::int_(0)], "frame.shape[0]");
    const int width = common::to_extent(shape[py::int_(1)], "frame.shape[1]");
    py::module_ numpy = py::module_::import("numpy");

    std::vector<Bounds> ranges;
    std::vector<PhaseProgram> programs;
    common::MatView image;  // the frame, looked at when the first term needs it
    bool image_seen = false, bgr8 = false;
    cv::Mat hsv;  // the HSV of a frame that is not 8-bit BGR(A)
    for (py::handle phase : Phase) {
        py::object text = phase.attr("PhaseSequence");
        if (!py::isinstance<py::str>(text)) throw py::type_error("PhaseSequence must be a str, not " + type_name(text));
        // Every character other than the ASCII ones of the grammar is skipped,
        // lone surrogates included.
        const std::string formula = py::bytes(text.attr("encode")("utf-8", "surrogatepass"));
        PhaseProgram program;
        for (const Term& term : parse_formula(formula)) {
            py::object values = numpy.attr("asarray")(phase.attr("subPhase")[py::int_(term.digit)]);
            py::object lower = values[py::int_(0)];
            py::object upper = values[py::int_(1)];
            if (!image_seen) {
                image = common::mat_view(frame, "frame");
                bgr8 = is_bgr8(image.mat);
                if (!bgr8)
                    hsv = common::core_call(
                        [&] { return to_hsv(image.mat); });  // OpenCV's error for what it cannot convert
                image_seen = true;
            }
            ranges.push_back({bound(lower, "lower_hsv"), bound(upper, "upper_hsv")});
            program.steps.push_back({term.join, static_cast<int>(ranges.size()) - 1});
        }
        programs.push_back(std::move(program));
    }

    std::vector<cv::Mat> masks(programs.size());
    if (image_seen)
        masks = common::core_call([&] {
            return bgr8 ? separate_phases(image.mat, ranges, programs) : separate_phases_hsv(hsv, ranges, programs);
        });
    py::list result;
    py::object full;  // made once and shared by every phase without terms
    for (cv::Mat& mask : masks) {
        if (!mask.empty()) {
            result.append(common::to_array(std::move(mask)));
            continue;
        }
        if (!full) full = common::to_array(cv::Mat(height, width, CV_8UC1, cv::Scalar(255)));
        result.append(full);
    }
    return result;
}

void separate(const py::module_& m, const py::object& self, const py::object& phases) {
    self.attr("PhaseNum") = py::int_(py::len(phases));
    self.attr("Phase_frames") = m.attr("Separate_Seq")(self.attr("frame"), phases);
    py::list names;
    for (py::handle phase : phases) names.append(phase.attr("name"));
    self.attr("Phase_frames_names") = names;
}

void cal_area(const py::object& self) {
    py::object shape = self.attr("frame").attr("shape");
    py::object height = shape[py::int_(0)], width = shape[py::int_(1)];
    (void)height, (void)width;
    py::list areas;
    self.attr("PhaseArea") = areas;
    const long long count = common::to_index(self.attr("PhaseNum"), "PhaseNum");
    for (long long k = 0; k < count; ++k) {
        const common::MatView mask = common::mask_view(self.attr("Phase_frames")[py::int_(k)], "mask");
        areas.append(py::int_(common::core_call([&] { return cv::countNonZero(mask.mat); })));
    }
}

void color_frame_method(const py::module_& m, const py::object& self, const py::object& binary_image,
                        const py::object& c, const py::object& mask) {
    py::array selection = py::module_::import("numpy").attr("asarray")(m.attr("bitwise_miner")(binary_image, mask));
    if (selection.ndim() != 2)
        throw py::value_error("bitwise_miner must give a 2-D mask, got an array of shape " +
                              std::string(py::str(selection.attr("shape"))));
    // c[k] * 255 with the interpreter's arithmetic, then as OpenCV takes a double.
    auto intensity = [&c](int k) { return common::to_double(py::object(c[py::int_(k)]) * py::int_(255)); };
    const double blue = intensity(2);
    const double green = intensity(1);
    const double red = intensity(0);
    const common::MatView view = common::mat_view(selection, "selection");
    self.attr("colorframe") =
        common::to_array(common::core_call([&] { return color_frame(view.mat, blue, green, red); }));
}

}  // namespace

void declare_phases(py::module_& m) {
    py::object phases =
        common::def_class(m, "Phases()",
                          "A phase definition: its label (name), its HSV colour ranges (subPhase, each a\n"
                          "pair (lower, upper) of H, S, V triples, both bounds included) and the formula\n"
                          "that combines them (PhaseSequence), e.g. '=0*1' for range 0 AND range 1.");
    common::def_method(phases, "__init__(self)", "An empty definition: name '', subPhase [], PhaseSequence ''.",
                       [](py::object self) {
                           self.attr("name") = py::str("");
                           self.attr("subPhase") = py::list();
                           self.attr("PhaseSequence") = py::str("");
                       });

    common::def(m, "color_seperate(image, lower_hsv, upper_hsv)",
                "The mask of the pixels of the BGR image whose HSV values (OpenCV's scale: hue\n"
                "0-179, saturation and value 0-255) lie between lower_hsv and upper_hsv, both\n"
                "included: 255 there, 0 elsewhere.",
                [](py::object image, py::object lower_hsv, py::object upper_hsv) {
                    return color_seperate(image, lower_hsv, upper_hsv);
                });

    common::def(m, "Separate_Seq(frame, Phase)",
                "One mask per phase definition of Phase, in order. After the first '=' of a\n"
                "formula, a digit d is the mask of subPhase[d] on the frame; '*', '-' and '+'\n"
                "arm AND, minus (AND NOT) and plus (OR) for a later term (tested in that order;\n"
                "a term uses the first armed one); a term with none armed replaces the mask so\n"
                "far; other characters are skipped. A formula starts from the full mask, and\n"
                "one without terms is the full mask itself, shared by all such phases.",
                [](py::object frame, py::object Phase) { return separate_seq(frame, Phase); });

    py::object capture = m.attr("Capture");
    common::def_method(capture, "Separate(self, Phase)",
                       "Sets PhaseNum to len(Phase), Phase_frames to Separate_Seq(frame, Phase) and\n"
                       "Phase_frames_names to the phases' names.",
                       [m](py::object self, py::object Phase) { separate(m, self, Phase); });
    common::def_method(capture, "CalArea(self)",
                       "Sets PhaseArea to the number of nonzero pixels of each of the first\n"
                       "PhaseNum masks of Phase_frames.",
                       [](py::object self) { cal_area(self); });
    common::def_method(capture, "ColorFrame(self, binary_image, c, mask)",
                       "Sets colorframe to a BGR image in which the pixels of\n"
                       "bitwise_miner(binary_image, mask) have the colour c (red, green, blue as\n"
                       "fractions of full intensity) and every other pixel is black.",
                       [m](py::object self, py::object binary_image, py::object c, py::object mask) {
                           color_frame_method(m, self, binary_image, c, mask);
                       });
}

}  // namespace tavelin
