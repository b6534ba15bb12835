"""Exact frames and true frame counts on every H.264 layout camcorders and
ffmpeg write (camcorder_videos), for the frame reader and for every reader
of the modules: frame k is always the (k+1)-th frame cv2.VideoCapture reads
forward, and a file has as many frames as that forward read delivers."""
import random

import camcorder_videos as layouts
import cv2
import Dravio
import numpy as np
import pytest
import Tavelin
import Tessil
from Tavelin import _FrameReader as FrameReader

NAMES = sorted(list(layouts.LAYOUTS) + list(layouts.DERIVED))
# Layouts whose container duration (audio included, or a cut start) makes
# OpenCV's CAP_PROP_FRAME_COUNT overstate the frames it reads.
OVERSTATED = {"mbaff", "anamorphic", "paff_fields", "paff_frames", "paff_remuxed", "cut_mid_gop", "no_idr"}


@pytest.fixture(scope="session")
def layout_files(tmp_path_factory):
    folder = tmp_path_factory.mktemp("layouts")
    return {name: layouts.write_layout(folder / f"{name}.MTS", name) for name in NAMES}


_forward = {}


def forward(path):
    """Every frame of `path` as cv2.VideoCapture.read() gives them, in order."""
    path = str(path)
    if path not in _forward:
        capture = cv2.VideoCapture(path)
        frames = []
        while True:
            ok, frame = capture.read()
            if not ok:
                break
            frames.append(frame)
        capture.release()
        _forward[path] = frames
    return _forward[path]


def wrong_frames(frames, expected):
    return [k for k, (got, want) in enumerate(zip(frames, expected))
            if got is None or not np.array_equal(got, want)]


@pytest.mark.parametrize("name", NAMES)
def test_frame_reader_is_exact_in_any_order(layout_files, name):
    path = layout_files[name]
    ref = forward(path)
    numbers = [layouts.number_of(frame)[1] for frame in ref]
    assert numbers == list(range(numbers[0], numbers[0] + len(ref)))  # cv2 itself reads them in order
    reader = FrameReader(path)
    assert reader.mode == "indexed", reader.index_problem()
    assert reader.frame_count() == len(ref)
    n = len(ref)
    rng = random.Random(name)
    order = list(range(n)) + list(range(n - 1, -1, -3)) + rng.sample(range(n), n // 2)
    order += [k for step in (5, 12, 31) for k in range(rng.randrange(step), n, step)]
    got = [reader.read(k) for k in order]
    assert wrong_frames(got, [ref[k] for k in order]) == []
    assert reader.read(n) is None
    # A fresh reader jumping straight into the file, as a first read does.
    for k in (n // 2, n - 1, n // 3):
        assert np.array_equal(FrameReader(path).read(k), ref[k]), k


@pytest.mark.parametrize("name", NAMES)
def test_frame_count_is_what_a_forward_read_delivers(layout_files, name):
    path = layout_files[name]
    real = len(forward(path))
    estimate = int(cv2.VideoCapture(path).get(cv2.CAP_PROP_FRAME_COUNT))
    assert (estimate > real) == (name in OVERSTATED), estimate
    assert Tessil.Video(path, [9, 0, 0]).Frame_Count == real
    assert FrameReader(path).frame_count() == real


def test_field_pictures_are_one_frame_per_pair(layout_files):
    # One PES packet per field: the container holds twice as many video
    # packets as frames, and only first fields start frames.
    for name in ("paff_fields", "paff_remuxed", "paff_frames"):
        reader = FrameReader(layout_files[name])
        assert reader.frame_count() == 75, name
        assert layouts.number_of(reader.read(74)) == (0, 74)
        assert layouts.number_of(reader.read(37)) == (0, 37)


# ------------------------------------------------- readers of the modules

RECORDED = ["paff_fields", "paff_frames", "mbaff", "progressive", "cut_mid_gop"]
COUNTS = [40, 33, 45]


@pytest.fixture(scope="session")
def camcorder_recordings(tmp_path_factory):
    root = tmp_path_factory.mktemp("camcorder")
    return {name: layouts.write_recording(root / name, name, COUNTS) for name in RECORDED}


def expected_frames(paths, file, numbers):
    ref = forward(paths[file])
    return [ref[int(k)] for k in numbers]


@pytest.mark.parametrize("name", RECORDED)
def test_clip_readers_are_exact_across_files(camcorder_recordings, name, capsys):
    paths = camcorder_recordings[name]
    real = [len(forward(p)) for p in paths]
    videos = [Tavelin.Video(p, [10, 0, 0]) for p in paths]
    assert [v.Frame_Count for v in videos] == real
    fps = videos[0].FPS

    # GetFrameIndex: from 0:01 of file 1 to 0:01 of file 3 (files count from 1).
    frames, captures = Tavelin.GetFrameIndex([Tavelin.Clip(0, 1, 1, 0, 1, 3, 0)], videos, 4)
    assert None not in captures
    expected = []
    for capture in captures:
        expected += expected_frames(paths, capture.iVideo - 1, [capture.iFrame])
    assert wrong_frames(frames, expected) == []
    assert [c.iVideo for c in captures].count(2) == len(range(0, real[1], 4))

    # GetFrameIndex2: the step counts across the files (files count from 0).
    frames, captures = Tavelin.GetFrameIndex2([Tavelin.Clip(0, 0.5, 0, 0, 1, 2, 0)], videos, 3)
    expected = [expected_frames(paths, c.iVideo, [c.iFrame])[0] for c in captures]
    assert wrong_frames(frames, expected) == []
    positions = [int(c.iFrame) + sum(real[:c.iVideo]) for c in captures]
    assert positions[0] == int(fps * 0.5) and set(np.diff(positions)) == {3}
    assert positions[-1] > sum(real[:2])  # reaches the third file
    assert "Lost one frame" not in capsys.readouterr().out

    # ExtractFromVideos: every 0.4 s of the whole recording.
    frames = Tavelin.ExtractFromVideos(paths, 0.4)
    step = int(0.4 * fps)
    expected = [f for k, p in enumerate(paths) for f in expected_frames(paths, k, range(0, real[k], step))]
    assert wrong_frames(frames, expected) == [] and len(frames) == len(expected)


@pytest.mark.parametrize("name", RECORDED)
def test_videos_from_the_recording_have_no_phantom_frames(camcorder_recordings, name, tmp_path, capsys):
    paths = camcorder_recordings[name]
    real = [len(forward(p)) for p in paths]

    def stamps(video):
        return [layouts.number_of(frame) for frame in forward(video)]

    combined = str(tmp_path / "combined.avi")
    Dravio.VideoCombine(paths, combined, ".avi-YUV", 6)
    first = [layouts.number_of(forward(p)[0])[1] for p in paths]  # a cut file starts past frame 0
    assert stamps(combined) == [(k, first[k] + i) for k, n in enumerate(real) for i in range(0, n, 6)]

    regular = str(tmp_path / "regular.avi")
    Dravio.RegularVideo(paths, regular, 7, ".avi-YUV")
    positions = range(0, sum(real), 7)
    bounds = np.cumsum([0] + real)
    expected = []
    for position in positions:
        k = int(np.searchsorted(bounds, position, side="right") - 1)
        expected.append((k, first[k] + position - bounds[k]))
    assert stamps(regular) == expected
    # The cumulative table GetIndex prints counts the real frames.
    printed = capsys.readouterr().out.replace("[", " ").replace("]", " ").split()
    assert [int(value) for value in printed] == list(bounds)


def test_get_frames_multi_far_ahead_on_a_long_gop(layout_files):
    # One keyframe for the whole file: OpenCV's seek cannot reach frames
    # far ahead, so they come from the exact reader (the caller's capture is
    # moved by OpenCV's seek, which may fail here).
    path = layout_files["long_gop"]
    ref = forward(path)
    video = Tavelin.Video(path, [10, 0, 0])
    clips = [Tavelin.Clip(0, 0, 1, 0, 0, 1, 0.5)]
    capture = cv2.VideoCapture(path)
    for number in [0, 3, 100, 101, 102, 140, 20, 149, 70, 71, 75, 5, 130]:
        frame, record = Tavelin.GetFrames_multi(capture, video, number, 0, 1, clips)
        assert frame is not None and np.array_equal(frame, ref[number]), number
        assert record.frame is frame and record.iFrame == number
        if number <= 3:  # read forward: the capture stands after the frame
            assert capture.get(cv2.CAP_PROP_POS_FRAMES) == number + 1
    frame, record = Tavelin.GetFrames_multi(capture, video, len(ref), 0, 1, clips)
    assert frame is None and record.frame is None
    assert capture.isOpened()
