"""Tavelin's contour masks: the module-level Rimwell and Capture.Rimwell."""
import os

import cv2
import numpy as np
import pytest
import Tavelin
from virtual_screen import outlines_of


def rings():
    """A ring (an outer outline with a hole) and a solid square."""
    image = np.zeros((90, 140, 3), np.uint8)
    cv2.circle(image, (45, 45), 35, (255, 255, 255), -1)
    cv2.circle(image, (45, 45), 15, (0, 0, 0), -1)
    cv2.rectangle(image, (100, 20), (125, 60), (230, 230, 230), -1)
    return image


def filled(shape, outlines):
    """Every outline filled on its own by cv2, then united."""
    expected = np.zeros(shape[:2], np.uint8)
    for outline in outlines:
        single = np.zeros(shape[:2], np.uint8)
        cv2.drawContours(single, [outline], -1, 255, cv2.FILLED)
        expected |= single
    return expected


@pytest.fixture
def picks(monkeypatch):
    """Stands in for the window: ContoursFilterByMouse returns picks.outlines and
    records the images it was given."""
    class Picks:
        def __init__(self):
            self.outlines, self.images = [], []

        def __call__(self, image):
            self.images.append(image)
            return self.outlines
    fake = Picks()
    monkeypatch.setattr(Tavelin, "ContoursFilterByMouse", fake)
    return fake


def test_mask_of_the_picked_outlines(picks):
    image = rings()
    square, ring, hole = outlines_of(image)
    assert [cv2.boundingRect(o) for o in (square, ring, hole)] == [
        (100, 20, 26, 41), (10, 10, 71, 71), (29, 29, 33, 33)]

    picks.outlines = [ring]
    mask = Tavelin.Rimwell(image)
    assert picks.images == [image] and picks.images[0] is image
    assert mask.dtype == np.uint8 and mask.shape == (90, 140)
    assert np.array_equal(mask, filled(image.shape, [ring]))
    assert mask[45, 45] == 255  # the ring's hole is filled as well
    assert set(np.unique(mask)) == {0, 255}

    def mask_of(*outlines):
        picks.outlines = list(outlines)
        return Tavelin.Rimwell(image)
    # Each outline is filled on its own: picking the hole too does not cut it
    # out, and picking an outline again changes nothing.
    assert np.array_equal(mask_of(ring, hole), mask)
    assert np.array_equal(mask_of(square, ring, square), filled(image.shape, [ring, square]))
    assert np.array_equal(mask_of(square, square), filled(image.shape, [square]))
    assert np.array_equal(mask_of(*(o.reshape(-1, 2) for o in (square, ring))),  # (n, 2) as in cv2
                          filled(image.shape, [ring, square]))
    solid_hole = mask_of(hole)
    assert solid_hole[45, 45] == 255 and solid_hole[45, 15] == 0
    assert np.array_equal(solid_hole, filled(image.shape, [hole]))

    empty = mask_of()
    assert empty.shape == (90, 140) and empty.dtype == np.uint8 and not empty.any()
    with pytest.raises(cv2.error):  # as cv2.drawContours refuses it
        mask_of(ring.astype(np.float32))


def test_capture_rimwell_records_one_phase(picks, tmp_path):
    image = rings()
    picks.outlines = [outlines_of(image)[1]]  # the ring
    capture = Tavelin.Capture(0, 2, 1500, [10, 5, 30], 0.5)
    capture.GetFrame(image)
    masks = capture.Phase_frames
    assert capture.Rimwell() is None
    assert picks.images[0] is image
    assert capture.PhaseNum == 1 and capture.Phase_frames_names == ["1"]
    assert capture.Phase_frames is masks and len(masks) == 1  # appended to, not replaced
    assert np.array_equal(masks[0], filled(image.shape, picks.outlines))

    capture.WriteFile(str(tmp_path))
    folder = tmp_path / "Clip 1" / "Clip 1_2-0-1500"
    assert sorted(os.listdir(folder)) == ["2-0-1500.jpg", "2-0-15001.jpg"]
    written = cv2.imread(str(folder / "2-0-15001.jpg"), cv2.IMREAD_GRAYSCALE)
    assert np.count_nonzero(np.abs(written.astype(int) - masks[0]) > 64) == 0  # JPEG of the mask

    capture.Rimwell()  # a second call appends a second mask but keeps the one label
    assert len(masks) == 2 and capture.Phase_frames_names == ["1"]
    with pytest.raises(IndexError):
        capture.WriteFile(str(tmp_path))


def test_capture_rimwell_calls_the_module_level_function(monkeypatch):
    calls = []
    monkeypatch.setattr(Tavelin, "Rimwell", lambda image: calls.append(image) or "mask")
    capture = Tavelin.Capture(0, 0, 0, [0, 0, 0], 0)
    capture.GetFrame(rings())
    capture.Rimwell()
    assert calls == [capture.frame] and capture.Phase_frames == ["mask"]


def test_capture_rimwell_failures(picks, monkeypatch):
    frameless = Tavelin.Capture(0, 0, 0, [0, 0, 0], 0)
    with pytest.raises(AttributeError, match="'frame'"):
        frameless.Rimwell()
    assert frameless.PhaseNum == 1 and frameless.Phase_frames == [] and picks.images == []
    assert not hasattr(frameless, "Phase_frames_names")

    destroyed = Tavelin.Capture(0, 0, 0, [0, 0, 0], 0)
    destroyed.GetFrame(rings())
    destroyed._destory()
    destroyed.GetFrame(rings())
    with pytest.raises(AttributeError, match="'Phase_frames'"):
        destroyed.Rimwell()
    assert picks.images == []  # no window was opened

    def failing(image):
        raise cv2.error("picking failed")
    monkeypatch.setattr(Tavelin, "ContoursFilterByMouse", failing)
    capture = Tavelin.Capture(0, 0, 0, [0, 0, 0], 0)
    capture.GetFrame(rings())
    capture.Phase_frames_names = ["Oil"]
    with pytest.raises(cv2.error, match="picking failed"):
        capture.Rimwell()
    assert capture.Phase_frames == [] and capture.Phase_frames_names == ["Oil"]


def test_capture_rimwell_in_the_window(start_picker):
    image = rings()
    run = start_picker(image, call="capture").wait_shown()
    hole = next(i for i, o in enumerate(run.outlines) if cv2.boundingRect(o) == (29, 29, 33, 33))
    run.click(45, 38)  # inside the hole, near its edge
    run.click(45, 24)  # on the ring, nearer the hole's edge (5) than the ring's (14)
    run.key("Return")
    outcome = run.finish()
    [(phases, masks, names)] = outcome["results"]
    assert phases == 1 and names == ["1"] and len(masks) == 1
    assert np.array_equal(masks[0], filled(image.shape, [run.outlines[hole]]))
    assert outcome["unchanged"] and not outcome["window_left"]
