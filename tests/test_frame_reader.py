"""The shared frame reader must return, for every index k, exactly the image
that cv2.VideoCapture(path).read() returns on its (k+1)-th call, on every
kind of file, in any order of access."""
import pathlib
import random
import shutil
import subprocess

import cv2
import numpy as np
import pytest
import reader_videos as gen_videos
from Tavelin import _FrameReader as FrameReader

# Files whose first frame is not frame 0 of the encoded sequence: decoding
# from the start of a cut recording only begins at its first recoverable frame.
CUT = {"cut_open.MTS", "cut_mid.MTS", "trimmed.mp4"}
UNROTATE = {"rot90.mp4": cv2.ROTATE_90_COUNTERCLOCKWISE, "rot180.mp4": cv2.ROTATE_180,
            "rot270.mp4": cv2.ROTATE_90_CLOCKWISE}
# Files whose timestamps cannot identify frames; tested separately.
UNINDEXABLE = {"raw.h264", "badpts.MTS"}
CONTAINERS = sorted(set(gen_videos.SMALL) | set(gen_videos.DERIVED) - UNINDEXABLE)
H264_TS = ["h264.MTS", "opengop.MTS", "cut_open.MTS"]


@pytest.fixture(scope="session")
def videos(tmp_path_factory):
    return gen_videos.make_small(str(tmp_path_factory.mktemp("videos")))


_forward_cache = {}


def cv2_forward(path):
    """All frames of `path` as cv2.VideoCapture.read() returns them in order."""
    if path not in _forward_cache:
        cap = cv2.VideoCapture(path)
        assert cap.isOpened(), path
        frames = []
        while True:
            ok, frame = cap.read()
            if not ok:
                break
            frames.append(frame)
        _forward_cache[path] = frames
    return _forward_cache[path]


def index_in(name, img):
    if name in UNROTATE:
        img = cv2.rotate(img, UNROTATE[name])
    return gen_videos.decode_index(img)


def assert_frames(reader, ref, indices):
    """reader.read(k) must equal the forward frame k for every k, in this order."""
    wrong = []
    for k in indices:
        got = reader.read(k)
        if got is None or got.dtype != np.uint8 or not np.array_equal(got, ref[k]):
            wrong.append(k)
    assert not wrong, f"wrong frames for indices {wrong[:20]} (of {len(wrong)})"


# ---------------------------------------------------------------- forward


@pytest.mark.parametrize("name", CONTAINERS)
def test_forward_read_matches_cv2(videos, name):
    path = videos[name]
    ref = cv2_forward(path)
    reader = FrameReader(path)
    assert reader.is_open() and reader.mode == "indexed"
    assert reader.frame_count() == len(ref)
    assert_frames(reader, ref, range(len(ref)))
    # Forward reading never needs a seek and converts each frame once.
    stats = reader.stats()
    assert stats["seeks"] == 0 and stats["frames_converted"] == len(ref)

    # The frames themselves carry consecutive indices (a check that does not
    # depend on cv2 being right).
    first = index_in(name, ref[0])
    if name not in CUT:
        assert first == 0
    assert [index_in(name, f) for f in ref] == list(range(first, first + len(ref)))


def test_cut_recordings_start_at_first_recoverable_frame(videos):
    # cut_open starts with an open-GOP I-frame (index 50) followed by a leading
    # B-frame (49) whose reference was cut away; cut_mid starts at a P-frame.
    # Both are dropped by the decoder, so frame 0 is the I-frame.
    for name in ("cut_open.MTS", "cut_mid.MTS"):
        ref = cv2_forward(videos[name])
        reader = FrameReader(videos[name])
        assert index_in(name, reader.read(0)) == 50
        assert reader.frame_count() == len(ref) == 80


@pytest.mark.parametrize("name, estimate, real", [("cut_mid.MTS", 90, 80), ("trimmed.mp4", 86, 77)])
def test_frame_count_is_real_count_not_container_estimate(videos, name, estimate, real):
    # OpenCV's CAP_PROP_FRAME_COUNT counts from the duration (MPEG-TS) or the
    # packets (MP4, including ones an edit list discards); fewer frames decode.
    path = videos[name]
    assert cv2.VideoCapture(path).get(cv2.CAP_PROP_FRAME_COUNT) == estimate
    assert len(cv2_forward(path)) == real
    reader = FrameReader(path)
    assert reader.frame_count() == real
    assert reader.read(real - 1) is not None and reader.read(real) is None


# ---------------------------------------------------------------- random access


def stepped(n, step, start):
    return list(range(start, n, step))


@pytest.mark.parametrize("name", CONTAINERS)
@pytest.mark.parametrize("step", [1, 5, 25, 100])
def test_stepped_lists(videos, name, step):
    path = videos[name]
    ref = cv2_forward(path)
    reader = FrameReader(path)
    # Several ascending lists one after another, as a user reading at a
    # step from different starting points would (each restart jumps back).
    for start in (0, 3, 12, 24):
        assert_frames(reader, ref, stepped(len(ref), step, start))


@pytest.mark.parametrize("name", CONTAINERS)
def test_random_order_with_repeats_and_backward_jumps(videos, name):
    path = videos[name]
    ref = cv2_forward(path)
    n = len(ref)
    rng = random.Random(name)
    order = list(range(n)) + rng.sample(range(n), n // 2)
    rng.shuffle(order)
    # Same index twice in a row, first/last frames, one-frame steps back.
    order += [n - 1, n - 1, 0, 0, n - 1, 1, 0, n // 2, n // 2 - 1, n // 2 + 1, n - 2]
    assert_frames(FrameReader(path), ref, order)


@pytest.mark.parametrize("name", CONTAINERS)
def test_out_of_range(videos, name):
    path = videos[name]
    ref = cv2_forward(path)
    n = len(ref)
    reader = FrameReader(path)
    assert reader.read(n) is None
    assert reader.read(n + 1000) is None
    # Negative indices are clamped to 0, like CAP_PROP_POS_FRAMES.
    assert np.array_equal(reader.read(-5), ref[0])
    # A failed read leaves the reader usable.
    assert reader.read(n) is None
    assert np.array_equal(reader.read(n - 1), ref[n - 1])
    assert np.array_equal(reader.read(n // 2), ref[n // 2])


def test_open_gop_leading_frames_need_the_previous_keyframe(videos):
    # In opengop.MTS the I-frame at decode position 49 shows frame 50 and is
    # followed by the leading B-frame 49, which references frame 48 of the
    # previous GOP.  Seeking to that I-frame alone cannot give frame 49, so
    # the reader must seek straight to the keyframe before (one seek, no retry).
    path = videos["opengop.MTS"]
    ref = cv2_forward(path)
    for k in (49, 48, 50, 74, 75, 99):
        reader = FrameReader(path)
        got = reader.read(k)
        assert np.array_equal(got, ref[k]), k
        assert gen_videos.decode_index(got) == k
        stats = reader.stats()
        assert (stats["seeks"], stats["fallbacks"]) == (1, 0), k


def test_missing_frame_falls_back_to_earlier_keyframe(videos):
    # After a seek to the last open-GOP I-frame, FFmpeg's H.264 decoder drops
    # the frames it returns only when flushed at the end of the file (they
    # are not yet marked recovered), so frame 129 needs the GOP before.
    path = videos["opengop.MTS"]
    ref = cv2_forward(path)
    reader = FrameReader(path)
    assert np.array_equal(reader.read(129), ref[129])
    assert reader.stats()["fallbacks"] == 1


@pytest.mark.parametrize("name", ["h264.MTS", "opengop.MTS", "h264.mp4"])
def test_breaking_a_fixed_step_pattern(videos, name):
    # After two equal steps the reader guesses the next index and lets the
    # decoder drop non-reference frames before it; asking for one of those
    # instead must still give the exact frame (by decoding it afresh).
    path = videos[name]
    ref = cv2_forward(path)
    retried = 0
    for base in range(10, 100, 7):
        for extra in range(1, 5):
            reader = FrameReader(path)
            assert_frames(reader, ref, [base - 10, base - 5, base, base + extra, base + extra + 1])
            retried += reader.stats()["fallbacks"]
            assert reader.mode == "indexed"  # a wrong guess is no reason to distrust the index
    assert retried > 0  # some guesses were wrong, so the retry path ran


def test_flush_that_loses_open_gop_frames_is_retried(videos):
    # Each of these reads seeks; from the third on, the decoder is flushed
    # right after the target's packet.  In opengop.MTS such a flush drops
    # frames not yet marked recovered (51, 80 and 104 among them), so the
    # reader must retry without flushing, and flush no more for this file.
    path = videos["opengop.MTS"]
    ref = cv2_forward(path)
    reader = FrameReader(path)
    assert_frames(reader, ref, [1, 26, 51, 80, 104])
    assert reader.stats()["fallbacks"] == 1


# ---------------------------------------------------------------- options, grab


@pytest.mark.parametrize("name", H264_TS + ["h264.mp4", "mp4v.mp4"])
def test_threads_and_frame_skipping_do_not_change_pixels(videos, name):
    path = videos[name]
    ref = cv2_forward(path)
    order = stepped(len(ref), 7, 2) + stepped(len(ref), 13, 5)[::-1]
    for threads in (1, 2, 4):
        for skip in (False, True):
            reader = FrameReader(path, threads=threads, skip_nonref=skip)
            assert_frames(reader, ref, order)


def test_nonref_skipping_decodes_fewer_frames(videos):
    path = videos["h264.MTS"]
    counts = {}
    for skip in (False, True):
        reader = FrameReader(path, skip_nonref=skip)
        for k in range(0, 130, 10):
            assert reader.read(k) is not None
        counts[skip] = reader.stats()["frames_decoded"]
    assert counts[True] < counts[False]


def test_grab_then_retrieve(videos):
    path = videos["h264.MTS"]
    ref = cv2_forward(path)
    reader = FrameReader(path)
    assert reader.retrieve() is not None  # frame 0 is grabbed while opening
    assert np.array_equal(reader.retrieve(), ref[0])
    converted = reader.stats()["frames_converted"]
    for k in (5, 6, 40, 3):
        assert reader.grab(k) and reader.position() == k
    assert reader.stats()["frames_converted"] == converted  # grab does not convert
    assert np.array_equal(reader.retrieve(), ref[3])
    assert not reader.grab(len(ref))
    assert reader.position() == -1 and reader.retrieve() is None


def test_seeks_only_when_a_keyframe_lies_ahead(videos):
    # h264.MTS: fixed 25-frame GOPs.
    path = videos["h264.MTS"]
    reader = FrameReader(path)
    for k in range(0, 25, 3):  # inside the first GOP: decode forward
        reader.read(k)
    assert reader.stats()["seeks"] == 0
    reader.read(110)  # four GOPs ahead: one seek
    assert reader.stats()["seeks"] == 1
    reader.read(112)
    assert reader.stats()["seeks"] == 1
    reader.read(60)  # backwards: seek
    assert reader.stats()["seeks"] == 2
    # Each seek landed on the wanted packet; none had to reopen the file.
    assert reader.stats()["reopens"] == 0


@pytest.mark.parametrize("name", ["h264.MTS", "cut_open.MTS", "mjpg.avi", "h264.mp4"])
def test_sequential_mode_is_exact(videos, name):
    path = videos[name]
    ref = cv2_forward(path)
    reader = FrameReader(path, prefer="sequential")
    assert reader.mode == "sequential" and reader.frame_count() == -1
    order = [3, 4, 40, 2, len(ref) - 1, 0]
    assert_frames(reader, ref, order)
    assert reader.read(len(ref)) is None
    assert reader.frame_count() == len(ref)  # known once the end was reached


@pytest.mark.parametrize("name", ["mjpg.avi", "h264.mp4"])
def test_opencv_mode_near_and_far(videos, name):
    # Only exact where OpenCV's own seek is (not for MPEG-TS).
    path = videos[name]
    ref = cv2_forward(path)
    reader = FrameReader(path, prefer="opencv")
    assert reader.mode == "opencv"
    assert_frames(reader, ref, [0, 1, 2, 10, 60, 61, 5, len(ref) - 1])
    assert reader.read(len(ref)) is None


def test_stream_without_timestamps_is_read_by_counting(videos):
    path = videos["raw.h264"]
    ref = cv2_forward(path)
    reader = FrameReader(path)
    assert reader.mode == "sequential"
    assert_frames(reader, ref, [5, 0, 129, 64, 65, 3])
    assert reader.read(len(ref)) is None


@pytest.mark.parametrize("order", ["forward", "backward", "middle"])
def test_timestamps_that_do_not_match_frames_switch_to_counting(videos, order):
    # badpts.MTS claims display order == decode order despite its B-frames.
    # The mismatch only shows while decoding; the reader must notice it and
    # still return exact frames by counting from the start.
    path = videos["badpts.MTS"]
    ref = cv2_forward(path)
    n = len(ref)
    indices = {"forward": list(range(n)), "backward": list(range(n - 1, -1, -1)),
               "middle": [61, 62, 1, 100, 30]}[order]
    reader = FrameReader(path)
    assert reader.mode == "indexed"
    assert_frames(reader, ref, indices)
    assert reader.mode == "sequential"


# ---------------------------------------------------------------- opening


def test_unreadable_inputs_are_not_open(tmp_path, videos):
    text = tmp_path / "notes.avi"
    text.write_text("not a video")
    audio = tmp_path / "tone.wav"
    subprocess.run(["ffmpeg", "-v", "error", "-f", "lavfi", "-i", "sine=duration=0.5", str(audio)],
                   check=True)
    truncated = tmp_path / "truncated.mp4"  # moov atom lost
    truncated.write_bytes(pathlib.Path(videos["h264.mp4"]).read_bytes()[:20000])
    for path in (tmp_path / "missing.mp4", text, audio, truncated, tmp_path):
        reader = FrameReader(str(path))
        assert not reader.is_open() and reader.mode == "closed"
        assert reader.read(0) is None and not reader.grab(0) and reader.retrieve() is None


def test_truncated_transport_stream(tmp_path, videos):
    data = pathlib.Path(videos["h264.MTS"]).read_bytes()
    path = tmp_path / "truncated.MTS"
    path.write_bytes(data[: len(data) * 2 // 3 + 77])  # ends inside a packet
    ref = cv2_forward(str(path))
    reader = FrameReader(str(path))
    assert reader.frame_count() == len(ref)
    assert_frames(reader, ref, list(range(len(ref) - 1, -1, -9)) + list(range(len(ref))))


def test_non_ascii_path(tmp_path, videos):
    path = tmp_path / "Messung ø 2 – Düse.MTS"
    shutil.copy(videos["h264.MTS"], path)
    ref = cv2_forward(str(path))
    assert_frames(FrameReader(str(path)), ref, [0, 77, 3, 129])
