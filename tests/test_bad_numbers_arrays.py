"""Bad numbers and odd arrays, across the modules: NaN, infinities and integers
beyond 64 bits raise errors that name the argument; broadcast, byte-swapped,
read-only and strided arrays and wide integer masks give what the equivalent
plain array gives; dtypes OpenCV cannot take are refused by name. Calls that
once crashed or hung the interpreter run in a child process, so that a
regression fails its test instead of ending the run."""
import json
import os
import subprocess
import sys
import textwrap

import cv2
import Dravio
import Hollark
import numpy as np
import pytest
import samples
import Tavelin
import Tessil
import Wendrel

NAN, INF = float("nan"), float("inf")


def in_child(body, timeout=60, **values):
    """Runs `body` in a fresh interpreter with `values` bound as JSON, and returns
    what it printed; a crash or a hang fails the test."""
    prelude = ("import json, numpy as np, Dravio, Tavelin, Hollark, Wendrel, Tessil\n"
               f"globals().update(json.loads({json.dumps(json.dumps(values))}))\n"
               "def outcome(call):\n"
               "    try:\n"
               "        call()\n"
               "    except Exception as error:\n"
               "        print(type(error).__name__ + ': ' + str(error))\n"
               "    else:\n"
               "        print('returned')\n")
    result = subprocess.run([sys.executable, "-c", prelude + textwrap.dedent(body)], capture_output=True,
                            text=True, timeout=timeout)
    assert result.returncode == 0, f"the child ended with {result.returncode}: {result.stderr[-2000:]}"
    return result.stdout.splitlines()


@pytest.fixture(scope="module")
def recording(tmp_path_factory):
    """Two small .avi files (30 and 20 frames at 25 fps, 64x48)."""
    return samples.write_recording(tmp_path_factory.mktemp("bad_numbers"), [30, 20], ".avi", size=(64, 48))


# ---------------------------------------------------------------- numbers

# Calls that hung (a float cast overflowed, or a frame rate without end) or
# crashed (signed overflow) before: each in a child, with the argument its
# error must name. `paths`, `out` and `folder` are bound in the child.
HANGING_OR_CRASHING = [
    ("Dravio.GetIndex([100], [0, 0, -1e30, 50.0], 1)", "ValueError", "Clip"),
    ("Dravio.GetIndex([100], [0, 0, 0, float('inf')], 1)", "ValueError", "Clip[3]"),
    ("Dravio.GetIndex([2**62, 2**62], [0, 1, 0, 5], 1)", "OverflowError", "Framelist"),
    ("Dravio.GetIndex([100], [0, 0, 2**63, 5], 1)", "OverflowError", "Clip[2]"),
    ("Dravio.GetIndex([100, 2**64], [0, 1, 0, 5], 1)", "OverflowError", "Framelist"),
    ("Dravio.cv_VideoWriter(out, '.mp4', float('inf'), (64, 48))", "ValueError", "fps"),
    ("Dravio.cv_toVideo([np.zeros((48, 64, 3), np.uint8)] * 3, out, float('inf'))", "ValueError", "fps"),
    ("Tavelin.Img2Video(folder, float('inf'))", "ValueError", "fps"),
    ("Dravio.RegularVideo(paths, out, 5, fps=float('inf'))", "ValueError", "fps"),
    ("Dravio.RegularVideo(paths, out, float('nan'))", "ValueError", "times"),
    ("Tavelin.GetFrameIndex2([Tavelin.Clip(0, -1e30, 0, 0, 1, 1, 0)], videos(), 1)", "ValueError", "Clip"),
    ("Tavelin.GetFrameIndex2([Tavelin.Clip(0, float('nan'), 0, 0, 1, 1, 0)], videos(), 1)", "ValueError",
     "Cliplist[0].start_sec"),
    ("Tavelin.GetFrameIndex2([Tavelin.Clip(0, 0, 0, 0, 1, 1, 0)], videos(float('inf')), 1)", "ValueError",
     "Videos[0].FPS"),
    ("Tavelin.GetFrameIndex2([Tavelin.Clip(0, 0, 0, 0, 1, 1, 0)], videos(), float('nan'))", "ValueError",
     "FrameSpace"),
    ("Tavelin.GetFrameIndex([Tavelin.Clip(0, 0, 1, 0, 1, 1, 0)], videos(), float('inf'))", "ValueError",
     "FrameSpace"),
    ("Tavelin.ExtractFromVideos(paths, float('nan'))", "ValueError", "TimeSpace"),
]


@pytest.mark.parametrize("call, error, name", HANGING_OR_CRASHING, ids=[c[0] for c in HANGING_OR_CRASHING])
def test_numbers_that_hung_or_crashed_raise_named_errors(recording, tmp_path, call, error, name):
    folder = tmp_path / "stills"
    samples.write_image_folder(folder, [samples.frame_image(k, size=(64, 48)) for k in range(2)])
    body = f"""
    def videos(fps=None):
        made = [Tessil.Video(p, [9, 0, 0]) for p in paths]
        if fps is not None:
            made[0].FPS = fps
        return made
    outcome(lambda: {call})
    """
    lines = in_child(body, paths=recording, out=str(tmp_path / "out.mp4"), folder=str(folder))
    assert lines[-1].startswith(error + ": ") and name in lines[-1]
    assert not (tmp_path / "out.mp4").exists() and not (folder / "Video.mp4").exists()


@pytest.mark.parametrize("call, error, name", [
    (lambda: Tavelin.TimeCal([9, 0, 0], NAN), ValueError, "sec"),
    (lambda: Tavelin.TimeCal([9, INF, 0], 5), ValueError, "t1[1]"),
    (lambda: Tessil.GetCaptures(25.0, 100, NAN), ValueError, "Space"),
    (lambda: Tessil.GetCaptures(INF, 100, 5, Ss=1), ValueError, "FPS"),
    (lambda: Tessil.GetCaptures(25.0, 100, 5, Em=NAN), ValueError, "Em"),
    (lambda: Tessil.GetCaptures(1e300, 100, 5, Sm=1e300), ValueError, "start frame"),
    (lambda: Dravio.GetIndex([100], [0, 0, 0, 50.0], NAN), ValueError, "space"),
    (lambda: Dravio.GetIndex([100], [0, 0, 0, 50], 0), ValueError, "space"),
    (lambda: Dravio.evenLightImg(np.zeros((8, 8, 3), np.uint8), 2**64), OverflowError, "size"),
    (lambda: Dravio.cv_toVideo([np.zeros((8, 8, 3), np.uint8)], "unused.mp4", 25, space=2**70), OverflowError,
     "space"),
    (lambda: Dravio.VideoCombine(["unused.mp4"], "out.mp4", space=-(2**65)), OverflowError, "space"),
    (lambda: Dravio.cv_toVideo([np.zeros((8, 8, 3), np.uint8)], "unused.mp4", 25, space=NAN), ValueError, "space"),
    (lambda: Dravio.VideoCombine(["unused.mp4"], "out.mp4", space=INF), ValueError, "space"),
    (lambda: Tessil.GetCaptures(25.0, INF, 5, Es=1), ValueError, "Frame_Count"),
    (lambda: Dravio.cv_VideoWriter("unused.mp4", ".mp4", 25, (2**63, 5)), OverflowError, "size"),
], ids=["TimeCal sec", "TimeCal t1", "GetCaptures Space", "GetCaptures FPS", "GetCaptures Em",
        "GetCaptures overflowing start", "GetIndex NaN space", "GetIndex zero space", "evenLightImg size",
        "cv_toVideo space", "VideoCombine space", "cv_toVideo NaN space", "VideoCombine inf space",
        "GetCaptures inf Frame_Count", "cv_VideoWriter huge size"])
def test_bad_numbers_raise_errors_naming_the_argument(call, error, name):
    with pytest.raises(error, match=name.replace("[", r"\[").replace("]", r"\]")):
        call()


@pytest.mark.parametrize("start, stop, step", [
    (2**63 - 2, 2**63 + 3, 2),        # across the 64-bit limit
    (-(2**64), -(2**64) + 10, 3),
    (0, 2**66, 2**64),
    (0, 10**30, 10**29),
    (-5, 5, 3),
])
def test_orange_is_exact_for_any_int(start, stop, step):
    result = Wendrel.orange(start, stop, step)
    assert result == list(range(start, stop + 1, step)) and all(type(v) is int for v in result)


def test_orange_refuses_more_values_than_a_list_holds():
    with pytest.raises(OverflowError, match="orange"):
        Wendrel.orange(0, 2**80, 1)
    with pytest.raises(MemoryError):  # fits the list's size type, not in memory
        Wendrel.orange(0, 2**63, 2)


def test_getindex_is_exact_next_to_the_64_bit_limit():
    last = 2**63 - 1
    files, frames = Dravio.GetIndex([last], [0, 0, last - 9, last], 2)
    assert files == [0] and frames == [list(range(last - 9, last, 2))]
    files, frames = Dravio.GetIndex([2**62, 2**62 - 1], [0, 1, 2**62 - 3, 5], 2**62)
    assert frames == [[2**62 - 3], []]


def test_getframes_multi_frame_numbers(recording):
    video, clips = Tessil.Video(recording[0], [9, 0, 0]), [Tavelin.Clip(0, 0, 0, 0, 1, 1, 0)]
    capture = cv2.VideoCapture(recording[0])
    try:
        for number, error in [(NAN, ValueError), (2**64, OverflowError), (1e30, OverflowError)]:
            with pytest.raises(error, match="FramesIndex"):
                Tavelin.GetFrames_multi(capture, video, number, 0, 0, clips)
        frame, record = Tavelin.GetFrames_multi(capture, video, 2**63 - 1, 0, 0, clips)  # past the end
        assert frame is None and record.iFrame == 2**63 - 1
        frame, _ = Tavelin.GetFrames_multi(capture, video, 5, 0, 0, clips)
        assert samples.read_index(frame) == (0, 5)
    finally:
        capture.release()


def test_orbisk_steps_must_be_finite(orbisk, recording, tmp_path, capsys):
    videos = [Tessil.Video(p, [9, 0, 0]) for p in recording]
    clips = [Tavelin.Clip(0, 0, 0, 0, 1, 1, 0)]
    for call in (lambda: orbisk.Speed(recording, videos, NAN, clips),
                 lambda: orbisk.GetCapture(recording, videos, INF, clips),
                 lambda: orbisk.Speed_Vdo(videos, None, NAN, clips, str(tmp_path))):
        with pytest.raises(ValueError, match="Times"):
            call()
    assert "start" not in capsys.readouterr().out
    assert os.listdir(tmp_path) == [] and not os.path.exists(os.path.join(os.path.dirname(recording[0]), "Capture"))


# ---------------------------------------------------------------- arrays


def colour_image(height=48, width=64):
    rng = np.random.default_rng(7)
    return rng.integers(0, 256, (height, width, 3), dtype=np.uint8)


BROADCAST_CALLS = {
    "rotateImg": "Dravio.rotateImg(a)",
    "evenLightImg": "Dravio.evenLightImg(a, 4)",
    "color_seperate": "Tavelin.color_seperate(a, (0, 0, 0), (90, 200, 200))",
    "Separate_Seq": "Tavelin.Separate_Seq(a, [phase])[0]",
    "bitwise_plus": "Hollark.bitwise_plus(a[:, :, 0], a[:, :, 1])",
    "cv_imsave": "(Hollark.cv_imsave(a, out, '.png'), Hollark.cv_imread(out + '.png'))[1]",
    "cv_toVideo": "(Dravio.cv_toVideo([a, a], out + '.mp4', 25), Dravio.cv_ExplodeVideo(out + '.mp4'))[1]",
}


@pytest.mark.parametrize("function", BROADCAST_CALLS)
def test_broadcast_arrays_give_the_result_of_a_plain_copy(tmp_path, function):
    # A row repeated over 1080 rows (strides (0, 3, 1)): read as packed rows it
    # ran far past the end of its 5 kB.
    body = f"""
    phase = Tavelin.Phases()
    phase.subPhase, phase.PhaseSequence = [[(0, 0, 0), (90, 200, 200)]], "=0"
    row = np.random.default_rng(3).integers(0, 256, (1920, 3), dtype=np.uint8)
    views = {{"broadcast": np.broadcast_to(row, (1080, 1920, 3)),
              "plain": np.ascontiguousarray(np.broadcast_to(row, (1080, 1920, 3)))}}
    results = {{}}
    for kind, a in views.items():
        out = outdir + "/" + kind
        results[kind] = np.asarray({BROADCAST_CALLS[function]})
    print(results["broadcast"].shape == results["plain"].shape and
          bool(np.array_equal(results["broadcast"], results["plain"])))
    """
    assert in_child(body, outdir=str(tmp_path))[-1] == "True"


def byte_swapped(array):
    return array.astype(array.dtype.newbyteorder(">" if sys.byteorder == "little" else "<"))


@pytest.mark.parametrize("function, image", [
    (lambda a: Dravio.rotateImg(a), colour_image().astype(np.uint16) * 200),
    (lambda a: Dravio.evenLightImg(a, 4, "b"), colour_image().astype(np.uint16) * 200),
    (lambda a: Tavelin.color_seperate(a, (0, 0.2, 0.2), (120, 0.9, 0.9)), colour_image().astype(np.float32) / 255),
    (lambda a: Hollark.bitwise_plus(a[:, :, 0], a[:, :, 1]), colour_image().astype(np.uint16) * 200),
    (lambda a: Hollark.bitwise_miner(a[:, :, 0], a[:, :, 1]), colour_image().astype(np.int16) * 100),
], ids=["rotateImg", "evenLightImg", "color_seperate", "bitwise_plus", "bitwise_miner"])
def test_byte_swapped_arrays_are_read_in_their_own_order(function, image):
    swapped = byte_swapped(image)
    assert not swapped.dtype.isnative and np.array_equal(swapped, image)
    assert np.array_equal(function(swapped), function(image))


def test_byte_swapped_images_are_saved_as_their_values(tmp_path):
    image = colour_image().astype(np.uint16) * 250
    Hollark.cv_imsave(byte_swapped(image), str(tmp_path / "swapped"), ".png")
    assert np.array_equal(cv2.imread(str(tmp_path / "swapped.png"), cv2.IMREAD_UNCHANGED), image)


ODD_LAYOUTS = {
    "read-only": lambda a: np.frombuffer(np.ascontiguousarray(a).tobytes(), np.uint8).reshape(a.shape),
    "column step": lambda a: np.repeat(a, 2, axis=1)[:, ::2],
    "reversed rows": lambda a: np.ascontiguousarray(a[::-1])[::-1],
    "Fortran order": lambda a: np.asfortranarray(a),
    "channel slice": lambda a: np.concatenate([a, a], axis=2)[:, :, 1:4][:, :, [2, 0, 1]],
}


@pytest.mark.parametrize("layout", ODD_LAYOUTS)
@pytest.mark.parametrize("function", [
    lambda a: Dravio.rotateImg(a),
    lambda a: Dravio.evenLightImg(a, 4, "v"),
    lambda a: Tavelin.color_seperate(a, (0, 40, 40), (100, 255, 255)),
    lambda a: Hollark.bitwise_plus(a[:, :, 0], a[:, :, 2]),
], ids=["rotateImg", "evenLightImg", "color_seperate", "bitwise_plus"])
def test_odd_layouts_give_the_result_of_a_plain_array(layout, function):
    image = colour_image()
    odd = ODD_LAYOUTS[layout](image)
    assert np.array_equal(odd, image)
    before = odd.copy()
    assert np.array_equal(function(odd), function(image))
    assert np.array_equal(odd, before)  # the input is only read


def test_read_only_arrays_are_not_written(tmp_path):
    image = colour_image()
    image.flags.writeable = False
    Hollark.cv_imsave(image, str(tmp_path / "ro"), ".png")
    assert Dravio.cv_toVideo([image, image], str(tmp_path / "ro.mp4"), 25)
    assert np.array_equal(cv2.imread(str(tmp_path / "ro.png")), image)


@pytest.mark.parametrize("dtype", ["float16", "complex64", "int64", "uint64", "object", "<U2"])
@pytest.mark.parametrize("function, name", [
    (lambda a: Dravio.rotateImg(a), "img"),
    (lambda a: Tavelin.color_seperate(a, (0, 0, 0), (9, 9, 9)), "image"),
    (lambda a, out=os.devnull: Hollark.cv_imsave(a, out, ".png"), "image"),
    (lambda a: Dravio.cv_toVideo([a], os.devnull, 25), "frame"),
], ids=["rotateImg", "color_seperate", "cv_imsave", "cv_toVideo"])
def test_unsupported_dtypes_are_refused_by_name(dtype, function, name):
    image = np.zeros((8, 8, 3), dtype)
    with pytest.raises(TypeError, match=rf"{name}: data type = {np.dtype(dtype)}"):
        function(image)


@pytest.mark.parametrize("channel", ["gray", "h", "b", "r"])
def test_float16_images_are_refused_not_crashed_on(channel):
    # CLAHE on a float16 plane crashed the interpreter.
    line = in_child(f"outcome(lambda: Dravio.evenLightImg(np.ones((40, 50, 3), np.float16), 3, {channel!r}))")
    assert line[-1] == "TypeError: img: data type = float16 is not supported"


@pytest.mark.parametrize("call, error", [
    (lambda: Dravio.rotateImg(np.broadcast_to(np.zeros(1, np.uint8), (2**31 + 1, 1, 1))), ValueError),
    (lambda: Hollark.bitwise_plus(np.zeros((2, 2, 2, 2), np.uint8), np.zeros((2, 2), np.uint8)), TypeError),
    (lambda: Hollark.bitwise_plus(np.zeros((2, 2, 600), np.uint8), np.zeros((2, 2), np.uint8)), TypeError),
    (lambda: Hollark.bitwise_plus(5, np.zeros((2, 2), np.uint8)), TypeError),
], ids=["too many rows", "4-D", "too many channels", "0-D"])
def test_shapes_opencv_cannot_hold_are_named(call, error):
    with pytest.raises(error, match="mask|img"):
        call()


@pytest.mark.parametrize("call", [
    lambda: Tavelin.color_seperate(np.zeros((0, 4, 3), np.uint8), (0, 0, 0), (9, 9, 9)),
    lambda: Dravio.rotateImg(np.zeros((4, 0, 3), np.uint8)),
    lambda: Dravio.evenLightImg(np.zeros((0, 0, 3), np.uint8), 1),
], ids=["color_seperate", "rotateImg", "evenLightImg"])
def test_empty_images_raise_opencv_errors(call):
    with pytest.raises(cv2.error):
        call()


def test_one_dimensional_and_four_channel_inputs():
    row = np.array([0, 255, 0, 9], np.uint8)
    assert np.array_equal(Hollark.bitwise_plus(row, row[::-1]), np.array([9, 255, 255, 9], np.uint8))
    image = colour_image()
    bgra = np.concatenate([image, np.full(image.shape[:2] + (1,), 77, np.uint8)], axis=2)
    assert np.array_equal(Tavelin.color_seperate(bgra, (0, 40, 40), (100, 255, 255)),
                          Tavelin.color_seperate(image, (0, 40, 40), (100, 255, 255)))
    assert Tavelin.Separate_Seq(np.zeros((0, 4, 3), np.uint8), []) == []


# ---------------------------------------------------------------- masks and bounds

def wide_masks():
    cond = np.random.default_rng(5).random((30, 40)) > 0.6
    return cond, {
        "int64 255": np.where(cond, 255, 0),
        "uint64": np.where(cond, 7, 0).astype(np.uint64),
        "uint32": np.where(cond, 1, 0).astype(np.uint32),
        "bool": cond,
        "beyond 32 bits": np.where(cond, 2**32, 0),  # a 32-bit narrowing would clear it
    }


@pytest.mark.parametrize("kind", list(wide_masks()[1]))
def test_calarea_counts_nonzero_pixels_of_wide_integer_masks(kind):
    cond, masks = wide_masks()
    capture = Tavelin.Capture(0, 0, 0, [9, 0, 0], 0)
    capture.frame = np.zeros(cond.shape + (3,), np.uint8)
    capture.PhaseNum, capture.Phase_frames = 2, [masks[kind], masks[kind][:, ::-1]]
    capture.CalArea()
    assert capture.PhaseArea == [int(cond.sum())] * 2


@pytest.mark.parametrize("kind", list(wide_masks()[1]))
@pytest.mark.parametrize("combine", [Hollark.bitwise_plus, Hollark.bitwise_miner])
def test_mask_combinations_take_wide_integer_masks_as_set_where_nonzero(kind, combine):
    cond, masks = wide_masks()
    other = np.roll(cond, 3, axis=1)
    plain = combine(np.where(cond, 255, 0).astype(np.uint8), np.where(other, 255, 0).astype(np.uint8))
    wide_other = np.roll(masks[kind], 3, axis=1)
    result = combine(masks[kind], wide_other)
    assert result.dtype == np.uint8 and np.array_equal(result, plain)


@pytest.mark.parametrize("lower, upper", [
    ((0, 100, 50), (10.5, 255, 255)),
    ((0.5, 100, 50), (10, 255, 255)),
    ([0, 0, 0], np.array([90.0, 128.0, 255.0])),
    (np.array([0, 0, 0], np.uint8), (179, 128, 255)),
])
def test_color_seperate_takes_bounds_mixing_ints_and_floats_as_cv2_does(lower, upper):
    image = colour_image()
    hsv = cv2.cvtColor(image, cv2.COLOR_BGR2HSV)
    as_cv2 = cv2.inRange(hsv, tuple(float(v) for v in lower), tuple(float(v) for v in upper))
    assert np.array_equal(Tavelin.color_seperate(image, lower, upper), as_cv2)


# ---------------------------------------------------------------- paths


@pytest.mark.parametrize("call", [
    lambda d: Wendrel.makedir(os.path.join(d, "a\0b")),
    lambda d: Wendrel.GetFiles(os.path.join(d, "a\0b"), "*"),
    lambda d: Tessil.GetCreatTime(os.path.join(d, "a\0b")),
    lambda d: Tessil.Video(os.path.join(d, "a\0b.avi")),
    lambda d: Hollark.cv_imsave(np.zeros((4, 4, 3), np.uint8), os.path.join(d, "a\0b"), ".png"),
    lambda d: Hollark.cv_imread(os.path.join(d, "a\0b.png")),
    lambda d: Dravio.cv_VideoWriter(os.path.join(d, "a\0b.mp4"), ".mp4", 25, (4, 4)),
    lambda d: Dravio.cv_toVideo([np.zeros((4, 4, 3), np.uint8)], os.path.join(d, "a\0b.mp4"), 25),
    lambda d: Dravio.cv_ExplodeVideo(os.path.join(d, "a\0b.mp4")),
    lambda d: Dravio.VideoCombine([os.path.join(d, "a\0b.mp4")], os.path.join(d, "o.mp4")),
    lambda d: Tavelin.Img2Video(os.path.join(d, "a\0b"), 25),
], ids=["makedir", "GetFiles", "GetCreatTime", "Video", "cv_imsave", "cv_imread", "cv_VideoWriter",
        "cv_toVideo", "cv_ExplodeVideo", "VideoCombine", "Img2Video"])
def test_paths_with_a_nul_byte_raise_value_error_and_make_nothing(tmp_path, call):
    with pytest.raises(ValueError, match="null byte"):
        call(str(tmp_path))
    assert os.listdir(tmp_path) == []


def test_path_like_and_non_ascii_paths_work(tmp_path):
    folder = tmp_path / "prüfung 試験"
    Wendrel.makedir(folder)
    image = colour_image()
    Hollark.cv_imsave(image, folder / "bild", ".png")
    assert np.array_equal(Hollark.cv_imread(folder / "bild.png"), image)
    writer = Dravio.cv_VideoWriter(folder / "vidéo.mp4", ".mp4", 25, (64, 48))
    assert writer.isOpened()
    for _ in range(3):
        writer.write(image)
    writer.release()
    assert len(Dravio.cv_ExplodeVideo(folder / "vidéo.mp4")) == 3
    assert Wendrel.GetFiles(folder, ".mp4") == [os.path.join(str(folder), "vidéo.mp4")]
