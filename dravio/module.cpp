// Module Dravio: frame selection across the files of a recording, image
// factories, and the video and image utilities.
#include "common/binding.hpp"
#include "common/ndarray.hpp"
#include "common/pyvalues.hpp"
#include "dravio/bindings.hpp"
#include "dravio/frame_selection.hpp"

namespace py = pybind11;
using common::Args;

namespace {

dravio::Number to_number(py::handle value) {
    if (!PyFloat_Check(value.ptr()) && PyIndex_Check(value.ptr())) return {false, common::to_index(value), 0.0};
    return {true, 0, py::float_(py::reinterpret_borrow<py::object>(value)).cast<double>()};
}

py::object to_python(const dravio::Number& n) {
    return n.is_float ? py::object(py::float_(n.real)) : py::object(py::int_(n.integer));
}

py::object get_index(Args& a) {
    std::vector<long long> counts;
    for (auto count : a[0]) counts.push_back(common::to_index(count));
    const py::object clip = a[1];
    const long long start = common::to_index(clip[py::int_(0)]);
    const long long end = common::to_index(clip[py::int_(1)]);
    const auto start_frame = to_number(clip[py::int_(2)]);
    const auto end_frame = to_number(clip[py::int_(3)]);
    const auto step = to_number(a[2]);

    const auto cumulative = dravio::cumulative_frames(counts, start);
    common::print(py::str(dravio::format_table(cumulative)));
    const auto selection = dravio::select_frames(cumulative, start, end, start_frame, end_frame, step);

    py::list files, frames;
    for (size_t i = 0; i < selection.files.size(); ++i) {
        files.append(selection.files[i]);
        py::list numbers;
        for (const auto& n : selection.frames[i]) numbers.append(to_python(n));
        frames.append(numbers);
    }
    return py::make_tuple(files, frames);
}

py::object white_image(Args& a) {
    py::object shape = a[0].attr("shape");
    const auto height = common::to_index(shape[py::int_(0)]);
    const auto width = common::to_index(shape[py::int_(1)]);
    py::array_t<uint8_t> image({height, width, 3LL});
    std::fill_n(image.mutable_data(), image.size(), uint8_t{255});
    return image;
}

py::object random_image(Args& a) {
    // NumPy's global generator, so that numpy.random.seed() makes it repeatable.
    py::array_t<double> fractions = py::module_::import("numpy").attr("random").attr("rand")(a[1], a[0], 3);
    py::array_t<uint8_t> image(std::vector<py::ssize_t>(fractions.shape(), fractions.shape() + fractions.ndim()));
    const double* in = fractions.data();
    uint8_t* out = image.mutable_data();
    const auto n = fractions.size();
    for (py::ssize_t i = 0; i < n; ++i) out[i] = static_cast<uint8_t>(in[i] * 255.0);
    return image;
}

}  // namespace

PYBIND11_MODULE(Dravio, m) {
    common::init_module(m);
    m.doc() = "Image and video utilities: frame selection across the files of a recording,\n"
              "blank and random images, video writers and converters, concatenation,\n"
              "time-lapse, even lighting and rotation.";

    common::import_module(m, "imageio");
    common::import_module(m, "copy");
    common::import_star(m, "Hollark");
    common::import_star(m, "Wendrel");

    common::def(m, "GetIndex(Framelist, Clip, space)",
                "The frames to visit for a span of a multi-file recording.\n\n"
                "Framelist holds the frame count of each file; Clip is (start file, end file,\n"
                "start frame in the start file, end frame in the end file), both ends included;\n"
                "space is the step, counted continuously across the files. Returns\n"
                "(Videoindex, FrameindexInVideo): the files start..end and, per file, its frame\n"
                "numbers (ints, or floats when a bound or the step is a float). Prints the\n"
                "cumulative frame table.",
                get_index);

    common::def(m, "cv_GenImage(img, /)",
                "A white 8-bit colour image (height x width x 3, all 255) of img's height and width.",
                white_image);

    common::def(m, "cv_RandomImg(h, v)",
                "A random 8-bit colour image h wide and v high (shape (v, h, 3)), values 0..254,\n"
                "from NumPy's global random generator.",
                random_image);

    dravio::declare_video(m);
    dravio::declare_images(m);
}
