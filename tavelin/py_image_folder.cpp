// Captures from image files (Image2Capture) and a video of an image folder
// (Img2Video).
#include "common/py_binding.hpp"
#include "common/py_guard.hpp"
#include "common/py_values.hpp"
#include "tavelin/image_folder_video.hpp"
#include "tavelin/py_module.hpp"

namespace tavelin {

void declare_image_folder(py::module_& m) {
    common::def(m, "Image2Capture(Imagepaths)",
                "One capture per image file, in the order of Imagepaths: (Frames, Captures), each\n"
                "capture of clip 1 (iClip 2), file 0, frame 0, timed by its file's creation time.",
                [m](py::object Imagepaths) {
                    py::list frames, captures;
                    if (py::len(Imagepaths) == 0) return py::make_tuple(frames, captures);
                    for (auto path : Imagepaths) {
                        py::object image = m.attr("cv_imread")(path);
                        py::object capture = m.attr("Capture")(1, 0, 0, m.attr("GetCreatTime")(path), 0);
                        capture.attr("frame") = image;
                        captures.append(capture);
                        frames.append(image);
                    }
                    return py::make_tuple(frames, captures);
                });

    common::def(m, "Img2Video(path, fps, crop=0)",
                "Writes the images of the folder path, oldest modification time first, as the\n"
                "MPEG-4 video Video.mp4 inside it at fps frames per second. Entries that are not\n"
                "images are skipped; crop is not used. ValueError when the folder holds no image\n"
                "or an image's size differs from the oldest one's; OSError when the video cannot\n"
                "be written.",
                [](py::object path, py::object fps, py::object crop) {
                    (void)crop;
                    const std::string folder = common::fs_path(path);
                    const double rate = common::finite_double(py::float_(fps), "fps");
                    common::core_call([&] { tavelin::write_folder_video(folder, rate); });
                });
}

}  // namespace tavelin
