// Phases, color_seperate, Separate_Seq and the Capture methods Separate,
// CalArea and ColorFrame.
#include <opencv2/core.hpp>

#include <string>

#include "common/binding.hpp"
#include "common/ndarray.hpp"
#include "common/pyvalues.hpp"
#include "tavelin/declarations.hpp"
#include "tavelin/phases_core.hpp"

namespace tavelin {

using common::Args;

namespace {

std::string type_name(py::handle value) {
    return py::str(py::type::handle_of(value).attr("__name__"));
}

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
    } else if (!((kind == 'u' && size <= 2) || (kind == 'i' && size <= 4) || (kind == 'f' && (size == 4 || size == 8)))) {
        throw py::type_error(std::string(name) + ": data type = " + std::string(py::str(array.dtype())) +
                             " is not supported");
    }
    array = numpy.attr("ascontiguousarray")(array).attr("reshape")(3, 1);
    return common::mat_view(array, name).mat.clone();
}

// float(value) as a C double, for numbers only (a str is a TypeError).
double to_double(py::handle value) {
    const double result = PyFloat_AsDouble(value.ptr());
    if (result == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return result;
}

py::object color_seperate(Args& a) {
    common::MatView image = common::mat_view(a[0], "image");
    cv::Mat hsv;
    {
        py::gil_scoped_release unlocked;
        hsv = to_hsv(image.mat);
    }
    const Bounds range{bound(a[1], "lower_hsv"), bound(a[2], "upper_hsv")};
    cv::Mat mask;
    {
        py::gil_scoped_release unlocked;
        mask = range_mask(hsv, range);
    }
    return common::to_array(std::move(mask));
}

// Reads every phase's formula and ranges first (the Python part, in the
// order a term-by-term evaluation reads them, so errors come in that order
// too), then computes all masks in one pass without the GIL.
py::object separate_seq(Args& a) {
    const py::object& frame = a[0];
    py::object shape = frame.attr("shape");
    const long long height = common::to_index(shape[py::int_(0)]);
    const long long width = common::to_index(shape[py::int_(1)]);
    py::module_ numpy = py::module_::import("numpy");

    std::vector<Bounds> ranges;
    std::vector<PhaseProgram> programs;
    common::MatView image;  // the frame, looked at when the first term needs it
    bool image_seen = false, bgr8 = false;
    cv::Mat hsv;  // the HSV of a frame that is not 8-bit BGR(A)
    for (py::handle phase : a[1]) {
        py::object text = phase.attr("PhaseSequence");
        if (!py::isinstance<py::str>(text))
            throw py::type_error("PhaseSequence must be a str, not " + type_name(text));
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
                if (!bgr8) {
                    py::gil_scoped_release unlocked;
                    hsv = to_hsv(image.mat);  // OpenCV's error for what it cannot convert
                }
                image_seen = true;
            }
            ranges.push_back({bound(lower, "lower_hsv"), bound(upper, "upper_hsv")});
            program.steps.push_back({term.join, static_cast<int>(ranges.size()) - 1});
        }
        programs.push_back(std::move(program));
    }

    std::vector<cv::Mat> masks(programs.size());
    if (image_seen) {
        py::gil_scoped_release unlocked;
        masks = bgr8 ? separate_phases(image.mat, ranges, programs) : separate_phases_hsv(hsv, ranges, programs);
    }
    py::list result;
    py::object full;  // made once and shared by every phase without terms
    for (cv::Mat& mask : masks) {
        if (!mask.empty()) {
            result.append(common::to_array(std::move(mask)));
            continue;
        }
        if (!full)
            full = common::to_array(cv::Mat(static_cast<int>(height), static_cast<int>(width), CV_8UC1, cv::Scalar(255)));
        result.append(full);
    }
    return result;
}

py::object separate(py::module_& m, Args& a) {
    py::object self = a[0], phases = a[1];
    self.attr("PhaseNum") = py::int_(py::len(phases));
    self.attr("Phase_frames") = m.attr("Separate_Seq")(self.attr("frame"), phases);
    py::list names;
    for (py::handle phase : phases) names.append(phase.attr("name"));
    self.attr("Phase_frames_names") = names;
    return py::none();
}

py::object cal_area(Args& a) {
    py::object self = a[0];
    py::object shape = self.attr("frame").attr("shape");
    py::object height = shape[py::int_(0)], width = shape[py::int_(1)];
    (void)height, (void)width;
    py::list areas;
    self.attr("PhaseArea") = areas;
    const long long count = common::to_index(self.attr("PhaseNum"));
    for (long long k = 0; k < count; ++k) {
        common::MatView mask = common::mat_view(self.attr("Phase_frames")[py::int_(k)], "mask");
        int nonzero = 0;
        {
            py::gil_scoped_release unlocked;
            nonzero = cv::countNonZero(mask.mat);
        }
        areas.append(py::int_(nonzero));
    }
    return py::none();
}

py::object color_frame_method(py::module_& m, Args& a) {
    py::object self = a[0];
    const py::object& c = a[2];
    py::array selection = py::module_::import("numpy").attr("asarray")(m.attr("bitwise_miner")(a[1], a[3]));
    if (selection.ndim() != 2)
        throw py::value_error("bitwise_miner must give a 2-D mask, got an array of shape " +
                              std::string(py::str(selection.attr("shape"))));
    // c[k] * 255 with the interpreter's arithmetic, then as OpenCV takes a double.
    auto intensity = [&c](int k) { return to_double(py::object(c[py::int_(k)]) * py::int_(255)); };
    const double blue = intensity(2);
    const double green = intensity(1);
    const double red = intensity(0);
    common::MatView view = common::mat_view(selection, "selection");
    cv::Mat colour;
    {
        py::gil_scoped_release unlocked;
        colour = color_frame(view.mat, blue, green, red);
    }
    self.attr("colorframe") = common::to_array(std::move(colour));
    return py::none();
}

}  // namespace

void declare_phases(py::module_& m) {
    py::object phases = common::def_class(
        m, "Phases()",
        "A phase definition: its label (name), its HSV colour ranges (subPhase, each a\n"
        "pair (lower, upper) of H, S, V triples, both bounds included) and the formula\n"
        "that combines them (PhaseSequence), e.g. '=0*1' for range 0 AND range 1.");
    common::def_method(phases, "__init__(self)",
                       "An empty definition: name '', subPhase [], PhaseSequence ''.",
                       [](Args& a) -> py::object {
                           a[0].attr("name") = py::str("");
                           a[0].attr("subPhase") = py::list();
                           a[0].attr("PhaseSequence") = py::str("");
                           return py::none();
                       });

    common::def(m, "color_seperate(image, lower_hsv, upper_hsv)",
                "The mask of the pixels of the BGR image whose HSV values (OpenCV's scale: hue\n"
                "0-179, saturation and value 0-255) lie between lower_hsv and upper_hsv, both\n"
                "included: 255 there, 0 elsewhere.",
                color_seperate);

    common::def(m, "Separate_Seq(frame, Phase)",
                "One mask per phase definition of Phase, in order. After the first '=' of a\n"
                "formula, a digit d is the mask of subPhase[d] on the frame; '*', '-' and '+'\n"
                "arm AND, minus (AND NOT) and plus (OR) for a later term (tested in that order;\n"
                "a term uses the first armed one); a term with none armed replaces the mask so\n"
                "far; other characters are skipped. A formula starts from the full mask, and\n"
                "one without terms is the full mask itself, shared by all such phases.",
                separate_seq);

    py::object capture = m.attr("Capture");
    common::def_method(capture, "Separate(self, Phase)",
                       "Sets PhaseNum to len(Phase), Phase_frames to Separate_Seq(frame, Phase) and\n"
                       "Phase_frames_names to the phases' names.",
                       [m](Args& a) mutable { return separate(m, a); });
    common::def_method(capture, "CalArea(self)",
                       "Sets PhaseArea to the number of nonzero pixels of each of the first\n"
                       "PhaseNum masks of Phase_frames.",
                       cal_area);
    common::def_method(capture, "ColorFrame(self, binary_image, c, mask)",
                       "Sets colorframe to a BGR image in which the pixels of\n"
                       "bitwise_miner(binary_image, mask) have the colour c (red, green, blue as\n"
                       "fractions of full intensity) and every other pixel is black.",
                       [m](Args& a) mutable { return color_frame_method(m, a); });
}

}  // namespace tavelin
