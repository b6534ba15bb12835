"""Tessil: Video descriptions of real files, creation times and frame windows."""
import os
import subprocess
import time

import cv2
import numpy as np
import pytest
import samples
import Tessil


@pytest.fixture(scope="module")
def ntsc_file(tmp_path_factory):
    return samples.write_video(tmp_path_factory.mktemp("ntsc") / "clip.MTS", 30, fps=29.97)


def test_video_describes_generated_files(recordings, ntsc_file):
    for paths in recordings.values():
        video = Tessil.Video(paths[0], [9, 30, 0])
        assert video.FPS == 25.0 and type(video.FPS) is float
        assert video.Frame_Count == 60 and type(video.Frame_Count) is int
        assert video.path is paths[0]
        assert isinstance(video.Vdo, cv2.VideoCapture) and not video.Vdo.isOpened()
        assert list(vars(video)) == ["Vdo", "path", "FPS", "Frame_Count", "start_time"]
    ntsc = Tessil.Video(ntsc_file, [0, 0, 1])
    assert abs(ntsc.FPS - 30000 / 1001) < 1e-9  # fractional rates stay fractional


def test_start_time_rules(recordings):
    path = recordings[".avi"][0]
    from_file = Tessil.GetCreatTime(path)
    assert Tessil.Video(path).start_time == from_file
    assert Tessil.Video(path, [0, 0, 0]).start_time == from_file
    given = [9, 30, 0]
    assert Tessil.Video(path, given).start_time is given
    assert Tessil.Video(path, (0, 0, 0)).start_time == (0, 0, 0)  # a tuple is not the list [0, 0, 0]
    with pytest.raises(ValueError):
        Tessil.Video(path, np.zeros(3))  # an array's equality has no truth value
    # The shared default is never changed by a call.
    assert inspect_default() == [0, 0, 0]


def inspect_default():
    import inspect
    return inspect.signature(Tessil.Video).parameters["start_time"].default


def test_missing_file(tmp_path):
    missing = str(tmp_path / "gone.MTS")
    with pytest.raises(FileNotFoundError):
        Tessil.Video(missing)
    video = Tessil.Video(missing, [1, 2, 3])
    assert (video.FPS, video.Frame_Count) == (0.0, 0)
    assert Tessil.GetCaptures(video.FPS, video.Frame_Count, 5) == []  # orange(0, -1, 5)


def test_creation_time_is_the_birth_time_not_the_change_time(tmp_path):
    path = tmp_path / "made.txt"
    path.write_bytes(b"x")
    time.sleep(1.1)
    os.chmod(path, 0o600)  # moves the change time, not the creation time
    birth, change = map(int, subprocess.check_output(["stat", "-c", "%W %Z", str(path)]).split())
    expected = time.localtime(birth if birth else change)
    assert Tessil.GetCreatTime(str(path)) == [expected.tm_hour, expected.tm_min, expected.tm_sec]
    with pytest.raises(FileNotFoundError):
        Tessil.GetCreatTime(str(tmp_path / "none"))


@pytest.mark.parametrize("window, expected", [
    ((0, 10, 0, 20), (250, 525)),      # the end second counts in full
    ((0, 0, 0, 0), (0, 999)),          # 0:00 means the whole file
    ((0, 30, 1, 0), (750, 999)),       # end clamped to the last frame
    ((0, 0, 0, 5), (0, 150)),
    ((0, 39, 0, 0), (975, 999)),
])
def test_frame_windows(window, expected):
    video = Tessil.Video.__new__(Tessil.Video)
    video.FPS, video.Frame_Count = 25.0, 1000
    frames = video.GetCaptures(5, *window)
    assert frames == list(range(expected[0], expected[1] + 1, 5))
    assert Tessil.GetCaptures(25.0, 1000, 5, *window) == frames


def test_frame_window_edges():
    # Clamped when FPS * (Em*60 + Es + 1) equals the frame count exactly.
    assert Tessil.GetCaptures(25.0, 1000, 1, Em=0, Es=39)[-1] == 999
    assert Tessil.GetCaptures(25.0, 1001, 1, Em=0, Es=39)[-1] == 1000
    # Fractional rates truncate toward zero.
    assert Tessil.GetCaptures(29.97, 3000, 100, Ss=10)[0] == 299
    # A start past the end of the file gives no frames; chained equality is used.
    assert Tessil.GetCaptures(25.0, 100, 1, Sm=1) == []
    assert Tessil.GetCaptures(25.0, 100, 10, Sm=0.0, Ss=0) == list(range(0, 100, 10))
    with pytest.raises(TypeError):
        Tessil.GetCaptures(25.0, 100, 1, Ss="a")
