"""Tavelin's capture record, clips and clock time."""
import os

import numpy as np
import pytest
import Tavelin


@pytest.mark.parametrize("start, seconds, expected", [
    ([10, 59, 50], 15, [11, 0, 5]),
    ([12, 59, 59], 1, [1, 0, 0]),        # 13 folds to 1
    ([12, 0, 0], 0, [12, 0, 0]),         # 12 itself does not
    ([23, 0, 0], 0, [11, 0, 0]),
    ([0, 0, 0], 25 * 3600 + 61, [13, 1, 1]),  # folded once only
    ([10, 0, 5], -10, [9, 59, 55]),      # floor division carries negative offsets
    ([0, 0, 5], -10, [-1, 59, 55]),
])
def test_time_cal(start, seconds, expected):
    before = list(start)
    result = Tavelin.TimeCal(start, seconds)
    assert result == expected and all(type(v) is int for v in result)
    assert start == before and result is not start


def test_time_cal_number_types_and_bad_input():
    result = Tavelin.TimeCal([10, 0, 0], 12.5)
    assert result == [10.0, 0.0, 12.5] and all(type(v) is float for v in result)
    assert Tavelin.TimeCal([10, 0, 0], 250.0 / 25.0) == [10.0, 0.0, 10.0]
    with pytest.raises(AttributeError):
        Tavelin.TimeCal((10, 0, 0), 1)      # no copy method
    with pytest.raises(IndexError):
        Tavelin.TimeCal([10, 0], 1)
    with pytest.raises(TypeError):
        Tavelin.TimeCal([10, 0, "5"], 1)


def test_clip_stores_the_values_under_its_attribute_names():
    injection = object()
    clip = Tavelin.Clip(0, 30, 1, 3, 0, 2, injection)
    assert vars(clip) == {"start_min": 0, "start_sec": 30, "start_i": 1, "end_min": 3, "end_sec": 0,
                          "end_i": 2, "InjRate": injection}
    assert Tavelin.Clip(end_videoIndex=5, start_min=0, start_sec=0, start_videoIndex=4, end_min=0,
                        end_sec=0, InjRate=0).end_i == 5


def test_capture_record():
    clock = [10, 5, 30]
    capture = Tavelin.Capture(0, 2, 1500, clock, 0.5)
    assert vars(capture) == {"iClip": 1, "iVideo": 2, "iFrame": 1500, "time": clock, "InjRate": 0.5,
                             "Phase_frames": [], "name": "2-0-1500"}
    assert capture.time is clock
    assert Tavelin.Capture.__mro__ == (Tavelin.Capture, object)
    assert Tavelin.Capture(0, 0, 250.0, clock, 0).name == "0-0-250.0"
    assert Tavelin.Capture(1, 0, 0, clock, 0).Phase_frames is not capture.Phase_frames
    with pytest.raises(TypeError):
        Tavelin.Capture("0", 0, 0, clock, 0)  # "0" + 1 fails before anything is set
    frame = np.zeros((4, 4, 3), np.uint8)
    capture.GetFrame(frame)
    frame[0, 0] = 9
    assert capture.frame is frame


def masked_capture(labels, masks=2):
    capture = Tavelin.Capture(0, 2, 1500, [10, 5, 30], 0.5)
    capture.GetFrame(np.full((8, 8, 3), 200, np.uint8))
    capture.Phase_frames = [np.full((8, 8), 255 * (k % 2), np.uint8) for k in range(masks)]
    capture.Phase_frames_names = labels
    return capture


def test_write_file_layout(tmp_path):
    capture = masked_capture(["Oil", "Water"])
    capture.WriteFile(str(tmp_path))
    folder = tmp_path / "Clip 1" / "Clip 1_2-0-1500"
    assert sorted(os.listdir(folder)) == ["2-0-1500.jpg", "2-0-1500Oil.jpg", "2-0-1500Water.jpg"]
    assert (folder / "2-0-1500.jpg").read_bytes()[:2] == b"\xff\xd8"
    written = Tavelin.cv_imread(str(folder / "2-0-1500Water.jpg"))
    assert written.shape == (8, 8, 3) and written.min() > 240
    capture.WriteFile(tmp_path)  # the existing folder is reused
    empty = Tavelin.Capture(3, 0, 7, [0, 0, 0], 0)
    empty.GetFrame(np.zeros((8, 8, 3), np.uint8))
    empty.WriteFile(str(tmp_path))
    assert os.listdir(tmp_path / "Clip 4" / "Clip 4_0-3-7") == ["0-3-7.jpg"]


def test_write_file_failures_keep_what_was_done(tmp_path):
    capture = masked_capture(["1"])  # two masks, one label
    with pytest.raises(IndexError):
        capture.WriteFile(str(tmp_path))
    folder = tmp_path / "Clip 1" / "Clip 1_2-0-1500"
    assert sorted(os.listdir(folder)) == ["2-0-1500.jpg", "2-0-15001.jpg"]
    frameless = Tavelin.Capture(1, 0, 0, [0, 0, 0], 0)
    with pytest.raises(AttributeError):
        frameless.WriteFile(str(tmp_path))
    assert os.listdir(tmp_path / "Clip 2" / "Clip 2_0-1-0") == []  # folder made, nothing written


def test_destory():
    capture = masked_capture(["a", "b"])
    capture._destory()
    assert not hasattr(capture, "frame") and not hasattr(capture, "Phase_frames")
    assert capture.name == "2-0-1500"
    with pytest.raises(AttributeError):
        capture._destory()
    partial = masked_capture([])
    del partial.Phase_frames
    with pytest.raises(AttributeError):
        partial._destory()
    assert not hasattr(partial, "frame")  # deleted before the missing masks were noticed
