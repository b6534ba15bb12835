"""Repeated calls of the readers, writers and phase functions, failing ones
included, and what they leave behind: the growth of the resident memory and
the file descriptors still open. Run alone (`python tests/memory_loop.py
[ROUNDS]`), it prints one JSON line; tests/test_memory.py runs it in a child
process so that no other test moves the figures."""
import gc
import io
import json
import os
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, os.pardir, "examples"))

import cv2  # noqa: E402
import Dravio  # noqa: E402
import Hollark  # noqa: E402
import numpy as np  # noqa: E402
import samples  # noqa: E402
import Tavelin  # noqa: E402
import Tessil  # noqa: E402


def resident_kb():
    with open("/proc/self/statm") as file:
        return int(file.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


def open_descriptors():
    return len(os.listdir("/proc/self/fd"))


def calls(root):
    """The calls of one round, each (name, function); failing ones expect an exception."""
    paths = samples.write_recording(os.path.join(root, "rec"), [12, 12], ".avi", size=(64, 48))
    still = samples.write_image_folder(os.path.join(root, "stills"), [samples.frame_image(1, 0, (64, 48))])[0]
    image = samples.frame_image(5, 1, (64, 48))
    phase = Tavelin.Phases()
    phase.name, phase.subPhase, phase.PhaseSequence = "dark", [((0, 0, 0), (179, 255, 100))], "=0"
    videos = [Tavelin.Video(p, [10, 0, 0]) for p in paths]
    out = os.path.join(root, "out")
    os.makedirs(out)
    missing = os.path.join(root, "missing.avi")
    noise = os.path.join(root, "noise.jpg")
    with open(noise, "wb") as file:
        file.write(np.random.default_rng(1).integers(0, 256, 5000, dtype=np.uint8).tobytes())

    def separate_and_count():
        capture = Tavelin.Capture(1, 0, 0, [10, 0, 0], 0.5)
        capture.GetFrame(image)
        capture.Separate([phase])
        capture.CalArea()

    def fails(function):
        def call():
            try:
                function()
            except Exception:
                return
            raise AssertionError(f"{function} did not raise")
        return call

    return [
        ("GetFrameIndex2", lambda: Tavelin.GetFrameIndex2([Tavelin.Clip(0, 0, 0, 0, 0.5, 1, 0.5)], videos, 3)),
        ("IterFrames", lambda: list(Tavelin.IterFrames([Tavelin.Clip(0, 0, 0, 0, 0.5, 1, 0.5)], videos, 4))),
        ("Video", lambda: Tessil.Video(paths[0], [0, 0, 0])),
        ("cv_imread", lambda: Hollark.cv_imread(still)),
        ("cv_ExplodeVideo", lambda: Dravio.cv_ExplodeVideo(paths[1])),
        ("cv_imsave", lambda: Hollark.cv_imsave(image, os.path.join(out, "saved"), ".png")),
        ("cv_toVideo", lambda: Dravio.cv_toVideo([image] * 4, os.path.join(out, "v.mp4"), 25)),
        ("RegularVideo", lambda: Dravio.RegularVideo(paths, os.path.join(out, "r.mp4"), 6)),
        ("Separate_Seq", lambda: Tavelin.Separate_Seq(image, [phase])),
        ("color_seperate", lambda: Tavelin.color_seperate(image, (0, 0, 0), (90, 255, 255))),
        ("Separate + CalArea", separate_and_count),
        ("cv_imread of a missing file", fails(lambda: Hollark.cv_imread(missing))),
        ("GetFrameIndex2 of a list of None", fails(lambda: Tavelin.GetFrameIndex2(
            [Tavelin.Clip(0, 0, 0, 0, 0.5, 1, 0.5)], [None, None], 3))),
        ("cv_imread of random bytes", fails(lambda: Hollark.cv_imread(noise))),
        ("cv_toVideo of float16 frames", fails(lambda: Dravio.cv_toVideo(
            [image.astype(np.float16)], os.path.join(out, "f.mp4"), 25))),
        ("cv_imsave into a file", fails(lambda: Hollark.cv_imsave(image, os.path.join(still, "x"), ".png"))),
        ("color_seperate of a string", fails(lambda: Tavelin.color_seperate("image", (0, 0, 0), (9, 9, 9)))),
    ]


def main(rounds=1000):
    cv2.setNumThreads(1)  # a pool that grows with the load would move the figure
    sys.stdout = io.StringIO()  # the readers' frame tables
    with tempfile.TemporaryDirectory() as root:
        work = calls(root)
        for _ in range(20):  # warm-up: caches, codecs, the allocator's arenas
            for _, call in work:
                call()
        gc.collect()
        sys.stdout = io.StringIO()
        before_kb, before_fds = resident_kb(), open_descriptors()
        for k in range(rounds):
            for _, call in work:
                call()
            if k % 50 == 0:
                sys.stdout = io.StringIO()
        gc.collect()
        after_kb, after_fds = resident_kb(), open_descriptors()
    sys.stdout = sys.__stdout__
    print(json.dumps({"rounds": rounds, "calls": rounds * len(work), "kinds": [name for name, _ in work],
                      "rss_before_kb": before_kb, "rss_after_kb": after_kb, "rss_growth_kb": after_kb - before_kb,
                      "fds_before": before_fds, "fds_after": after_fds}))


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 1000)
